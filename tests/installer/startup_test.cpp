// Start-up of the installer in the simulated box: the terminal checks, the
// product directory, finding the data disk and the FreeType probe.
#include <algorithm>
#include <csignal>

#include <ft2build.h>
#include FT_FREETYPE_H

#include "installer/box_fixture.h"

namespace box {
namespace {

using namespace screen;

constexpr char kProbe213[] = "FreeType library 2.1.3\n";
constexpr char kNoFont[] = "You don't have any usable font!\n";

// English, subtitles and font left alone, then "E": the shortest dialogue.
std::string leave_at_once(const std::string &model)
{
    return start(model) + pass_start() + language_menu() + prompt() +
           subtitles_menu(kStandardFreeKb) + prompt() +
           summary("English", keep_subtitles(), keep_font(), "2.1", model) + prompt() + done();
}

TEST_F(BoxTest, InputNotTerminalStopsWithStatus1BeforeTouchingTheBox)
{
    const Outcome outcome = run("", {}, Wiring::kInputFromNull);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "STDIN_FILENO is not a TTY!\n");
    EXPECT_EQ(outcome.out, "");
    EXPECT_FALSE(box_has("/var/tuxbox/Kavro"));
}

TEST_F(BoxTest, OutputNotTerminalStopsWithStatus1BeforeTouchingTheBox)
{
    const Outcome outcome = run("", {}, Wiring::kOutputToFile);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "STDOUT_FILENO is not a TTY!\n");
    EXPECT_EQ(outcome.out, "");
    EXPECT_FALSE(box_has("/var/tuxbox/Kavro"));
    EXPECT_TRUE(same_terminal(outcome.before, outcome.after));
}

TEST_F(BoxTest, ProductDirectoryThatCannotBeMadeStopsWithStatus2)
{
    const Outcome outcome = run("", {"--bare-var"});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.err,
              "Couldn't create directory '/var/tuxbox/Kavro'! Do it yourself.\n"
              "Reason: No such file or directory\n");
    EXPECT_EQ(outcome.out, "");
}

TEST_F(BoxTest, NoDataDiskStopsWithStatus3AfterMakingTheProductDirectory)
{
    const Outcome outcome = run_bare("", {"--var-size", "2048"});
    EXPECT_EQ(outcome.status, 3);
    EXPECT_EQ(outcome.out, missing_disk());
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(box_mode("/var/tuxbox/Kavro"), 0755u);
    EXPECT_TRUE(same_terminal(outcome.before, outcome.after));
}

TEST_F(BoxTest, UpperCaseDiskNameIsNotFound)
{
    const Outcome outcome = run_bare("", {"--file", "/tmp/DM7000.dsk=" + disk_.string()});
    EXPECT_EQ(outcome.status, 3);
    EXPECT_EQ(outcome.out, missing_disk());
}

TEST_F(BoxTest, FirstModelInTableOrderWinsWhenSeveralDisksArePresent)
{
    const Outcome outcome = run_bare("b0E", {"--file", "/tmp/dbox2.dsk=" + disk_.string(),
                                             "--file", "/tmp/dm56xx.dsk=" + disk_.string(),
                                             "--var-size", "2048", "--freetype", "2.1.3"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, leave_at_once("DM56xx"));
    EXPECT_EQ(outcome.err, std::string(kProbe213) + kNoFont);
}

TEST_F(BoxTest, DanglingDiskLinkIsFoundAndFailsOnlyAtExtraction)
{
    const Outcome outcome = run_bare("b0y", {"--link", "/tmp/dbox2.dsk=/tmp/gone.dsk",
                                             "--var-size", "2048", "--freetype", "2.1.3"});
    EXPECT_EQ(outcome.status, 95);
    EXPECT_EQ(outcome.out, start("DBox2") + pass_start() + language_menu() + prompt() +
                               subtitles_menu(kStandardFreeKb) + prompt() +
                               summary("English", keep_subtitles(), keep_font(), "2.1", "DBox2") +
                               prompt() + installation_start() + plugin_failed());
    EXPECT_EQ(outcome.err, std::string(kProbe213) + kNoFont +
                               "ERROR: A real file could not be opened\n"
                               "Couldn't unpack file! Not enough free space?");
    EXPECT_TRUE(same_terminal(outcome.before, outcome.after));
}

// A FreeType version, what the installer makes of it and the plugin it picks.
struct FreetypeCase {
    const char *version;
    const char *family;
    const char *plugin;
};

class FreetypeProbe : public BoxTest, public ::testing::WithParamInterface<FreetypeCase> {};

TEST_P(FreetypeProbe, VersionChoosesSummaryAndPluginVariant)
{
    const FreetypeCase &c = GetParam();
    const Outcome outcome = run("b0y", {"--freetype", c.version});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "FreeType library " + std::string(c.version) + "\n" + kNoFont);
    EXPECT_EQ(outcome.out, start("DM7000", c.family) + pass_start() + language_menu() + prompt() +
                               subtitles_menu(kStandardFreeKb) + prompt() +
                               summary("English", keep_subtitles(), keep_font(),
                                       std::string(c.plugin) == "d209" ? "2.0" : "2.1") +
                               prompt() + installation_start() + plugin_ok() + done());
    EXPECT_EQ(box_file("/var/tuxbox/plugins/kavro.so"),
              payload_content(std::string(c.plugin) + "-EN.so"));
}

