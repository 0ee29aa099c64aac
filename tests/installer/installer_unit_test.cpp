// SPDX-License-Identifier: GPL-2.0-or-later
// Where the end-to-end rows do not reach: the font sort's orders a directory does not give, the font scan of a
// missing and an empty directory, and what remove_path clears before a link is made and what it leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "installer.h"

namespace {

namespace fs = std::filesystem;

TEST(FontSort, OrdersIgnoringCaseAndSwapsNamesEqualButForCase) {
  using Names = std::vector<std::string>;
  const std::pair<Names, Names> cases[] = {
      {{"a.ttf", "A.ttf"}, {"A.ttf", "a.ttf"}},
      {{"A.ttf", "a.ttf"}, {"a.ttf", "A.ttf"}},
      {{"x.ttf", "a.ttf", "A.ttf"}, {"A.ttf", "a.ttf", "x.ttf"}},  // a stable sort: a, A, x
      {{"Zeta.ttf", "beta.ttf", "Alpha.ttf", "delta.ttf", "Gamma.ttf", "c.ttf"},
       {"Alpha.ttf", "beta.ttf", "c.ttf", "delta.ttf", "Gamma.ttf", "Zeta.ttf"}},
  };
  for (auto [names, expected] : cases) {
    std::vector<char *> pointers;
    for (std::string &name : names) pointers.push_back(name.data());
    sort_font_names(pointers.data(), static_cast<int>(pointers.size()));
    EXPECT_EQ(Names(pointers.begin(), pointers.end()), expected);
  }
}

TEST(FontScanAndRemovePath, InAFolderOfTheirOwn) {
  std::string dir = (fs::temp_directory_path() / "kavro-unit-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  char **names = reinterpret_cast<char **>(&names);
  EXPECT_EQ(scan_fonts((dir + "/missing/").c_str(), &names), -1);
  EXPECT_EQ(names, nullptr);
  EXPECT_EQ(scan_fonts((dir + "/").c_str(), &names), 0);
  std::free(names);

  std::ofstream(dir + "/file") << "x";
  fs::create_directories(dir + "/empty");
  fs::create_symlink(dir + "/nowhere", dir + "/dangling");
  fs::create_directories(dir + "/target");
  std::ofstream(dir + "/target/kept") << "x";
  fs::create_directory_symlink(dir + "/target", dir + "/link");
  const auto exists = [&](const std::string &name) {
    struct stat st;
    return lstat((dir + "/" + name).c_str(), &st) == 0;
  };
  const struct {
    const char *name;
    int result;
    bool kept;  // the name itself, and target/kept
  } rows[] = {{"file", 0, false}, {"empty", 0, false},  {"dangling", 0, false},
              {"link", 0, false}, {"target", -1, true}, {"missing", -1, false}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(remove_path((dir + "/" + row.name).c_str()), row.result);
    EXPECT_EQ(exists(row.name), row.kept);
    EXPECT_TRUE(exists("target/kept"));
  }
  fs::remove_all(dir);
}

}  // namespace
