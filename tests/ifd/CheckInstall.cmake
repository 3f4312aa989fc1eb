# Installs the build under a fresh prefix and checks that the reader
# configuration's LIBPATH names the driver installed there.
#   cmake -DBUILD=... -DPREFIX=... -DDRIVER_DIR=... -DCONF_DIR=... -P CheckInstall.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX} OUTPUT_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed")
endif()
set(conf ${PREFIX}/${CONF_DIR}/qd500)
file(STRINGS ${conf} libpath REGEX "LIBPATH")
string(REGEX REPLACE "^# LIBPATH +" "" libpath "${libpath}")
if(NOT libpath STREQUAL "${PREFIX}/${DRIVER_DIR}/libqd500-ifd.so" OR NOT EXISTS ${libpath})
  message(FATAL_ERROR "${conf}: LIBPATH \"${libpath}\" is not the driver installed under ${PREFIX}")
endif()
file(REMOVE_RECURSE ${PREFIX})
message(STATUS "LIBPATH ${libpath}")
