// SPDX-License-Identifier: GPL-2.0-or-later
// The Kavro installer: state shared by its units and their operations.
//
// Installer operations return a negative value (as a rule -1) for failure;
// the driver turns outcomes into the exit statuses below.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

#include <cstdint>

#include "languages.h"

// Exit statuses of the installer.
enum ExitStatus : int {
  kExitDone = 0,
  kExitNoTerminal = 1,  // also: the terminal stopped delivering keys
  kExitNoProductDir = 2,
  kExitAnotherInstaller = 2,  // another installer holds the product folder's lock
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
inline constexpr char kProcDir[] = "/proc";

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

// Where an installation puts the plugin, its configuration and the two
// links: the box's fixed places, or a test's.
struct Places {
  const char *plugin;
  const char *config;
  const char *subtitles_dir;
  const char *font_link;
};
inline constexpr Places kBoxPlaces{
    .plugin = kPluginTarget,
    .config = kConfigTarget,
    .subtitles_dir = kSubtitlesDir,
    .font_link = kFontLink,
};

// What one pass of the configuration loop gathered.
struct Answers {
  int language = 0;   // row of language_table
  int subtitles = 0;  // answer code of ask_subtitles_dir
  int font = -1;      // result of ask_font
};

// The installation sequence after a confirmation, with its messages: 0, or
// the status of the file that failed.
int install(int freetype_older, const Answers &answers, const Places &places);

// File placement. A file of the disk is decoded into a staged file (beside
// its target, ".NAME.new" in the same folder, or in the pair folder of a
// pair), given its mode there and flushed; only then is it renamed over the
// target, or its pair switched. A link is made under its staged name and
// renamed over the old one.

// What placing files and links does to the box. Replaceable, so that tests
// can cut an installation at any step; the table must outlive its use.
struct BoxOperations {
  int (*chmod)(const char *path, mode_t mode);
  int (*flush)(const char *path);  // a file's bytes or a folder's entries to the medium
  int (*link)(const char *existing, const char *path);  // a second (hard) name
  int (*mkdir)(const char *path, mode_t mode);
  int (*rename)(const char *from, const char *to);
  int (*rmdir)(const char *path);
  int (*symlink)(const char *target, const char *path);
  int (*unlink)(const char *path);
};
const BoxOperations &box_operations();
void set_box_operations(const BoxOperations *table);  // null: the C library's
const BoxOperations &libc_box_operations();

enum class Staging { kNothing, kStaged, kInPlace };

// One file of the data disk on its way to its target.
struct StagedFile {
  const char *name;    // in the data disk
  const char *target;  // its place on the box
  mode_t mode;
  const char *what = nullptr;  // how messages call it ("plugin"); null: "file"
  Staging state = Staging::kNothing;
  char staged[kPathBufferSize] = "";
  // The file the new one takes the place of: the target itself, or the file
  // in the current pair folder when the target is a link of the pair.
  char replaced[kPathBufferSize] = "";
  std::uint32_t decoded = 0;  // its length, known from check_file
  // What a JFFS2 medium still counted free when it refused the staged copy
  // for lack of space: room its statfs reports that no write can use (it
  // keeps blocks for its garbage collection and counts them free).
  std::uint64_t unwritable = 0;
};

int remove_path(const char *path);

// Removes what a cut-off run left under the staged name of `target`, silently.
void remove_staged(const char *target);

// Decodes the file of the disk once without writing anything and notes its
// length, its staged name (".NAME.new" beside the target) and the file it
// replaces (the target): 0, or 95 after the messages when it is damaged or
// missing (or its target's staged name does not fit).
int check_file(StagedFile *file);

// Stages a file check_file has passed: 0, or 95 (unpacking failed, or
// something that cannot be removed stands at the staged name) or 96 (its mode
// could not be set) after the messages, with nothing staged left. When the
// medium or quota holds no second copy beside the file it replaces but the
// file fits in its place (within the file-size limit, and counting the old
// file's room only when no process holds it), the old file is removed and the
// new one staged again; when that fails too, the target is left missing,
// never cut short, and the message says so. When the file would fit only if a
// process did not hold the old one, 95 after one message saying that it is in
// use.
int stage_file(StagedFile *file);

// Renames a staged file over its target and flushes its folder: 0, or 95
// after the message when the rename failed (the staged file is removed).
int put_in_place(StagedFile *file);

// Removes the staged file of a file not put in place.
void discard_staged(StagedFile *file);

// The plugin and its configuration, put in place as one pair. Both names are
// links into ".STEM" (STEM: the plugin's name without its extension), itself
// a link to one of two pair folders beside them, ".STEM-1" or ".STEM-2". A
// new pair is staged whole in the folder ".STEM" does not name, and ".STEM" is
// renamed over once: at every moment the names show the whole old pair or the
// whole new one. An old pair of plain files is first taken into a pair folder
// by hard links, so that turning its names into links changes nothing they
// show. A configuration in another folder than the plugin's gets a link that
// names ".STEM" by its whole path.
struct FilePair {
  StagedFile *plugin;
  StagedFile *config;
  char switch_link[kPathBufferSize];  // FOLDER/.STEM
  char folders[2][kPathBufferSize];   // FOLDER/.STEM-1, FOLDER/.STEM-2
  int current;                        // the folder .STEM names; -1: none
};

// Names the pair of two files check_file has passed, clears what a cut-off
// run left in the pair folder that is not current and makes it the files'
// staged place (their `staged` and `replaced` set): 0, or 95 after the
// message when a leftover, or what stands at a name's staged name (where its
// link is made), cannot be removed. A folder that cannot be made is reported
// by the staged write.
int prepare_pair(FilePair *pair, StagedFile *plugin, StagedFile *config);

// Puts a pair whose two files are staged in place with the one rename, then
// removes the old pair folder: 0, or 95 after the message when a step before
// that rename failed (the staged pair is removed, the old one stays shown).
int switch_pair(FilePair *pair);

// Removes the staged pair of a pair not put in place, and the pair folder of
// an old pair of plain files when the switch link does not name it yet.
void discard_pair(FilePair *pair);

// One file checked, staged and put in place: 0, 95 or 96.
int install_file(const char *name, const char *target, mode_t mode);

// Makes `link` a symbolic link to `target`, replacing what is there: 0, or -1
// with errno set. A link or file there is replaced in one rename and stays
// as it was when the new link cannot be made; an empty folder there is
// removed first, as the link was always made.
int replace_link(const char *target, const char *link);

// One installation at a time: an exclusive lock on the folder `dir` (the
// product folder), held until the process ends. kExitDone, also when the
// folder or its medium takes no lock; kExitAnotherInstaller after a one-line
// message when another process holds it.
int lock_installation(const char *dir);

// Whether a running process holds the file `file` (its lstat) open or mapped,
// as the process folder `proc` ("/proc") shows it. True also when that folder
// cannot be read, or a process in it cannot be, or it is not the running
// system's (this process is not in it).
bool file_in_use(const struct stat &file, const char *proc);

// The installer from start to end; returns the exit status.
int run_installer();