INSTANTIATE_TEST_SUITE_P(Versions, FreetypeProbe,
                         ::testing::Values(FreetypeCase{"2.0.9", "2.0", "d209"},
                                           FreetypeCase{"2.1.3", "2.1", "d213"},
                                           FreetypeCase{"2.13.2", "2.13", "d213"},
                                           FreetypeCase{"3.0.1", "3.0", "d209"},
                                           FreetypeCase{"1.9.0", "1.9", "d209"}),
                         [](const ::testing::TestParamInfo<FreetypeCase> &info) {
                             std::string name = std::string("FreeType_") + info.param.version;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

TEST_F(BoxTest, ProbeReportsTheBoxsOwnFreetypeLibrary)
{
    FT_Library library = nullptr;
    ASSERT_EQ(FT_Init_FreeType(&library), 0);
    FT_Int major = 0, minor = 0, patch = 0;
    FT_Library_Version(library, &major, &minor, &patch);
    FT_Done_FreeType(library);
    const std::string version =
        std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
    const bool older = major <= 1 || minor <= 0;

    const Outcome outcome = run("b0y", {"--freetype", "system"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "FreeType library " + version + "\n" + kNoFont);
    EXPECT_NE(outcome.out.find("for FreeType " + std::to_string(major) + "." + std::to_string(minor) +
                               " will be installed."),
              std::string::npos);
    EXPECT_EQ(box_file("/var/tuxbox/plugins/kavro.so"),
              payload_content(older ? "d209-EN.so" : "d213-EN.so"));
}

TEST_F(BoxTest, FailingFreetypeEndsWith96AndRestoresTheTerminal)
{
    const Outcome outcome = run("", {"--freetype", "fail"});
    EXPECT_EQ(outcome.status, 96);
    EXPECT_EQ(outcome.out, start("DM7000", "") + "Error: fb_test.FT_Init_FreeType: 40\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_TRUE(same_terminal(outcome.before, outcome.after));

    const Outcome small_code = run("", {"--freetype", "fail:1"});
    EXPECT_EQ(small_code.status, 96);
    EXPECT_EQ(small_code.out, start("DM7000", "") + "Error: fb_test.FT_Init_FreeType:  1\n");
}

TEST_F(BoxTest, QuestionsRunWithSingleKeyInputAndTheEndRestoresTheTerminal)
{
    const Outcome outcome = run("b0E");
    ASSERT_GT(outcome.prompts, 0);
    termios expected = outcome.before;
    expected.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL);
    EXPECT_TRUE(same_terminal(outcome.during, expected));
    EXPECT_TRUE(same_terminal(outcome.before, outcome.after));
    EXPECT_NE(outcome.report.find("kavro-install exited with status 0."), std::string::npos);
}

TEST_F(BoxTest, InterruptKeyEndsTheInstallerInSingleKeyMode)
{
    const Outcome outcome = run("b\003");
    EXPECT_EQ(outcome.status, 128 + SIGINT);
    EXPECT_TRUE(same_terminal(outcome.during, outcome.after));
    EXPECT_NE(outcome.report.find("Terminal: left changed by the installer.\n"), std::string::npos);
    EXPECT_TRUE(box_has("/var/tuxbox/Kavro"));  // /var was still copied back
}

}  // namespace
}  // namespace box
