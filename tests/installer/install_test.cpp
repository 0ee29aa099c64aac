// The installation sequence in the simulated box: the files and links it
// leaves, and the failures that end it with status 95.
#include <cstdio>
#include <random>

#include "installer/box_fixture.h"

namespace box {
namespace {

using namespace screen;

constexpr char kProbe[] = "FreeType library 2.1.3\n";
constexpr char kNoFont[] = "You don't have any usable font!\n";
constexpr char kUnpackFailed[] = "Couldn't unpack file! Not enough free space?";

// English, no subtitles change, no font, "y": up to the installation.
std::string english_up_to_installation(int free_kb = kStandardFreeKb)
{
    return start() + pass_start() + language_menu() + prompt() + subtitles_menu(free_kb) + prompt() +
           summary("English", keep_subtitles(), keep_font()) + prompt() + installation_start();
}

TEST_F(BoxTest, EnglishInstallPlacesPluginConfigurationSubtitlesDirectoryAndFontLink)
{
    const Outcome outcome = run("b1ay", {"--font-name", "md_khmurabi_10.ttf"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out,
              start() + pass_start() + language_menu() + prompt() + subtitles_menu(kStandardFreeKb) +
                  prompt() + font_menu({"md_khmurabi_10.ttf"}) + prompt() +
                  summary("English", store_subtitles("/var/tuxbox/Kavro/tit"),
                          favourite_font("/share/fonts/md_khmurabi_10.ttf")) +
                  prompt() + installation_start() + plugin_ok() + "Creating dir /var/tuxbox/Kavro/tit\n" +
                  "\nSelected font: '/share/fonts/md_khmurabi_10.ttf'\n\n" + done());
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
    EXPECT_NE(outcome.report.find(
                  "  link                  /var/tuxbox/Kavro/Kavro.ttf -> /share/fonts/md_khmurabi_10.ttf\n"),
              std::string::npos);
}

TEST_F(BoxTest, ZConfirmsLikeYAndTmpIsLinkedAsItIs)
{
    const Outcome outcome = run("b2z");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_NE(outcome.out.find(plugin_ok() + "Linking dir /var/tuxbox/Kavro/tit => /tmp\n" + done()),
              std::string::npos);
    EXPECT_EQ(box_link("/var/tuxbox/Kavro/tit"), "/tmp");
    EXPECT_EQ(box_file("/var/tuxbox/plugins/kavro.so"), payload_content("d213-EN.so"));
}

// Each language installs its own plugin and Czech alone its own
// configuration file.
class LanguageInstall : public BoxTest, public ::testing::WithParamInterface<int> {};

TEST_P(LanguageInstall, InstallsTheLanguagesPluginAndConfiguration)
{
    const int row = GetParam();
    const std::string code = kLanguageCodes[static_cast<std::size_t>(row)];
    const Outcome outcome = run(std::string(1, static_cast<char>('a' + row)) + "0y");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(box_file("/var/tuxbox/plugins/kavro.so"), payload_content("d213-" + code + ".so"));
    EXPECT_EQ(box_file("/var/tuxbox/plugins/kavro.cfg"),
              payload_content(code == "CZ" ? "kavro-1.cfg" : "kavro-2.cfg"));
}

INSTANTIATE_TEST_SUITE_P(AllLanguages, LanguageInstall, ::testing::Range(0, 11));

TEST_F(BoxTest, MissingPluginEndsWith95AndLeavesTheOldConfiguration)
{
    disk_ = make_disk(work_ / "no-plugin", without(full_disk_entries(), "d213-EN.so"));
    write_file(work_ / "old.cfg", "old configuration\n");
    const Outcome outcome =
        run("b0y", {"--file", "/var/tuxbox/plugins/kavro.cfg=" + (work_ / "old.cfg").string()});
    EXPECT_EQ(outcome.status, 95);
    // The old configuration file takes one 4 kB block of the flash.
    EXPECT_EQ(outcome.out, english_up_to_installation(kStandardFreeKb - 4) + plugin_failed());
    EXPECT_EQ(outcome.err, std::string(kProbe) + kNoFont + "ERROR: A real file could not be opened\n" + kUnpackFailed);
    EXPECT_EQ(box_file("/var/tuxbox/plugins/kavro.cfg"), "old configuration\n");
    EXPECT_FALSE(box_has("/var/tuxbox/plugins/kavro.so"));
    EXPECT_TRUE(same_terminal(outcome.before, outcome.after));
    EXPECT_NE(outcome.report.find("kavro-install exited with status 95."), std::string::npos);
}

TEST_F(BoxTest, MissingConfigurationEndsWith95WithoutAnErrorLine)
{
    disk_ = make_disk(work_ / "no-config", without(full_disk_entries(), "kavro-2.cfg"));
    const Outcome outcome = run("b0y");
    EXPECT_EQ(outcome.status, 95);
    EXPECT_EQ(outcome.out, english_up_to_installation() + plugin_ok());
    EXPECT_EQ(outcome.err, std::string(kProbe) + kNoFont + "ERROR: A real file could not be opened\n" + kUnpackFailed);
    EXPECT_EQ(box_file("/var/tuxbox/plugins/kavro.so"), payload_content("d213-EN.so"));
    EXPECT_TRUE(same_terminal(outcome.before, outcome.after));
}

TEST_F(BoxTest, CorruptPluginEndsWith95)
{
    damage_entry(disk_, "d213-EN.so", 12, 0x2C);  // the packed file's method
    const Outcome outcome = run("b0y");
    EXPECT_EQ(outcome.status, 95);
    EXPECT_EQ(outcome.out, english_up_to_installation() + plugin_failed());
    EXPECT_EQ(outcome.err, std::string(kProbe) + kNoFont +
                               "header error - invalid method 44 (level 10)\n" + kUnpackFailed);
    EXPECT_TRUE(same_terminal(outcome.before, outcome.after));
}

std::string noise(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    std::mt19937 generator(seed);
    for (char &c : bytes)
        c = static_cast<char>(generator() % 7 == 0 ? 'k' : generator());
    return bytes;
}

TEST_F(BoxTest, LargePluginOfManyBlocksInstallsByteForByte)
{
    const std::string plugin = noise(300 * 1024 + 17, 3);
    DiskEntries entries = without(full_disk_entries(), "d213-EN.so");
    entries.emplace_back("d213-EN.so", plugin);
    disk_ = make_disk(work_ / "big-plugin", entries, "--block-size 16384");

    const Outcome outcome = run("b0y");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_TRUE(box_file("/var/tuxbox/plugins/kavro.so") == plugin);
    EXPECT_EQ(box_mode("/var/tuxbox/plugins/kavro.so"), 0755u);
}

TEST_F(BoxTest, FlashFillingUpDuringExtractionEndsWith95)
{
    DiskEntries entries = without(full_disk_entries(), "d213-EN.so");
    entries.emplace_back("d213-EN.so", noise(200 * 1024, 5));
    disk_ = make_disk(work_ / "big-plugin", entries);

    const Outcome outcome = run("b0y", {"--var-size", "64"});
    EXPECT_EQ(outcome.status, 95);
    EXPECT_EQ(outcome.out, english_up_to_installation(64) + plugin_failed());
    EXPECT_EQ(outcome.err, std::string(kProbe) + kNoFont + "couldn't write data" + kUnpackFailed);
    EXPECT_TRUE(same_terminal(outcome.before, outcome.after));
}

}  // namespace
}  // namespace box
