# SPDX-License-Identifier: MIT
# Cross build for the board with its own C library: 32-bit ARM Linux, uClibc-ng, statically
# linked, run on the build machine through qemu-user. The compilers are the wrappers that
# scripts/uclibc-toolchain.sh builds, found in HDDPOWER_UCLIBC_ROOT (the folder the script
# prints; default: the last one it built). A board vendor's own uClibc toolchain works the
# same way: copy this file and name its compilers and sysroot instead.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(HDDPOWER_UCLIBC_ROOT "$ENV{HDDPOWER_UCLIBC_ROOT}")
if(NOT HDDPOWER_UCLIBC_ROOT)
  set(HDDPOWER_UCLIBC_ROOT /var/cache/hddpower-uclibc/current)
endif()
if(NOT EXISTS "${HDDPOWER_UCLIBC_ROOT}/bin/arm-uclibc-g++")
  message(FATAL_ERROR "No uClibc toolchain in ${HDDPOWER_UCLIBC_ROOT}: run "
                      "scripts/uclibc-toolchain.sh and set HDDPOWER_UCLIBC_ROOT to what it prints")
endif()

set(CMAKE_C_COMPILER ${HDDPOWER_UCLIBC_ROOT}/bin/arm-uclibc-gcc)
set(CMAKE_CXX_COMPILER ${HDDPOWER_UCLIBC_ROOT}/bin/arm-uclibc-g++)
set(CMAKE_AR arm-linux-gnueabi-ar)
set(CMAKE_RANLIB arm-linux-gnueabi-ranlib)
set(CMAKE_STRIP arm-linux-gnueabi-strip)

# A root given on the command line (a staging tree with the installed module) is searched too.
list(APPEND CMAKE_FIND_ROOT_PATH ${HDDPOWER_UCLIBC_ROOT}/sysroot)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Programs of the target run through qemu-user, unless the caller says otherwise (a board
# image's build, which runs none, may name a command that fails).
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
endif()

# As for the glibc build: a note about an ARM calling convention change in GCC 7.1.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
