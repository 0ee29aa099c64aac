# SPDX-License-Identifier: GPL-2.0-or-later
# Cross build for the boxes' CPU family: 32-bit big-endian PowerPC, with
# Debian's cross compiler (g++-powerpc-linux-gnu) and the target's libc in
# /usr/powerpc-linux-gnu. Programs run under user-mode emulation (qemu-user),
# so ctest and gtest_discover_tests work as on the build machine.
#
#   cmake -S . -B build-ppc \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-powerpc-linux-gnu.cmake \
#     -DKAVRO_TARGET_PREFIX=/path/to/deps
#
# KAVRO_TARGET_PREFIX: where the target's own builds of the libraries that
# Debian does not ship for PowerPC (UCL, FreeType, GoogleTest) are installed.
#
# Another toolchain for the same CPU family (a box vendor's) takes two cache
# variables:
#   KAVRO_CROSS_PREFIX     what precedes gcc, g++ in the compilers' names,
#                          with its path if they are not on PATH
#                          (default powerpc-linux-gnu-)
#   KAVRO_TARGET_SYSROOT   the target's root: its C library, loader and
#                          headers (default /usr/powerpc-linux-gnu, Debian's)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(KAVRO_CROSS_PREFIX powerpc-linux-gnu- CACHE STRING "Prefix of the cross compilers' names (may hold a path)")
set(KAVRO_TARGET_SYSROOT /usr/powerpc-linux-gnu CACHE PATH "The target's root: C library, loader, headers")

set(CMAKE_C_COMPILER ${KAVRO_CROSS_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${KAVRO_CROSS_PREFIX}g++)
get_filename_component(KAVRO_TARGET_TRIPLE ${KAVRO_CROSS_PREFIX} NAME)
string(REGEX REPLACE "-$" "" KAVRO_TARGET_TRIPLE "${KAVRO_TARGET_TRIPLE}")
set(CMAKE_LIBRARY_ARCHITECTURE ${KAVRO_TARGET_TRIPLE})

# Look for headers, libraries and packages only in the target's trees, never
# in the build machine's; programs (tools run at build time) only there.
set(CMAKE_FIND_ROOT_PATH ${KAVRO_TARGET_SYSROOT})
if(KAVRO_TARGET_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${KAVRO_TARGET_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Try-compiles (compiler checks, find modules) see the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KAVRO_TARGET_PREFIX KAVRO_CROSS_PREFIX KAVRO_TARGET_SYSROOT)

# Every target program (tests, test discovery, tools) runs under qemu with the
# target's dynamic loader and libraries. qemu-user ships qemu-ppc; the static
# build from qemu-user-static serves as well.
find_program(KAVRO_QEMU_PPC NAMES qemu-ppc qemu-ppc-static
  PATHS /usr/bin /usr/local/bin NO_CMAKE_FIND_ROOT_PATH)
if(KAVRO_QEMU_PPC)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KAVRO_QEMU_PPC} -L ${KAVRO_TARGET_SYSROOT})
endif()
