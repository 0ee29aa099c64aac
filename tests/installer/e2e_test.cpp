// SPDX-License-Identifier: GPL-2.0-or-later
// The installer end to end in the simulated box. One row per run: its keys, the box, the whole transcript, the
// messages, the status and the box after it; the same rows for the boxes' CPU under qemu-user.
#include <algorithm>
#include <map>

#include "installer/box_fixture.h"

namespace box {
namespace {

using namespace screen;

const std::string kPlugin = "/var/tuxbox/plugins/kavro.so", kConfig = "/var/tuxbox/plugins/kavro.cfg",
                  kTit = "/var/tuxbox/Kavro/tit", kFontLink = "/var/tuxbox/Kavro/Kavro.ttf",
                  kProduct = "/var/tuxbox/Kavro", kStagedPlugin = "/var/tuxbox/plugins/.kavro.so.new",
                  kStagedConfig = "/var/tuxbox/plugins/.kavro.cfg.new", kPairLink = "/var/tuxbox/plugins/.kavro",
                  kPairFolder1 = "/var/tuxbox/plugins/.kavro-1", kPairFolder2 = "/var/tuxbox/plugins/.kavro-2";

struct Row {
  const char *what;
  std::string keys;
  std::vector<std::string> options;
  int status;
  std::string out, err;
  std::vector<std::pair<std::string, std::string>> box;  // path, box_state()
  const char *disk = "full";                             // in /tmp: a disk of the test's own, or "none"
  Wiring wiring = Wiring::kTerminal;
};

class Installer : public BoxTest {
 protected:
  void expect_row(const Row &row) {
    SCOPED_TRACE(row.what);
    disk_ = disks_.at(row.disk);
    const Outcome o = run(row.keys, row.options, row.wiring);
    disk_ = disks_.at("full");
    EXPECT_EQ(o.status, row.status);
    EXPECT_EQ(o.out, row.out);
    EXPECT_EQ(o.err, row.err);
    EXPECT_NE(o.report.find("kavro-install exited with status " + std::to_string(row.status) + "."), std::string::npos);
    for (const auto &[path, expected] : row.box) {
      // "MODE kept CONTENT": a file the installer did not write, older than its product directory.
      const bool kept = expected.find(" kept ") == 4;
      const std::string state = kept ? expected.substr(0, 4) + expected.substr(9) : expected;
      EXPECT_EQ(box_state(path), state) << path;
      std::error_code gone;  // a kept file that is gone has no time: the state above fails already
      EXPECT_TRUE(!kept || fs::last_write_time(root_ / path.substr(1), gone) <
                               fs::last_write_time(root_ / kProduct.substr(1), gone));
      const std::string link = pair_link(path);
      const std::string listed = !link.empty()                 ? path + " -> " + link
                                 : state.rfind("-> ", 0) == 0 ? path + " " + state
                                 : state[0] == 'd'            ? path + "/"
                                                              : path;
      EXPECT_EQ(o.report.find(" " + listed + "\n") != std::string::npos, state != "absent") << path;
    }
    // Single-key input during the questions; the terminal as it was after the end, but after the interrupt key.
    termios single_key = o.before;
    single_key.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL);
    EXPECT_TRUE(o.prompts == 0 || same_terminal(o.during, single_key));
    EXPECT_TRUE(row.wiring == Wiring::kHangUp ||
                same_terminal(o.after, o.prompts > 0 && row.status == 130 ? o.during : o.before));
  }
  std::vector<Row> rows();

