# SPDX-License-Identifier: MIT
# Install rules: the programs, the module as a static library with its headers, a CMake
# package (find_package(mcucom) gives mcucom::mcucom), a pkg-config file and the manual pages.
# cmake --install honours --prefix and DESTDIR, as board image builders call it.
#
# Headers keep the paths code includes them by ("tool/HddPower.h"), under include/mcucom/ so
# that common/ and the rest cannot collide with another project's folders.
include(CMakePackageConfigHelpers)

set(MCUCOM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/mcucom)

# Two components, packaged apart: "tools" (the programs and their manual pages) and "dev"
# (the static library, its headers, the CMake package and the pkg-config file).
install(TARGETS hddpower mcusend RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
# The simulator runs commands in namespaces of the build machine; a board has no use for it.
if(NOT CMAKE_CROSSCOMPILING)
  install(TARGETS mcusim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()

# The scenario format's manual page and example scenarios go with the simulator.
if(NOT CMAKE_CROSSCOMPILING)
  install(FILES ${HDDPOWER_MAN5_PAGES_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man5 COMPONENT tools)
  install(FILES scenarios/power.yaml scenarios/status.yaml scenarios/lost-line.yaml
    scenarios/recorded.yaml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/hddpower/examples/scenarios COMPONENT tools)
endif()

# The protocol decoder for sigrok, where libsigrokdecode looks for decoders (under /usr, the
# library's own folder; elsewhere, XDG_DATA_DIRS or SIGROKDECODE_DIR must name the folder).
if(NOT CMAKE_CROSSCOMPILING)
  install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/sigrok/decoders/mculine
          DESTINATION ${CMAKE_INSTALL_DATADIR}/libsigrokdecode/decoders COMPONENT tools
          FILES_MATCHING PATTERN "*.py")
endif()

install(TARGETS mcucom EXPORT mcucomTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
# The shared library, where the host build makes one: the library itself (libmcucom.so.1)
# packaged on its own ("lib"), the link name for building against it with the rest ("dev");
# and the Python package over it ("python"), where Debian's python3 finds packages.
if(HDDPOWER_SHARED)
  install(TARGETS mcucom_shared EXPORT mcucomTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev)
  set(HDDPOWER_PYTHON_DIR lib/python3/dist-packages CACHE STRING
      "Where the Python package goes, under the prefix")
  install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/python/mcucom
          DESTINATION ${HDDPOWER_PYTHON_DIR} COMPONENT python
          FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
endif()
foreach(layer common serial ack receiver link tool)
  install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${layer}/
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mcucom/${layer}
          COMPONENT dev
          FILES_MATCHING PATTERN "*.h")
endforeach()
# The C interface's one header, included as <mcucom.h>, and its manual pages.
install(FILES capi/mcucom.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mcucom COMPONENT dev)

install(EXPORT mcucomTargets NAMESPACE mcucom:: DESTINATION ${MCUCOM_CMAKE_DIR} COMPONENT dev)
# The toolchain files a board program's own build uses, beside the package that finds the module.
install(FILES cmake/arm-linux-gnueabi.cmake cmake/arm-linux-uclibcgnueabi.cmake
        DESTINATION ${MCUCOM_CMAKE_DIR}/toolchains COMPONENT dev)
configure_package_config_file(cmake/mcucomConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/mcucomConfig.cmake INSTALL_DESTINATION ${MCUCOM_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/mcucomConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/mcucomConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/mcucomConfigVersion.cmake
        DESTINATION ${MCUCOM_CMAKE_DIR} COMPONENT dev)

# The pkg-config file finds its prefix from its own place, so that it stays right under any
# --prefix or DESTDIR given at install time.
file(RELATIVE_PATH MCUCOM_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(cmake/mcucom.pc.in ${CMAKE_CURRENT_BINARY_DIR}/mcucom.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/mcucom.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
if(HDDPOWER_SHARED)
  configure_file(cmake/mcucom-shared.pc.in ${CMAKE_CURRENT_BINARY_DIR}/mcucom-shared.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/mcucom-shared.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endif()

install(FILES ${HDDPOWER_MAN_PAGES_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
install(FILES ${HDDPOWER_MAN3_PAGES_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT dev)
install(FILES ${HDDPOWER_MAN7_PAGES_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man7 COMPONENT dev)

# Each package's copyright, changelog and lintian overrides, as Debian's policy asks: for the
# packages alone (scripts/package.sh turns this on); a plain install, a board image's, holds
# only what the target needs.
option(HDDPOWER_DEBIAN_FILES "Install the Debian packages' changelogs and lintian overrides" OFF)
set(HDDPOWER_COMPONENTS tools dev)
if(HDDPOWER_SHARED)
  list(APPEND HDDPOWER_COMPONENTS lib python)
endif()
if(NOT HDDPOWER_DEBIAN_FILES)
  set(HDDPOWER_COMPONENTS)
endif()
foreach(component ${HDDPOWER_COMPONENTS})
  set(PACKAGE hddpower)
  if(component STREQUAL dev)
    set(PACKAGE libmcucom-dev)
  elseif(component STREQUAL lib)
    set(PACKAGE libmcucom1)
  elseif(component STREQUAL python)
    set(PACKAGE python3-mcucom)
  endif()
  set(changelog ${CMAKE_CURRENT_BINARY_DIR}/packaging/${PACKAGE}/changelog)
  configure_file(packaging/changelog.in ${changelog} @ONLY)
  add_custom_command(OUTPUT ${changelog}.gz
    COMMAND gzip -9nkf ${changelog}
    DEPENDS ${changelog} VERBATIM)
  add_custom_target(changelog-${component} ALL DEPENDS ${changelog}.gz)
  install(FILES packaging/copyright ${changelog}.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${PACKAGE} COMPONENT ${component})
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/${PACKAGE}.lintian-overrides)
    install(FILES packaging/${PACKAGE}.lintian-overrides RENAME ${PACKAGE}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT ${component})
  endif()
endforeach()

