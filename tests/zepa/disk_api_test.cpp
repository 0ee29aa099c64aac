// The disk file API: open orders, loose and contained files, error numbers.
#include "container_fixture.h"

namespace zepa_test {
namespace {

class DiskApiTest : public ContainerTest {
 protected:
  void SetUp() override {
    ContainerTest::SetUp();
    path = abc_disk();
  }
  uint32_t open(const char *name, uint32_t looseFirst = 0, const char *mode = "rb") {
    error = 99;
    return zepa_fopen(path.c_str(), name, mode, looseFirst, &error);
  }
  std::string path;
  uint16_t error = 99;
};

TEST_F(DiskApiTest, ModeMayOnlyRead) {
  for (const char *mode : {"rb", "r+", "rt", "r+b"}) EXPECT_NE(open("a.bin", 0, mode), 0u) << mode;
  for (const char *mode : {"wb", "a", "rw"}) {
    EXPECT_EQ(zepa_fopen("untouched.dsk", "a.bin", mode, 0, &error), 0u) << mode;
    EXPECT_EQ(error, ZEPA_E_READONLY);
  }
  EXPECT_EQ(ops->zepa_core_IsContainerRegistered("untouched.dsk"), 0);
}

TEST_F(DiskApiTest, BothOrdersFindTheEntryOrTheRealFile) {
  file("a.bin", bytes("REAL"));
  file("extra.txt", bytes("extra"));
  const struct {
    const char *name;
    uint32_t looseFirst;
    std::string content;  // "" for no file
    uint16_t error;       // a contained success leaves the caller's 99
    bool loose = false;
  } rows[] = {
      {"a.bin", 0, "abcd", 99, false},      {"b.bin", 1, "efghij", 99, false},
      {"a.bin", 1, "REAL", ZEPA_OK, true},  {"extra.txt", 0, "extra", ZEPA_OK, true},
      {"none.bin", 0, "", ZEPA_E_REALOPEN}, {"none.bin", 1, "", ZEPA_E_REALOPEN},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(std::string(row.name) + (row.looseFirst ? " loose first" : " container first"));
    const uint32_t h = open(row.name, row.looseFirst);
    EXPECT_EQ(error, row.error);
    if (row.content.empty()) {
      EXPECT_EQ(h, 0u);
      continue;
    }
    EXPECT_EQ(ops->zepa_core_GetFSP(h) != nullptr, row.loose);
    EXPECT_STREQ(ops->zepa_core_GetFileMode(h), "rb");
    EXPECT_EQ(read(h, static_cast<uint32_t>(row.content.size())), row.content);
    EXPECT_EQ(zepa_fclose(h), ZEPA_OK);
  }
}

TEST_F(DiskApiTest, BrokenContainerStillOpensRealFiles) {
  std::vector<uint8_t> broken = image({entry("a.bin", "abcd")});
  broken[5] = 7;
  path = file("broken.dsk", broken);
  file("a.bin", bytes("REAL"));
  const uint32_t h = open("a.bin");
  EXPECT_EQ(read(h, 4), "REAL");
  EXPECT_EQ(ops->zepa_core_IsContainerPrepared(path.c_str()), 0);
}

TEST_F(DiskApiTest, ReadsReportEveryFailure) {
  const uint32_t h = open("a.bin");
  char buffer[4];
  uint16_t e = 99;
  EXPECT_EQ(zepa_fread(nullptr, 1, 1, h, &e), 0u);
  EXPECT_EQ(e, ZEPA_E_BADARGS);
  EXPECT_EQ(zepa_fread(buffer, 0, 1, h, &e), 0u);
  EXPECT_EQ(e, ZEPA_OK);
  e = 99;
  EXPECT_EQ(zepa_fread(buffer, 1, 0, h, &e), 0u);
  EXPECT_EQ(e, ZEPA_OK);
  EXPECT_EQ(zepa_fread(buffer, 1, 1, 0, &e), 0u);
  EXPECT_EQ(e, ZEPA_E_BADHANDLE);
  EXPECT_EQ(zepa_fread(buffer, 1, 1, h + 1, nullptr), 0u);

  uint32_t length = 0;
  EXPECT_EQ(zepa_filelength(h, nullptr), ZEPA_E_BADARGS);
  EXPECT_EQ(zepa_filelength(h + 1, &length), ZEPA_E_BADHANDLE);
  EXPECT_EQ(zepa_fclose(h + 1), ZEPA_E_BADHANDLE);
}

TEST_F(DiskApiTest, StartIsIdempotentAndVersionIsTwo) {
  EXPECT_TRUE(zepa_IsStarted());
  const uint32_t h = open("a.bin");
  EXPECT_TRUE(zepa_Start());  // does not start afresh: the handle lives on
  EXPECT_EQ(zepa_fclose(h), ZEPA_OK);

  uint32_t a = 9, b = 9, c = 9;
  zepa_GetVersion(&a, &b, &c);
  EXPECT_EQ(a, 0u);
  EXPECT_EQ(b, 0u);
  EXPECT_EQ(c, 2u);
  zepa_GetVersion(nullptr, nullptr, nullptr);
}

#ifdef NDEBUG
// Without assertions, broken preconditions come back as error numbers.
TEST_F(DiskApiTest, ReleaseBuildAnswersMisuseWithErrorNumbers) {
  EXPECT_EQ(zepa_fopen(nullptr, "a.bin", "rb", 0, &error), 0u);
  EXPECT_EQ(error, ZEPA_E_BADARGS);
  EXPECT_EQ(zepa_fopen(path.c_str(), nullptr, "rb", 0, &error), 0u);
  EXPECT_EQ(zepa_fopen(path.c_str(), "a.bin", nullptr, 0, &error), 0u);
  EXPECT_EQ(error, ZEPA_E_BADARGS);
  EXPECT_EQ(zepa_fclose(0), ZEPA_E_BADHANDLE);
  EXPECT_EQ(ops->zepa_core_PrepareFile(nullptr, "a.bin"), ZEPA_E_BADARGS);
  EXPECT_EQ(ops->zepa_core_GetFSP(42), nullptr);

  zepa_Stop();
  EXPECT_EQ(zepa_fopen(path.c_str(), "a.bin", "rb", 0, &error), 0u);
  EXPECT_EQ(error, ZEPA_E_BADARGS);
  char buffer[1];
  EXPECT_EQ(zepa_fread(buffer, 1, 1, 1, &error), 0u);
  EXPECT_EQ(error, ZEPA_E_BADHANDLE);
  EXPECT_EQ(ops->zepa_core_RegisterContainer(path.c_str()), 0);
}
#endif

}  // namespace
}  // namespace zepa_test
