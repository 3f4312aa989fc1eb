# What `cmake --install` puts where, under GNUInstallDirs paths relative to
# the prefix (so an install under any prefix, and the packages made from it,
# hold no path of the build): the libraries with their headers, the CMake
# package and pkg-config files, the tools with their manual pages. The
# packages CPack makes from it are set up in cmake/Packaging.cmake.
include(CMakePackageConfigHelpers)

install(TARGETS qd500dll qd500-api EXPORT qd500Targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/qd500dll.h include/qd500.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/qd500/reader.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qd500)

# find_package(qd500 0.2): qd500::qd500 and qd500::qd500dll.
set(QD500_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qd500)
install(EXPORT qd500Targets NAMESPACE qd500:: DESTINATION ${QD500_CMAKE_DIR})
configure_package_config_file(cmake/qd500Config.cmake.in ${PROJECT_BINARY_DIR}/qd500Config.cmake
  INSTALL_DESTINATION ${QD500_CMAKE_DIR})
# 0.x: a minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qd500ConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qd500Config.cmake ${PROJECT_BINARY_DIR}/qd500ConfigVersion.cmake
  DESTINATION ${QD500_CMAKE_DIR})

# The prefix as seen from the .pc file, so that an install can move.
file(RELATIVE_PATH QD500_PC_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" QD500_PC_PREFIX "${QD500_PC_PREFIX}")
# Outside the system's own prefix a program built with pkg-config would not
# find the library at run time (the loader's cache knows only what ldconfig
# saw): the .pc files then give it a run path. Never under /usr, where the
# Debian package lives and its policy forbids one.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" OR CMAKE_INSTALL_PREFIX STREQUAL "/")
  set(QD500_PC_RPATH "")
else()
  set(QD500_PC_RPATH "-Wl,-rpath,\${libdir} ")
endif()
foreach(pc qd500 qd500dll)
  configure_file(cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

if(NOT WIN32 AND QD500_BUILD_TOOLS)
  foreach(page qd500 qd500-sim)
    configure_file(man/${page}.1.in ${PROJECT_BINARY_DIR}/man/${page}.1 @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/man/${page}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
endif()

# The Python package where Debian's Python finds it, with the metadata that
# registers its pytest plugin (what pip would write for it).
set(QD500_PYTHON_DIR lib/python3/dist-packages CACHE STRING "Where the Python package is installed, under the prefix")
if(NOT WIN32)
  install(DIRECTORY python/qd500 DESTINATION ${QD500_PYTHON_DIR} PATTERN __pycache__ EXCLUDE)
  configure_file(packaging/python/METADATA.in ${PROJECT_BINARY_DIR}/python/METADATA @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/python/METADATA packaging/python/entry_points.txt packaging/python/top_level.txt
          DESTINATION ${QD500_PYTHON_DIR}/qd500-${PROJECT_VERSION}.dist-info)
endif()

include(cmake/Packaging.cmake)
