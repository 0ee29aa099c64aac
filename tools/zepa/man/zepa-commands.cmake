# SPDX-License-Identifier: GPL-2.0-or-later
# Writes what help2man does not see of zepa(1), as a help2man include file:
# each command's own --help, and the related pages.
#   cmake -DZEPA=<program> -DOUT=<file> -P zepa-commands.cmake
execute_process(COMMAND ${ZEPA} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
string(REGEX MATCHALL "\n  [a-z]+ " commands "${help}")
if(NOT status EQUAL 0 OR NOT commands)
  message(FATAL_ERROR "${ZEPA} --help lists no commands")
endif()

set(text "[COMMANDS]\n")
foreach(command IN LISTS commands)
  string(STRIP "${command}" command)
  execute_process(COMMAND ${ZEPA} ${command} --help OUTPUT_VARIABLE usage RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ZEPA} ${command} --help failed")
  endif()
  # As it is printed: backslashes and hyphens escaped, no line read as a request.
  string(REPLACE "\\" "\\e" usage "${usage}")
  string(REPLACE "-" "\\-" usage "${usage}")
  string(REGEX REPLACE "\n$" "" usage "${usage}")
  string(REPLACE "\n" "\n\\&" usage "\\&${usage}")
  string(APPEND text ".SS \"zepa ${command}\"\n.nf\n${usage}\n.fi\n")
endforeach()
string(APPEND text "[SEE ALSO]\n.BR kavro\\-box (1)\n")
file(WRITE "${OUT}" "${text}")
