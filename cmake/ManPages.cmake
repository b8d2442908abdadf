# Manual pages: hddpower(1) is written by hand (man/hddpower.1); mcusend(1) and mcusim(1) are
# made from the programs' --help and --version by help2man. In a cross build the programs run
# through the emulator, by way of a small wrapper of the same name. HDDPOWER_MAN_PAGES lists
# the pages to install.
find_program(HELP2MAN help2man)

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

if(HELP2MAN)
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/man)
  hddpower_generated_man_page(mcusend "send a command to the MCU and report its acknowledgement")
  if(NOT CMAKE_CROSSCOMPILING)
    hddpower_generated_man_page(mcusim "run a command against a simulated MCU, or decode the MCU line")
  endif()
else()
  message(STATUS "help2man not found: the manual pages of mcusend and mcusim are not made")
endif()
