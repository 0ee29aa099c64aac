// Fixtures of the end-to-end tests: data disks made with the zepa tool from
// placeholder payloads, a box per test, and the installer's texts as a user
// sees them, to compose whole expected transcripts.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "installer/box_session.h"

namespace box {

// The codes of the language menu, in menu order.
inline const std::vector<std::string> kLanguageCodes = {"CZ", "EN", "AR", "BG", "HR", "NL",
                                                        "FR", "GR", "HU", "PL", "SI"};

// What a placeholder payload holds: its own name, so that a wrong file shows.
std::string payload_content(const std::string &name);

// A data disk made by `zepa create` from NAME=CONTENT pairs.
using DiskEntries = std::vector<std::pair<std::string, std::string>>;
fs::path make_disk(const fs::path &where, const DiskEntries &entries,
                   const std::string &zepa_options = "");

// Every plugin variant and both configuration files.
DiskEntries full_disk_entries();
DiskEntries without(DiskEntries entries, const std::string &name);

// Overwrites one byte of the packed file `name` inside the disk, at `offset`
// from the packed file's start.
void damage_entry(const fs::path &disk, const std::string &name, std::size_t offset,
                  unsigned char value);

// One box per test: its own work folder, a full data disk for the DM7000 in
// /tmp, /var as a 2048 kB tmpfs (a fixed free-space figure) and FreeType
// 2.1.3, unless a test says otherwise.
class BoxTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the installer with the standard box plus `options`.
    Outcome run(const std::string &keys, std::vector<std::string> options = {},
                Wiring wiring = Wiring::kTerminal);
    // Same, without the standard box: only `options`.
    Outcome run_bare(const std::string &keys, std::vector<std::string> options,
                     Wiring wiring = Wiring::kTerminal);

    // A path of the box after the last run, as seen from outside.
    fs::path in_box(const std::string &path) const { return root_ / path.substr(1); }
    std::string box_file(const std::string &path) const { return read_file(in_box(path)); }
    bool box_has(const std::string &path) const;
    unsigned box_mode(const std::string &path) const;   // permission bits
    std::string box_link(const std::string &path) const;  // link text, "" if none

    fs::path work_;  // this test's folder
    fs::path disk_;  // the full data disk
    fs::path root_;  // the box of the last run
    int runs_ = 0;
};

// The installer's screen, piece by piece.
namespace screen {

std::string start(const std::string &model = "DM7000", const std::string &freetype = "2.1");
std::string missing_disk();
std::string prompt(int times = 1);
std::string pass_start();
std::string language_menu();
std::string subtitles_menu(int free_kb, const std::vector<std::string> &candidates = {},
                           const std::string &current = "");
std::string usb(int number, const std::string &path);
std::string hdd(int number, const std::string &path);
std::string font_menu(const std::vector<std::string> &box_fonts,
                      const std::vector<std::string> *product_fonts = nullptr,
                      const std::string &current = "");
std::string summary(const std::string &language, const std::string &subtitles_line,
                    const std::string &font_line, const std::string &freetype = "2.1",
                    const std::string &model = "DM7000", const std::string &credit = "");
std::string store_subtitles(const std::string &target);
std::string keep_subtitles();
std::string favourite_font(const std::string &path);
std::string keep_font();
std::string installation_start();
std::string plugin_ok();
std::string plugin_failed();
std::string done();

}  // namespace screen

inline constexpr int kStandardFreeKb = 2048;

}  // namespace box
