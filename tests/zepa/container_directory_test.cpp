// Reading a container's directory, and rejecting broken ones.
#include "container_fixture.h"

namespace zepa_test {
namespace {

using DirectoryTest = ContainerTest;

// The usual disk's directory: 14 fixed bytes, 3 x 14 table bytes, 15 name bytes.
constexpr uint32_t kAbcDataStart = 71;

void put16(std::vector<uint8_t> &image, std::size_t at, uint16_t v) {
  image[at] = static_cast<uint8_t>(v >> 8);
  image[at + 1] = static_cast<uint8_t>(v);
}

void put32(std::vector<uint8_t> &image, std::size_t at, uint32_t v) {
  put16(image, at, static_cast<uint16_t>(v >> 16));
  put16(image, at + 2, static_cast<uint16_t>(v));
}

TEST_F(DirectoryTest, PlacesEveryEntryBehindThePreviousOneIgnoringSkippedColumns) {
  std::vector<uint8_t> image = abc_image();
  for (std::size_t i = 0; i < 5; ++i) image[i] = 0xEE;  // the lead-in
  for (std::size_t row = 0; row < 3; ++row) put32(image, 14 + 8 * row, 0xFFFFFFFF);
  for (std::size_t row = 0; row < 3; ++row) put32(image, 38 + 4 * row, 0xFFFFFFFF);  // the second table
  const std::string path = file("patched.dsk", image);
  struct Expected {
    const char *name;
    int32_t start;
    std::string content;
  };
  for (const Expected &x : {Expected{"a.bin", 71, "abcd"}, {"b.bin", 75, "efghij"}, {"c.bin", 81, "klm"}}) {
    SCOPED_TRACE(x.name);
    const uint32_t h = zepa_fopen(path.c_str(), x.name, "rb", 0, nullptr);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(zepa_GetPhysicalOffset(h, 0), x.start);
    EXPECT_EQ(zepa_GetPhysicalOffset(h, 2), x.start + 2);
    uint32_t length = 0;
    EXPECT_EQ(zepa_filelength(h, &length), ZEPA_OK);
    EXPECT_EQ(length, x.content.size());
    EXPECT_EQ(read(h, length), x.content);
    EXPECT_EQ(zepa_fclose(h), ZEPA_OK);
  }
}

TEST_F(DirectoryTest, DamagedDirectoryFailsPreparationAndStaysRegistered) {
  const std::vector<uint8_t> good = abc_image();
  std::vector<std::pair<std::string, std::vector<uint8_t>>> damaged;
  const auto with = [&](std::string what, const auto &change) {
    std::vector<uint8_t> image = good;
    change(image);
    damaged.emplace_back(std::move(what), std::move(image));
  };
  with("format byte 1", [](auto &image) { image[5] = 1; });
  with("zero-length name", [](auto &image) { put16(image, 14 + 12 * 3 + 2, 0); });
  for (uint32_t count : {4u, 0x10000u, 0xFFFFFFFFu})
    with("count " + std::to_string(count), [&](auto &image) { put32(image, 6, count); });
  for (std::size_t cut = 0; cut < kAbcDataStart; ++cut)
    damaged.emplace_back("cut at " + std::to_string(cut), std::vector<uint8_t>(good.begin(), good.begin() + cut));
  for (const auto &[what, image] : damaged) {
    SCOPED_TRACE(what);
    const std::string path = file("damaged.dsk", image);
    EXPECT_EQ(prepare(path), ZEPA_E_EOA);
    EXPECT_EQ(ops->zepa_core_IsContainerRegistered(path.c_str()), 1);
    EXPECT_EQ(ops->zepa_core_IsContainerPrepared(path.c_str()), 0);
    EXPECT_EQ(ops->zepa_core_UnregisterContainer(path.c_str()), 1);
  }
  // The data region is not examined when the directory is read.
  EXPECT_EQ(prepare(file("cut.dsk", std::vector<uint8_t>(good.begin(), good.begin() + kAbcDataStart))), ZEPA_OK);
}

TEST_F(DirectoryTest, EmptyDirectoryLoadsAndHoldsNoFile) {
  const std::string path = disk({});
  EXPECT_EQ(std::filesystem::file_size(path), 14u);
  ASSERT_EQ(prepare(path), ZEPA_OK);
  EXPECT_EQ(ops->zepa_core_PrepareFile(path.c_str(), "a.bin"), ZEPA_E_NOFILE);
}

TEST_F(DirectoryTest, DuplicateNameFindsTheLowerEntry) {
  const std::string path = disk({entry("x", "first"), entry("x", "second")});
  const uint32_t h = zepa_fopen(path.c_str(), "x", "rb", 0, nullptr);
  EXPECT_EQ(read(h, 5), "first");
}

TEST_F(DirectoryTest, ZeroLengthEntryStartsWhereTheNextOneDoes) {
  const std::string path = disk({entry("empty", ""), entry("full", "xyz")});
  const uint32_t empty = zepa_fopen(path.c_str(), "empty", "rb", 0, nullptr);
  const uint32_t full = zepa_fopen(path.c_str(), "full", "rb", 0, nullptr);
  EXPECT_EQ(zepa_GetPhysicalOffset(empty, 0), zepa_GetPhysicalOffset(full, 0));
  uint32_t length = 99;
  EXPECT_EQ(zepa_filelength(empty, &length), ZEPA_OK);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(read(empty, 3), "xyz");
}

TEST_F(DirectoryTest, NamesMatchCaseSensitively) {
  const std::string path = abc_disk();
  ASSERT_EQ(prepare(path), ZEPA_OK);
  EXPECT_EQ(ops->zepa_core_PrepareFile(path.c_str(), "A.bin"), ZEPA_E_NOFILE);
  EXPECT_EQ(ops->zepa_core_CheckFileExists(path.c_str(), "a.bin"), 1);
  EXPECT_EQ(ops->zepa_core_CheckFileExists(path.c_str(), "A.bin"), 0);
}

}  // namespace
}  // namespace zepa_test
