# SPDX-License-Identifier: GPL-2.0-or-later
# Finds the UCL compression library (Debian: libucl-dev, which ships no
# pkg-config file) and defines the imported targets UCL::UCL (whatever the
# linker picks) and UCL::static (the archive, for programs that go to boxes
# without the library).
find_path(UCL_INCLUDE_DIR NAMES ucl/ucl.h)
find_library(UCL_LIBRARY NAMES ucl)
find_library(UCL_STATIC_LIBRARY NAMES libucl.a)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(UCL REQUIRED_VARS UCL_LIBRARY UCL_INCLUDE_DIR)

if(UCL_FOUND AND NOT TARGET UCL::UCL)
  add_library(UCL::UCL UNKNOWN IMPORTED)
  set_target_properties(UCL::UCL PROPERTIES
    IMPORTED_LOCATION "${UCL_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${UCL_INCLUDE_DIR}")
endif()
if(UCL_FOUND AND UCL_STATIC_LIBRARY AND NOT TARGET UCL::static)
  add_library(UCL::static STATIC IMPORTED)
  set_target_properties(UCL::static PROPERTIES
    IMPORTED_LOCATION "${UCL_STATIC_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${UCL_INCLUDE_DIR}")
endif()
mark_as_advanced(UCL_INCLUDE_DIR UCL_LIBRARY UCL_STATIC_LIBRARY)
