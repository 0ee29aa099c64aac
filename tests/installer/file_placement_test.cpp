// remove_path: what it clears before a link is made, and what it leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "installer.h"

namespace {

namespace fs = std::filesystem;

TEST(RemovePath, RemovesFilesEmptyDirectoriesAndLinksButNoDirectoryWithContents) {
  std::string pattern = (fs::temp_directory_path() / "kavro-remove-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path dir = pattern;
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
    if (row.left != nullptr) {
      EXPECT_TRUE(exists(row.left));
    }
  }
  fs::remove_all(dir);
}

}  // namespace
