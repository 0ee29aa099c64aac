# SPDX-License-Identifier: GPL-2.0-or-later
# The box build for the boxes' uClibc images (KAVRO_BOX_LIBC=uclibc, included
# by cmake/KavroBox.cmake after the code flags both builds share):
# kavro-install-uclibc, one program for every image with uClibc 0.9.28 or
# later. KAVRO_BOX_SYSROOT is the uClibc root it compiles and links against
# (scripts/box-uclibc.sh --print).
#
#   - the C library's headers and the compiler's own only (-nostdinc); the
#     C++ headers, which are configured for GNU libc, through a wrapper of
#     bits/c++config.h that turns off what this C library lacks
#     (installer/box/uclibc/);
#   - every source file starts with installer/box/uclibc/box-uclibc.h:
#     errno through __errno_location(), the standard streams without data
#     imports, and getc, putc and the ctype family as calls, never macros
#     that read the library's internals;
#   - 32-bit file offsets: the boxes' uClibc may lack the *64 calls;
#   - linked by the C driver with -nostdlib: the program's own start
#     (installer/box/uclibc_runtime.c), libc.so.0, uclibc_nonshared.a and
#     libgcc; the loader /lib/ld-uClibc.so.0; the SysV hash table alone (the
#     old loaders read no other); the constructors in a section of the
#     program's own (installer/box/uclibc/constructors.ld), run by its start.
set(KAVRO_BOX_SYSROOT "" CACHE PATH "The uClibc root the uClibc box build links against (scripts/box-uclibc.sh)")
if(NOT EXISTS "${KAVRO_BOX_SYSROOT}/lib/libc.so.0" OR NOT EXISTS "${KAVRO_BOX_SYSROOT}/usr/include/stdio.h")
  message(FATAL_ERROR "KAVRO_BOX_SYSROOT='${KAVRO_BOX_SYSROOT}' holds no uClibc (lib/libc.so.0, usr/include); "
                      "scripts/box-uclibc.sh builds one")
endif()
set(KAVRO_BOX_UCLIBC_DIR ${CMAKE_SOURCE_DIR}/installer/box/uclibc)

# 32-bit file offsets: take back what cmake/KavroBuild.cmake gives every
# 32-bit build.
get_directory_property(box_definitions COMPILE_DEFINITIONS)
list(REMOVE_ITEM box_definitions _FILE_OFFSET_BITS=64)
set_directory_properties(PROPERTIES COMPILE_DEFINITIONS "${box_definitions}")

# The compiler's search list for C++, without the C library folders of its
# own target (GNU libc's).
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -E -x c++ - -v INPUT_FILE /dev/null
  OUTPUT_QUIET ERROR_VARIABLE box_search RESULT_VARIABLE box_status)
if(NOT box_status EQUAL 0)
  message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not tell its include folders")
endif()
string(REGEX REPLACE ".*#include <...> search starts here:\n(.*)End of search list.*" "\\1" box_search "${box_search}")
string(REGEX REPLACE "[ \n]+" ";" box_search "${box_search}")
set(box_cxx_includes "")
foreach(dir IN LISTS box_search)
  if(dir MATCHES "/c\\+\\+/")
    get_filename_component(dir "${dir}" REALPATH)
    list(APPEND box_cxx_includes "-isystem${dir}")
  endif()
endforeach()
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=include
  OUTPUT_VARIABLE box_gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT box_cxx_includes OR NOT IS_DIRECTORY "${box_gcc_include}")
  message(FATAL_ERROR "the C++ headers or ${CMAKE_C_COMPILER}'s own headers are not found")
endif()

add_compile_options(
  -nostdinc
  $<$<COMPILE_LANGUAGE:CXX>:-isystem${KAVRO_BOX_UCLIBC_DIR}/include>
  "$<$<COMPILE_LANGUAGE:CXX>:${box_cxx_includes}>"
  -isystem${box_gcc_include}
  -isystem${KAVRO_BOX_SYSROOT}/usr/include
  -include ${KAVRO_BOX_UCLIBC_DIR}/box-uclibc.h)

# The link: nothing but what is named here.
set(box_libraries "-lgcc ${KAVRO_BOX_SYSROOT}/lib/libc.so.0 ${KAVRO_BOX_SYSROOT}/usr/lib/uclibc_nonshared.a -lgcc")
set(CMAKE_C_STANDARD_LIBRARIES "${box_libraries}")
set(CMAKE_CXX_STANDARD_LIBRARIES "${box_libraries}")
add_link_options(-nostdlib -Wl,--hash-style=sysv -Wl,-rpath-link,${KAVRO_BOX_SYSROOT}/lib
  $<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:-Wl,--dynamic-linker=/lib/ld-uClibc.so.0>
  $<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:-Wl,-T,${KAVRO_BOX_UCLIBC_DIR}/constructors.ld>)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KAVRO_BOX_SYSROOT}/lib/libc.so.0)
