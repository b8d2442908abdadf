# SPDX-License-Identifier: MIT
# Packages made by CPack from the install rules: for the machine the build is for (amd64 on
# the host, armel for the board), a Debian package of the tools ("hddpower": the programs and
# their manual pages) and one for development ("libmcucom-dev": the static library, headers,
# CMake package and pkg-config file); and a .tar.gz of the whole installed tree for board root
# filesystems. scripts/package.sh makes them all; lintian passes them (scripts/check-install.sh).
set(CPACK_PACKAGE_NAME hddpower)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "hddpower developers")
set(CPACK_PACKAGE_CONTACT "hddpower developers <developers@hddpower.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MCU link of the recorder board: hard-disk power tool")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_COMPONENTS_ALL ${HDDPOWER_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME hddpower)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "hard-disk power switch of the recorder board, through its MCU
 hddpower switches the recorder's hard-disk power by asking the board's
 microcontroller over its serial line. mcusend sends any command of the MCU's
 table and reports the acknowledgement; on a host build, mcusim runs a program
 against a simulated MCU and decodes captures of the line.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libmcucom-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "MCU communication module of the recorder board (static library)
 The board's MCU link as a static library: frames with an XOR checksum,
 the command table, serial numbers, the wait list, packet lists over a
 resynchronising ring, a termios transport, System V IPC wrappers and a FIFO
 client, with its C++ headers, a C interface (mcucom.h: a link handle, MCU
 events on a descriptor, errno results) with its manual pages, a CMake package
 and a pkg-config file.")
# The shared library and the Python package over it, named as Debian names such packages.
set(CPACK_DEBIAN_LIB_PACKAGE_NAME libmcucom1)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_PACKAGE_SHLIBDEPS ON)
# Only a package that holds a shared library gets a shlibs file.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/libmcucom1/triggers)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_LIB_DESCRIPTION
    "MCU communication module of the recorder board (shared library)
 The board's MCU link as a shared library, for programs that load it (the
 Python package python3-mcucom) or link it dynamically: its C interface
 (mcucom.h: a link handle, MCU events on a descriptor, errno results) and the
 fixed interface existing programs call.")
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-mcucom)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3, libmcucom1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
    "MCU link of the recorder board for Python 3
 mcucom drives the recorder board's MCU line from Python: a link per line,
 commands that return their answer or raise an exception that says why, the
 frames the MCU sends unasked as events (an iterator, and a descriptor for
 selectors and asyncio), and the frame rules for scripts. It calls the C
 library libmcucom1 through ctypes.")
if(HDDPOWER_SHARED)
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libmcucom1 (= ${PROJECT_VERSION})")
endif()
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armel)
  set(CPACK_SYSTEM_NAME Linux-armel)
endif()
# Static tools need nothing at run time, not even the C library; dynamic ones get their
# dependencies from the libraries they link.
if(HDDPOWER_STATIC_TOOLS)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

set(CPACK_GENERATOR DEB TGZ)
# The archive is one tree of every component, and unpacks straight into a root filesystem:
# usr/bin/hddpower and so on.
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)
