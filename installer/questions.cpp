// SPDX-License-Identifier: GPL-2.0-or-later
// The three questions of the configuration loop and the single-key input
// under them.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "installer.h"
#include "texts.h"

namespace {

constexpr char kFlashFileSystem[] = "/var";
constexpr char kHddMovieDir[] = "/hdd/movie";
constexpr char kTitSuffix[] = "/tit";
constexpr unsigned kEnoughFlashKb = 79;
constexpr int kCandidateCount = 3;
constexpr int kFirstCandidateNumber = 3;
constexpr int kFontLetters = 26;

// A USB or HDD directory that may hold the subtitles.
struct Candidate {
  const char *path;
  bool found;
};

Candidate usb_candidates[kCandidateCount] = {{"/usb/local", false}, {"/mnt/usb/local", false}, {"/mnt/usb/var", false}};
Candidate hdd_candidates[kCandidateCount] = {{"/hdd/local", false}, {"/mnt/hdd/local", false}, {"/mnt/hdd/var", false}};

bool path_exists(const char *path) {
  struct stat st;
  return stat(path, &st) == 0;
}

// Reads the link at `link` into buffer (cleared first, at most size-1 bytes)
// and tells whether it resolves. The link itself is followed, so that a
// relative link text counts from the link's own directory.
bool read_current_link(const char *link, char *buffer, std::size_t size) {
  std::memset(buffer, 0, size);
  if (readlink(link, buffer, size - 1) < 0) buffer[0] = '\0';
  return std::strlen(buffer) > 1 && path_exists(link);
}

// Free kilobytes on the flash, to the nearest one; 0 when unknown.
std::uint32_t free_flash_kb() {
  struct statfs info;
  if (statfs(kFlashFileSystem, &info) != 0) {
    std::perror(texts::kStatfsFailed);
    return 0;
  }
  const std::uint64_t bytes = static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_bsize);
  return static_cast<std::uint32_t>((bytes + 512) / 1024);
}

void probe_candidates() {
  for (int i = 0; i < kCandidateCount; ++i) {
    usb_candidates[i].found = path_exists(usb_candidates[i].path);
    hdd_candidates[i].found = path_exists(hdd_candidates[i].path);
  }
  bool any_hdd = false;
  for (const Candidate &c : hdd_candidates) any_hdd = any_hdd || c.found;
  if (!any_hdd && path_exists(kHddMovieDir)) {
    hdd_candidates[0].found = true;
    mkdir(hdd_candidates[0].path, 0755);
  }
}

// Prints the found candidates numbered from `number` on; returns the next
// number.
int list_candidates(const Candidate *list, const char *format, int number) {
  for (int i = 0; i < kCandidateCount; ++i)
    if (list[i].found) std::printf(format, number++, list[i].path);
  return number;
}

// The found candidate that carries `number` in the menu, or nullptr; sets
// *is_usb.
const Candidate *candidate_numbered(int number, bool *is_usb) {
  int next = kFirstCandidateNumber;
  for (const Candidate *list : {usb_candidates, hdd_candidates}) {
    for (int i = 0; i < kCandidateCount; ++i) {
      if (!list[i].found) continue;
      if (next++ == number) {
        *is_usb = list == usb_candidates;
        return &list[i];
      }
    }
  }
  return nullptr;
}

int take_subtitles_answer(int key) {
  remove_path(kSubtitlesDir);
  if (key == kSubtitlesFlash) {
    subtitles_target = kSubtitlesDir;
    return kSubtitlesFlash;
  }
  if (key == kSubtitlesTmp) {
    subtitles_target = kTmpDir;
    return kSubtitlesTmp;
  }
  bool is_usb = false;
  const Candidate *chosen = candidate_numbered(key - '0', &is_usb);
  std::snprintf(link_buffer, sizeof link_buffer, "%s%s", chosen->path, kTitSuffix);
  subtitles_target = link_buffer;
  return is_usb ? kSubtitlesUsb : kSubtitlesHdd;
}

// A font list as scan_fonts left it; a failed scan counts as empty.
struct FontList {
  char **names = nullptr;
  int scanned = -1;
  int count() const { return scanned < 0 ? 0 : scanned; }
  void release() {
    for (int i = 0; i < count(); ++i) std::free(names[i]);
    std::free(names);
    names = nullptr;
  }
};