  std::map<std::string, fs::path> disks_;
};

std::vector<Row> Installer::rows() {
  write_file(work_ / "old.cfg", "old configuration\n");
  write_file(work_ / "old.so", "old plugin\n");
  const std::string old_cfg = kConfig + "=" + (work_ / "old.cfg").string(), en = "0755 " + payload("d213-EN.so");
  const std::string old_so = kPlugin + "=" + (work_ / "old.so").string(), big = noise(300 * 1024 + 17, 3);
  const std::string new_300 = noise(300 * 1024, 7), old_so_300 = kPlugin + "=" + (work_ / "old-300.so").string();
  const std::string old_300 = noise(300 * 1024, 8), kept_300 = "0644 kept " + old_300;
  write_file(work_ / "old-300.so", old_300);
  // Runs the installer with the old plugin held open by a child process, which holds it from before the start.
  write_file(work_ / "hold", "exec 3<" + kPlugin + "\nsleep 600 <&3 >/dev/null 2>&1 &\nexec 3<&-\nexec \"$@\"\n");
  const std::string hold = "/tmp/hold=" + (work_ / "hold").string();
  const std::string sparse_so = kPlugin + "=" + (work_ / "sparse.so").string();
  // A pair an installation of today left: the names links into .kavro, which names .kavro-2; then the options of a
  // row.
  const auto linked_pair = [&](std::vector<std::string> options) {
    options.insert(options.end(), {"--link", kPlugin + "=.kavro/kavro.so", "--link", kConfig + "=.kavro/kavro.cfg",
                                   "--link", kPairLink + "=.kavro-2", "--file", kPairFolder2 + "/kavro.so=" +
                                   (work_ / "old-300.so").string(), "--file", kPairFolder2 + "/kavro.cfg=" +
                                   (work_ / "old.cfg").string()});
    return options;
  };
  const std::vector<std::pair<std::string, std::string>> new_pair_in_1 = {{kPlugin, "0755 " + new_300}, {kConfig,
      "0644 " + payload("kavro-2.cfg")}, {kPairLink, "-> .kavro-1"}, {kPairFolder2, "absent"}};
  write_file(work_ / "sparse.so", "");
  fs::resize_file(work_ / "sparse.so", 300 * 1024);  // holes only
  const auto filler = [&](int kb) {
    write_file(work_ / ("filler-" + std::to_string(kb)), std::string(static_cast<std::size_t>(kb) * 1024, 'f'));
    return (work_ / ("filler-" + std::to_string(kb))).string();
  };
  disks_ = {{"full", disk_},
            {"none", ""},
            {"large", make_disk(work_ / "large", "", big, "--block-size 16384")},
            {"no plugin", make_disk(work_ / "no-plugin", "d213-EN.so")},
            {"no config", make_disk(work_ / "no-config", "kavro-2.cfg")},
            {"plugin method", damage_entry(make_disk(work_ / "corrupt"), "d213-EN.so", 12, 0x2F)},
            {"config byte", damage_entry(make_disk(work_ / "corrupt-cfg"), "kavro-2.cfg", 30, 0xFF)},  // a stored byte
            {"big plugin", make_disk(work_ / "big-plugin", "", noise(200 * 1024, 5))},
            {"300 KB plugin", make_disk(work_ / "300k", "", new_300)},
            {"300 KB, config byte", damage_entry(make_disk(work_ / "300k-cfg", "", new_300), "kavro-2.cfg", 30, 0xFF)}};
  std::vector<std::string> fonts, font_options = {"--var-font", "late.ttf"};
  for (int i = 0; i < 30; ++i) {
    fonts.push_back((i < 10 ? "f0" : "f") + std::to_string(i) + ".ttf");
    font_options.insert(font_options.end(), {"--font-name", (i < 20 ? "f" : "f0") + std::to_string(29 - i) + ".ttf"});
  }
  const std::string usb_hdd =
      subtitles_menu(kStandardFreeKb, {candidate(3, "USB", "/usb/local"), candidate(4, "USB", "/mnt/usb/local"),
                                       candidate(5, "USB", "/mnt/usb/var"), candidate(6, "HDD", "/hdd/local"),
                                       candidate(7, "HDD", "/mnt/hdd/local"), candidate(8, "HDD", "/mnt/hdd/var")});
  const std::string probed = std::string(kProbe) + kNoFont, tmp = store_subtitles("/tmp");
  const std::string flash = store_subtitles("/var/tuxbox/Kavro/tit"), old_srt = "/var/tuxbox/Kavro/tit/old.srt";
  const std::string cut_short = start() + kPassStart + language_menu() + prompt() + subtitles_menu() + prompt();
  const std::string keyed =
      start("DM7000", "2.1", kProbe) + kPassStart + language_menu() + prompt() + subtitles_menu() + prompt();
  const std::string failed = probed + kNoRealFile + kUnpackFailed, dm56 = start("DM56xx"), dbox2 = start("DBox2");
  const std::string to_tmp = "Linking dir /var/tuxbox/Kavro/tit => /tmp\n", made = "dir 0755";
  const std::string old_to = "--tit-link", usb = candidate(3, "USB", "/mnt/usb/var");
  const std::string md = "/share/fonts/md_khmurabi_10.ttf", z = "/var/tuxbox/Kavro/z.ttf", b = "/share/fonts/b.ttf";
  const auto credited = [](const char *l, const char *t) { return summary(kKeepSubtitles, kKeepFont, l, t); };
  const auto fails = [](int kb, const char *step) {
    return start() + pass({.subtitles = subtitles_menu(kb)}) + kInstallation + step;
  };
  // clang-format off
  std::vector<Row> rows = {
    // Start-up and its early endings.
    {"input not a terminal", "", {}, 1, "", "STDIN_FILENO is not a TTY!\n", {{kProduct, "absent"}}, "full",
     Wiring::kInputFromNull},
    {"output not a terminal", "", {}, 1, "", "STDOUT_FILENO is not a TTY!\n", {{kProduct, "absent"}}, "full",
     Wiring::kOutputToFile},
    {"product directory cannot be made", "", {"--bare-var"}, 2, "", "Couldn't create directory '/var/tuxbox/Kavro'! "
     "Do it yourself.\nReason: No such file or directory\n", {{kProduct, "absent"}}},
    {"no data disk", "", {}, 3, kMissingDisk, "", {{kProduct, made}}, "none"},
    {"upper-case disk name", "", {"--file", "/tmp/DM7000.dsk=" + disk_.string()}, 3, kMissingDisk, "",
     {{kProduct, made}}, "none"},
    {"first model in table order", "b0E", {"--file", "/tmp/dbox2.dsk=" + disk_.string(), "--file",
     "/tmp/dm56xx.dsk=" + disk_.string()}, 0, dm56 + pass({.summary = summary(kKeepSubtitles, kKeepFont, "English", "",
     "2.1", "DM56xx")}) + kDone, probed, {}, "none"},
    {"dangling disk link fails at extraction", "b0y", {"--link", "/tmp/dbox2.dsk=/tmp/gone.dsk"}, 95, dbox2 +
     pass({.summary = summary(kKeepSubtitles, kKeepFont, "English", "", "2.1", "DBox2")}) + kInstallation + "ERROR!\n",
     failed, {{kPlugin, "absent"}}, "none"},
    {"hung up at the first question", "", {}, 1, start() + kPassStart + language_menu() + prompt(), kProbe,
     {{kProduct, made}, {kPlugin, "absent"}}, "full", Wiring::kHangUp},
    {"hung up at the confirmation", "b0", {}, 1, start() + pass({}), probed, {{kPlugin, "absent"}}, "full",
     Wiring::kHangUp},
    {"failing FreeType", "", {"--freetype", "fail"}, 96, start("DM7000", "") + "Error: fb_test.FT_Init_FreeType: 40\n",
     "", {}},
    {"failing FreeType, code 1", "", {"--freetype", "fail:1"}, 96, start("DM7000", "") +
     "Error: fb_test.FT_Init_FreeType:  1\n", "", {}},
    {"interrupt key", "b\003", {}, 130, cut_short, kProbe, {{kProduct, made}}},  // /var is still copied back
    // Scripted keys, the output to a file: only kavro-box's terminal is the installer's.
    {"--keys", "", {"--keys", "b0y"}, 0, keyed + kNoFont + summary() + prompt() + installed(), "", {{kPlugin, en}},
     "full", Wiring::kOutputToFile},
    {"--keys running out", "", {"--keys", "b"}, 130, keyed, "kavro-box: no key left for prompt 2; typing the interrupt "
     "key\n", {{kPlugin, "absent"}}, "full", Wiring::kOutputToFile},
    // The questions: upper case and letters after k are not taken; any key
    // but yes or exit asks everything again; exit writes nothing.
    {"questions", "Alk0N" "g0N" "i0N" "b2N" "a1x" "c0E", {}, 0, start() +
     pass({.language_prompts = 3, .summary = credited("Slovenian", "the Kavro Slovenian team")}) +
     pass({.summary = credited("French", "the Kavro French team (http://kavro.example.org/fr/)")}) +
     pass({.summary = credited("Hungarian", "the Kavro Hungarian team & the Kavro proofreaders")}) +
     pass({.summary = summary(tmp)}) + pass({.summary = summary(flash, kKeepFont, "Czech")}) +
     pass({.summary = credited("Arabic", "the Kavro Arabic team")}) + kDone,
     probed + kNoFont + kNoFont + kNoFont + kNoFont + kNoFont,
     {{kPlugin, "absent"}, {kConfig, "absent"}, {kTit, "absent"}}},
    {"candidates numbered USB first, only listed numbers taken", "b98N" "b5y", {"--usb-local", "--mnt-usb-local",
     "--mnt-usb-var", "--hdd-local", "--mnt-hdd-local", "--mnt-hdd-var"}, 0, start() + pass({.subtitles = usb_hdd,
     .subtitles_prompts = 2, .summary = summary(store_subtitles("/mnt/hdd/var/tit"))}) + pass({.subtitles = usb_hdd,
     .summary = summary(store_subtitles("/mnt/usb/var/tit"))}) + installed("Linking dir /var/tuxbox/Kavro/tit => "
     "/mnt/usb/var/tit\n"), probed + kNoFont, {{kTit, "-> /mnt/usb/var/tit"}, {"/mnt/usb/var/tit", made}}},
    {"HDD movie folder without HDD candidate", "b3y", {"--hdd-movie"}, 0, start() + pass({.subtitles =
     subtitles_menu(kStandardFreeKb, {candidate(3, "HDD", "/hdd/local")}), .summary = summary(store_subtitles(
     "/hdd/local/tit"))}) + installed("Linking dir /var/tuxbox/Kavro/tit => /hdd/local/tit\n"), probed,
     {{"/hdd/local", made}, {kTit, "-> /hdd/local/tit"}}},
    {"valid old link removed by another answer, even when leaving", "b2E", {"--path", "/mnt/usb/var/tit", old_to,
     "/mnt/usb/var/tit"}, 0, start() + pass({.subtitles = subtitles_menu(kStandardFreeKb, {usb}, "/mnt/usb/var/tit"),
     .summary = summary(tmp)}) + kDone, probed, {{kTit, "absent"}, {"/mnt/usb/var/tit", made}}},
    // An old link is offered only when it resolves, yet 0 always keeps it;
    // the flash is NOT RECOMMENDED below 80 kB.
    {"dangling old link", "b0y", {old_to, "/mnt/gone/tit", "--var-size", "76"}, 0, start() + pass({.subtitles =
     subtitles_menu(76)}) + installed(), probed, {{kTit, "-> /mnt/gone/tit"}}},
    {"old link resolving from its own directory", "b0y", {"--path", "/var/tuxbox/Kavro/store", old_to, "store"}, 0,
     start() + pass({.subtitles = subtitles_menu(kStandardFreeKb, {}, "store")}) + installed(), probed,
     {{kTit, "-> store"}}},
    {"old link resolving only from the installer's", "b0y", {"--path", "/tmp/store", old_to, "store", "--var-size",
     "80"}, 0, start() + pass({.subtitles = subtitles_menu(80)}) + installed(), probed, {{kTit, "-> store"}}},
    {"non-empty subtitles directory stays, /tmp", "b2y", {"--touch", old_srt}, 0, start() + pass({.summary =
     summary(tmp)}) + installed(to_tmp), probed + "Couldn't link /var/tuxbox/Kavro/tit to '/tmp'.\n\aDo it yourself.\n"
     "Reason: File exists\n",
     {{old_srt, "0644 "}}},
    {"non-empty subtitles directory stays, flash", "b1y", {"--touch", old_srt}, 0, start() + pass({.summary =
     summary(flash)}) + installed("Creating dir /var/tuxbox/Kavro/tit\n"), probed + "Couldn't create directory "
     "'/var/tuxbox/Kavro/tit': File exists\n", {{old_srt, "0644 "}}},
    // The font menu: exact .ttf names sorted ignoring case, then the
    // product's fonts by the next letters, up to z.
    {"font menu", "b07cy", {"--font-name", "b.ttf", "--font-name", "c.TTF", "--font-name", "Kavro.ttf", "--font-name",
     "notes", "--font-name", "x.ttf.bak", "--font-name", "A.ttf", "--var-font", "z.ttf"}, 0, start() + pass({.fonts =
     font_menu({"A.ttf", "b.ttf"}, {"z.ttf"}), .font_prompts = 2, .summary = summary(kKeepSubtitles,
     favourite_font(z))})
     + installed("\nSelected font: '" + z + "'\n\n"), kProbe, {{kFontLink, "-> " + z}}},
    {"font menu stops at z", "b0{zE", font_options, 0, start() + pass({.fonts = font_menu(fonts, {"late.ttf"}),
     .font_prompts = 2, .summary = summary(kKeepSubtitles, favourite_font("/share/fonts/f25.ttf"))}) + kDone, kProbe,
     {}},
    {"0 keeps the current font link and sets it again", "b00y", {"--font-name", "a.ttf", "--font-name", "b.ttf",
     "--font-link", b}, 0, start() + pass({.fonts = font_menu({"a.ttf", "b.ttf"}, {}, b), .summary =
     summary(kKeepSubtitles, favourite_font(b))}) + installed("\nSelected font: '" + b + "'\n\n"), kProbe,
     {{kFontLink, "-> " + b}}},
    {"0 without a font link leaves the font alone", "b00y", {"--font-name", "a.ttf"}, 0, start() + pass({.fonts =
     font_menu({"a.ttf"})}) + installed(), kProbe, {{kFontLink, "absent"}}},
    // The installation.
    {"English install", "b1ay", {"--font-name", "md_khmurabi_10.ttf"}, 0, start() + pass({.fonts =
     font_menu({"md_khmurabi_10.ttf"}), .summary = summary(flash, favourite_font(md))}) + installed("Creating dir "
     "/var/tuxbox/Kavro/tit\n\nSelected font: '" + md + "'\n\n"), kProbe, {{kPlugin, en}, {kConfig, "0644 " +
     payload("kavro-2.cfg")}, {kTit, made}, {kFontLink, "-> " + md}, {kPairLink, "-> .kavro-2"}, {kPairFolder1,
     "absent"}, {kPairFolder2, "dir 0755"}}},  // the directory 0777 under the umask
    {"z confirms like y, /tmp linked as it is", "b2z", {}, 0, start() + pass({.summary = summary(tmp)}) +
     installed(to_tmp), probed, {{kTit, "-> /tmp"}, {kPlugin, en}}},
    {"large plugin of many blocks", "b0y", {}, 0, start() + pass({}) + installed(), probed, {{kPlugin, "0755 " + big}},
     "large"},
    // A failed unpack ends with 95; an old file keeps its bytes, mode and
    // time (and takes a 4 kB block of the flash).
    {"missing plugin", "b0y", {"--file", old_cfg}, 95, fails(kStandardFreeKb - 4, "ERROR!\n"), failed,
     {{kConfig, "0644 kept old configuration\n"}, {kPlugin, "absent"}}, "no plugin"},
    {"missing configuration", "b0y", {}, 95, fails(kStandardFreeKb, ""), failed,
     {{kPlugin, "absent"}, {kConfig, "absent"}, {kStagedPlugin, "absent"}}, "no config"},
    {"corrupt plugin over an old one", "b0y", {"--file", old_so}, 95, fails(kStandardFreeKb - 4, "ERROR!\n"), probed +
     "header error - invalid method 47 (level 10)\n" + kUnpackFailed, {{kPlugin, "0644 kept old plugin\n"}},
     "plugin method"},
    {"corrupt configuration over an old pair", "b0y", {"--file", old_cfg, "--file", old_so}, 95,
     fails(kStandardFreeKb - 8, ""), probed + "checksum error - data corrupted" + kUnpackFailed,
     {{kConfig, "0644 kept old configuration\n"}, {kPlugin, "0644 kept old plugin\n"}, {kStagedPlugin, "absent"}},
     "config byte"},
    {"no plugins folder", "b0y", {"--bare-var", "--path", "/var/tuxbox"}, 95, fails(kStandardFreeKb, "ERROR!\n"),
     probed + "couldn't create file '" + kPlugin + "'\n" + kUnpackFailed, {{kPlugin, "absent"}}},
    {"flash filling up", "b0y", {"--var-size", "64"}, 95, fails(64, "ERROR!\n"), probed + "couldn't write data" +
     kUnpackFailed, {}, "big plugin"},
    // A DM7000's 1.75 MB flash and a 300 KB plugin: staged beside the old one
    // (a leftover of a cut-off run removed first), written in place when the
    // flash holds one copy only, or not at all when not even that fits.
    {"two copies fit: staged", "b0y", {"--var-size", "1792", "--file", old_so_300, "--file", old_cfg, "--file",
     kStagedPlugin + "=" + (work_ / "old.so").string(), "--file", kPairFolder2 + "/kavro.so=" + (work_ /
     "old.so").string()}, 0, start() + pass({.subtitles = subtitles_menu(1480)}) + installed(), probed, {{kPlugin,
     "0755 " + new_300}, {kConfig, "0644 " + payload("kavro-2.cfg")}, {kStagedPlugin, "absent"}, {kStagedConfig,
     "absent"}, {kPairLink, "-> .kavro-2"}, {kPairFolder1, "absent"}}, "300 KB plugin"},
    {"two copies fit, over a pair of links", "b0y", linked_pair({"--var-size", "1792"}), 0, start() +
     pass({.subtitles = subtitles_menu(1488)}) + installed(), probed, new_pair_in_1, "300 KB plugin"},
    {"one copy fits, over a pair of links: written in place", "b0y", linked_pair({"--var-size", "1792", "--file",
     "/var/filler=" + filler(1300)}), 0, start() + pass({.subtitles = subtitles_menu(188)}) + installed(), probed,
     new_pair_in_1, "300 KB plugin"},
    {"one copy fits: written in place", "b0y", {"--var-size", "1792", "--file", old_so_300, "--file", old_cfg,
     "--file", "/var/filler=" + filler(1300)}, 0, start() + pass({.subtitles = subtitles_menu(188)}) + installed(),
     probed, {{kPlugin, "0755 " + new_300}, {kConfig, "0644 " + payload("kavro-2.cfg")}, {kStagedPlugin, "absent"}},
     "300 KB plugin"},
    {"not one copy fits", "b0y", {"--var-size", "1792", "--file", old_so, "--file", old_cfg, "--file",
     "/var/filler=" + filler(1500)}, 95, fails(284, "ERROR!\n"), probed + "couldn't write data" + kUnpackFailed,
     {{kPlugin, "0644 kept old plugin\n"}, {kConfig, "0644 kept old configuration\n"}, {kStagedPlugin, "absent"}},
     "300 KB plugin"},
    // An old plugin of holes frees no room when removed: not written in place, so no plugin is left cut short.
    {"sparse old plugin", "b0y", {"--var-size", "1792", "--file", sparse_so, "--file", old_cfg, "--file",
     "/var/filler=" + filler(1600)}, 95, fails(188, "ERROR!\n"), probed + "couldn't write data" + kUnpackFailed,
     {{kPlugin, "0644 kept " + std::string(300 * 1024, '\0')}, {kStagedPlugin, "absent"}}, "300 KB plugin"},
    // One copy fits in place, yet nothing is removed: the old plugin is held open (removing it would free nothing),
    // the file-size limit is below the new one, the configuration is damaged (found before anything is touched).
    {"old plugin held open", "b0y", {"--var-size", "1792", "--file", old_so_300, "--file", old_cfg, "--file",
     "/var/filler=" + filler(1300), "--file", hold, "--under", "sh /tmp/hold"}, 95, fails(188, "ERROR!\n"), probed +
     "The plugin '" + kPlugin + "' is in use: removing it would make no room for the new one! Stop the plugin or "
     "restart the menu, then run the installer again.\n", {{kPlugin, kept_300}, {kConfig, "0644 kept old "
     "configuration\n"}, {kStagedPlugin, "absent"}}, "300 KB plugin"},
    {"file-size limit below the room in place", "b0y", {"--var-size", "1792", "--file", old_so_300, "--file", old_cfg,
     "--file", "/var/filler=" + filler(1300), "--under", "prlimit --fsize=256000"}, 95, fails(188, "ERROR!\n"),
     probed + "couldn't write data" + kUnpackFailed, {{kPlugin, kept_300}, {kConfig, "0644 kept old configuration\n"},
     {kStagedPlugin, "absent"}}, "300 KB plugin"},
    {"damaged configuration, room in place only", "b0y", {"--var-size", "1792", "--file", old_so_300, "--file",
     old_cfg, "--file", "/var/filler=" + filler(1300)}, 95, fails(188, ""), probed + "checksum error - data corrupted" +
     kUnpackFailed, {{kPlugin, kept_300}, {kConfig, "0644 kept old configuration\n"}}, "300 KB, config byte"},
    // Another installer holds the product folder: one line, status 2, nothing done.
    {"another installation running", "", {"--path", kProduct, "--under", "flock " + kProduct}, 2, "", "Another "
     "installation is running on this box! Let it finish, then run the installer again.\n", {{kPlugin, "absent"}}},
    // A file-size limit is a lack of space; what stands at a staged name and cannot be removed is named.
    {"file-size limit", "b0y", {"--under", "prlimit --fsize=100000", "--file", old_so}, 95, fails(kStandardFreeKb - 4,
     "ERROR!\n"), probed + "couldn't write data" + kUnpackFailed, {{kPlugin, "0644 kept old plugin\n"},
     {kStagedPlugin, "absent"}}, "big plugin"},
    {"folder at the staged name", "b0y", {"--path", kStagedPlugin, "--file", old_so}, 95, fails(kStandardFreeKb - 4,
     "ERROR!\n"), probed + "Couldn't remove '" + kStagedPlugin + "', where the new plugin is unpacked first.\n"
     "\aDo it yourself.\nReason: Is a directory\n", {{kPlugin, "0644 kept old plugin\n"}, {kStagedPlugin,
     "dir 0755"}}},
  };
  // The FreeType version chooses the summary and the plugin variant.
  const struct {
    const char *version, *family, *plugin;
  } versions[] = {{"2.0.9", "2.0", "2.0"}, {"2.1.3", "2.1", "2.1"}, {"2.13.2", "2.13", "2.1"}, {"3.0.1", "3.0", "2.0"},
                  {"1.9.0", "1.9", "2.0"}};
  for (const auto &[version, family, plugin] : versions)
    rows.push_back({version, "b0y", {"--freetype", version}, 0, start("DM7000", family) + pass({.summary =
                    summary(kKeepSubtitles, kKeepFont, "English", "", plugin)}) + installed(), "FreeType library " +
                    std::string(version) + "\n" + kNoFont, {{kPlugin, "0755 " + payload(std::string(plugin) == "2.0" ?
                    "d209-EN.so" : "d213-EN.so")}}});
  // clang-format on
  return rows;
}

TEST_F(Installer, RowsEndToEnd) {
  for (const Row &row : rows()) expect_row(row);
}

// The installer built for the boxes' CPU, run by the kavro-box options in KAVRO_FOREIGN_BOX (the environment's, else
// the build's): every row ends the same, but those the interrupt key kills, where qemu adds a line of its own.
TEST_F(Installer, ForeignInstallerEndsEveryRowLikeThisMachines) {
  const char *given = std::getenv("KAVRO_FOREIGN_BOX");
  std::istringstream words(given != nullptr ? given : KAVRO_FOREIGN_BOX);
  const std::vector<std::string> foreign{std::istream_iterator<std::string>(words), {}};
  if (foreign.empty()) GTEST_SKIP() << "no foreign installer given (KAVRO_FOREIGN_BOX)";
  for (Row row : rows()) {
    if (row.status == 130) continue;
    row.options.insert(row.options.end(), foreign.begin(), foreign.end());
    expect_row(row);
  }
}

// Each language installs its own plugin and Czech alone its own configuration file.
TEST_F(Installer, EachLanguageInstallsItsPluginAndConfiguration) {
  for (std::size_t i = 0; i < kLanguageCodes.size(); ++i) {
    SCOPED_TRACE(kLanguageCodes[i]);
    EXPECT_EQ(run(std::string(1, static_cast<char>('a' + i)) + "0y").status, 0);
    EXPECT_EQ(box_state(kPlugin), "0755 " + payload("d213-" + kLanguageCodes[i] + ".so"));
    EXPECT_EQ(box_state(kConfig), "0644 " + payload(i == 0 ? "kavro-1.cfg" : "kavro-2.cfg"));
  }
}

// kavro-box refuses bad options with one line and status 2 before it builds the box.
TEST_F(Installer, BadBoxOptions) {
  const std::string disk = disk_.string(), missing = (work_ / "missing").string(), a_file = (work_ / "a-file").string();
  write_file(a_file, "");
  // clang-format off
  const std::pair<std::vector<std::string>, std::string> rows[] = {
      {{"--var-size", "12k"}, "--var-size: not a number: '12k'"},
      {{"--font", missing}, "--font: no such file"},
      {{"--file", "/tmp/x=" + missing}, "--file: no such file"},
      {{"--root", a_file}, "is not a directory"},
      {{"--report", (work_ / "no-folder/report").string()}, "No such file or directory"},
      {{"--truncate-disk", "10"}, "--truncate-disk needs --disk"},
      {{"--flip-bit", "0:1"}, "--flip-bit needs --disk"},
      {{"--disk", disk, "--truncate-disk", std::to_string(fs::file_size(disk_) + 1)}, "past the disk's end"},
      {{"--disk", disk, "--truncate-disk", "8", "--flip-bit", "8:0"}, "past the disk's end"},
      {{"--freetype", "fail:zz"}, "got 'fail:zz'"},
      {{"--font-name", "../../x.ttf"}, "'..' in the box path"},
      {{"--link", "/l=/etc", "--touch", "/l/passwd"}, "/l/passwd of the box lies in it"},
      {{"--qemu", "no-such-qemu"}, "--qemu: no such program"},
      {{"--target-libs", missing}, "--target-libs: no such directory"},
      {{"--sysroot", a_file}, "--sysroot: not a directory"},
      {{"--target-libs", work_.string()}, "--target-libs needs --qemu"},
  };
  // clang-format on
  for (const auto &[options, message] : rows) {
    SCOPED_TRACE(message);
    const Outcome outcome = run("", options, Wiring::kTerminal, false);
    EXPECT_TRUE(outcome.err.starts_with("kavro-box: ") && outcome.err.find(message) != std::string::npos &&
                std::count(outcome.err.begin(), outcome.err.end(), '\n') == 1)
        << outcome.err;
    EXPECT_EQ(std::to_string(outcome.status) + outcome.out + (fs::exists(root_) ? " box made" : ""), "2");
  }
  EXPECT_FALSE(fs::exists(work_ / "x"));
}

}  // namespace
}  // namespace box
