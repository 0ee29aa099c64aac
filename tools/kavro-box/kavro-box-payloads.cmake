# SPDX-License-Identifier: GPL-2.0-or-later
# Writes the demo's placeholder payloads into OUT: a plugin file for each of
# the 11 language codes in both FreeType builds, and the two configuration
# files. They are clearly not the real plugin; they only let a person walk
# through an installation in kavro-box. With PLUGIN_KB each plugin is padded
# to that many kilobytes, to try a real plugin's size against a small flash
# (kavro-box --var-size 1792 is a DM7000's).
#   cmake -DOUT=<folder> [-DPLUGIN_KB=300] -P kavro-box-payloads.cmake
set(codes CZ EN AR BG HR NL FR GR HU PL SI)
set(languages Czech English Arabic Bulgarian Croatian Dutch French Greek Hungarian Polish Slovenian)
file(MAKE_DIRECTORY "${OUT}")

foreach(variant d209 d213)
  if(variant STREQUAL "d209")
    set(family "2.0")
  else()
    set(family "2.1")
  endif()
  foreach(code language IN ZIP_LISTS codes languages)
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
  endforeach()
endforeach()

file(WRITE "${OUT}/kavro-1.cfg"
  "# PLACEHOLDER Kavro configuration (kavro-1.cfg, Czech)\nlanguage=CZ\n")
file(WRITE "${OUT}/kavro-2.cfg"
  "# PLACEHOLDER Kavro configuration (kavro-2.cfg, all other languages)\nlanguage=auto\n")
