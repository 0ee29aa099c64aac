// The installer end to end in the simulated box: start-up and its early
// endings, the three questions and the confirmation, the installation and
// the failures that end it with status 95. One row per run: its keys, the
// box, the whole transcript, the messages, the status and the box after it.
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>

#include "installer/box_fixture.h"

namespace box {
namespace {

using namespace screen;

const std::string kPlugin = "/var/tuxbox/plugins/kavro.so", kConfig = "/var/tuxbox/plugins/kavro.cfg",
                  kTit = "/var/tuxbox/Kavro/tit", kFontLink = "/var/tuxbox/Kavro/Kavro.ttf",
                  kProduct = "/var/tuxbox/Kavro";

struct Row {
  const char *what;
  std::string keys;
  std::vector<std::string> options;
  int status;
  std::string out, err;
  std::vector<std::pair<std::string, std::string>> box;  // path, box_state()
  Wiring wiring = Wiring::kTerminal;
  bool standard = true;  // the standard box, else only the row's options
  fs::path disk = {};    // the full disk when empty
};

class Installer : public BoxTest {
 protected:
  void expect_row(const Row &row) {
    SCOPED_TRACE(row.what);
    const fs::path full_disk = disk_;
    if (!row.disk.empty()) disk_ = row.disk;
    const Outcome o = run(row.keys, row.options, row.wiring, row.standard);
    disk_ = full_disk;
    EXPECT_EQ(o.status, row.status);
    EXPECT_EQ(o.out, row.out);
    EXPECT_EQ(o.err, row.err);
    EXPECT_NE(o.report.find("kavro-install exited with status " + std::to_string(row.status) + "."), std::string::npos);
    for (const auto &[path, expected] : row.box) {
      // "MODE kept CONTENT": a file the installer did not write, older than
      // its product directory.
      const bool kept = expected.find(" kept ") == 4;
      const std::string state = kept ? expected.substr(0, 4) + expected.substr(9) : expected;
      EXPECT_EQ(box_state(path), state) << path;
      if (kept) {
        EXPECT_LT(fs::last_write_time(root_ / path.substr(1)), fs::last_write_time(root_ / kProduct.substr(1)));
      }
      const std::string listed = state.rfind("-> ", 0) == 0 ? path + " " + state : state[0] == 'd' ? path + "/" : path;
      EXPECT_EQ(o.report.find(" " + listed + "\n") != std::string::npos, state != "absent") << path;
    }
    // Single-key input during the questions; the terminal as it was after
    // the end, but after the interrupt key.
    termios single_key = o.before;
    single_key.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL);
    if (o.prompts > 0) {
      EXPECT_TRUE(same_terminal(o.during, single_key));
    }
    if (row.wiring != Wiring::kHangUp) {
      EXPECT_TRUE(same_terminal(o.after, o.prompts > 0 && row.status == 130 ? o.during : o.before));
    }
  }
};

TEST_F(Installer, RowsEndToEnd) {
  const std::string disk = disk_.string(), english = "0755 " + payload("d213-EN.so");
  write_file(work_ / "old.cfg", "old configuration\n");
  write_file(work_ / "old.so", "old plugin\n");
  const std::string old_cfg = kConfig + "=" + (work_ / "old.cfg").string();
  const std::string old_so = kPlugin + "=" + (work_ / "old.so").string();
  const std::string big_plugin = noise(300 * 1024 + 17, 3);
  std::vector<std::string> many_fonts, many_font_options = {"--var-font", "late.ttf"};
  for (int i = 0; i < 30; ++i) {
    many_fonts.push_back((i < 10 ? "f0" : "f") + std::to_string(i) + ".ttf");
    many_font_options.insert(many_font_options.end(),
                             {"--font-name", (i < 20 ? "f" : "f0") + std::to_string(29 - i) + ".ttf"});
  }
  const std::vector<std::string> all_candidates = {"--usb-local", "--mnt-usb-local", "--mnt-usb-var",
                                                   "--hdd-local", "--mnt-hdd-local", "--mnt-hdd-var"};
  const std::string candidates_menu =
      subtitles_menu(kStandardFreeKb, {candidate(3, "USB", "/usb/local"), candidate(4, "USB", "/mnt/usb/local"),
                                       candidate(5, "USB", "/mnt/usb/var"), candidate(6, "HDD", "/hdd/local"),
                                       candidate(7, "HDD", "/mnt/hdd/local"), candidate(8, "HDD", "/mnt/hdd/var")});
  const std::string to_tmp = "Linking dir /var/tuxbox/Kavro/tit => /tmp\n";
  const std::string no_tmp_link =
      "Couldn't link /var/tuxbox/Kavro/tit to '/tmp'.\n\aDo it yourself.\nReason: File exists\n";
  // clang-format off
  std::vector<Row> rows = {
    // Start-up and its early endings.
    {"input not a terminal", "", {}, 1, "", "STDIN_FILENO is not a TTY!\n", {{kProduct, "absent"}}, Wiring::kInputFromNull},
    {"output not a terminal", "", {}, 1, "", "STDOUT_FILENO is not a TTY!\n", {{kProduct, "absent"}}, Wiring::kOutputToFile},
    {"product directory cannot be made", "", {"--bare-var"}, 2, "",
     "Couldn't create directory '/var/tuxbox/Kavro'! Do it yourself.\nReason: No such file or directory\n", {{kProduct, "absent"}}},
    {"no data disk", "", {"--var-size", "2048"}, 3, kMissingDisk, "", {{kProduct, "dir 0755"}}, Wiring::kTerminal, false},
    {"upper-case disk name", "", {"--file", "/tmp/DM7000.dsk=" + disk}, 3, kMissingDisk, "", {{kProduct, "dir 0755"}}, Wiring::kTerminal, false},
    {"terminal hung up at the first question", "", {}, 1, start() + kPassStart + language_menu() + prompt(), kProbe,
     {{kProduct, "dir 0755"}, {kPlugin, "absent"}}, Wiring::kHangUp},
    {"terminal hung up at the confirmation", "b0", {}, 1, start() + pass({}), std::string(kProbe) + kNoFont,
     {{kProduct, "dir 0755"}, {kPlugin, "absent"}}, Wiring::kHangUp},
    {"first model in table order", "b0E", {"--file", "/tmp/dbox2.dsk=" + disk, "--file", "/tmp/dm56xx.dsk=" + disk, "--var-size", "2048", "--freetype", "2.1.3"}, 0,
     start("DM56xx") + pass({.summary = summary("English", kKeepSubtitles, kKeepFont, "", "2.1", "DM56xx")}) + kDone,
     std::string(kProbe) + kNoFont, {}, Wiring::kTerminal, false},
    {"dangling disk link fails at extraction", "b0y", {"--link", "/tmp/dbox2.dsk=/tmp/gone.dsk", "--var-size", "2048", "--freetype", "2.1.3"}, 95,
     start("DBox2") + pass({.summary = summary("English", kKeepSubtitles, kKeepFont, "", "2.1", "DBox2")}) + kInstallation + "ERROR!\n",
     std::string(kProbe) + kNoFont + kNoRealFile + kUnpackFailed, {{kPlugin, "absent"}}, Wiring::kTerminal, false},
    {"failing FreeType", "", {"--freetype", "fail"}, 96, start("DM7000", "") + "Error: fb_test.FT_Init_FreeType: 40\n", "", {}},
    {"failing FreeType, code 1", "", {"--freetype", "fail:1"}, 96, start("DM7000", "") + "Error: fb_test.FT_Init_FreeType:  1\n", "", {}},
    {"interrupt key in single-key mode", "b\003", {}, 130, start() + kPassStart + language_menu() + prompt() + subtitles_menu() + prompt(),
     kProbe, {{kProduct, "dir 0755"}}},  // /var is still copied back
    // Scripted keys, the output to a file: the installer can only have run on kavro-box's terminal.
    {"--keys", "", {"--keys", "b0y"}, 0, start("DM7000", "2.1", kProbe) + kPassStart + language_menu() + prompt() + subtitles_menu() + prompt() + kNoFont +
     summary() + prompt() + installed(), "", {{kPlugin, english}}, Wiring::kOutputToFile},
    {"--keys running out", "", {"--keys", "b"}, 130, start("DM7000", "2.1", kProbe) + kPassStart + language_menu() + prompt() + subtitles_menu() + prompt(),
     "kavro-box: no key left for prompt 2; typing the interrupt key\n", {{kPlugin, "absent"}}, Wiring::kOutputToFile},
    // The questions: upper case and letters after k are not taken; any key
    // but yes or exit asks everything again; exit writes nothing.
    {"questions", "Alk0N" "g0N" "i0N" "b2N" "a1x" "c0E", {}, 0,
     start() + pass({.language_prompts = 3, .summary = summary("Slovenian", kKeepSubtitles, kKeepFont, "the Kavro Slovenian team")}) +
         pass({.summary = summary("French", kKeepSubtitles, kKeepFont, "the Kavro French team (http://kavro.example.org/fr/)")}) +
         pass({.summary = summary("Hungarian", kKeepSubtitles, kKeepFont, "the Kavro Hungarian team & the Kavro proofreaders")}) +
         pass({.summary = summary("English", store_subtitles("/tmp"))}) +
         pass({.summary = summary("Czech", store_subtitles("/var/tuxbox/Kavro/tit"))}) +
         pass({.summary = summary("Arabic", kKeepSubtitles, kKeepFont, "the Kavro Arabic team")}) + kDone,
     std::string(kProbe) + kNoFont + kNoFont + kNoFont + kNoFont + kNoFont + kNoFont, {{kPlugin, "absent"}, {kConfig, "absent"}, {kTit, "absent"}}},
    {"candidates numbered USB first, only listed numbers taken", "b98N" "b5y", all_candidates, 0,
     start() + pass({.subtitles = candidates_menu, .subtitles_prompts = 2, .summary = summary("English", store_subtitles("/mnt/hdd/var/tit"))}) +
         pass({.subtitles = candidates_menu, .summary = summary("English", store_subtitles("/mnt/usb/var/tit"))}) +
         installed("Linking dir /var/tuxbox/Kavro/tit => /mnt/usb/var/tit\n"),
     std::string(kProbe) + kNoFont + kNoFont, {{kTit, "-> /mnt/usb/var/tit"}, {"/mnt/usb/var/tit", "dir 0755"}}},
    {"HDD movie folder without HDD candidate", "b3y", {"--hdd-movie"}, 0,
     start() + pass({.subtitles = subtitles_menu(kStandardFreeKb, {candidate(3, "HDD", "/hdd/local")}), .summary = summary("English", store_subtitles("/hdd/local/tit"))}) +
         installed("Linking dir /var/tuxbox/Kavro/tit => /hdd/local/tit\n"),
     std::string(kProbe) + kNoFont, {{"/hdd/local", "dir 0755"}, {kTit, "-> /hdd/local/tit"}}},
    {"valid old link removed by another answer, even when leaving", "b2E", {"--path", "/mnt/usb/var/tit", "--tit-link", "/mnt/usb/var/tit"}, 0,
     start() + pass({.subtitles = subtitles_menu(kStandardFreeKb, {candidate(3, "USB", "/mnt/usb/var")}, "/mnt/usb/var/tit"), .summary = summary("English", store_subtitles("/tmp"))}) + kDone,
     std::string(kProbe) + kNoFont, {{kTit, "absent"}, {"/mnt/usb/var/tit", "dir 0755"}}},
    // An old link is offered only when it resolves, yet 0 always keeps it.
    {"dangling old link", "b0y", {"--tit-link", "/mnt/gone/tit"}, 0, start() + pass({}) + installed(), std::string(kProbe) + kNoFont, {{kTit, "-> /mnt/gone/tit"}}},
    {"old link resolving from its own directory", "b0y", {"--path", "/var/tuxbox/Kavro/store", "--tit-link", "store"}, 0,
     start() + pass({.subtitles = subtitles_menu(kStandardFreeKb, {}, "store")}) + installed(), std::string(kProbe) + kNoFont, {{kTit, "-> store"}}},
    {"old link resolving only from the installer's", "b0y", {"--path", "/tmp/store", "--tit-link", "store"}, 0,
     start() + pass({}) + installed(), std::string(kProbe) + kNoFont, {{kTit, "-> store"}}},
    {"non-empty subtitles directory stays, /tmp", "b2y", {"--touch", "/var/tuxbox/Kavro/tit/old.srt"}, 0,
     start() + pass({.summary = summary("English", store_subtitles("/tmp"))}) + installed(to_tmp),
     std::string(kProbe) + kNoFont + no_tmp_link, {{"/var/tuxbox/Kavro/tit/old.srt", "0644 "}}},
    {"non-empty subtitles directory stays, flash", "b1y", {"--touch", "/var/tuxbox/Kavro/tit/old.srt"}, 0,
     start() + pass({.summary = summary("English", store_subtitles("/var/tuxbox/Kavro/tit"))}) + installed("Creating dir /var/tuxbox/Kavro/tit\n"),
     std::string(kProbe) + kNoFont + "Couldn't create directory '/var/tuxbox/Kavro/tit': File exists\n", {}},
    {"flash below 80 kB", "b0E", {"--var-size", "76"}, 0, start() + pass({.subtitles = subtitles_menu(76)}) + kDone, std::string(kProbe) + kNoFont, {}},
    {"flash of 80 kB", "b0E", {"--var-size", "80"}, 0, start() + pass({.subtitles = subtitles_menu(80)}) + kDone, std::string(kProbe) + kNoFont, {}},
    // The font menu: exact .ttf names sorted ignoring case, then the
    // product's fonts by the next letters, up to z.
    {"font menu", "b0" "7cy", {"--font-name", "b.ttf", "--font-name", "c.TTF", "--font-name", "Kavro.ttf", "--font-name", "notes",
                               "--font-name", "x.ttf.bak", "--font-name", "A.ttf", "--var-font", "z.ttf"}, 0,
     start() + pass({.fonts = font_menu({"A.ttf", "b.ttf"}, {"z.ttf"}), .font_prompts = 2, .summary = summary("English", kKeepSubtitles, favourite_font("/var/tuxbox/Kavro/z.ttf"))}) +
         installed("\nSelected font: '/var/tuxbox/Kavro/z.ttf'\n\n"),
     kProbe, {{kFontLink, "-> /var/tuxbox/Kavro/z.ttf"}}},
    {"font menu stops at z", "b0" "{z" "E", many_font_options, 0,
     start() + pass({.fonts = font_menu(many_fonts, {"late.ttf"}), .font_prompts = 2, .summary = summary("English", kKeepSubtitles, favourite_font("/share/fonts/f25.ttf"))}) + kDone,
     kProbe, {}},
    {"0 keeps the current font link and sets it again", "b00y", {"--font-name", "a.ttf", "--font-name", "b.ttf", "--font-link", "/share/fonts/b.ttf"}, 0,
     start() + pass({.fonts = font_menu({"a.ttf", "b.ttf"}, {}, "/share/fonts/b.ttf"), .summary = summary("English", kKeepSubtitles, favourite_font("/share/fonts/b.ttf"))}) +
         installed("\nSelected font: '/share/fonts/b.ttf'\n\n"),
     kProbe, {{kFontLink, "-> /share/fonts/b.ttf"}}},
    {"0 without a font link leaves the font alone", "b00y", {"--font-name", "a.ttf"}, 0,
     start() + pass({.fonts = font_menu({"a.ttf"})}) + installed(), kProbe, {{kFontLink, "absent"}}},
    // The installation.
    {"English install", "b1ay", {"--font-name", "md_khmurabi_10.ttf"}, 0,
     start() + pass({.fonts = font_menu({"md_khmurabi_10.ttf"}), .summary = summary("English", store_subtitles("/var/tuxbox/Kavro/tit"), favourite_font("/share/fonts/md_khmurabi_10.ttf"))}) +
         installed("Creating dir /var/tuxbox/Kavro/tit\n\nSelected font: '/share/fonts/md_khmurabi_10.ttf'\n\n"),
     kProbe, {{kPlugin, english}, {kConfig, "0644 " + payload("kavro-2.cfg")}, {kTit, "dir 0755"},  // 0777 under the umask
              {kFontLink, "-> /share/fonts/md_khmurabi_10.ttf"}}},
    {"z confirms like y, /tmp linked as it is", "b2z", {}, 0, start() + pass({.summary = summary("English", store_subtitles("/tmp"))}) + installed(to_tmp),
     std::string(kProbe) + kNoFont, {{kTit, "-> /tmp"}, {kPlugin, english}}},
    {"large plugin of many blocks", "b0y", {}, 0, start() + pass({}) + installed(), std::string(kProbe) + kNoFont,
     {{kPlugin, "0755 " + big_plugin}}, Wiring::kTerminal, true, make_disk(work_ / "large", "", big_plugin, "--block-size 16384")},
    // A failed unpack ends with 95, and an old file keeps its bytes, mode
    // and time (the old file takes a 4 kB block of the flash).
    {"missing plugin", "b0y", {"--file", old_cfg}, 95, start() + pass({.subtitles = subtitles_menu(kStandardFreeKb - 4)}) + kInstallation + "ERROR!\n",
     std::string(kProbe) + kNoFont + kNoRealFile + kUnpackFailed, {{kConfig, "0644 kept old configuration\n"}, {kPlugin, "absent"}},
     Wiring::kTerminal, true, make_disk(work_ / "no-plugin", "d213-EN.so")},
    {"missing configuration", "b0y", {}, 95, start() + pass({}) + kInstallation + "OK\n",
     std::string(kProbe) + kNoFont + kNoRealFile + kUnpackFailed, {{kPlugin, english}, {kConfig, "absent"}},
     Wiring::kTerminal, true, make_disk(work_ / "no-config", "kavro-2.cfg")},
    {"corrupt plugin over an old one", "b0y", {"--file", old_so}, 95, start() + pass({.subtitles = subtitles_menu(kStandardFreeKb - 4)}) + kInstallation + "ERROR!\n",
     std::string(kProbe) + kNoFont + "header error - invalid method 47 (level 10)\n" + kUnpackFailed, {{kPlugin, "0644 kept old plugin\n"}},
     Wiring::kTerminal, true, damage_entry(make_disk(work_ / "corrupt"), "d213-EN.so", 12, 0x2F)},  // the method
    {"corrupt configuration over an old one", "b0y", {"--file", old_cfg}, 95, start() + pass({.subtitles = subtitles_menu(kStandardFreeKb - 4)}) + kInstallation + "OK\n",
     std::string(kProbe) + kNoFont + "checksum error - data corrupted" + kUnpackFailed, {{kConfig, "0644 kept old configuration\n"}, {kPlugin, english}},
     Wiring::kTerminal, true, damage_entry(make_disk(work_ / "corrupt-cfg"), "kavro-2.cfg", 30, 0xFF)},  // a stored byte: only the checksum sees it
    {"flash filling up", "b0y", {"--var-size", "64"}, 95, start() + pass({.subtitles = subtitles_menu(64)}) + kInstallation + "ERROR!\n",
     std::string(kProbe) + kNoFont + "couldn't write data" + kUnpackFailed, {},
     Wiring::kTerminal, true, make_disk(work_ / "big-plugin", "", noise(200 * 1024, 5))},
  };
  // The FreeType version chooses the summary and the plugin variant.
  const struct {
    const char *version, *family, *plugin_family;
  } versions[] = {{"2.0.9", "2.0", "2.0"}, {"2.1.3", "2.1", "2.1"}, {"2.13.2", "2.13", "2.1"}, {"3.0.1", "3.0", "2.0"}, {"1.9.0", "1.9", "2.0"}};
  for (const auto &[version, family, plugin_family] : versions)
    rows.push_back({version, "b0y", {"--freetype", version}, 0,
                    start("DM7000", family) + pass({.summary = summary("English", kKeepSubtitles, kKeepFont, "", plugin_family)}) + installed(),
                    "FreeType library " + std::string(version) + "\n" + kNoFont,
                    {{kPlugin, "0755 " + payload(std::string(plugin_family) == "2.0" ? "d209-EN.so" : "d213-EN.so")}}});
  // clang-format on
  for (const Row &row : rows) expect_row(row);
}

// Each language installs its own plugin and Czech alone its own
// configuration file.
TEST_F(Installer, EachLanguageInstallsItsPluginAndConfiguration) {
  for (std::size_t i = 0; i < kLanguageCodes.size(); ++i) {
    SCOPED_TRACE(kLanguageCodes[i]);
    EXPECT_EQ(run(std::string(1, static_cast<char>('a' + i)) + "0y").status, 0);
    EXPECT_EQ(box_state(kPlugin), "0755 " + payload("d213-" + kLanguageCodes[i] + ".so"));
    EXPECT_EQ(box_state(kConfig), "0644 " + payload(i == 0 ? "kavro-1.cfg" : "kavro-2.cfg"));
  }
}

TEST_F(Installer, ProbeReportsTheBoxsOwnFreetypeLibrary) {
  FT_Library library = nullptr;
  ASSERT_EQ(FT_Init_FreeType(&library), 0);
  FT_Int major = 0, minor = 0, patch = 0;
  FT_Library_Version(library, &major, &minor, &patch);
  FT_Done_FreeType(library);
  const Outcome outcome = run("b0y", {"--freetype", "system"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "FreeType library " + std::to_string(major) + "." + std::to_string(minor) + "." +
                             std::to_string(patch) + "\n" + kNoFont);
  EXPECT_NE(outcome.out.find(start("DM7000", std::to_string(major) + "." + std::to_string(minor))), std::string::npos);
  EXPECT_EQ(box_state(kPlugin), "0755 " + payload(major <= 1 || minor <= 0 ? "d209-EN.so" : "d213-EN.so"));
}

// kavro-box refuses bad options with one line and status 2 before it
// builds the box.
TEST_F(Installer, BadBoxOptions) {
  const std::string disk = disk_.string(), missing = (work_ / "missing").string(), a_file = (work_ / "a-file").string();
  write_file(a_file, "");
  // clang-format off
  const std::pair<std::vector<std::string>, std::string> rows[] = {
      {{"--var-size", "12k"}, "--var-size: not a number: '12k'"},
      {{"--disk", disk, "--flip-bit", "x:1"}, "--flip-bit: not a number: 'x'"},
      {{"--font", missing}, "--font: no such file"},
      {{"--file", "/tmp/x=" + missing}, "--file: no such file"},
      {{"--disk", missing}, "--disk: no such file"},
      {{"--installer", missing}, "--installer: no such file"},
      {{"--root", a_file}, "is not a directory"},
      {{"--report", (work_ / "no-folder/report").string()}, "No such file or directory"},
      {{"--truncate-disk", "10"}, "--truncate-disk needs --disk"},
      {{"--flip-bit", "0:1"}, "--flip-bit needs --disk"},
      {{"--disk", disk, "--truncate-disk", std::to_string(fs::file_size(disk_) + 1)}, "past the disk's end"},
      {{"--disk", disk, "--truncate-disk", "8", "--flip-bit", "8:0"}, "past the disk's end"},
      {{"--freetype", "fail:zz"}, "got 'fail:zz'"},
      {{"--font-name", "../../x.ttf"}, "'..' in the box path"},
      {{"--touch", "/../../x"}, "'..' in the box path"},
      {{"--link", "/l=/etc", "--touch", "/l/passwd"}, "/l/passwd of the box lies in it"},
      {{"--qemu", "no-such-qemu"}, "--qemu: no such program"},
      {{"--target-libs", missing}, "--target-libs: no such directory"},
      {{"--sysroot", a_file}, "--sysroot: not a directory"},
      {{"--target-libs", work_.string()}, "--target-libs needs --qemu"},
      {{"--freetype-standin", missing}, "--freetype-standin: no such file"},
  };
  // clang-format on
  for (const auto &[options, message] : rows) {
    SCOPED_TRACE(message);
    const Outcome outcome = run("", options, Wiring::kTerminal, false);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.err.rfind("kavro-box: ", 0), 0u);
    EXPECT_NE(outcome.err.find(message), std::string::npos) << outcome.err;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_FALSE(fs::exists(root_));
  }
  EXPECT_FALSE(fs::exists(work_ / "x"));
}

}  // namespace
}  // namespace box
