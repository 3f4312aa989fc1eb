# Cross build of the 64-bit Windows DLLs with Debian's x86_64-w64-mingw32 toolchain.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QD500_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
