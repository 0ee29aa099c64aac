// Fixtures of the end-to-end tests: the real kavro-install run inside
// kavro-box on a pseudo-terminal (one key typed at each "Your choice: "
// prompt), data disks made with the zepa tool from placeholder payloads, a box
// per test, and the installer's texts as a user sees them, to compose whole
// expected transcripts.
#pragma once

#include <gtest/gtest.h>
#include <termios.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace box {

namespace fs = std::filesystem;

// Which of the installer's standard descriptors are the terminal; kHangUp:
// the terminal, hung up when the keys run out, with the hang-up signal
// ignored (as under nohup).
enum class Wiring { kTerminal, kInputFromNull, kOutputToFile, kHangUp };

struct Outcome {
  std::string out;       // standard output (the terminal, or the file)
  std::string err;       // standard error
  std::string report;    // kavro-box's status line and tree
  int status = -1;       // exit status (128 + signal when killed)
  int prompts = 0;       // "Your choice: " prompts seen
  bool starved = false;  // the installer asked for more keys than given
  int hang_up_ms = -1;   // kHangUp: from the hang-up to kavro-box's end
  termios before{};      // terminal settings before the start
  termios during{};      // ... at the first prompt
  termios after{};       // ... after the end
};

// The build tree under test (KAVRO_BUILD_DIR, set by CTest).
fs::path build_dir();
// True when kavro-box can make a sandbox here; the reason otherwise.
bool sandbox_available(std::string *reason);
// Runs kavro-box with `options` (box layout), the box built in `work`/root;
// `keys` are typed one per prompt.
Outcome run_box(const fs::path &work, const std::vector<std::string> &options, const std::string &keys,
                Wiring wiring = Wiring::kTerminal);
// Same terminal settings (flags and control characters).
bool same_terminal(const termios &a, const termios &b);
std::string read_file(const fs::path &path);
void write_file(const fs::path &path, const std::string &content);

// The codes of the language menu, in menu order.
inline const std::vector<std::string> kLanguageCodes = {"CZ", "EN", "AR", "BG", "HR", "NL",
                                                        "FR", "GR", "HU", "PL", "SI"};

// What a placeholder payload holds: its own name, so that a wrong file shows.
std::string payload_content(const std::string &name);

// A data disk made by `zepa create` from NAME=CONTENT pairs.
using DiskEntries = std::vector<std::pair<std::string, std::string>>;
fs::path make_disk(const fs::path &where, const DiskEntries &entries, const std::string &zepa_options = "");
// Every plugin variant and both configuration files.
DiskEntries full_disk_entries();
DiskEntries without(DiskEntries entries, const std::string &name);
// Bytes that pack poorly, the same for the same seed.
std::string noise(std::size_t size, unsigned seed);
// The full disk with the English plugin replaced by `plugin`.
DiskEntries with_english_plugin(const std::string &plugin);
// Overwrites one byte of the packed file `name` inside the disk, at `offset`
// from the packed file's start.
void damage_entry(const fs::path &disk, const std::string &name, std::size_t offset, unsigned char value);

// One box per test: its own work folder, a full data disk for the DM7000 in
// /tmp, /var as a 2048 kB tmpfs (a fixed free-space figure) and FreeType
// 2.1.3, unless a test says otherwise.
class BoxTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs the installer with the standard box plus `options`.
  Outcome run(const std::string &keys, std::vector<std::string> options = {}, Wiring wiring = Wiring::kTerminal);
  // Same, without the standard box: only `options`.
  Outcome run_bare(const std::string &keys, std::vector<std::string> options, Wiring wiring = Wiring::kTerminal);

  // A path of the box after the last run, as seen from outside.
  fs::path in_box(const std::string &path) const { return root_ / path.substr(1); }
  std::string box_file(const std::string &path) const { return read_file(in_box(path)); }
  bool box_has(const std::string &path) const;
  unsigned box_mode(const std::string &path) const;     // permission bits, 0 if absent
  std::string box_link(const std::string &path) const;  // link text, "" if none

  fs::path work_;  // this test's folder
  fs::path disk_;  // the full data disk
  fs::path root_;  // the box of the last run
  int runs_ = 0;
};

inline constexpr int kStandardFreeKb = 2048;

// What the standard box prints on standard error.
inline constexpr char kProbe[] = "FreeType library 2.1.3\n";
inline constexpr char kNoFont[] = "You don't have any usable font!\n";
inline constexpr char kUnpackFailed[] = "Couldn't unpack file! Not enough free space?";

