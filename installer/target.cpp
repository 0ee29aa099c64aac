// SPDX-License-Identifier: GPL-2.0-or-later
// Target detection: which box model the uploaded data disk is for, and which
// FreeType family the box carries.
#include <cctype>
#include <cstdio>

#include <sys/stat.h>

#include <ft2build.h>
#include FT_FREETYPE_H

#include "installer.h"
#include "texts.h"

const char *const model_names[kModelCount] = {"DM7000", "DM56xx", "DBox2"};
char disk_path[64];

namespace {

// The FreeType library handle; set only while probe_freetype runs.
FT_Library freetype_library = nullptr;

void make_disk_path(int model_index) {
  std::snprintf(disk_path, sizeof disk_path, texts::kDiskPathFormat, model_names[model_index]);
  for (char *c = disk_path; *c != '\0'; ++c) *c = static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
}

}  // namespace

int find_data_disk() {
  for (int i = 0; i < kModelCount; ++i) {
    make_disk_path(i);
    struct stat st;
    if (lstat(disk_path, &st) == 0) return i;
  }
  return -1;
}

int probe_freetype() {
  FT_Error error = FT_Init_FreeType(&freetype_library);
  if (error != 0) {
    std::printf(texts::kFreetypeInitFailedFormat, static_cast<unsigned>(error));
    freetype_library = nullptr;
    return -1;
  }
  FT_Int major = 0, minor = 0, patch = 0;
  FT_Library_Version(freetype_library, &major, &minor, &patch);
  std::fprintf(stderr, texts::kFreetypeVersionFormat, major, minor, patch);

  const int older_family = (major <= 1 || minor <= 0) ? 1 : 0;
  std::printf(texts::kVariantFormat, major, minor);

  FT_Done_FreeType(freetype_library);
  freetype_library = nullptr;
  return older_family;
}
