# Cross build of the 32-bit Windows DLL with Debian's i686-w64-mingw32 toolchain.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QD500_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
