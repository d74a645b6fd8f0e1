# x86_64 (64-bit) Windows target; see MinGW.cmake.
set(PTZ_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/MinGW.cmake)
