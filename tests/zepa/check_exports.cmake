# SPDX-License-Identifier: GPL-2.0-or-later
# Checks that LIBRARY (libzepa.so) exports exactly the C API, besides what the linker itself defines.
# Usage: cmake -DNM=nm -DLIBRARY=path -P check_exports.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE listing COMMAND_ERROR_IS_FATAL ANY)
string(REGEX REPLACE "[^\n]* ([^ \n@]+)[^\n]*" "\\1" names "${listing}")
string(REGEX MATCHALL "[^\n]+" exported "${names}")
list(REMOVE_ITEM exported _init _fini _edata _end __bss_start)
list(SORT exported)
set(expected zepa_GetErrorString zepa_GetPhysicalOffset zepa_GetVersion zepa_IsStarted zepa_Start zepa_Stop
  zepa_core_GetOps zepa_fclose zepa_filelength zepa_fopen zepa_fread)
if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "libzepa.so exports:\n  ${exported}\nexpected:\n  ${expected}")
endif()
