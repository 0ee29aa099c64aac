// The three questions and the confirmation, in the simulated box.
#include <dirent.h>

#include <algorithm>
#include <cstdio>

#include "installer/box_fixture.h"

namespace box {
namespace {

using namespace screen;

TEST_F(BoxTest, LanguageQuestionIgnoresUpperCaseAndLettersAfterK) {
  const Outcome outcome = run("Alk0E");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, start() +
                             pass({.language_prompts = 3,
                                   .summary = summary("Slovenian", keep_subtitles(), keep_font(), "2.1", "DM7000",
                                                      "the Kavro Slovenian team")}) +
                             done());
}

TEST_F(BoxTest, CreditsKeepTheirShapes) {
  const Outcome outcome = run("g0Ni0E");
  EXPECT_EQ(outcome.out, start() +
                             pass({.summary = summary("French", keep_subtitles(), keep_font(), "2.1", "DM7000",
                                                      "the Kavro French team (http://kavro.example.org/fr/)")}) +
                             pass({.summary = summary("Hungarian", keep_subtitles(), keep_font(), "2.1", "DM7000",
                                                      "the Kavro Hungarian team & the Kavro proofreaders")}) +
                             done());
}

TEST_F(BoxTest, AnyKeyButYesOrExitAsksEverythingAgainAndExitWritesNothing) {
  const Outcome outcome =
      run("b2N"
          "a1x"
          "c0E");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out,
            start() + pass({.summary = english(store_subtitles("/tmp"))}) +
                pass({.summary = summary("Czech", store_subtitles("/var/tuxbox/Kavro/tit"), keep_font())}) +
                pass({.summary =
                          summary("Arabic", keep_subtitles(), keep_font(), "2.1", "DM7000", "the Kavro Arabic team")}) +
                done());
  EXPECT_EQ(outcome.err, std::string(kProbe) + kNoFont + kNoFont + kNoFont);
  EXPECT_FALSE(box_has("/var/tuxbox/plugins/kavro.so"));
  EXPECT_FALSE(box_has("/var/tuxbox/plugins/kavro.cfg"));
  EXPECT_FALSE(box_has("/var/tuxbox/Kavro/tit"));
}

TEST_F(BoxTest, CandidatesAreNumberedUsbFirstAndOnlyListedNumbersAreTaken) {
  const Outcome outcome =
      run("b98N"
          "b5y",
          {"--usb-local", "--mnt-usb-local", "--mnt-usb-var", "--hdd-local", "--mnt-hdd-local", "--mnt-hdd-var"});
  const std::string menu =
      subtitles_menu(kStandardFreeKb, {usb(3, "/usb/local"), usb(4, "/mnt/usb/local"), usb(5, "/mnt/usb/var"),
                                       hdd(6, "/hdd/local"), hdd(7, "/mnt/hdd/local"), hdd(8, "/mnt/hdd/var")});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(
      outcome.out,
      start() +
          pass({.subtitles = menu, .subtitles_prompts = 2, .summary = english(store_subtitles("/mnt/hdd/var/tit"))}) +
          pass({.subtitles = menu, .summary = english(store_subtitles("/mnt/usb/var/tit"))}) +
          installed("Linking dir /var/tuxbox/Kavro/tit => /mnt/usb/var/tit\n"));
  EXPECT_EQ(box_link("/var/tuxbox/Kavro/tit"), "/mnt/usb/var/tit");
  EXPECT_EQ(box_mode("/mnt/usb/var/tit"), 0755u);
}

