# Checks that LIBRARY (libzepa.so) exports exactly the C API.
# Usage: cmake -DNM=nm -DLIBRARY=path -P check_exports.cmake
cmake_minimum_required(VERSION 3.25)
set(expected
  zepa_GetErrorString zepa_GetPhysicalOffset zepa_GetVersion zepa_IsStarted zepa_Start zepa_Stop
  zepa_core_GetOps zepa_fclose zepa_filelength zepa_fopen zepa_fread)
# Symbols the linker itself may define.
set(linker_symbols _init _fini _edata _end __bss_start)

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()

string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(exported)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* ([^ ]+)$" "\\1" symbol "${line}")
  string(REGEX REPLACE "@.*$" "" symbol "${symbol}")
  if(NOT symbol IN_LIST linker_symbols)
    list(APPEND exported ${symbol})
  endif()
endforeach()

list(SORT exported)
list(SORT expected)
if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "libzepa.so exports:\n  ${exported}\nexpected:\n  ${expected}")
endif()
message(STATUS "libzepa.so exports exactly the C API")
