// SPDX-License-Identifier: GPL-2.0-or-later
// The installer from start to exit: start-up checks, the configuration loop
// with its summary and confirmation, the installation sequence and the
// endings.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "installer.h"
#include "texts.h"
#include "unpack.h"
#include "zepa_strzz.h"

const char *subtitles_target = nullptr;
char font_path[kPathBufferSize];
char link_buffer[kPathBufferSize];
int font_choice = -1;
struct termios saved_terminal;

namespace {

constexpr mode_t kProductDirMode = 0755;
constexpr mode_t kSubtitlesDirMode = 0777;
constexpr mode_t kLinkTargetMode = 0755;
constexpr mode_t kPluginMode = 0755;
constexpr mode_t kConfigMode = 0644;

enum class Confirmation { kInstall, kLeave, kAskAgain, kTerminalLost };

// Whether saved_terminal holds the settings read at the change to single-key
// mode; only then are they put back.
bool terminal_saved = false;
strzz_oom_handler library_oom_handler = nullptr;

void reset_state() {
  terminal_saved = false;
  subtitles_target = nullptr;
  std::memset(font_path, 0, sizeof font_path);
  std::memset(link_buffer, 0, sizeof link_buffer);
  font_choice = -1;
}

// Creates a directory; false for any failure other than "already there".
bool make_product_dir(const char *path, const char *message) {
  if (mkdir(path, kProductDirMode) == 0 || errno == EEXIST) return true;
  std::perror(message);
  return false;
}

void print_banner(const char *model) {
  std::printf(texts::kBannerFormat, model);
  std::puts(texts::kBannerInfo.data());
}

// Puts the saved settings back, as far as the terminal still takes them.
void restore_terminal() {
  if (terminal_saved) tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
}

// The string list's out-of-memory handler ends the process: the terminal is
// restored first, then the library's own handler does the rest.
void restore_terminal_on_out_of_memory(strzz *object) {
  restore_terminal();
  library_oom_handler(object);
}

// Single-key input: no line editing, no echo; everything else as it was.
// Settings that cannot be read are left alone.
void enter_single_key_mode() {
  if (tcgetattr(STDIN_FILENO, &saved_terminal) != 0) return;
  terminal_saved = true;
  library_oom_handler = zepa_strzz_GetOutOfMemoryHandler();
  zepa_strzz_SetOutOfMemoryHandler(restore_terminal_on_out_of_memory);
  struct termios single_key = saved_terminal;
  single_key.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL);
  tcsetattr(STDIN_FILENO, TCSANOW, &single_key);
}

void print_summary(const char *model, int freetype_older, const Answers &answers) {
  const LanguageEntry &language = language_table[answers.language];
  std::puts(texts::kSummaryHeading);
  std::printf(texts::kSummaryInstallFormat, model, freetype_older == 1 ? texts::kFreetypeOlder : texts::kFreetypeNewer);
  std::puts(language.name);
  if (language.credit != nullptr) std::printf(texts::kSummaryCreditFormat, language.name, language.credit);
  if (answers.subtitles >= 0 && subtitles_target != nullptr)
    std::printf(texts::kSummarySubtitlesFormat, subtitles_target);
  else
    std::puts(texts::kSummaryKeepSubtitles);
  if (answers.font >= 0 && font_path[0] != '\0')
    std::printf(texts::kSummaryFontFormat, font_path);
  else
    std::puts(texts::kSummaryKeepFont);
  std::puts(texts::kSummaryConfirm);
}

Confirmation read_confirmation() {
  switch (read_choice()) {
    case kNoKey:
      return Confirmation::kTerminalLost;
    case 'y':
    case 'Y':
    case 'z':
    case 'Z':
      return Confirmation::kInstall;
    case 'e':
    case 'E':
      return Confirmation::kLeave;
    default:
      return Confirmation::kAskAgain;
  }
}

// The configuration loop: asks until the user confirms or leaves.
Confirmation configure(const char *model, int freetype_older, Answers *answers) {
  for (;;) {
    font_path[0] = '\0';
    subtitles_target = nullptr;
    std::puts(texts::kPassStart);

    const int language = ask_language();
    if (language == kNoKey) return Confirmation::kTerminalLost;
    answers->language = language - 'a';
    answers->subtitles = ask_subtitles_dir();
    if (answers->subtitles == kNoKey) return Confirmation::kTerminalLost;
    answers->font = ask_font();
    if (answers->font == kNoKey) return Confirmation::kTerminalLost;
    print_summary(model, freetype_older, *answers);

    const Confirmation confirmation = read_confirmation();
    if (confirmation != Confirmation::kAskAgain) return confirmation;
  }
}

void create_subtitles_dir(const Places &places) {
  std::puts(texts::kCreatingSubtitlesDir);
  if (mkdir(places.subtitles_dir, kSubtitlesDirMode) != 0) std::perror(texts::kSubtitlesDirFailed);
}

void link_subtitles_dir(const Places &places) {
  if (subtitles_target == nullptr) {
    std::puts(texts::kCreateLinkManually);
    return;
  }
  std::printf(texts::kLinkingSubtitlesFormat, subtitles_target);
  struct stat st;
  if (stat(subtitles_target, &st) != 0 && mkdir(subtitles_target, kLinkTargetMode) != 0) {
    std::printf(texts::kTargetDirFailedFormat, subtitles_target);
    std::perror(texts::kDoItYourself);
  }
  if (replace_link(subtitles_target, places.subtitles_dir) != 0) {
    std::fprintf(stderr, texts::kSubtitlesLinkFailedFormat, subtitles_target);
    std::perror(texts::kDoItYourself);
  }
}

