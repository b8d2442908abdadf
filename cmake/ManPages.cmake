# SPDX-License-Identifier: MIT
# Manual pages: hddpower(1) is written by hand; mcusend(1) and mcusim(1) are made from the
# programs' --help by help2man, once, on the build machine (scripts/man-pages.sh, whose --check
# a test runs), and kept in man/: a build runs no program to make them, so a cross build that
# cannot run the target's programs installs them all the same. mcusim(1) goes with mcusim, which
# a board's build leaves out.
set(HDDPOWER_MAN_PAGES ${CMAKE_CURRENT_SOURCE_DIR}/man/hddpower.1
                       ${CMAKE_CURRENT_SOURCE_DIR}/man/mcusend.1)
if(NOT CMAKE_CROSSCOMPILING)
  list(APPEND HDDPOWER_MAN_PAGES ${CMAKE_CURRENT_SOURCE_DIR}/man/mcusim.1)
endif()
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/man)

# The C interface's pages (section 3), written by hand, one per call and an overview; the
# command table (section 7), made with the pages of section 1.
file(GLOB HDDPOWER_MAN3_PAGES ${CMAKE_CURRENT_SOURCE_DIR}/man/man3/*.3)
set(HDDPOWER_MAN7_PAGES ${CMAKE_CURRENT_SOURCE_DIR}/man/man7/mcucom-commands.7)
# The scenario format (section 5), written by hand; installed with mcusim.
set(HDDPOWER_MAN5_PAGES ${CMAKE_CURRENT_SOURCE_DIR}/man/man5/mcusim-scenario.5)

# Installed compressed, as Debian's policy asks and man reads them: gzip -n, so that the same
# page gives the same bytes on every build. Sets VARIABLE to the compressed pages.
function(hddpower_compressed_pages variable)
  set(compressed)
  foreach(page ${ARGN})
    get_filename_component(name ${page} NAME)
    set(gz ${CMAKE_CURRENT_BINARY_DIR}/man/${name}.gz)
    set(copy ${CMAKE_CURRENT_BINARY_DIR}/man/gz/${name})
    add_custom_command(OUTPUT ${gz}
      COMMAND ${CMAKE_COMMAND} -E copy ${page} ${copy}
      COMMAND gzip -9nf ${copy}
      COMMAND ${CMAKE_COMMAND} -E rename ${copy}.gz ${gz}
      DEPENDS ${page} VERBATIM)
    list(APPEND compressed ${gz})
  endforeach()
  set(${variable} ${compressed} PARENT_SCOPE)
endfunction()
hddpower_compressed_pages(HDDPOWER_MAN_PAGES_GZ ${HDDPOWER_MAN_PAGES})
hddpower_compressed_pages(HDDPOWER_MAN3_PAGES_GZ ${HDDPOWER_MAN3_PAGES})
hddpower_compressed_pages(HDDPOWER_MAN7_PAGES_GZ ${HDDPOWER_MAN7_PAGES})
hddpower_compressed_pages(HDDPOWER_MAN5_PAGES_GZ ${HDDPOWER_MAN5_PAGES})
add_custom_target(man-pages-gz ALL
  DEPENDS ${HDDPOWER_MAN_PAGES_GZ} ${HDDPOWER_MAN3_PAGES_GZ} ${HDDPOWER_MAN5_PAGES_GZ}
          ${HDDPOWER_MAN7_PAGES_GZ})
