# Checks what the Linux shared library exports: the 55 functions of the
# Windows export table under their plain C names, the sample items and the
# idle hook, and nothing else.
#   cmake -DNM=... -DLIB=... -DEXPECTED=.../exports.txt -P CheckSharedExports.cmake
execute_process(COMMAND ${NM} -D --defined-only ${LIB} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" rows "${dump}")
set(actual "")
foreach(row IN LISTS rows)
  string(REGEX REPLACE "^[0-9a-f]* *[A-Za-z] " "" name "${row}")
  list(APPEND actual "${name}")
endforeach()

# _name@bytes on Windows is plain name here; the C++ items keep their
# Itanium-mangled names.
file(STRINGS ${EXPECTED} decorated)
set(expected _Z6fnRidov _ZN5CRidoC1Ev _ZN5CRidoC2Ev _ZN5CRidoaSERKS_ nRido _ZN5qd50015SetIdleCallbackEPFvPvES0_)
foreach(name IN LISTS decorated)
  if(name MATCHES "^_([A-Za-z0-9_]+)@[0-9]+$")
    list(APPEND expected "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT expected)
list(SORT actual)
if(NOT actual STREQUAL expected)
  set(missing ${expected})
  list(REMOVE_ITEM missing ${actual})
  set(extra ${actual})
  list(REMOVE_ITEM extra ${expected})
  message(FATAL_ERROR "exports differ\nmissing: ${missing}\nunexpected: ${extra}")
endif()
list(LENGTH actual n)
message(STATUS "${n} exports as expected")
