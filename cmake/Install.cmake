# Installation: header, library (with its soname links), the tools, a CMake
# package (find_package(ptz) -> ptz::ptz) and a pkg-config file; packages
# made by CPack (a Debian package here, a zip for the Windows DLLs).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS ptz EXPORT ptzTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Runtime
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/ptz.h include/ptz.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
  install(FILES exports/ptz.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
if(PTZ_BUILD_TOOLS)
  set(PTZ_TOOLS ptzctl)
  if(TARGET ptz-sim)
    list(APPEND PTZ_TOOLS ptz-sim)
  endif()
  if(NOT WIN32)
    # Installed tools find the library beside them wherever the tree is
    # unpacked: no loader path to set, no system directory needed.
    file(RELATIVE_PATH PTZ_BIN_TO_LIB /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
    set_target_properties(${PTZ_TOOLS} PROPERTIES INSTALL_RPATH "$ORIGIN/${PTZ_BIN_TO_LIB}")
  endif()
  install(TARGETS ${PTZ_TOOLS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The Python binding, installed as plain files (no pip, no wheel needed):
# Debian's Python finds PREFIX/lib/python3/dist-packages under /usr and
# /usr/local; for another Python give its site directory, e.g.
# -DPTZ_PYTHON_DIR=$(python3 -c 'import sysconfig; print(sysconfig.get_path("purelib"))').
if(NOT WIN32)
  set(PTZ_PYTHON_DIR lib/python3/dist-packages CACHE STRING "Where cmake --install puts the Python package ptz")
  # The installed package finds the installed library beside it, wherever
  # the tree is moved.
  cmake_path(ABSOLUTE_PATH PTZ_PYTHON_DIR BASE_DIRECTORY /prefix OUTPUT_VARIABLE ptz_py_abs)
  file(RELATIVE_PATH PTZ_PY_TO_LIB ${ptz_py_abs}/ptz /prefix/${CMAKE_INSTALL_LIBDIR})
  if(IS_ABSOLUTE "${PTZ_PYTHON_DIR}")
    set(PTZ_PY_TO_LIB "${CMAKE_INSTALL_FULL_LIBDIR}")  # an outside site directory: the library where it is installed
  endif()
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/python/_installed.py
       "# Written by cmake --install: where the library is, relative to this package.\n"
       "LIBRARY = \"${PTZ_PY_TO_LIB}/libptz.so.${PROJECT_VERSION_MAJOR}\"\n")
  install(FILES python/ptz/__init__.py ${CMAKE_CURRENT_BINARY_DIR}/python/_installed.py
          DESTINATION ${PTZ_PYTHON_DIR}/ptz)
endif()

set(PTZ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ptz)
install(EXPORT ptzTargets NAMESPACE ptz:: DESTINATION ${PTZ_CMAKE_DIR})
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/ptzConfig.cmake.in
     "@PACKAGE_INIT@\ninclude(\"\${CMAKE_CURRENT_LIST_DIR}/ptzTargets.cmake\")\n")
configure_package_config_file(${CMAKE_CURRENT_BINARY_DIR}/ptzConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/ptzConfig.cmake INSTALL_DESTINATION ${PTZ_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ptzConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ptzConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/ptzConfigVersion.cmake
        DESTINATION ${PTZ_CMAKE_DIR})

file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/ptz.pc.in [=[
prefix=${pcfiledir}/@PTZ_PC_TO_PREFIX@
libdir=${prefix}/@CMAKE_INSTALL_LIBDIR@
includedir=${prefix}/@CMAKE_INSTALL_INCLUDEDIR@

Name: ptz
Description: Communication library for a motorised pan/tilt head
Version: @PROJECT_VERSION@
Libs: -L${libdir} -lptz
Cflags: -I${includedir}
]=])
# Relative to the .pc file, so an installed tree can be moved.
file(RELATIVE_PATH PTZ_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_BINARY_DIR}/ptz.pc.in ${CMAKE_CURRENT_BINARY_DIR}/ptz.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ptz.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(CPACK_PACKAGE_NAME ptz)
set(CPACK_PACKAGE_VENDOR "ptz developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Communication library for a motorised pan/tilt head")
set(CPACK_PACKAGE_CONTACT "ptz developers <ptz@localhost>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME "windows-${CMAKE_SYSTEM_PROCESSOR}")
else()
  set(CPACK_GENERATOR DEB)
endif()
include(CPack)
