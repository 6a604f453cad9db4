# Cross build for 64-bit ARM Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# The tests run under qemu-user (qemu-aarch64) through CMake's cross-compiling
# emulator, with the target's C and C++ runtime from /usr/aarch64-linux-gnu;
# the tests start the tool through the same emulator.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(LOMVERA_ARM64_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${LOMVERA_ARM64_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${LOMVERA_ARM64_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${LOMVERA_ARM64_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(LOMVERA_QEMU_AARCH64 qemu-aarch64)
if(LOMVERA_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LOMVERA_QEMU_AARCH64} -L /usr/${LOMVERA_ARM64_TRIPLET})
endif()
