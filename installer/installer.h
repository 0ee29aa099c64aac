// SPDX-License-Identifier: GPL-2.0-or-later
// The Kavro installer: state shared by its units and their operations.
//
// Installer operations return a negative value (as a rule -1) for failure;
// the driver turns outcomes into the exit statuses below.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include "languages.h"

// Exit statuses of the installer.
enum ExitStatus : int {
  kExitDone = 0,
  kExitNoTerminal = 1,  // also: the terminal stopped delivering keys
  kExitNoProductDir = 2,
  kExitNoDisk = 3,
  kExitDiskNotOpened = 4,
  kExitUnpackFailed = 95,
  kExitSetupFailed = 96,  // FreeType did not start, or chmod failed
};

// Fixed places on the box.
inline constexpr char kProductDir[] = "/var/tuxbox/Kavro";
inline constexpr char kProductDirSlash[] = "/var/tuxbox/Kavro/";
inline constexpr char kSubtitlesDir[] = "/var/tuxbox/Kavro/tit";
inline constexpr char kFontLink[] = "/var/tuxbox/Kavro/Kavro.ttf";
inline constexpr char kPluginTarget[] = "/var/tuxbox/plugins/kavro.so";
inline constexpr char kConfigTarget[] = "/var/tuxbox/plugins/kavro.cfg";
inline constexpr char kBoxFontDir[] = "/share/fonts/";
inline constexpr char kTmpDir[] = "/tmp";

inline constexpr int kPathBufferSize = 255;

// Answers of the questions, process-wide.
extern const char *subtitles_target;       // chosen storage, or nullptr
extern char font_path[kPathBufferSize];    // chosen font; "" means none
extern char link_buffer[kPathBufferSize];  // link text / USB or HDD target
extern int font_choice;                    // result of the font question
extern struct termios saved_terminal;      // standard input before the change

// Target detection.
inline constexpr int kModelCount = 3;
extern const char *const model_names[kModelCount];
extern char disk_path[64];

// Index 0..2 of the first model whose disk lies in /tmp (disk_path then holds
// its path), or -1.
int find_data_disk();

// 1 for FreeType 2.0.x (and older), 0 for 2.1 and later, -1 when FreeType
// does not start.
int probe_freetype();

// Questions. Answer codes of ask_subtitles_dir.
enum SubtitlesAnswer : int {
  kKeepSubtitles = 0,
  kSubtitlesFlash = '1',
  kSubtitlesTmp = '2',
  kSubtitlesUsb = '3',
  kSubtitlesHdd = '4',
};
inline constexpr int kKeepFont = '0';

// What read_choice gives, and every question passes on at once, when the
// terminal delivers no more keys (end of input, or a read error other than an
// interrupted call): the run cannot go on.
inline constexpr int kNoKey = -2;

// The next key (0..255) after the prompt, or kNoKey.
int read_choice();
int ask_language();
int ask_subtitles_dir();
int ask_font();

// The ".ttf" file names of one directory, sorted ignoring case: the count,
// and in *names an array of separately allocated names (free each, then the
// array). -1 and no array when the directory cannot be read or memory runs
// out.
int scan_fonts(const char *directory, char ***names);

// Sorts names ignoring case with the fixed Shell sort of the font menu.
void sort_font_names(char **names, int count);

// File placement.
int remove_path(const char *path);
int install_file(const char *name, const char *target, mode_t mode);

// The installer from start to end; returns the exit status.
int run_installer();
