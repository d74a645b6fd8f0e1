# i686 (32-bit) Windows target; see MinGW.cmake.
set(PTZ_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/MinGW.cmake)
