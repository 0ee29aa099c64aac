// SPDX-License-Identifier: GPL-2.0-or-later
// The font directory scan behind the font menu.
#include <cstdlib>
#include <cstring>
#include <utility>

#include <dirent.h>
#include <strings.h>

#include "installer.h"

namespace {

constexpr char kFontSuffix[] = ".ttf";
constexpr char kFontLinkName[] = "Kavro.ttf";
constexpr int kFirstCapacity = 16;

// A ".ttf" name, exactly (case matters, nothing after it), other than the
// font link itself.
bool is_listed_font(const char *name) {
  const char *suffix = std::strrchr(name, '.');
  if (suffix == nullptr || std::strcmp(suffix, kFontSuffix) != 0) return false;
  return std::strcmp(name, kFontLinkName) != 0;
}

void free_names(char **names, int count) {
  for (int i = 0; i < count; ++i) std::free(names[i]);
  std::free(names);
}

// Appends a copy of name, growing the array as needed; false when memory
// runs out.
bool append_name(char ***names, int *count, int *capacity, const char *name) {
  if (*count == *capacity) {
    const int grown = *capacity == 0 ? kFirstCapacity : *capacity * 2;
    auto *bigger = static_cast<char **>(std::realloc(*names, sizeof(char *) * grown));
    if (bigger == nullptr) return false;
    *names = bigger;
    *capacity = grown;
  }
  const std::size_t size = std::strlen(name) + 1;
  auto *copy = static_cast<char *>(std::malloc(size));
  if (copy == nullptr) return false;
  std::memcpy(copy, name, size);
  (*names)[(*count)++] = copy;
  return true;
}

}  // namespace

void sort_font_names(char **names, int count) {
  // Names equal but for case are swapped as well; that fixes their order.
  for (int gap = count / 2; gap > 0; gap /= 2)
    for (int i = gap; i < count; ++i)
      for (int j = i - gap; j >= 0 && strcasecmp(names[j], names[j + gap]) >= 0; j -= gap)
        std::swap(names[j], names[j + gap]);
}

int scan_fonts(const char *directory, char ***names) {
  *names = nullptr;
  DIR *dir = opendir(directory);
  if (dir == nullptr) return -1;

  char **found = nullptr;
  int count = 0;
  int capacity = 0;
  while (const dirent *entry = readdir(dir)) {
    if (!is_listed_font(entry->d_name)) continue;
    if (!append_name(&found, &count, &capacity, entry->d_name)) {
      closedir(dir);
      free_names(found, count);
      return -1;
    }
  }
  closedir(dir);

  if (count >= 2) sort_font_names(found, count);
  *names = found;
  return count;
}
