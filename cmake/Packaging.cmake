# Packages made by CPack from the install rules: a Debian package for the machine the build is
# for (amd64 on the host, armel for the board), and a .tar.gz of the installed tree for board
# root filesystems. scripts/package.sh makes them all.
set(CPACK_PACKAGE_NAME hddpower)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "hddpower developers")
set(CPACK_PACKAGE_CONTACT "hddpower developers <hddpower@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Hard-disk power switch of the recorder board, and the MCU communication module")
set(CPACK_PACKAGE_DESCRIPTION
    "hddpower switches the recorder's hard-disk power through the board's MCU; mcusend sends any command of the MCU's table. The package also holds the MCU communication module as a static library with its headers, a CMake package and a pkg-config file.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION embedded)
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
# The archive unpacks straight into a root filesystem: usr/bin/hddpower and so on.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)
