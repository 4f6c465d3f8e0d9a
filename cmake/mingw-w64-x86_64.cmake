# Cross build for 64-bit Windows with MinGW-w64 (Debian's -posix compilers:
# the -win32 variant has no std::thread).  Programs built here run on Linux
# through Wine: the build runs its own tools with it, and so do the tests.
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(Q9_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${Q9_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${Q9_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${Q9_MINGW_PREFIX}-windres)
set(CMAKE_ASM_COMPILER ${Q9_MINGW_PREFIX}-gcc-posix)

set(CMAKE_FIND_ROOT_PATH /usr/${Q9_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The .exe files need nothing beside them: C and C++ runtimes and winpthread
# are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The top-level CMakeLists.txt gives Wine a prefix of the build folder's own.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
