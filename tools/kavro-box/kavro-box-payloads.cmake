# SPDX-License-Identifier: GPL-2.0-or-later
# Writes the demo's payloads into OUT: a plugin file for each of the 11
# language codes in both FreeType builds, the two configuration files, and
# the manifest a release reads (MANIFEST: each file's SHA-256, licence,
# origin, version and where its source is).
#
# The plugins are placeholders, clearly not the real plugin; they only let a
# person walk through an installation in kavro-box on this machine:
#   cmake -DOUT=<folder> [-DPLUGIN_KB=300] -P kavro-box-payloads.cmake
# With PLUGIN_KB each plugin is padded to that many kilobytes, to try a real
# plugin's size against a small flash (kavro-box --var-size 1792 is a
# DM7000's). A release refuses them: they are text, not PowerPC shared
# objects.
#
# With BUILT=ON the plugins are already in OUT, built by the box build from
# demo_plugin.c (tools/kavro-box/CMakeLists.txt): real PowerPC shared
# objects, which a release takes. Only the configuration files and the
# manifest are written then.
set(codes CZ EN AR BG HR NL FR GR HU PL SI)
set(languages Czech English Arabic Bulgarian Croatian Dutch French Greek Hungarian Polish Slovenian)
set(version 2.0-7020-demo)
file(MAKE_DIRECTORY "${OUT}")

set(manifest "# The demo's payloads (tools/kavro-box/kavro-box-payloads.cmake): none is\n"
  "# the real plugin. One line a file:\n"
  "# FILE SHA-256 LICENCE ORIGIN VERSION SOURCE\n")
string(CONCAT manifest ${manifest})

# manifest_line(NAME SOURCE): NAME's line, its SHA-256 taken from OUT.
function(manifest_line name source)
  file(SHA256 "${OUT}/${name}" sum)
  set(manifest "${manifest}${name} ${sum} GPL-2.0-or-later kavro-demo ${version} project:${source}\n" PARENT_SCOPE)
endfunction()

foreach(variant d209 d213)
  if(variant STREQUAL "d209")
    set(family "2.0")
  else()
    set(family "2.1")
  endif()
  foreach(code language IN ZIP_LISTS codes languages)
    if(BUILT)
      if(NOT EXISTS "${OUT}/${variant}-${code}.so")
        message(FATAL_ERROR "no ${OUT}/${variant}-${code}.so: the box build makes it")
      endif()
      manifest_line(${variant}-${code}.so tools/kavro-box/demo_plugin.c)
      continue()
    endif()
    set(text "PLACEHOLDER -- not a real plugin.\n"
      "Kavro 2.0-7020 demo payload ${variant}-${code}.so: the ${language} plugin for FreeType ${family}.\n")
    string(CONCAT text ${text})
    if(PLUGIN_KB)
      string(LENGTH "${text}" length)
      math(EXPR padding "${PLUGIN_KB} * 1024 - ${length}")
      if(padding GREATER 0)
        string(REPEAT "." ${padding} dots)
        string(APPEND text "${dots}")
      endif()
    endif()
    file(WRITE "${OUT}/${variant}-${code}.so" "${text}")
    manifest_line(${variant}-${code}.so tools/kavro-box/kavro-box-payloads.cmake)
  endforeach()
endforeach()

file(WRITE "${OUT}/kavro-1.cfg"
  "# PLACEHOLDER Kavro configuration (kavro-1.cfg, Czech)\nlanguage=CZ\n")
file(WRITE "${OUT}/kavro-2.cfg"
  "# PLACEHOLDER Kavro configuration (kavro-2.cfg, all other languages)\nlanguage=auto\n")
manifest_line(kavro-1.cfg tools/kavro-box/kavro-box-payloads.cmake)
manifest_line(kavro-2.cfg tools/kavro-box/kavro-box-payloads.cmake)
file(WRITE "${OUT}/MANIFEST" "${manifest}")
