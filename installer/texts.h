// SPDX-License-Identifier: GPL-2.0-or-later
// Every fixed text of the installer, byte for byte as it reaches the screen.
//
// Texts printed with puts() carry no line end of their own (puts adds one);
// texts printed with printf()/fputs() carry exactly what appears. Colours are
// ANSI sequences: bold red for headings and warnings, bold blue for menu
// entries, magenta for the prompt and the confirmation keys.
#pragma once

#include <array>
#include <cstddef>

namespace texts {

// Joins string literals at compile time into one terminated array.
template <std::size_t... N>
constexpr auto join(const char (&...parts)[N]) {
  std::array<char, (N + ... + 0) - sizeof...(N) + 1> out{};
  std::size_t at = 0;
  auto append = [&](const char *part, std::size_t size) {
    for (std::size_t i = 0; i + 1 < size; ++i) out[at++] = part[i];
  };
  (append(parts, N), ...);
  out[at] = '\0';
  return out;
}

// The project's web site, named in the banner and in the closing line.
inline constexpr char kWebAddress[] = "http://kavro.example.org/";

// Start-up checks (standard error, perror, puts).
inline constexpr char kStdinNotTty[] = "STDIN_FILENO is not a TTY!\n";
inline constexpr char kStdoutNotTty[] = "STDOUT_FILENO is not a TTY!\n";
inline constexpr char kProductDirFailed[] = "Couldn't create directory '/var/tuxbox/Kavro'! Do it yourself.\nReason";
inline constexpr char kProductDirSlashFailed[] =
    "Couldn't create directory '/var/tuxbox/Kavro/'! Do it yourself.\nReason";
inline constexpr char kMissingDisk[] =
    "\n\n\033[1;31m!!! Missing data disk. Please upload correct .dsk file to /tmp\n\033[0m";
inline constexpr char kDiskOpenFailed[] = "Couldn't initialize installation disk!";
// Another installer holds the product folder's lock (standard error).
inline constexpr char kAnotherInstaller[] =
    "Another installation is running on this box! Let it finish, then run the installer again.\n";

// Banner (printf with the model name, then puts).
inline constexpr char kBannerFormat[] = "\n\t\033[1;31mWelcome to Kavro v2.0-7020 for %s -- installer v0.24\033[0m";
inline constexpr auto kBannerInfo = join("\nMore info is available at ", kWebAddress, "\n");

// Configuration loop and summary.
inline constexpr char kPassStart[] = " ";
inline constexpr char kSummaryHeading[] = "\n\n\033[1;31mConfiguration:\033[0m";
inline constexpr char kSummaryInstallFormat[] = "\033[1;34m\tInstall Kavro 2.0-7020 (%s) for FreeType2 v%s - ";
inline constexpr char kFreetypeOlder[] = "2.0";
inline constexpr char kFreetypeNewer[] = "2.1";
inline constexpr char kSummaryCreditFormat[] = "\t[%s translation by %s]\n\n";
inline constexpr char kSummarySubtitlesFormat[] = "\tStore subtitles in %s\n";
inline constexpr char kSummaryKeepSubtitles[] = "\tDon't modify subtitles storage.";
inline constexpr char kSummaryFontFormat[] = "\tMy favourite font is %s\n";
inline constexpr char kSummaryKeepFont[] = "\tDon't touch my font.";
inline constexpr char kSummaryConfirm[] =
    "\033[1;31m\tAre you sure? \033[0;35m[Y\033[0mes/\033[0;35mN\033[0mo/\033[0;35mE\033[0mxit\033[0;35m]\033[0m";

// Installation sequence.
inline constexpr char kInstallSpacing[] = "\n";
inline constexpr char kInstallHeading[] = "\033[1;31mInstallation:\033[0m";
inline constexpr char kPluginOlderFormat[] = "d209-%s.so";
inline constexpr char kPluginNewerFormat[] = "d213-%s.so";
inline constexpr char kPluginFailed[] = "ERROR!";
inline constexpr char kPluginInstalled[] = "OK";
inline constexpr char kCreatingSubtitlesDir[] = "Creating dir /var/tuxbox/Kavro/tit";
inline constexpr char kSubtitlesDirFailed[] = "Couldn't create directory '/var/tuxbox/Kavro/tit'";
inline constexpr char kCreateLinkManually[] = "Create link manually.";
inline constexpr char kLinkingSubtitlesFormat[] = "Linking dir /var/tuxbox/Kavro/tit => %s\n";
inline constexpr char kTargetDirFailedFormat[] = "Couldn't create directory '%s'\n";
inline constexpr char kDoItYourself[] = "\aDo it yourself.\nReason";
inline constexpr char kSubtitlesLinkFailedFormat[] = "Couldn't link /var/tuxbox/Kavro/tit to '%s'.\n";
inline constexpr char kSelectedFontFormat[] = "\nSelected font: '%s'\n\n";
inline constexpr char kFontLinkFailedFormat[] = "Couldn't link font '%s'\n";
inline constexpr char kFontLinkReason[] = "\aReason";

// Endings.
inline constexpr char kDone[] = "\033[1;31m\nDone.\n";
inline constexpr auto kReadDocs =
    join("Please read the documentation and FAQs at \033[1;34m", kWebAddress, "\n\033[0m");

// Questions.
inline constexpr char kPrompt[] = "\033[0;35mYour choice: \033[0m";
inline constexpr char kLanguageHeading[] = "\n\033[1;34mSelect language version:\033[0m";
inline constexpr char kLanguageEntryFormat[] = "\033[1;34m\t%c\033[0m - %s\n";
inline constexpr char kStatfsFailed[] = "Statfs failed!\n\t";
inline constexpr char kSubtitlesHeading[] = "\033[1;34m\nSelect subtitles directory:";
inline constexpr char kKeepCurrent[] = "\033[1;34m\t0\033[0m - I'm upgrading or I'll do it manually -- don't care...";
inline constexpr char kActualDestinationFormat[] = "\t\t(Actual destination: %s)\n";
inline constexpr char kFlashFormat[] = "\033[1;34m\t1\033[0m - Flash (%d kB free) %s\n";
inline constexpr char kFlashEnough[] = " ";
inline constexpr char kFlashNotRecommended[] = "\033[1;31mNOT RECOMMENDED!";
inline constexpr char kTmpEntry[] = "\033[1;34m\t2\033[0m - /tmp";
inline constexpr char kUsbEntryFormat[] = "\033[1;34m\t%d\033[0m - USB -> %s/tit\n";
inline constexpr char kHddEntryFormat[] = "\033[1;34m\t%d\033[0m - HDD -> %s/tit\n";
inline constexpr char kNoUsableFont[] = "You don't have any usable font!\n";
inline constexpr char kFontHeading[] = "\033[1;34m\nSelect your favorite font:\033[0m";
inline constexpr char kPreferredFont[] = "(The preferred one is md_khmurabi_10.ttf)";
inline constexpr char kActualFontFormat[] = "\t\t(Actual font: %s)\n";
inline constexpr char kFontEntryFormat[] = "\t\033[1;34m%c\033[0m - %s\n";
inline constexpr char kProductFontsMark[] = "\t\t<-VAR->";

// Target detection and FreeType.
inline constexpr char kDiskPathFormat[] = "/tmp/%s.dsk";
inline constexpr char kFreetypeInitFailedFormat[] = "Error: fb_test.FT_Init_FreeType: %2X\n";
inline constexpr char kFreetypeVersionFormat[] = "FreeType library %d.%d.%d\n";
inline constexpr char kVariantFormat[] = "\033[1;31mKavro 2.0-7020 for FreeType %d.%d will be installed.\033[0m";

// File placement.
inline constexpr char kUnpackFailed[] = "Couldn't unpack file! Not enough free space?";
inline constexpr char kPermissionsFailed[] = "Couldn't set permissions";
inline constexpr char kPluginWhat[] = "plugin";
inline constexpr char kConfigWhat[] = "configuration";
inline constexpr char kFileWhat[] = "file";
// Something at the staged name that cannot be removed: its path and what was
// to be staged there, then perror(kDoItYourself).
inline constexpr char kStagedNameTakenFormat[] = "Couldn't remove '%s', where the new %s is unpacked first.\n";
// A file written in place that could not be written after its old one had
// been removed: what it is and its target, then perror(kReason) when the
// writing itself failed.
inline constexpr char kMissingNowFormat[] =
    "The %s '%s' is missing now: the old one was removed to make room, and the new one could not be written! "
    "Make room and run the installer again.\n";
inline constexpr char kReason[] = "Reason";
// A file that fits only in place of an old one that a running process holds
// (removing it would free nothing): what it is and its target.
inline constexpr char kInUseFormat[] =
    "The %s '%s' is in use: removing it would make no room for the new one! "
    "Stop the plugin or restart the menu, then run the installer again.\n";

}  // namespace texts
