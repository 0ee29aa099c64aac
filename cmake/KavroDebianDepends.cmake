# SPDX-License-Identifier: GPL-2.0-or-later
# Read by cpack before it packs (CPACK_PROJECT_CONFIG_FILE): the Depends of
# libzepa0, from dpkg-shlibdeps over the built library. CPack's own scan
# would also give the package maintainer scripts that call ldconfig, where
# the package activates dpkg's ldconfig trigger instead.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_DEBIAN_LIB_PACKAGE_DEPENDS)
  set(work "${CPACK_KAVRO_DEBIAN_DIR}/shlibdeps")
  file(REMOVE_RECURSE "${work}")
  file(WRITE "${work}/debian/control" "")
  execute_process(COMMAND dpkg-shlibdeps -O "${CPACK_KAVRO_ZEPA_LIBRARY}"
    WORKING_DIRECTORY "${work}" OUTPUT_VARIABLE substvars ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT substvars MATCHES "shlibs:Depends=([^\n]+)")
    message(FATAL_ERROR "dpkg-shlibdeps ${CPACK_KAVRO_ZEPA_LIBRARY} failed: ${errors}")
  endif()
  set(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
endif()
