# SPDX-License-Identifier: GPL-2.0-or-later
# kavro_man_page(NAME WHATIS PROGRAM INCLUDE DEPENDS...): the manual page
# NAME(1), made from PROGRAM's --help and --version with help2man and the
# include file INCLUDE, built with everything and installed with the tools.
# Nothing when help2man is missing or the build is for another machine.
find_program(HELP2MAN help2man)

function(kavro_man_page name whatis program include)
  if(NOT HELP2MAN OR CMAKE_CROSSCOMPILING)
    return()
  endif()
  set(man_dir ${CMAKE_BINARY_DIR}/man)
  set(page ${man_dir}/${name}.1.gz)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
    COMMAND ${HELP2MAN} --no-info --section 1 --name ${whatis} --include ${include} --output ${man_dir}/${name}.1
            ${program}
    # An "Example:" part of the help keeps its lines as they are.
    COMMAND sed -i -e "/^\\.SS \"Examples*:\"/,/^\\.SH/{s/^\\.IP$/.nf/;s/^\\.SH/.fi\\n&/}" ${man_dir}/${name}.1
    COMMAND gzip -9nf ${man_dir}/${name}.1
    DEPENDS ${include} ${ARGN}
    COMMENT "Writing the manual page ${name}(1)"
    VERBATIM)
  add_custom_target(kavro_man_${name} ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endfunction()
