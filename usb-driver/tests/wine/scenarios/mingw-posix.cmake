# The repository's mingw-w64 toolchain with the compilers of the posix thread
# model, whose C++ library has std::mutex (GoogleTest needs it); the kernel
# image does not care, user-mode test programs do.
include(${CMAKE_CURRENT_LIST_DIR}/../../../../cmake/mingw-w64-x86_64.cmake)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
