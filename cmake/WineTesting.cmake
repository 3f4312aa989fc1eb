# Windows cross build: the test programs are Windows executables run under
# Wine, in a private prefix under the build tree.

# GoogleTest built from source with the cross compiler: Debian ships it for
# the host only. find_package(GTest) in tests/ then finds these targets.
set(QD500_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${QD500_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(lib gtest gtest_main gmock gmock_main)
  if(TARGET ${lib} AND NOT TARGET GTest::${lib})
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
  if(TARGET ${lib})
    target_compile_options(${lib} PRIVATE -w)
  endif()
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/gtest-config/GTestConfig.cmake
  "# The GoogleTest targets come from the source build of cmake/WineTesting.cmake.\n")
set(GTest_DIR ${CMAKE_BINARY_DIR}/gtest-config CACHE PATH "" FORCE)

# A machine that cannot run 32-bit programs still cross-builds the 32-bit
# tree; scripts/test-wine.sh then turns this off and ctest gets only the
# tests that read the images, none that would start Wine (their discovery
# included).
option(QD500_WINE_RUNS "Register the tests that run this build's programs under Wine" ON)

# Every test program runs through this wrapper: it sets up the prefix once,
# runs the program under Wine and turns its CRLF output back into lines.
set(QD500_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(QD500_WINEARCH win64)
  set(QD500_WINE_LOADER /usr/lib/wine/wine64)
else()
  set(QD500_WINEARCH win32)
  set(QD500_WINE_LOADER wine)
endif()
configure_file(${CMAKE_SOURCE_DIR}/tests/wine/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
  @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)

# List the tests when ctest runs, not at build time: the build needs no Wine.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# Everything this build registers with ctest runs under Wine.
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} PROPERTY LABELS wine)
