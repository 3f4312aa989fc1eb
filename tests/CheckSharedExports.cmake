# Checks what the Linux shared library exports: the 55 functions of the
# Windows export table under their plain C names, the sample items and the
# idle hook, and nothing else.
#   cmake -DNM=... -DLIB=... -DEXPECTED=.../exports.txt -P CheckSharedExports.cmake
include(${CMAKE_CURRENT_LIST_DIR}/DefinedNames.cmake)
qd500_defined_names(${NM} ${LIB} actual)

# _name@bytes on Windows is plain name here; the C++ items keep their
# Itanium-mangled names.
file(STRINGS ${EXPECTED} decorated)
set(expected _Z6fnRidov _ZN5CRidoC1Ev _ZN5CRidoC2Ev _ZN5CRidoaSERKS_ nRido _ZN5qd50015SetIdleCallbackEPFvPvES0_)
foreach(name IN LISTS decorated)
  if(name MATCHES "^_([A-Za-z0-9_]+)@[0-9]+$")
    list(APPEND expected "${CMAKE_MATCH_1}")
  endif()
endforeach()
qd500_expect_names("${actual}" "${expected}")
