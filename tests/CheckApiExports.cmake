# Checks what libqd500.so exports: exactly the names of the handle API's
# module-definition file (the same list qd500.dll exports).
#   cmake -DNM=... -DLIB=... -DEXPECTED=.../qd500.def -P CheckApiExports.cmake
include(${CMAKE_CURRENT_LIST_DIR}/DefinedNames.cmake)
qd500_defined_names(${NM} ${LIB} actual)
file(STRINGS ${EXPECTED} expected)
list(FILTER expected INCLUDE REGEX "^    [A-Za-z_]")
list(TRANSFORM expected STRIP)
qd500_expect_names("${actual}" "${expected}")
