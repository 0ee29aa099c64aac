// The font directory scan and its Shell sort.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "installer.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> sorted(std::vector<std::string> names)
{
    std::vector<char *> pointers;
    for (std::string &name : names)
        pointers.push_back(name.data());
    sort_font_names(pointers.data(), static_cast<int>(pointers.size()));
    return {pointers.begin(), pointers.end()};
}

TEST(FontSort, NamesEqualButForCaseAreSwapped)
{
    EXPECT_EQ(sorted({"a.ttf", "A.ttf"}), (std::vector<std::string>{"A.ttf", "a.ttf"}));
    EXPECT_EQ(sorted({"A.ttf", "a.ttf"}), (std::vector<std::string>{"a.ttf", "A.ttf"}));
    // A stable sort would give a, A, x.
    EXPECT_EQ(sorted({"x.ttf", "a.ttf", "A.ttf"}),
              (std::vector<std::string>{"A.ttf", "a.ttf", "x.ttf"}));
}

TEST(FontSort, OrdersIgnoringCase)
{
    EXPECT_EQ(sorted({"Zeta.ttf", "beta.ttf", "Alpha.ttf", "delta.ttf", "Gamma.ttf", "c.ttf"}),
              (std::vector<std::string>{"Alpha.ttf", "beta.ttf", "c.ttf", "delta.ttf", "Gamma.ttf",
                                        "Zeta.ttf"}));
}

class FontScan : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "kavro-fonts-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    void touch(const std::string &name) { std::ofstream(dir_ / name).put('x'); }

    std::vector<std::string> scan(int *count)
    {
        char **names = nullptr;
        *count = scan_fonts((dir_.string() + "/").c_str(), &names);
        std::vector<std::string> result;
        for (int i = 0; i < *count; ++i) {
            result.emplace_back(names[i]);
            std::free(names[i]);
        }
        std::free(names);
        return result;
    }

    fs::path dir_;
};

TEST_F(FontScan, KeepsOnlyExactTtfNamesOtherThanTheFontLink)
{
    for (const char *name : {"b.ttf", "A.ttf", "c.TTF", "Kavro.ttf", "notes", "d.ttf.bak", "e.ttfx"})
        touch(name);
    int count = 0;
    EXPECT_EQ(scan(&count), (std::vector<std::string>{"A.ttf", "b.ttf"}));
    EXPECT_EQ(count, 2);
}

TEST_F(FontScan, GrowsPastTheFirstSixteenNames)
{
    std::vector<std::string> expected;
    for (int i = 0; i < 40; ++i) {
        const std::string name = "font" + std::to_string(100 + i) + ".ttf";
        touch(name);
        expected.push_back(name);
    }
    int count = 0;
    EXPECT_EQ(scan(&count), expected);
    EXPECT_EQ(count, 40);
}

TEST_F(FontScan, UnreadableDirectoryGivesMinusOneAndNoList)
{
    char **names = reinterpret_cast<char **>(&names);
    EXPECT_EQ(scan_fonts((dir_ / "missing/").c_str(), &names), -1);
    EXPECT_EQ(names, nullptr);
}

TEST_F(FontScan, EmptyDirectoryGivesZero)
{
    int count = -1;
    EXPECT_TRUE(scan(&count).empty());
    EXPECT_EQ(count, 0);
}

}  // namespace
