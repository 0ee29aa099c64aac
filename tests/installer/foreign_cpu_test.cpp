// The installer built for the boxes' CPU, under qemu-user in the same box and on the same disk as this machine's:
// the same screen, messages, exit status and box afterwards.
#include "installer/box_fixture.h"

namespace box {
namespace {

TEST_F(BoxTest, ForeignInstallerEndsLikeThisMachinesOnTheSameDiskAndBox) {
  // The kavro-box options that run the foreign installer: the environment's KAVRO_FOREIGN_BOX, else the build's.
  const char *given = std::getenv("KAVRO_FOREIGN_BOX");
  std::istringstream words(given != nullptr ? given : KAVRO_FOREIGN_BOX);
  const std::vector<std::string> foreign{std::istream_iterator<std::string>(words), {}};
  if (foreign.empty()) GTEST_SKIP() << "no foreign installer given (KAVRO_FOREIGN_BOX)";
  const fs::path full = disk_, corrupt = damage_entry(make_disk(work_ / "corrupt"), "d213-EN.so", 12, 0x2F);
  const fs::path big_plugin = make_disk(work_ / "big-plugin", "", noise(200 * 1024, 5));
  const struct {
    const char *what;
    std::string keys;
    std::vector<std::string> options;
    int status;
    fs::path disk;
    Wiring wiring = Wiring::kTerminal;
  } rows[] = {
      {"subtitles kept", "b0y", {}, 0, full},
      {"subtitles in the flash, a font", "b1ay", {"--font-name", "md_khmurabi_10.ttf"}, 0, full},
      {"subtitles in /tmp", "b2y", {}, 0, full},
      {"subtitles on USB", "b3y", {"--mnt-usb-var"}, 0, full},
      {"subtitles on the HDD", "b3y", {"--mnt-hdd-var"}, 0, full},
      {"FreeType 2.0", "a0y", {"--freetype", "2.0.9"}, 0, full},
      {"FreeType failing", "", {"--freetype", "fail"}, 96, full},
      {"damaged plugin entry", "b0y", {}, 95, corrupt},
      {"/var filling up", "b0y", {"--var-size", "64"}, 95, big_plugin},
      {"terminal hung up", "b", {}, 1, full, Wiring::kHangUp},
  };
  // The report without its last line, which names the run's own folder.
  const auto tree = [](const std::string &report) { return report.substr(0, report.rfind("(kept in ")); };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    disk_ = row.disk;
    const Outcome native = run(row.keys, row.options, row.wiring);
    std::vector<std::string> options = row.options;
    options.insert(options.end(), foreign.begin(), foreign.end());
    const Outcome emulated = run(row.keys, options, row.wiring);
    EXPECT_EQ(native.status, row.status);
    EXPECT_EQ(emulated.status, native.status);
    EXPECT_EQ(emulated.out, native.out);
    EXPECT_EQ(emulated.err, native.err);
    EXPECT_EQ(tree(emulated.report), tree(native.report));
  }
}

}  // namespace
}  // namespace box
