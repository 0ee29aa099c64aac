// SPDX-License-Identifier: GPL-2.0-or-later
// The languages the installer offers, and the names it asks the data disk
// for: a plugin in two builds per language, and a configuration file.
#pragma once

#include <cstddef>

// One row of the language menu.
struct LanguageEntry {
  const char *name;         // shown in the menu and the summary
  const char *code;         // two upper-case letters of the plugin name
  const char *config_file;  // configuration file inside the data disk
  const char *credit;       // translator credit, or nullptr
};

inline constexpr int kLanguageCount = 11;
extern const LanguageEntry language_table[kLanguageCount];

// The plugin of `language` in the data disk, into `out` (`size` bytes): the
// build for FreeType 2.0.x when `freetype_older` is 1, else the one for 2.1
// and later.
void plugin_file_name(const LanguageEntry &language, int freetype_older, char *out, std::size_t size);
