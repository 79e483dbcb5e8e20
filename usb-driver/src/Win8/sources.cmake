# The driver's sources, the same list for the host library and the target
# image. The platform layer is not in it: each build adds its own.
file(GLOB bulkcom_driver_sources CONFIGURE_DEPENDS
  "${CMAKE_CURRENT_LIST_DIR}/frame/*.cpp"
  "${CMAKE_CURRENT_LIST_DIR}/serial/*.cpp"
  "${CMAKE_CURRENT_LIST_DIR}/usb/*.cpp"
  "${CMAKE_CURRENT_LIST_DIR}/pnp-power/*.cpp")
