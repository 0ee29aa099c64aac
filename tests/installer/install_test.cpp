// The installation sequence in the simulated box: the files and links it
// leaves, and the failures that end it with status 95.
#include <cstdio>
#include <functional>

#include "installer/box_fixture.h"

namespace box {
namespace {

using namespace screen;

TEST_F(BoxTest, EnglishInstallPlacesPluginConfigurationSubtitlesDirectoryAndFontLink) {
  const Outcome outcome = run("b1ay", {"--font-name", "md_khmurabi_10.ttf"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, start() +
                             pass({.fonts = font_menu({"md_khmurabi_10.ttf"}),
                                   .summary = english(store_subtitles("/var/tuxbox/Kavro/tit"),
                                                      favourite_font("/share/fonts/md_khmurabi_10.ttf"))}) +
                             installed("Creating dir /var/tuxbox/Kavro/tit\n"
                                       "\nSelected font: '/share/fonts/md_khmurabi_10.ttf'\n\n"));
  EXPECT_EQ(outcome.err, kProbe);
  EXPECT_EQ(box_file("/var/tuxbox/plugins/kavro.so"), payload_content("d213-EN.so"));
  EXPECT_EQ(box_mode("/var/tuxbox/plugins/kavro.so"), 0755u);
  EXPECT_EQ(box_file("/var/tuxbox/plugins/kavro.cfg"), payload_content("kavro-2.cfg"));
  EXPECT_EQ(box_mode("/var/tuxbox/plugins/kavro.cfg"), 0644u);
  EXPECT_EQ(box_mode("/var/tuxbox/Kavro/tit"), 0755u);  // 0777 under the umask
  EXPECT_EQ(box_link("/var/tuxbox/Kavro/Kavro.ttf"), "/share/fonts/md_khmurabi_10.ttf");
  EXPECT_TRUE(same_terminal(outcome.before, outcome.after));
  EXPECT_NE(outcome.report.find("kavro-install exited with status 0."), std::string::npos);
  char plugin_line[128];
  std::snprintf(plugin_line, sizeof plugin_line, "  file  0755 %10zu /var/tuxbox/plugins/kavro.so\n",
                payload_content("d213-EN.so").size());
  EXPECT_NE(outcome.report.find(plugin_line), std::string::npos);
  EXPECT_NE(
      outcome.report.find("  link                  /var/tuxbox/Kavro/Kavro.ttf -> /share/fonts/md_khmurabi_10.ttf\n"),
      std::string::npos);
}

TEST_F(BoxTest, ZConfirmsLikeYAndTmpIsLinkedAsItIs) {
  const Outcome outcome = run("b2z");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, start() + pass({.summary = english(store_subtitles("/tmp"))}) +
                             installed("Linking dir /var/tuxbox/Kavro/tit => /tmp\n"));
  EXPECT_EQ(box_link("/var/tuxbox/Kavro/tit"), "/tmp");
  EXPECT_EQ(box_file("/var/tuxbox/plugins/kavro.so"), payload_content("d213-EN.so"));
}

TEST_F(BoxTest, KeysOptionAnswersOnePromptPerKeyAndInterruptsWhenTheyRunOut) {
  const struct {
    std::string keys;
    int status;
    std::string screen, message, plugin;
  } rows[] = {
      {"b0y", 0, start() + pass({}) + installed(), "", payload_content("d213-EN.so")},
      {"b", 130, start() + pass_start() + language_menu() + prompt() + subtitles_menu(kStandardFreeKb) + prompt(),
       "kavro-box: no key left for prompt 2; typing the interrupt key\n", ""},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.keys);
    // Output to a file: the installer can only have run on kavro-box's terminal.
    Outcome outcome = run("", {"--keys", row.keys}, Wiring::kOutputToFile);
    for (const std::string &aside : {std::string(kProbe), std::string(kNoFont)})
      if (const std::size_t at = outcome.out.find(aside); at != std::string::npos) outcome.out.erase(at, aside.size());
    EXPECT_EQ(outcome.status, row.status);
    EXPECT_EQ(outcome.out, row.screen);
    EXPECT_EQ(outcome.err, row.message);
    EXPECT_EQ(box_file("/var/tuxbox/plugins/kavro.so"), row.plugin);
  }
}

// Each language installs its own plugin and Czech alone its own
// configuration file.
class LanguageInstall : public BoxTest, public ::testing::WithParamInterface<int> {};

TEST_P(LanguageInstall, InstallsTheLanguagesPluginAndConfiguration) {
  const int row = GetParam();
  const std::string code = kLanguageCodes[static_cast<std::size_t>(row)];
  const Outcome outcome = run(std::string(1, static_cast<char>('a' + row)) + "0y");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(box_file("/var/tuxbox/plugins/kavro.so"), payload_content("d213-" + code + ".so"));
  EXPECT_EQ(box_file("/var/tuxbox/plugins/kavro.cfg"), payload_content(code == "CZ" ? "kavro-1.cfg" : "kavro-2.cfg"));
}

INSTANTIATE_TEST_SUITE_P(AllLanguages, LanguageInstall, ::testing::Range(0, 11));

TEST_F(BoxTest, FailedUnpackEndsWith95KeepsWhatItPromisesAndRestoresTheTerminal) {
  write_file(work_ / "old.cfg", "old configuration\n");
  write_file(work_ / "old.so", "old plugin\n");
  const std::string old_cfg = "/var/tuxbox/plugins/kavro.cfg=" + (work_ / "old.cfg").string();
  const std::string old_so = "/var/tuxbox/plugins/kavro.so=" + (work_ / "old.so").string();
  const struct {
    const char *what;
    std::function<void()> make_disk;
    std::vector<std::string> options;
    int free_kb;
    std::string plugin_line, message;
    std::vector<std::pair<std::string, std::string>> files;  // path, content ("" absent)
  } rows[] = {
      {"missing plugin",
       [&] { disk_ = make_disk(work_ / "no-plugin", without(full_disk_entries(), "d213-EN.so")); },
       {"--file", old_cfg},
       kStandardFreeKb - 4,  // the old file takes a 4 kB block of the flash
       plugin_failed(),
       "ERROR: A real file could not be opened\n",
       {{"/var/tuxbox/plugins/kavro.cfg", "old configuration\n"}, {"/var/tuxbox/plugins/kavro.so", ""}}},
      {"missing configuration",
       [&] { disk_ = make_disk(work_ / "no-config", without(full_disk_entries(), "kavro-2.cfg")); },
       {},
       kStandardFreeKb,
       plugin_ok(),
       "ERROR: A real file could not be opened\n",
       {{"/var/tuxbox/plugins/kavro.so", payload_content("d213-EN.so")}}},
      {"corrupt plugin over an old one",
       [&] {
         disk_ = make_disk(work_ / "corrupt", full_disk_entries());
         damage_entry(disk_, "d213-EN.so", 12, 0x2F);  // the packed file's method
       },
       {"--file", old_so},
       kStandardFreeKb - 4,
       plugin_failed(),
       "header error - invalid method 47 (level 10)\n",
       {{"/var/tuxbox/plugins/kavro.so", "old plugin\n"}}},
      {"corrupt configuration over an old one",
       [&] {
         disk_ = make_disk(work_ / "corrupt-cfg", full_disk_entries());
         damage_entry(disk_, "kavro-2.cfg", 30, 0xFF);  // a stored byte: only the checksum sees it
       },
       {"--file", old_cfg},
       kStandardFreeKb - 4,
       plugin_ok(),
       "checksum error - data corrupted",
       {{"/var/tuxbox/plugins/kavro.cfg", "old configuration\n"},
        {"/var/tuxbox/plugins/kavro.so", payload_content("d213-EN.so")}}},
      {"flash filling up",
       [&] { disk_ = make_disk(work_ / "big-plugin", with_english_plugin(noise(200 * 1024, 5))); },
       {"--var-size", "64"},
       64,
       plugin_failed(),
       "couldn't write data",
       {}},
  };
  const fs::path full_disk = disk_;
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    disk_ = full_disk;
    row.make_disk();
    const Outcome outcome = run("b0y", row.options);
    EXPECT_EQ(outcome.status, 95);
    EXPECT_EQ(outcome.out,
              start() + pass({.subtitles = subtitles_menu(row.free_kb)}) + installation_start() + row.plugin_line);
    EXPECT_EQ(outcome.err, std::string(kProbe) + kNoFont + row.message + kUnpackFailed);
    for (const auto &[path, content] : row.files) {
      EXPECT_EQ(box_has(path), !content.empty()) << path;
      EXPECT_EQ(box_file(path), content) << path;
      if (content.rfind("old ", 0) != 0) continue;
      // Untouched: the mode it came with, and not written since the
      // installer made its product directory.
      EXPECT_EQ(box_mode(path), 0644u) << path;
      EXPECT_LT(fs::last_write_time(in_box(path)), fs::last_write_time(in_box("/var/tuxbox/Kavro"))) << path;
    }
    EXPECT_TRUE(same_terminal(outcome.before, outcome.after));
    EXPECT_NE(outcome.report.find("kavro-install exited with status 95."), std::string::npos);
  }
}

TEST_F(BoxTest, LargePluginOfManyBlocksInstallsByteForByte) {
  const std::string plugin = noise(300 * 1024 + 17, 3);
  disk_ = make_disk(work_ / "big-plugin", with_english_plugin(plugin), "--block-size 16384");
  const Outcome outcome = run("b0y");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_TRUE(box_file("/var/tuxbox/plugins/kavro.so") == plugin);
  EXPECT_EQ(box_mode("/var/tuxbox/plugins/kavro.so"), 0755u);
}

}  // namespace
}  // namespace box
