# Checks the built DLL: its image format (pei-i386 for 32-bit x86,
# pei-x86-64), exactly the expected export names in sorted order, and no
# import beyond the system's own DLLs (no compiler runtime).
#   cmake -DOBJDUMP=... -DDLL=... -DFORMAT=pei-i386 -DEXPECTED=... -P CheckExports.cmake
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${DLL}")
endif()
if(NOT dump MATCHES "file format ${FORMAT}\n")
  message(FATAL_ERROR "${DLL} is not a ${FORMAT} image")
endif()

string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(.*)" table "${dump}")
set(table "${CMAKE_MATCH_1}")
string(REGEX MATCHALL "\t\\[ *[0-9]+\\] [^\n]+" rows "${table}")
set(actual "")
foreach(row IN LISTS rows)
  string(REGEX REPLACE "^\t\\[ *[0-9]+\\] " "" name "${row}")
  list(APPEND actual "${name}")
endforeach()

# A list of names, one a line, or a module-definition file's EXPORTS.
file(STRINGS ${EXPECTED} expected)
if(EXPECTED MATCHES "\\.def$")
  list(FILTER expected INCLUDE REGEX "^    [A-Za-z_]")
  list(TRANSFORM expected STRIP)
endif()
list(LENGTH actual n_actual)
list(LENGTH expected n_expected)
if(NOT actual STREQUAL expected)
  set(missing ${expected})
  list(REMOVE_ITEM missing ${actual})
  set(extra ${actual})
  list(REMOVE_ITEM extra ${expected})
  message(FATAL_ERROR "export table differs: ${n_actual} names, ${n_expected} expected\n"
                      "missing: ${missing}\nunexpected: ${extra}\n(or the order differs)")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
foreach(entry IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${entry}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll MATCHES "^(kernel32|user32|advapi32|msvcrt|ws2_32|secur32|crypt32)\\.dll$")
    message(FATAL_ERROR "${DLL} needs ${dll} beside it")
  endif()
endforeach()
message(STATUS "${n_actual} exports as expected; imports: ${imports}")
