# Cross build of the 32-bit Windows DLL with Debian's i686-w64-mingw32 toolchain.
# The -posix variant is the one Debian builds libstdc++ with std::thread for;
# linking it statically leaves no runtime DLL beside ours.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Never pick up the host's (x86-64 Linux) CMake packages, GoogleTest above all.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every executable and DLL carries its own C and C++ runtime (and winpthread).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