void link_font(const Places &places) {
  std::printf(texts::kSelectedFontFormat, font_path);
  if (replace_link(font_path, places.font_link) != 0) {
    std::fprintf(stderr, texts::kFontLinkFailedFormat, font_path);
    std::perror(texts::kFontLinkReason);
  }
}

// The plugin and its configuration, both checked: both staged as a pair,
// then the pair put in place at once; a failure of either leaves the old pair
// (but for a plugin written in the room of the old one).
int install_plugin_and_config(StagedFile *plugin, StagedFile *config) {
  FilePair pair;
  int status = prepare_pair(&pair, plugin, config);
  if (status == kExitDone) status = stage_file(plugin);
  if (status != kExitDone) {
    std::puts(texts::kPluginFailed);
    discard_pair(&pair);
    return status;
  }
  std::puts(texts::kPluginInstalled);
  status = stage_file(config);
  if (status != kExitDone) {
    discard_pair(&pair);
    return status;
  }
  return switch_pair(&pair);
}

}  // namespace

// Installs the confirmed configuration; 0, or the status of the failed file.
// Both files of the disk are decoded whole before anything of the box is
// removed or replaced.
int install(int freetype_older, const Answers &answers, const Places &places) {
  const LanguageEntry &language = language_table[answers.language];
  std::puts(texts::kInstallSpacing);
  std::puts(texts::kInstallHeading);

  char plugin_name[32];
  plugin_file_name(language, freetype_older, plugin_name, sizeof plugin_name);
  StagedFile plugin{.name = plugin_name, .target = places.plugin, .mode = kPluginMode, .what = texts::kPluginWhat};
  StagedFile config{
      .name = language.config_file, .target = places.config, .mode = kConfigMode, .what = texts::kConfigWhat};
  int status = check_file(&plugin);
  if (status != kExitDone) {
    std::puts(texts::kPluginFailed);
    return status;
  }
  status = check_file(&config);
  if (status != kExitDone) return status;

  for (const char *target : {places.plugin, places.config, places.subtitles_dir, places.font_link})
    remove_staged(target);
  status = install_plugin_and_config(&plugin, &config);
  if (status != kExitDone) return status;

  if (answers.subtitles == kSubtitlesFlash)
    create_subtitles_dir(places);
  else if (answers.subtitles > 0)
    link_subtitles_dir(places);

  if (answers.font >= 0 && font_path[0] != '\0') link_font(places);
  return kExitDone;
}

// A medium that takes no lock (or a folder that cannot be opened) leaves the
// installation unguarded, as it always was; only a lock held elsewhere stops
// it. The descriptor stays open, and the lock held, until the process ends.
int lock_installation(const char *dir) {
  const int fd = open(dir, O_RDONLY);
  if (fd < 0) return kExitDone;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) return kExitDone;
  close(fd);
  std::fputs(texts::kAnotherInstaller, stderr);
  return kExitAnotherInstaller;
}

namespace {

int normal_ending() {
  restore_terminal();
  std::puts(texts::kDone);
  std::puts(texts::kReadDocs.data());
  close_install_disk();
  return kExitDone;
}

// Also the ending when the terminal is gone: nothing more is changed.
int failure_ending(int status) {
  restore_terminal();
  close_install_disk();
  return status;
}

// Start-up up to the open data disk; the model index, or a negative exit
// status.
int start_up() {
  if (!isatty(STDIN_FILENO)) {
    std::fputs(texts::kStdinNotTty, stderr);
    return -kExitNoTerminal;
  }
  if (!isatty(STDOUT_FILENO)) {
    std::fputs(texts::kStdoutNotTty, stderr);
    return -kExitNoTerminal;
  }
  if (!make_product_dir(kProductDir, texts::kProductDirFailed) ||
      !make_product_dir(kProductDirSlash, texts::kProductDirSlashFailed))
    return -kExitNoProductDir;
  if (lock_installation(kProductDir) != kExitDone) return -kExitAnotherInstaller;

  const int model_index = find_data_disk();
  if (model_index < 0) {
    std::puts(texts::kMissingDisk);
    return -kExitNoDisk;
  }
  if (open_install_disk(disk_path) != 0) {
    std::puts(texts::kDiskOpenFailed);
    return -kExitDiskNotOpened;
  }
  return model_index;
}

}  // namespace

int run_installer() {
  reset_state();
  // A write past a file-size limit then fails with EFBIG, which ends the
  // attempt like a full flash, instead of the signal ending the process with
  // a staged file left behind. Ignoring a signal installs no handler.
  std::signal(SIGXFSZ, SIG_IGN);
  const int model_index = start_up();
  if (model_index < 0) return -model_index;
  const char *model = model_names[model_index];
  print_banner(model);
  enter_single_key_mode();

  const int freetype_older = probe_freetype();
  if (freetype_older < 0) {
    restore_terminal();
    return kExitSetupFailed;
  }

  Answers answers;
  const Confirmation confirmation = configure(model, freetype_older, &answers);
  if (confirmation == Confirmation::kTerminalLost) return failure_ending(kExitNoTerminal);
  if (confirmation == Confirmation::kLeave) return normal_ending();

  const int status = install(freetype_older, answers, kBoxPlaces);
  if (status != kExitDone) return failure_ending(status);
  return normal_ending();
}
