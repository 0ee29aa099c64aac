// Positions, lengths and reads of open files.
#include "container_fixture.h"

namespace zepa_test {
namespace {

class ReadTest : public ContainerTest {
 protected:
  void SetUp() override {
    ContainerTest::SetUp();
    path = abc_disk();
  }
  uint32_t open(const char *name) { return zepa_fopen(path.c_str(), name, "rb", 0, nullptr); }
  uint32_t offset(uint32_t h) {
    uint32_t value = 0;
    EXPECT_EQ(ops->zepa_core_GetFileOffset(h, &value), ZEPA_OK);
    return value;
  }
  std::string path;
};

TEST_F(ReadTest, ReadsContinueWhereTheLastOneEnded) {
  const uint32_t a = open("a.bin");
  const uint32_t c = open("c.bin");
  EXPECT_EQ(read(a, 2), "ab");
  EXPECT_EQ(read(c, 1), "k");
  EXPECT_EQ(read(a, 2), "cd");
  EXPECT_EQ(offset(a), 4u);
}

TEST_F(ReadTest, ReadRunsOnIntoTheNextEntry) {
  uint16_t e = 99;
  EXPECT_EQ(read(open("a.bin"), 10, &e), "abcdefghij");
  EXPECT_EQ(e, ZEPA_OK);
}

TEST_F(ReadTest, PhysicalEndStopsAReadButTheOffsetAdvancesAnyway) {
  const uint32_t b = open("b.bin");
  ASSERT_EQ(ops->zepa_core_SetFileOffset(b, 3), ZEPA_OK);  // at 78, 6 bytes before the end
  char buffer[40];
  uint16_t e = 0;
  EXPECT_EQ(zepa_fread(buffer, 4, 10, b, &e), 1u);
  EXPECT_EQ(std::string(buffer, 4), "hijk");
  EXPECT_EQ(e, ZEPA_E_EOF);
  EXPECT_EQ(offset(b), 43u);
}

TEST_F(ReadTest, ManyItemsCostOneStreamReadAndSequentialReadsNoSeek) {
  const uint32_t a = open("a.bin");
  EXPECT_EQ(read(a, 1), "a");  // positions the stream
  TestStdio::install();
  EXPECT_EQ(read(a, 7), "bcdefgh");
  EXPECT_EQ(read(a, 3), "ijk");
  EXPECT_EQ(TestStdio::freads, 2);
  EXPECT_EQ(TestStdio::fseeks, 0);
}

TEST_F(ReadTest, PartialLastItemIsNotCountedAndEndsTheRead) {
  const uint32_t c = open("c.bin");  // "klm", the container's last bytes
  char buffer[8] = {};
  uint16_t e = 0;
  EXPECT_EQ(zepa_fread(buffer, 2, 4, c, &e), 1u);
  EXPECT_EQ(e, ZEPA_E_EOF);
  EXPECT_EQ(std::string(buffer, 2), "kl");
  EXPECT_EQ(offset(c), 8u);
}

TEST_F(ReadTest, OneByteReadsStopAtThePhysicalEnd) {
  const uint32_t c = open("c.bin");
  ASSERT_EQ(ops->zepa_core_SetFileOffset(c, 2), ZEPA_OK);
  uint16_t e = 99;
  EXPECT_EQ(ops->zepa_core_ReadOneByte(c, &e), 'm');
  EXPECT_EQ(e, ZEPA_OK);
  EXPECT_EQ(ops->zepa_core_ReadOneByte(c, &e), 0);
  EXPECT_EQ(e, ZEPA_E_EOF);
  EXPECT_EQ(offset(c), 3u);
}

TEST_F(ReadTest, OffsetBeyondTheEndIsEndOfFileAtTheNextRead) {
  const uint32_t a = open("a.bin");
  EXPECT_EQ(ops->zepa_core_SetFileOffset(a, 1000), ZEPA_OK);
  uint16_t e = 0;
  EXPECT_EQ(read(a, 1, &e), "");
  EXPECT_EQ(e, ZEPA_E_EOF);
}

TEST_F(ReadTest, CoreReadOfNothingLeavesTheOffset) {
  const uint32_t a = open("a.bin");
  uint16_t e = 99;
  char byte = 0;
  EXPECT_EQ(ops->zepa_core_ContainedRead(a, 1, 0, &byte, &e), 0u);
  EXPECT_EQ(e, ZEPA_OK);
  EXPECT_EQ(offset(a), 0u);
  EXPECT_EQ(ops->zepa_core_ContainedRead(a, 0, 1, &byte, &e), 0u);
  EXPECT_EQ(e, ZEPA_E_BADARGS);
  EXPECT_EQ(ops->zepa_core_ContainedRead(a + 1, 1, 1, &byte, &e), 0u);
  EXPECT_EQ(e, ZEPA_OK);
}

TEST_F(ReadTest, SecondSlotOfAnEntryIsPositionedByTheFirst) {
  ASSERT_EQ(prepare(path), ZEPA_OK);
  ASSERT_EQ(ops->zepa_core_PrepareFile(path.c_str(), "b.bin"), ZEPA_OK);
  const uint32_t first = ops->zepa_core_GetHandle(path.c_str(), "b.bin");
  ASSERT_EQ(ops->zepa_core_PrepareFile(path.c_str(), "b.bin"), ZEPA_OK);
  const uint32_t second = first + 1;
  ASSERT_EQ(ops->zepa_core_SetFileOffset(first, 3), ZEPA_OK);
  EXPECT_EQ(read(second, 2), "hi");
  EXPECT_EQ(read(second, 2), "hi");
  EXPECT_EQ(offset(second), 4u);
}

TEST_F(ReadTest, PhysicalOffsetOfALooseFileIsMinusOne) {
  file("loose.txt", bytes("loose"));
  const uint32_t h = open("loose.txt");
  ASSERT_NE(h, 0u);
  EXPECT_EQ(zepa_GetPhysicalOffset(h, 0), -1);
  EXPECT_EQ(ops->zepa_core_GetPhysicalOffset(h, 0), 0xFFFFFFFFu);
  EXPECT_EQ(zepa_GetPhysicalOffset(0, 0), -1);
  EXPECT_EQ(zepa_GetPhysicalOffset(h + 1, 0), -1);
}

TEST_F(ReadTest, LooseFileIsMeasuredAndItsOffsetFollowsTheStream) {
  file("loose.txt", bytes("0123456789"));
  const uint32_t h = open("loose.txt");
  uint32_t length = 0;
  EXPECT_EQ(zepa_filelength(h, &length), ZEPA_OK);
  EXPECT_EQ(length, 10u);
  EXPECT_EQ(read(h, 3), "012");
  EXPECT_EQ(offset(h), 3u);
  EXPECT_EQ(read(h, 100), "3456789");
  EXPECT_EQ(offset(h), 10u);
}

}  // namespace
}  // namespace zepa_test
