# SPDX-License-Identifier: MIT
# Manual pages: hddpower(1) is written by hand (man/hddpower.1); mcusend(1) and mcusim(1) are
# made from the programs' --help and --version by help2man. In a cross build the programs run
# through the emulator, by way of a small wrapper of the same name. HDDPOWER_MAN_PAGES lists
# the pages to install. Without help2man the configure fails, rather than install fewer pages
# than the project documents; -DHDDPOWER_MANUALS=OFF leaves the two generated pages out on
# purpose, and the install says so.
option(HDDPOWER_MANUALS "Make and install the manual pages of mcusend and mcusim (help2man)" ON)
if(HDDPOWER_MANUALS)
  find_program(HELP2MAN help2man)
  if(NOT HELP2MAN)
    message(FATAL_ERROR
      "help2man is needed to make the manual pages of mcusend and mcusim: install it "
      "(apt-get install help2man), or configure with -DHDDPOWER_MANUALS=OFF to install "
      "hddpower(1) alone")
  endif()
endif()

set(HDDPOWER_MAN_PAGES ${CMAKE_CURRENT_SOURCE_DIR}/man/hddpower.1)

function(hddpower_generated_man_page program description)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1)
  set(run $<TARGET_FILE:${program}>)
  if(CMAKE_CROSSCOMPILING)
    string(REPLACE ";" " " emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
    set(run ${CMAKE_CURRENT_BINARY_DIR}/man/run/${program})
    file(GENERATE OUTPUT ${run}
         CONTENT "#!/bin/sh\nexec ${emulator} $<TARGET_FILE:${program}> \"$@\"\n"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                          WORLD_READ WORLD_EXECUTE)
  endif()
  add_custom_command(OUTPUT ${page}
    COMMAND ${HELP2MAN} --no-info --section=1 --name=${description} --output=${page} ${run}
    DEPENDS ${program}
    COMMENT "Manual page ${program}(1)")
  add_custom_target(${program}-man ALL DEPENDS ${page})
  set(HDDPOWER_MAN_PAGES ${HDDPOWER_MAN_PAGES} ${page} PARENT_SCOPE)
endfunction()

if(HDDPOWER_MANUALS)
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/man)
  hddpower_generated_man_page(mcusend "send a command to the MCU and report its acknowledgement")
  if(NOT CMAKE_CROSSCOMPILING)
    hddpower_generated_man_page(mcusim "run a command against a simulated MCU, or decode the MCU line")
  endif()
else()
  message(STATUS "HDDPOWER_MANUALS is OFF: only hddpower(1) is installed")
  install(CODE "message(STATUS \"Manual pages of mcusend and mcusim left out (HDDPOWER_MANUALS=OFF)\")")
endif()

# The C interface's pages (section 3), written by hand, one per call and an overview.
file(GLOB HDDPOWER_MAN3_PAGES ${CMAKE_CURRENT_SOURCE_DIR}/man/man3/*.3)

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
add_custom_target(man-pages-gz ALL DEPENDS ${HDDPOWER_MAN_PAGES_GZ} ${HDDPOWER_MAN3_PAGES_GZ})
