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

class RemovePath : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "kavro-remove-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string at(const std::string &name) const { return (dir_ / name).string(); }
    bool exists(const std::string &name) const
    {
        struct stat st;
        return lstat(at(name).c_str(), &st) == 0;
    }

    fs::path dir_;
};

TEST_F(RemovePath, RemovesFileEmptyDirectoryAndDanglingLink)
{
    std::ofstream(at("file")) << "x";
    fs::create_directory(at("empty"));
    fs::create_symlink(at("nowhere"), at("dangling"));
    for (const char *name : {"file", "empty", "dangling"}) {
        EXPECT_EQ(remove_path(at(name).c_str()), 0) << name;
        EXPECT_FALSE(exists(name)) << name;
    }
}

TEST_F(RemovePath, LinkToDirectoryGoesAndTheDirectoryStays)
{
    fs::create_directory(at("target"));
    std::ofstream(at("target/kept")) << "x";
    fs::create_directory_symlink(at("target"), at("link"));
    EXPECT_EQ(remove_path(at("link").c_str()), 0);
    EXPECT_FALSE(exists("link"));
    EXPECT_TRUE(exists("target/kept"));
}

TEST_F(RemovePath, DirectoryWithContentsStays)
{
    fs::create_directory(at("full"));
    std::ofstream(at("full/kept")) << "x";
    EXPECT_EQ(remove_path(at("full").c_str()), -1);
    EXPECT_TRUE(exists("full/kept"));
}

TEST_F(RemovePath, MissingPathGivesMinusOne)
{
    EXPECT_EQ(remove_path(at("missing").c_str()), -1);
}

}  // namespace
