# SPDX-License-Identifier: GPL-2.0-or-later
# The Debian packages (CPack DEB), one per install component:
#   lib    libzepa0      libzepa.so.0
#   dev    libzepa-dev   zepa.h, libzepa.a, libzepa.so, zepa.pc, the CMake package
#   tools  kavro-tools   zepa; kavro-box with kavro-install and the FreeType
#                        stand-in; the manual pages
# ./kavro package configures a build with KAVRO_DEBIAN_PACKAGES=ON and the
# prefix /usr, which adds each package's copyright and changelog.Debian.gz.
option(KAVRO_DEBIAN_PACKAGES "Install the Debian packages' copyright and changelog files" OFF)

set(debian_dir ${CMAKE_SOURCE_DIR}/packaging/debian)
set(debian_components lib dev tools)
set(debian_names libzepa0 libzepa-dev kavro-tools)

# The version and Debian revision come from the changelog's newest entry,
# which must be of this version of the project.
file(STRINGS ${debian_dir}/changelog newest LIMIT_COUNT 1)
if(NOT newest MATCHES "^kavro \\(([^-]+)-([^)]+)\\) ")
  message(FATAL_ERROR "${debian_dir}/changelog: the first line is not a changelog entry: ${newest}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "${debian_dir}/changelog: the newest entry is ${CMAKE_MATCH_1}, the project ${PROJECT_VERSION}")
endif()
set(debian_revision ${CMAKE_MATCH_2})

if(KAVRO_DEBIAN_PACKAGES)
  set(changelog_gz ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz)
  add_custom_command(OUTPUT ${changelog_gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/debian
    COMMAND sh -c "gzip -9nc \"$0\" > \"$1\"" ${debian_dir}/changelog ${changelog_gz}
    DEPENDS ${debian_dir}/changelog
    VERBATIM)
  add_custom_target(kavro_debian_changelog ALL DEPENDS ${changelog_gz})
  foreach(component name IN ZIP_LISTS debian_components debian_names)
    install(FILES ${debian_dir}/copyright ${changelog_gz}
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${name} COMPONENT ${component})
  endforeach()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kavro)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PACKAGE_CONTACT "Seed 33598da3 maintainers <maintainers@users.noreply.c-seed-33598da3.example>")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${debian_components})

set(CPACK_DEBIAN_PACKAGE_RELEASE ${debian_revision})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE kavro)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
foreach(component name IN ZIP_LISTS debian_components debian_names)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${name})
endforeach()

# libzepa0: the shlibs file and the ldconfig trigger are ours (CPack's shlibs
# would also claim the tools' FreeType stand-in), the Depends come from
# KavroDebianDepends.cmake.
set(shlibs ${CMAKE_BINARY_DIR}/debian/shlibs)
file(WRITE ${shlibs} "libzepa 0 libzepa0 (>= ${PROJECT_VERSION})\n")
get_target_property(zepa_version zepa_shared VERSION)
set(CPACK_KAVRO_DEBIAN_DIR ${CMAKE_BINARY_DIR}/debian)
set(CPACK_KAVRO_ZEPA_LIBRARY ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/libzepa.so.${zepa_version})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/KavroDebianDepends.cmake)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${shlibs} ${debian_dir}/triggers)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_LIB_DESCRIPTION "read-only container library of the Kavro data disks
A Kavro data disk is one file holding many files. libzepa opens one of
them by name and reads it like a stdio stream, or falls back to a real
file of that name. It has a C interface.

This package holds the shared library.")

set(CPACK_COMPONENT_DEV_DEPENDS lib)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEV_DESCRIPTION "read-only container library of the Kavro data disks (development)
A Kavro data disk is one file holding many files. libzepa opens one of
them by name and reads it like a stdio stream, or falls back to a real
file of that name. It has a C interface.

This package holds the header <zepa/zepa.h>, the static library, the
pkg-config file zepa.pc and the CMake package (find_package(zepa) gives
zepa::zepa and zepa::zepa_static).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS bubblewrap)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "tools to make and try Kavro data disks
Kavro installs a subtitle plugin on Linux set-top boxes (DM7000, DM56xx,
DBox2) from a data disk. These are the tools of the people who make the
disks: zepa packs files into a data disk, lists, verifies and unpacks it;
kavro-box runs the real installer against a disk in a sandboxed, simulated
box and shows what it left behind.")

include(CPack)
