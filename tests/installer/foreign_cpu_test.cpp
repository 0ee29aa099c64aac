// The installer built for the boxes' CPU, run under qemu-user in the same box
// and on the same disk as this machine's installer: the same screen, the same
// messages, the same exit status and the same box afterwards.
#include <cstdlib>
#include <functional>
#include <sstream>

#include "installer/box_fixture.h"

namespace box {
namespace {

// The kavro-box options that run the foreign installer, split at blanks:
// the environment's KAVRO_FOREIGN_BOX, else the build's.
std::vector<std::string> foreign_box_options() {
  const char *given = std::getenv("KAVRO_FOREIGN_BOX");
  std::istringstream words(given != nullptr ? given : KAVRO_FOREIGN_BOX);
  std::vector<std::string> options;
  for (std::string word; words >> word;) options.push_back(word);
  return options;
}

// The report without its last line, which names the run's own folder.
std::string report_without_folder(const std::string &report) { return report.substr(0, report.rfind("(kept in ")); }

TEST_F(BoxTest, ForeignInstallerEndsLikeThisMachinesOnTheSameDiskAndBox) {
  const std::vector<std::string> foreign = foreign_box_options();
  if (foreign.empty()) GTEST_SKIP() << "no foreign installer given (KAVRO_FOREIGN_BOX)";
  const fs::path full_disk = disk_;
  const struct {
    const char *what;
    std::string keys;
    std::vector<std::string> options;
    int status;
    std::function<void()> make_disk = [] {};
    Wiring wiring = Wiring::kTerminal;
  } rows[] = {
      {"subtitles kept", "b0y", {}, 0},
      {"subtitles in the flash, a font", "b1ay", {"--font-name", "md_khmurabi_10.ttf"}, 0},
      {"subtitles in /tmp", "b2y", {}, 0},
      {"subtitles on USB", "b3y", {"--mnt-usb-var"}, 0},
      {"subtitles on the HDD", "b3y", {"--mnt-hdd-var"}, 0},
      {"FreeType 2.0", "a0y", {"--freetype", "2.0.9"}, 0},
      {"FreeType failing", "", {"--freetype", "fail"}, 96},
      {"damaged plugin entry",
       "b0y",
       {},
       95,
       [&] {
         disk_ = make_disk(work_ / "corrupt", full_disk_entries());
         damage_entry(disk_, "d213-EN.so", 12, 0x2F);
       }},
      {"/var filling up",
       "b0y",
       {"--var-size", "64"},
       95,
       [&] { disk_ = make_disk(work_ / "big-plugin", with_english_plugin(noise(200 * 1024, 5))); }},
      {"terminal hung up", "b", {}, 1, [] {}, Wiring::kHangUp},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    disk_ = full_disk;
    row.make_disk();
    const Outcome native = run(row.keys, row.options, row.wiring);
    std::vector<std::string> options = row.options;
    options.insert(options.end(), foreign.begin(), foreign.end());
    const Outcome emulated = run(row.keys, options, row.wiring);
    EXPECT_EQ(native.status, row.status);
    EXPECT_EQ(emulated.status, native.status);
    EXPECT_EQ(emulated.out, native.out);
    EXPECT_EQ(emulated.err, native.err);
    EXPECT_EQ(report_without_folder(emulated.report), report_without_folder(native.report));
  }
}

}  // namespace
}  // namespace box
