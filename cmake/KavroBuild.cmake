# SPDX-License-Identifier: GPL-2.0-or-later
# Compiler settings shared by every target.
#   Release: what ships (NDEBUG, no assertions).
#   Debug:   the checking build (assertions, AddressSanitizer, UBSan, leak checking).
option(KAVRO_WERROR "Treat warnings as errors" OFF)

add_compile_options(-Wall -Wextra -Wpedantic)
if(KAVRO_WERROR)
  add_compile_options(-Werror)
endif()

# The fuzzing build (clang): coverage for libFuzzer on every unit, with
# AddressSanitizer and UBSan.
option(KAVRO_FUZZ "Build the libFuzzer targets (clang only)" OFF)
if(KAVRO_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(CMAKE_BUILD_TYPE STREQUAL "Debug")
  set(KAVRO_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${KAVRO_SANITIZE})
  add_link_options(-fsanitize=address,undefined)
endif()

# 32-bit targets (the boxes' PowerPC) use 64-bit file offsets: without them
# readdir fails with EOVERFLOW on file systems that hand out 64-bit directory
# offsets (ext4 under qemu-user), and sizes past 2 GiB cannot be seen.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_compile_definitions(_FILE_OFFSET_BITS=64)
endif()

set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