// The installer's screen, piece by piece, to compose whole transcripts.
namespace screen {

namespace text {
inline const std::string kWeb = "http://kavro.example.org/";
inline const std::string kKeepCurrent =
    "\033[1;34m\t0\033[0m - I'm upgrading or I'll do it manually -- don't care...\n";
inline const std::vector<std::string> kLanguageNames = {"Czech",     "English", "Arabic",   "Bulgarian",
                                                        "Croatian",  "Dutch",   "French",   "Greek",
                                                        "Hungarian", "Polish",  "Slovenian"};
}  // namespace text

inline std::string start(const std::string &model = "DM7000", const std::string &freetype = "2.1") {
  std::string text = "\n\t\033[1;31mWelcome to Kavro v2.0-7020 for " + model + " -- installer v0.24\033[0m" +
                     "\nMore info is available at " + text::kWeb + "\n\n";
  if (!freetype.empty()) text += "\033[1;31mKavro 2.0-7020 for FreeType " + freetype + " will be installed.\033[0m";
  return text;
}

inline std::string missing_disk() {
  return "\n\n\033[1;31m!!! Missing data disk. Please upload correct .dsk file to /tmp\n\033[0m\n";
}

inline std::string prompt(int times = 1) {
  std::string text;
  for (int i = 0; i < times; ++i) text += "\033[0;35mYour choice: \033[0m";
  return text;
}

inline std::string pass_start() { return " \n"; }

inline std::string language_menu() {
  std::string text = "\n\033[1;34mSelect language version:\033[0m\n";
  char letter = 'a';
  for (const std::string &name : text::kLanguageNames)
    text += std::string("\033[1;34m\t") + letter++ + "\033[0m - " + name + "\n";
  return text;
}

inline std::string subtitles_menu(int free_kb, const std::vector<std::string> &candidates = {},
                                  const std::string &current = "") {
  std::string text = "\033[1;34m\nSelect subtitles directory:\n";
  if (!current.empty()) text += text::kKeepCurrent + "\t\t(Actual destination: " + current + ")\n";
  text += "\033[1;34m\t1\033[0m - Flash (" + std::to_string(free_kb) + " kB free) " +
          (free_kb >= 80 ? " " : "\033[1;31mNOT RECOMMENDED!") + "\n";
  text += "\033[1;34m\t2\033[0m - /tmp\n";
  for (const std::string &line : candidates) text += line;
  return text;
}

inline std::string usb(int number, const std::string &path) {
  return "\033[1;34m\t" + std::to_string(number) + "\033[0m - USB -> " + path + "/tit\n";
}

inline std::string hdd(int number, const std::string &path) {
  return "\033[1;34m\t" + std::to_string(number) + "\033[0m - HDD -> " + path + "/tit\n";
}

inline std::string font_menu(const std::vector<std::string> &box_fonts,
                             const std::vector<std::string> *product_fonts = nullptr, const std::string &current = "") {
  std::string text =
      "\033[1;34m\nSelect your favorite font:\033[0m\n"
      "(The preferred one is md_khmurabi_10.ttf)\n";
  if (!current.empty()) text += text::kKeepCurrent + "\t\t(Actual font: " + current + ")\n";
  char letter = 'a';
  auto list = [&](const std::vector<std::string> &names) {
    for (const std::string &name : names)
      if (letter <= 'z') text += std::string("\t\033[1;34m") + letter++ + "\033[0m - " + name + "\n";
  };
  list(box_fonts);
  if (product_fonts != nullptr) {
    text += "\t\t<-VAR->\n";
    list(*product_fonts);
  }
  return text;
}

inline std::string summary(const std::string &language, const std::string &subtitles_line, const std::string &font_line,
                           const std::string &freetype = "2.1", const std::string &model = "DM7000",
                           const std::string &credit = "") {
  std::string text = "\n\n\033[1;31mConfiguration:\033[0m\n\033[1;34m\tInstall Kavro 2.0-7020 (" + model +
                     ") for FreeType2 v" + freetype + " - " + language + "\n";
  if (!credit.empty()) text += "\t[" + language + " translation by " + credit + "]\n\n";
  return text + subtitles_line + font_line +
         "\033[1;31m\tAre you sure? \033[0;35m[Y\033[0mes/\033[0;35mN\033[0mo/\033[0;35mE"
         "\033[0mxit\033[0;35m]\033[0m\n";
}

inline std::string store_subtitles(const std::string &target) { return "\tStore subtitles in " + target + "\n"; }
inline std::string keep_subtitles() { return "\tDon't modify subtitles storage.\n"; }
inline std::string favourite_font(const std::string &path) { return "\tMy favourite font is " + path + "\n"; }
inline std::string keep_font() { return "\tDon't touch my font.\n"; }
inline std::string installation_start() { return "\n\n\033[1;31mInstallation:\033[0m\n"; }
inline std::string plugin_ok() { return "OK\n"; }
inline std::string plugin_failed() { return "ERROR!\n"; }

inline std::string done() {
  return "\033[1;31m\nDone.\n\nPlease read the documentation and FAQs at \033[1;34m" + text::kWeb + "\n\033[0m\n";
}

inline std::string english(const std::string &subtitles_line = keep_subtitles(),
                           const std::string &font_line = keep_font()) {
  return summary("English", subtitles_line, font_line);
}

inline std::string installed(const std::string &steps = "") {
  return installation_start() + plugin_ok() + steps + done();
}

// One pass through the questions, from the start of the pass to the
// confirmation's prompt; the font menu only when given.
struct Pass {
  int language_prompts = 1;
  std::string subtitles = subtitles_menu(kStandardFreeKb);
  int subtitles_prompts = 1;
  std::string fonts = "";
  int font_prompts = 1;
  std::string summary = english();
};

inline std::string pass(const Pass &p) {
  return pass_start() + language_menu() + prompt(p.language_prompts) + p.subtitles + prompt(p.subtitles_prompts) +
         (p.fonts.empty() ? "" : p.fonts + prompt(p.font_prompts)) + p.summary + prompt();
}

}  // namespace screen
}  // namespace box
