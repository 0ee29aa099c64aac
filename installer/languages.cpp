// SPDX-License-Identifier: GPL-2.0-or-later
// The language table and the plugin names built from it.
#include "languages.h"

#include <cstdio>

#include "texts.h"

// The menu letter of a row is its position: "a" for the first.
const LanguageEntry language_table[kLanguageCount] = {
    {.name = "Czech", .code = "CZ", .config_file = "kavro-1.cfg", .credit = nullptr},
    {.name = "English", .code = "EN", .config_file = "kavro-2.cfg", .credit = nullptr},
    {.name = "Arabic", .code = "AR", .config_file = "kavro-2.cfg", .credit = "the Kavro Arabic team"},
    {.name = "Bulgarian", .code = "BG", .config_file = "kavro-2.cfg", .credit = "the Kavro Bulgarian team"},
    {.name = "Croatian", .code = "HR", .config_file = "kavro-2.cfg", .credit = "the Kavro Croatian team"},
    {.name = "Dutch", .code = "NL", .config_file = "kavro-2.cfg", .credit = "the Kavro Dutch team"},
    {.name = "French",
     .code = "FR",
     .config_file = "kavro-2.cfg",
     .credit = "the Kavro French team (http://kavro.example.org/fr/)"},
    {.name = "Greek", .code = "GR", .config_file = "kavro-2.cfg", .credit = "the Kavro Greek team"},
    {.name = "Hungarian",
     .code = "HU",
     .config_file = "kavro-2.cfg",
     .credit = "the Kavro Hungarian team & the Kavro proofreaders"},
    {.name = "Polish", .code = "PL", .config_file = "kavro-2.cfg", .credit = "the Kavro Polish team"},
    {.name = "Slovenian", .code = "SI", .config_file = "kavro-2.cfg", .credit = "the Kavro Slovenian team"},
};

void plugin_file_name(const LanguageEntry &language, int freetype_older, char *out, std::size_t size) {
  std::snprintf(out, size, freetype_older == 1 ? texts::kPluginOlderFormat : texts::kPluginNewerFormat, language.code);
}
