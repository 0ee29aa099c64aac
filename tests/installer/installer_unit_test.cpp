// The font scan and its Shell sort, and remove_path, where the end-to-end
// rows do not reach: sort orders a directory does not give, the scan of a
// missing and an empty directory, and what remove_path clears before a
// link is made and what it leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

TEST(FontScanAndRemovePath, InATemporaryFolder) {
  std::string pattern = (fs::temp_directory_path() / "kavro-unit-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path dir = pattern;
  char **names = reinterpret_cast<char **>(&names);
  EXPECT_EQ(scan_fonts((pattern + "/missing/").c_str(), &names), -1);
  EXPECT_EQ(names, nullptr);
  EXPECT_EQ(scan_fonts((pattern + "/").c_str(), &names), 0);
  std::free(names);

  const auto exists = [&](const char *name) {
    struct stat st;
    return lstat((dir / name).c_str(), &st) == 0;
  };
  std::ofstream(dir / "file") << "x";
  fs::create_directories(dir / "empty");
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  fs::create_directories(dir / "target");
  std::ofstream(dir / "target/kept") << "x";
  fs::create_directory_symlink(dir / "target", dir / "link");
  const struct {
    const char *name;
    int result;
    const char *left;  // what must still exist afterwards, or null
  } rows[] = {
      {"file", 0, nullptr},       {"empty", 0, nullptr},         {"dangling", 0, nullptr},
      {"link", 0, "target/kept"}, {"target", -1, "target/kept"}, {"missing", -1, nullptr},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(remove_path((dir / row.name).c_str()), row.result);
    EXPECT_EQ(exists(row.name), row.result != 0 && row.left != nullptr);
    EXPECT_TRUE(row.left == nullptr || exists(row.left));
  }
  fs::remove_all(dir);
}

}  // namespace
