// The font directory scan and its Shell sort, where the end-to-end font
// menus do not reach: sort orders a directory does not give, and the scan's
// results for a missing and an empty directory. Which names the scan keeps,
// and lists longer than its first allocation, are in the font menu tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "installer.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> sorted(std::vector<std::string> names) {
  std::vector<char *> pointers;
  for (std::string &name : names) pointers.push_back(name.data());
  sort_font_names(pointers.data(), static_cast<int>(pointers.size()));
  return {pointers.begin(), pointers.end()};
}

TEST(FontSort, OrdersIgnoringCaseAndSwapsNamesEqualButForCase) {
  using Names = std::vector<std::string>;
  const std::pair<Names, Names> cases[] = {
      {{"a.ttf", "A.ttf"}, {"A.ttf", "a.ttf"}},
      {{"A.ttf", "a.ttf"}, {"a.ttf", "A.ttf"}},
      {{"x.ttf", "a.ttf", "A.ttf"}, {"A.ttf", "a.ttf", "x.ttf"}},  // a stable sort: a, A, x
      {{"Zeta.ttf", "beta.ttf", "Alpha.ttf", "delta.ttf", "Gamma.ttf", "c.ttf"},
       {"Alpha.ttf", "beta.ttf", "c.ttf", "delta.ttf", "Gamma.ttf", "Zeta.ttf"}},
  };
  for (const auto &[input, expected] : cases) EXPECT_EQ(sorted(input), expected);
}

TEST(FontScan, MissingDirectoryGivesMinusOneAndNoListEmptyOneGivesZero) {
  std::string dir = (fs::temp_directory_path() / "kavro-fonts-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  char **names = reinterpret_cast<char **>(&names);
  EXPECT_EQ(scan_fonts((dir + "/missing/").c_str(), &names), -1);
  EXPECT_EQ(names, nullptr);
  EXPECT_EQ(scan_fonts((dir + "/").c_str(), &names), 0);
  std::free(names);
  fs::remove_all(dir);
}

}  // namespace
