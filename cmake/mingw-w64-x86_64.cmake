# Cross build of the Windows console program with Debian's MinGW-w64:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The tests run under Wine through CMake's cross-compiling emulator.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LOMVERA_MINGW_TRIPLET x86_64-w64-mingw32)
# The POSIX thread model: GoogleTest needs std::mutex, which the compilers of
# the win32 thread model lack. The tool starts its threads with std::thread
# and locks with the system's own locks (platform/locks_win32.cpp).
set(CMAKE_C_COMPILER ${LOMVERA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LOMVERA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${LOMVERA_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${LOMVERA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained programs: the C and C++ runtimes are linked in, so that
# lomvera.exe needs nothing but the system DLLs of Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(LOMVERA_WINE wine)
if(LOMVERA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LOMVERA_WINE})
endif()