// Prints the entries of one list, lettered from `letter`; returns the next
// letter index. Entries beyond "z" are not shown.
int list_fonts(const FontList &fonts, int letter) {
  for (int i = 0; i < fonts.count() && letter < kFontLetters; ++i, ++letter)
    std::printf(texts::kFontEntryFormat, 'a' + letter, fonts.names[i]);
  return letter;
}

void take_font(const FontList &box_fonts, const FontList &product_fonts, int index) {
  if (index < box_fonts.count()) {
    std::snprintf(font_path, sizeof font_path, "%s%.240s", kBoxFontDir, box_fonts.names[index]);
    font_choice = index;
  } else {
    const int position = index - box_fonts.count();
    std::snprintf(font_path, sizeof font_path, "%s%.235s", kProductDirSlash, product_fonts.names[position]);
    font_choice = position;
  }
  font_path[kPathBufferSize - 1] = '\0';
}

}  // namespace

int read_choice() {
  std::fputs(texts::kPrompt, stdout);
  std::fflush(stdout);
  unsigned char key = 0;
  for (;;) {
    const ssize_t got = read(STDIN_FILENO, &key, 1);
    if (got == 1) return key;
    if (got < 0 && errno == EINTR) continue;
    return kNoKey;  // end of input or a read error: the terminal is gone
  }
}

int ask_language() {
  std::puts(texts::kLanguageHeading);
  for (int i = 0; i < kLanguageCount; ++i) std::printf(texts::kLanguageEntryFormat, 'a' + i, language_table[i].name);
  for (;;) {
    const int key = read_choice();
    if (key == kNoKey || (key >= 'a' && key < 'a' + kLanguageCount)) return key;
  }
}

int ask_subtitles_dir() {
  const std::uint32_t free_kb = free_flash_kb();
  probe_candidates();

  std::puts(texts::kSubtitlesHeading);
  if (read_current_link(kSubtitlesDir, link_buffer, sizeof link_buffer)) {
    std::puts(texts::kKeepCurrent);
    std::printf(texts::kActualDestinationFormat, link_buffer);
  }
  std::printf(texts::kFlashFormat, static_cast<int>(free_kb),
              free_kb > kEnoughFlashKb ? texts::kFlashEnough : texts::kFlashNotRecommended);
  std::puts(texts::kTmpEntry);
  int next = list_candidates(usb_candidates, texts::kUsbEntryFormat, kFirstCandidateNumber);
  next = list_candidates(hdd_candidates, texts::kHddEntryFormat, next);

  for (;;) {
    const int key = read_choice();
    if (key == kNoKey) return kNoKey;
    if (key == '0') return kKeepSubtitles;
    if (key > '0' && key < '0' + next) return take_subtitles_answer(key);
  }
}

int ask_font() {
  FontList box_fonts, product_fonts;
  box_fonts.scanned = scan_fonts(kBoxFontDir, &box_fonts.names);
  product_fonts.scanned = scan_fonts(kProductDirSlash, &product_fonts.names);

  if (box_fonts.count() == 0 && product_fonts.count() == 0) {
    std::fputs(texts::kNoUsableFont, stderr);
    box_fonts.release();
    product_fonts.release();
    font_choice = -1;
    return -1;
  }

  std::puts(texts::kFontHeading);
  std::puts(texts::kPreferredFont);
  if (read_current_link(kFontLink, font_path, sizeof font_path)) {
    std::puts(texts::kKeepCurrent);
    std::printf(texts::kActualFontFormat, font_path);
  }
  int letters = list_fonts(box_fonts, 0);
  if (product_fonts.scanned != 0) {
    std::puts(texts::kProductFontsMark);
    letters = list_fonts(product_fonts, letters);
  }

  for (;;) {
    const int key = read_choice();
    font_choice = key;
    if (key == kKeepFont || key == kNoKey) break;
    if (key >= 'a' && key < 'a' + letters) {
      take_font(box_fonts, product_fonts, key - 'a');
      break;
    }
  }
  box_fonts.release();
  product_fonts.release();
  return font_choice;
}
