# How a kernel-mode image is linked with mingw-w64: a native-subsystem WDM
# driver entered at DriverEntry, with no C runtime, no auto-import and no
# time stamp, its symbol table stripped. Shared by bulkcom.sys and the Wine
# stage's test bus.
#   bulkcom_link_kernel_image(<target>)
function(bulkcom_link_kernel_image target)
  set_target_properties(${target} PROPERTIES SUFFIX ".sys")
  target_link_options(${target} PRIVATE
    -nostdlib
    -Wl,--subsystem,native:6.1
    -Wl,--entry,DriverEntry
    -Wl,--image-base,0x140000000
    -Wl,--wdmdriver
    -Wl,--dynamicbase
    -Wl,--nxcompat
    -Wl,--disable-auto-import
    -Wl,--no-insert-timestamp
    -Wl,--fatal-warnings
    -s)
endfunction()
