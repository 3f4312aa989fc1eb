# What both Windows cross builds share, with Debian's MinGW-w64 toolchain
# of the triple the including toolchain file names (QD500_MINGW_TRIPLE).
# The -posix variant is the one Debian builds libstdc++ with std::thread for;
# linking it statically leaves no runtime DLL beside ours.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${QD500_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QD500_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QD500_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QD500_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Never pick up the host's (x86-64 Linux) CMake packages, GoogleTest above all.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every executable and DLL carries its own C and C++ runtime (and winpthread).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
