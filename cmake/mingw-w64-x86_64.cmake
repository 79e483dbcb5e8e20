# Cross toolchain for the target build: Debian's x86_64-w64-mingw32 GCC.
# Usage: cmake -DCMAKE_TOOLCHAIN_FILE=<repo>/cmake/mingw-w64-x86_64.cmake ...

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(MINGW_SYSROOT /usr/${MINGW_TRIPLE})

set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_AR ${MINGW_TRIPLE}-ar CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${MINGW_TRIPLE}-ranlib CACHE FILEPATH "Ranlib")
set(CMAKE_OBJDUMP ${MINGW_TRIPLE}-objdump CACHE FILEPATH "Objdump")
set(CMAKE_STRIP ${MINGW_TRIPLE}-strip CACHE FILEPATH "Strip")

# Programs come from the build machine; headers and libraries only from the
# mingw sysroot, so nothing from the Linux host leaks into the image.
set(CMAKE_FIND_ROOT_PATH ${MINGW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Compiler checks build a static library instead of linking an executable:
# the kernel image links no user-mode CRT. With no CMAKE_CROSSCOMPILING_EMULATOR
# a try_run never executes a .exe; it demands a cached answer instead.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
