# SPDX-License-Identifier: GPL-2.0-or-later
# The box build (KAVRO_BOX, with the PowerPC toolchain file): kavro-install
# as the boxes' own loaders and cores take it. Every target of this build
# tree gets these flags; the x86 builds, the packages and the tests never
# include this file.
#
#   - generic 32-bit PowerPC code without FPU: -mcpu=405 would bring the
#     multiply-accumulate instructions the MPC823 lacks; UCL must be built
#     with the same -mcpu=powerpc -msoft-float (scripts/ppc-lane.sh does);
#   - no C++ runtime: no exceptions, RTTI or thread-safe statics, linked by
#     the C compiler driver without libstdc++ and without libgcc_s.so.1,
#     which the boxes need not have: libgcc statically (the 64-bit integer
#     helpers such as __umoddi3 then bind to libc.so.6, which has exported
#     them at GLIBC_2.0 on PowerPC since glibc 2.0, through the pins below);
#   - the old PLT, a fixed-address executable, the SysV hash table alone (a
#     DT_GNU_HASH tag stops glibc 2.2's loader: "bad dynamic tag"), no stack
#     protector, no fortified calls;
#   - the code alone in its segment (-z separate-code): the headers and the
#     read-only data in segments of their own, so that the box gate reads
#     every byte the loader maps executable as code; pages of 4 KiB, those
#     of the boxes' cores, so that the segments cost no padding of 64 KiB;
#   - a plugin (a module library, which the menu loads with dlopen) of
#     position-independent code with the small GOT model (-fpic): -fPIC puts
#     a data word before each function, in the code;
#   - no search path (DT_RPATH, DT_RUNPATH): the box's loader searches its
#     own library folders only, never a folder of this machine or, through
#     an empty element, the folder the installer runs in;
#   - every C library symbol at GLIBC_2.2 or older: a generated header pins
#     each to the version glibc 2.2 had (installer/box/pin-symbols.sh), and
#     the program brings its own start (installer/box/box_runtime.c).
#
# KAVRO_BOX_LIBC=uclibc builds it for the boxes' uClibc images instead
# (cmake/KavroBoxUclibc.cmake): the same code flags, another C library.
#
# scripts/box-gate.sh checks the result.
if(NOT CMAKE_CROSSCOMPILING OR NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "powerpc")
  message(FATAL_ERROR "KAVRO_BOX needs the PowerPC toolchain file (cmake/toolchain-powerpc-linux-gnu.cmake)")
endif()

set(KAVRO_BOX_LIBC glibc CACHE STRING "The boxes' C library the box build is for: glibc or uclibc")
set_property(CACHE KAVRO_BOX_LIBC PROPERTY STRINGS glibc uclibc)
if(NOT KAVRO_BOX_LIBC MATCHES "^(glibc|uclibc)$")
  message(FATAL_ERROR "KAVRO_BOX_LIBC is glibc or uclibc, not '${KAVRO_BOX_LIBC}'")
endif()

set(CMAKE_POSITION_INDEPENDENT_CODE OFF)
set(KAVRO_STATIC_CXX_RUNTIME OFF CACHE BOOL "Link the C++ runtime into kavro-install" FORCE)

# A shared library of this tree (the FreeType stand-in, a plugin) stays real
# PIC: code of a fixed address in it would need text relocations.
add_compile_options(
  -mcpu=powerpc -msoft-float -mbss-plt
  $<$<NOT:$<OR:$<STREQUAL:$<TARGET_PROPERTY:TYPE>,SHARED_LIBRARY>,$<STREQUAL:$<TARGET_PROPERTY:TYPE>,MODULE_LIBRARY>>>:-fno-pie>
  $<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,MODULE_LIBRARY>:-fpic>
  -fno-stack-protector -U_FORTIFY_SOURCE
  -fno-asynchronous-unwind-tables -fno-unwind-tables
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions>
  $<$<COMPILE_LANGUAGE:CXX>:-fno-rtti>
  $<$<COMPILE_LANGUAGE:CXX>:-fno-threadsafe-statics>
  $<$<COMPILE_LANGUAGE:CXX>:-fno-gnu-unique>)  # inline variables as plain weak symbols
# No folder of this machine in what ships: file names the compiler records
# (__FILE__, debugging information) are relative to the source and the build.
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}/= -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
add_link_options(-mcpu=powerpc -msoft-float -no-pie -static-libgcc
  -Wl,--bss-plt -Wl,--as-needed -Wl,-z,separate-code -Wl,-z,max-page-size=0x1000
  -Wl,--no-warn-rwx-segments)  # the old PLT is written and run where it lies

# No search path in any program of this build tree, neither the build's nor
# an installed one: under the emulator the lane hands the loader the
# target's library folders itself (kavro-box --target-libs).
set(CMAKE_SKIP_RPATH ON)

# The C driver links: nothing of the C++ compiler's own libraries.
set(CMAKE_CXX_IMPLICIT_LINK_LIBRARIES "")
set(CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES "")

if(KAVRO_BOX_LIBC STREQUAL "uclibc")
  include(KavroBoxUclibc)
  return()
endif()

add_link_options(-nostartfiles -Wl,--hash-style=sysv)

# The pins, made from the very C library the build links against.
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=libc.so.6
  OUTPUT_VARIABLE box_libc_so6 OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT IS_ABSOLUTE "${box_libc_so6}" OR NOT EXISTS "${box_libc_so6}")
  message(FATAL_ERROR "the box build finds no libc.so.6 of ${CMAKE_C_COMPILER}")
endif()
set(KAVRO_BOX_PINS ${CMAKE_BINARY_DIR}/box/glibc-2.2-pins.h)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/box)
execute_process(
  COMMAND ${CMAKE_SOURCE_DIR}/installer/box/pin-symbols.sh ${KAVRO_CROSS_PREFIX}readelf ${box_libc_so6} ${KAVRO_BOX_PINS}
  RESULT_VARIABLE pin_status)
if(NOT pin_status EQUAL 0)
  message(FATAL_ERROR "installer/box/pin-symbols.sh failed for ${box_libc_so6}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${box_libc_so6}
  ${CMAKE_SOURCE_DIR}/installer/box/pin-symbols.sh)
add_compile_options(-include ${KAVRO_BOX_PINS})
