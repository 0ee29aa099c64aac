// Start-up of the installer in the simulated box: the terminal checks, the
// product directory, finding the data disk and the FreeType probe, and a
// terminal that goes away.
#include <algorithm>
#include <csignal>

#include <ft2build.h>
#include FT_FREETYPE_H

#include "installer/box_fixture.h"

namespace box {
namespace {

using namespace screen;

TEST_F(BoxTest, EarlyEndingsGiveTheirStatusAndMessagesAndLeaveTheTerminalAlone) {
  const struct {
    const char *what;
    bool standard_box;
    std::vector<std::string> options;
    Wiring wiring;
    int status;
    std::string out, err;
    unsigned product_directory_mode;  // 0: not made
    const char *keys = "";
  } rows[] = {
      {"input not a terminal", true, {}, Wiring::kInputFromNull, 1, "", "STDIN_FILENO is not a TTY!\n", 0},
      {"output not a terminal", true, {}, Wiring::kOutputToFile, 1, "", "STDOUT_FILENO is not a TTY!\n", 0},
      {"product directory cannot be made",
       true,
       {"--bare-var"},
       Wiring::kTerminal,
       2,
       "",
       "Couldn't create directory '/var/tuxbox/Kavro'! Do it yourself.\n"
       "Reason: No such file or directory\n",
       0},
      {"no data disk", false, {"--var-size", "2048"}, Wiring::kTerminal, 3, missing_disk(), "", 0755},
      {"terminal hung up at the first question",
       true,
       {},
       Wiring::kHangUp,
       1,
       start() + pass_start() + language_menu() + prompt(),
       kProbe,
       0755},
      {"terminal hung up at the confirmation",
       true,
       {},
       Wiring::kHangUp,
       1,
       start() + pass({}),
       std::string(kProbe) + kNoFont,
       0755,
       "b0"},
      {"upper-case disk name",
       false,
       {"--file", "/tmp/DM7000.dsk=" + disk_.string()},
       Wiring::kTerminal,
       3,
       missing_disk(),
       "",
       0755},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    const Outcome outcome =
        row.standard_box ? run(row.keys, row.options, row.wiring) : run_bare(row.keys, row.options, row.wiring);
    EXPECT_EQ(outcome.status, row.status);
    EXPECT_EQ(outcome.out, row.out);
    EXPECT_EQ(outcome.err, row.err);
    EXPECT_EQ(box_mode("/var/tuxbox/Kavro"), row.product_directory_mode);
    if (row.wiring == Wiring::kHangUp) {
      EXPECT_LT(outcome.hang_up_ms, 10000);  // not a run asking on for ever
      EXPECT_FALSE(box_has("/var/tuxbox/plugins/kavro.so"));
    } else {
      EXPECT_TRUE(same_terminal(outcome.before, outcome.after));
    }
  }
}

TEST_F(BoxTest, BadOptionsAreRefusedWithOneLineAndStatus2BeforeTheBoxIsBuilt) {
  const std::string disk = disk_.string(), missing = (work_ / "missing").string();
  write_file(work_ / "a-file", "");
  const struct {
    std::vector<std::string> options;
    std::string message;
  } rows[] = {
      {{"--var-size", "12k"}, "--var-size: not a number: '12k'"},
      {{"--disk", disk, "--flip-bit", "x:1"}, "--flip-bit: not a number: 'x'"},
      {{"--font", missing}, "--font: no such file"},
      {{"--file", "/tmp/x=" + missing}, "--file: no such file"},
      {{"--disk", missing}, "--disk: no such file"},
      {{"--installer", missing}, "--installer: no such file"},
      {{"--root", (work_ / "a-file").string()}, "is not a directory"},
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
      {{"--sysroot", (work_ / "a-file").string()}, "--sysroot: not a directory"},
      {{"--target-libs", work_.string()}, "--target-libs needs --qemu"},
      {{"--freetype-standin", missing}, "--freetype-standin: no such file"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.message);
    const Outcome outcome = run_bare("", row.options);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.err.rfind("kavro-box: ", 0), 0u);
    EXPECT_NE(outcome.err.find(row.message), std::string::npos) << outcome.err;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_FALSE(fs::exists(root_));
  }
  EXPECT_FALSE(fs::exists(work_ / "x"));
}

TEST_F(BoxTest, FirstModelInTableOrderWinsWhenSeveralDisksArePresent) {
  const Outcome outcome =
      run_bare("b0E", {"--file", "/tmp/dbox2.dsk=" + disk_.string(), "--file", "/tmp/dm56xx.dsk=" + disk_.string(),
                       "--var-size", "2048", "--freetype", "2.1.3"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(
      outcome.out,
      start("DM56xx") + pass({.summary = summary("English", keep_subtitles(), keep_font(), "2.1", "DM56xx")}) + done());
  EXPECT_EQ(outcome.err, std::string(kProbe) + kNoFont);
}

TEST_F(BoxTest, DanglingDiskLinkIsFoundAndFailsOnlyAtExtraction) {
  const Outcome outcome =
      run_bare("b0y", {"--link", "/tmp/dbox2.dsk=/tmp/gone.dsk", "--var-size", "2048", "--freetype", "2.1.3"});
  EXPECT_EQ(outcome.status, 95);
  EXPECT_EQ(outcome.out, start("DBox2") +
                             pass({.summary = summary("English", keep_subtitles(), keep_font(), "2.1", "DBox2")}) +
                             installation_start() + plugin_failed());
  EXPECT_EQ(outcome.err, std::string(kProbe) + kNoFont + "ERROR: A real file could not be opened\n" + kUnpackFailed);
  EXPECT_TRUE(same_terminal(outcome.before, outcome.after));
}

// A FreeType version, what the installer makes of it and the plugin it picks.
struct FreetypeCase {
  const char *version;
  const char *family;
  const char *plugin;
};

class FreetypeProbe : public BoxTest, public ::testing::WithParamInterface<FreetypeCase> {};

TEST_P(FreetypeProbe, VersionChoosesSummaryAndPluginVariant) {
  const FreetypeCase &c = GetParam();
  const Outcome outcome = run("b0y", {"--freetype", c.version});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "FreeType library " + std::string(c.version) + "\n" + kNoFont);
  const std::string plugin_family = std::string(c.plugin) == "d209" ? "2.0" : "2.1";
  EXPECT_EQ(outcome.out, start("DM7000", c.family) +
                             pass({.summary = summary("English", keep_subtitles(), keep_font(), plugin_family)}) +
                             installed());
  EXPECT_EQ(box_file("/var/tuxbox/plugins/kavro.so"), payload_content(std::string(c.plugin) + "-EN.so"));
}

INSTANTIATE_TEST_SUITE_P(Versions, FreetypeProbe,
                         ::testing::Values(FreetypeCase{"2.0.9", "2.0", "d209"}, FreetypeCase{"2.1.3", "2.1", "d213"},
                                           FreetypeCase{"2.13.2", "2.13", "d213"}, FreetypeCase{"3.0.1", "3.0", "d209"},
                                           FreetypeCase{"1.9.0", "1.9", "d209"}),
                         [](const ::testing::TestParamInfo<FreetypeCase> &info) {
                           std::string name = std::string("FreeType_") + info.param.version;
                           std::replace(name.begin(), name.end(), '.', '_');
                           return name;
                         });

TEST_F(BoxTest, ProbeReportsTheBoxsOwnFreetypeLibrary) {
  FT_Library library = nullptr;
  ASSERT_EQ(FT_Init_FreeType(&library), 0);
  FT_Int major = 0, minor = 0, patch = 0;
  FT_Library_Version(library, &major, &minor, &patch);
  FT_Done_FreeType(library);
  const std::string version = std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
  const bool older = major <= 1 || minor <= 0;

  const Outcome outcome = run("b0y", {"--freetype", "system"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "FreeType library " + version + "\n" + kNoFont);
  EXPECT_NE(
      outcome.out.find("for FreeType " + std::to_string(major) + "." + std::to_string(minor) + " will be installed."),
      std::string::npos);
  EXPECT_EQ(box_file("/var/tuxbox/plugins/kavro.so"), payload_content(older ? "d209-EN.so" : "d213-EN.so"));
}

TEST_F(BoxTest, FailingFreetypeEndsWith96AndRestoresTheTerminal) {
  for (const auto &[option, code] : {std::pair{"fail", "40"}, std::pair{"fail:1", " 1"}}) {
    const Outcome outcome = run("", {"--freetype", option});
    EXPECT_EQ(outcome.status, 96);
    EXPECT_EQ(outcome.out, start("DM7000", "") + "Error: fb_test.FT_Init_FreeType: " + code + "\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_TRUE(same_terminal(outcome.before, outcome.after));
  }
}

TEST_F(BoxTest, QuestionsRunWithSingleKeyInputAndTheEndRestoresTheTerminal) {
  const Outcome outcome = run("b0E");
  ASSERT_GT(outcome.prompts, 0);
  termios expected = outcome.before;
  expected.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL);
  EXPECT_TRUE(same_terminal(outcome.during, expected));
  EXPECT_TRUE(same_terminal(outcome.before, outcome.after));
  EXPECT_NE(outcome.report.find("kavro-install exited with status 0."), std::string::npos);
}

TEST_F(BoxTest, InterruptKeyEndsTheInstallerInSingleKeyMode) {
  const Outcome outcome = run("b\003");
  EXPECT_EQ(outcome.status, 128 + SIGINT);
  EXPECT_TRUE(same_terminal(outcome.during, outcome.after));
  EXPECT_NE(outcome.report.find("Terminal: left changed by the installer.\n"), std::string::npos);
  EXPECT_TRUE(box_has("/var/tuxbox/Kavro"));  // /var was still copied back
}

}  // namespace
}  // namespace box