TEST_F(BoxTest, HddMovieWithoutHddCandidateOffersAndCreatesHddLocal) {
  const Outcome outcome = run("b3y", {"--hdd-movie"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, start() +
                             pass({.subtitles = subtitles_menu(kStandardFreeKb, {hdd(3, "/hdd/local")}),
                                   .summary = english(store_subtitles("/hdd/local/tit"))}) +
                             installed("Linking dir /var/tuxbox/Kavro/tit => /hdd/local/tit\n"));
  EXPECT_EQ(box_mode("/hdd/local"), 0755u);
  EXPECT_EQ(box_link("/var/tuxbox/Kavro/tit"), "/hdd/local/tit");
}

TEST_F(BoxTest, ValidOldLinkIsOfferedAndRemovedByAnyOtherAnswerEvenWhenLeaving) {
  const Outcome outcome = run("b2E", {"--path", "/mnt/usb/var/tit", "--tit-link", "/mnt/usb/var/tit"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out,
            start() +
                pass({.subtitles = subtitles_menu(kStandardFreeKb, {usb(3, "/mnt/usb/var")}, "/mnt/usb/var/tit"),
                      .summary = english(store_subtitles("/tmp"))}) +
                done());
  EXPECT_FALSE(box_has("/var/tuxbox/Kavro/tit"));
  EXPECT_TRUE(box_has("/mnt/usb/var/tit"));
}

TEST_F(BoxTest, OldLinkIsOfferedOnlyWhenItResolvesYetZeroAlwaysKeepsIt) {
  const struct {
    const char *target;
    std::vector<std::string> options;
    bool offered;
  } rows[] = {
      {"/mnt/gone/tit", {}, false},
      {"store", {"--path", "/var/tuxbox/Kavro/store"}, true},  // from the link's own directory
      {"store", {"--path", "/tmp/store"}, false},              // not from the installer's
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(std::string(row.target) + (row.offered ? " offered" : " not offered"));
    std::vector<std::string> options = row.options;
    options.insert(options.end(), {"--tit-link", row.target});
    const Outcome outcome = run("b0y", options);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, start() +
                               pass({.subtitles = subtitles_menu(kStandardFreeKb, {}, row.offered ? row.target : "")}) +
                               installed());
    EXPECT_EQ(box_link("/var/tuxbox/Kavro/tit"), row.target);
  }
}

TEST_F(BoxTest, NonEmptySubtitlesDirectoryStaysAndLinkingFailsWithStatus0) {
  const Outcome outcome = run("b2y", {"--touch", "/var/tuxbox/Kavro/tit/old.srt"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, start() + pass({.summary = english(store_subtitles("/tmp"))}) +
                             installed("Linking dir /var/tuxbox/Kavro/tit => /tmp\n"));
  EXPECT_EQ(outcome.err, std::string(kProbe) + kNoFont +
                             "Couldn't link /var/tuxbox/Kavro/tit to '/tmp'.\n"
                             "\aDo it yourself.\nReason: File exists\n");
  EXPECT_TRUE(box_has("/var/tuxbox/Kavro/tit/old.srt"));

  const Outcome flash = run("b1y", {"--touch", "/var/tuxbox/Kavro/tit/old.srt"});
  EXPECT_EQ(flash.status, 0);
  EXPECT_EQ(flash.out, start() + pass({.summary = english(store_subtitles("/var/tuxbox/Kavro/tit"))}) +
                           installed("Creating dir /var/tuxbox/Kavro/tit\n"));
  EXPECT_EQ(flash.err,
            std::string(kProbe) + kNoFont + "Couldn't create directory '/var/tuxbox/Kavro/tit': File exists\n");
}

class FlashSpace : public BoxTest, public ::testing::WithParamInterface<int> {};

TEST_P(FlashSpace, FlashLineWarnsBelow80Kb) {
  const int kb = GetParam();
  const Outcome outcome = run("b0E", {"--var-size", std::to_string(kb)});
  EXPECT_EQ(outcome.out, start() + pass({.subtitles = subtitles_menu(kb)}) + done());
}

INSTANTIATE_TEST_SUITE_P(TmpfsSizes, FlashSpace, ::testing::Values(76, 80));

TEST_F(BoxTest, FontMenuListsOnlyExactTtfNamesSortedThenProductFontsByTheNextLetters) {
  const std::vector<std::string> product_fonts = {"z.ttf"};
  const Outcome outcome =
      run("b0"
          "7cy",
          {"--font-name", "b.ttf", "--font-name", "c.TTF", "--font-name", "Kavro.ttf", "--font-name", "notes",
           "--font-name", "x.ttf.bak", "--font-name", "A.ttf", "--var-font", "z.ttf"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, start() +
                             pass({.fonts = font_menu({"A.ttf", "b.ttf"}, &product_fonts),
                                   .font_prompts = 2,
                                   .summary = english(keep_subtitles(), favourite_font("/var/tuxbox/Kavro/z.ttf"))}) +
                             installed("\nSelected font: '/var/tuxbox/Kavro/z.ttf'\n\n"));
  EXPECT_EQ(outcome.err, kProbe);
  EXPECT_EQ(box_link("/var/tuxbox/Kavro/Kavro.ttf"), "/var/tuxbox/Kavro/z.ttf");
}

std::vector<std::string> directory_order(const fs::path &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (const dirent *entry = readdir(d))
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    closedir(d);
  }
  return names;
}

TEST_F(BoxTest, FontNamesEqualButForCaseComeOutSwapped) {
  const Outcome outcome = run("b0aE", {"--font-name", "Sans.ttf", "--font-name", "sans.ttf"});
  // The sort swaps names that compare equal: two of them end up in the
  // opposite order to the one the directory gives.
  std::vector<std::string> expected = directory_order(in_box("/share/fonts"));
  ASSERT_EQ(expected.size(), 2u);
  std::reverse(expected.begin(), expected.end());
  EXPECT_EQ(outcome.out,
            start() +
                pass({.fonts = font_menu(expected),
                      .summary = english(keep_subtitles(), favourite_font("/share/fonts/" + expected[0]))}) +
                done());
}

TEST_F(BoxTest, FontMenuStopsAtZ) {
  std::vector<std::string> options = {"--var-font", "late.ttf"};
  std::vector<std::string> fonts;
  for (int i = 0; i < 30; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%02d.ttf", i);
    fonts.push_back(name);
    std::snprintf(name, sizeof name, "f%02d.ttf", 29 - i);
    options.insert(options.end(), {"--font-name", name});
  }
  const std::vector<std::string> product_fonts = {"late.ttf"};
  const Outcome outcome =
      run("b0"
          "{z"
          "E",
          options);
  EXPECT_EQ(outcome.out, start() +
                             pass({.fonts = font_menu(fonts, &product_fonts),
                                   .font_prompts = 2,
                                   .summary = english(keep_subtitles(), favourite_font("/share/fonts/f25.ttf"))}) +
                             done());
}

TEST_F(BoxTest, ZeroKeepsTheCurrentFontLinkAndSetsItAgain) {
  const Outcome outcome =
      run("b00y", {"--font-name", "a.ttf", "--font-name", "b.ttf", "--font-link", "/share/fonts/b.ttf"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, start() +
                             pass({.fonts = font_menu({"a.ttf", "b.ttf"}, nullptr, "/share/fonts/b.ttf"),
                                   .summary = english(keep_subtitles(), favourite_font("/share/fonts/b.ttf"))}) +
                             installed("\nSelected font: '/share/fonts/b.ttf'\n\n"));
  EXPECT_EQ(box_link("/var/tuxbox/Kavro/Kavro.ttf"), "/share/fonts/b.ttf");
}

TEST_F(BoxTest, ZeroWithoutFontLinkLeavesTheFontAlone) {
  const Outcome outcome = run("b00y", {"--font-name", "a.ttf"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, start() + pass({.fonts = font_menu({"a.ttf"})}) + installed());
  EXPECT_FALSE(box_has("/var/tuxbox/Kavro/Kavro.ttf"));
}

}  // namespace
}  // namespace box
