# SPDX-License-Identifier: MIT
# Cross build for the board: 32-bit ARM Linux, Debian's arm-linux-gnueabi toolchain,
# statically linked, run on the build machine through qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)

# A root given on the command line (a staging tree with the installed module) is searched too.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static binaries need no ARM loader or libraries on the machine that runs them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Programs of the target run through qemu-user, unless the caller says otherwise (a board
# image's build, which runs none, may name a command that fails).
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
endif()

# GCC notes that the ARM calling convention for some standard-library arguments changed in
# GCC 7.1; everything here is built by one compiler, so the note says nothing useful.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
