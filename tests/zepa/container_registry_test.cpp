// The registry of containers and the open-file tables with their handles.
#include <unistd.h>

#include "container_fixture.h"

namespace zepa_test {
namespace {

using RegistryTest = ContainerTest;

// "f0", "f1", ...
std::string numbered(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "f%d", i);
  return name;
}
using HandleTest = ContainerTest;

TEST_F(RegistryTest, EachRegistrationOfANameIsPreparedOnce) {
  const std::string path = abc_disk();
  EXPECT_EQ(ops->zepa_core_PrepareContainer(path.c_str()), ZEPA_E_NOCONTAINER);  // not registered
  ASSERT_EQ(ops->zepa_core_RegisterContainer(path.c_str()), 1);
  ASSERT_EQ(ops->zepa_core_RegisterContainer(path.c_str()), 1);
  EXPECT_EQ(ops->zepa_core_PrepareContainer(path.c_str()), ZEPA_OK);
  EXPECT_EQ(ops->zepa_core_PrepareContainer(path.c_str()), ZEPA_OK);
  EXPECT_EQ(ops->zepa_core_PrepareContainer(path.c_str()), ZEPA_E_NOCONTAINER);
  EXPECT_EQ(ops->zepa_core_IsContainerPrepared(path.c_str()), 1);
}

TEST_F(RegistryTest, MissingFileStaysRegisteredUntilItExists) {
  const std::string path = (dir / "later.dsk").string();
  EXPECT_EQ(prepare(path), ZEPA_E_REALOPEN);
  EXPECT_EQ(ops->zepa_core_IsContainerRegistered(path.c_str()), 1);
  disk({entry("a.bin", "abcd")}, "later.dsk");
  EXPECT_EQ(ops->zepa_core_PrepareContainer(path.c_str()), ZEPA_OK);
}

TEST_F(RegistryTest, NullOrUnknownNameIsNeitherRegisteredNorPrepared) {
  EXPECT_EQ(ops->zepa_core_IsContainerRegistered(nullptr), 0);
  EXPECT_EQ(ops->zepa_core_IsContainerPrepared(nullptr), 0);
  EXPECT_EQ(ops->zepa_core_IsContainerRegistered("nowhere.dsk"), 0);
  EXPECT_EQ(ops->zepa_core_UnregisterContainer("nowhere.dsk"), 0);
  EXPECT_EQ(ops->zepa_core_UnprepareContainer("nowhere.dsk"), 0);
}

TEST_F(RegistryTest, LastCloseReleasesTheContainerAndAChangedFileIsReadAfresh) {
  const std::string path = disk({entry("a.bin", "abcd")});
  uint32_t h = zepa_fopen(path.c_str(), "a.bin", "rb", 0, nullptr);
  EXPECT_EQ(read(h, 4), "abcd");
  EXPECT_EQ(zepa_fclose(h), ZEPA_OK);
  EXPECT_EQ(ops->zepa_core_IsContainerRegistered(path.c_str()), 0);

  disk({entry("new.bin", "n"), entry("a.bin", "WXYZ")});
  h = zepa_fopen(path.c_str(), "a.bin", "rb", 0, nullptr);
  EXPECT_EQ(read(h, 4), "WXYZ");
}

TEST_F(RegistryTest, UnprepareClosesFilesAndKeepsTheName) {
  const std::string path = abc_disk();
  const uint32_t h = zepa_fopen(path.c_str(), "a.bin", "rb", 0, nullptr);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(ops->zepa_core_UnprepareContainer(path.c_str()), 1);
  EXPECT_EQ(ops->zepa_core_IsValidHandle(h), 0);
  EXPECT_EQ(ops->zepa_core_IsContainerRegistered(path.c_str()), 1);
  EXPECT_EQ(ops->zepa_core_IsContainerPrepared(path.c_str()), 0);
  EXPECT_EQ(ops->zepa_core_PrepareContainer(path.c_str()), ZEPA_OK);
}

TEST_F(RegistryTest, StopForgetsEveryContainerAndOpenFile) {
  const std::string path = abc_disk();
  file("loose.txt", bytes("loose"));
  ASSERT_NE(zepa_fopen(path.c_str(), "a.bin", "rb", 0, nullptr), 0u);
  ASSERT_NE(zepa_fopen(path.c_str(), "loose.txt", "rb", 0, nullptr), 0u);
  zepa_Stop();
  EXPECT_EQ(zepa_IsStarted(), 0);
  zepa_Stop();  // nothing to do
  ASSERT_TRUE(zepa_Start());
  EXPECT_EQ(ops->zepa_core_IsContainerRegistered(path.c_str()), 0);
  EXPECT_EQ(ops->zepa_core_GenerateHandle(), 1u);
}

TEST_F(HandleTest, IssuesTheSmallestFreeHandleAcrossContainers) {
  const std::string one = abc_disk();
  const std::string two = disk({entry("z", "z")}, "two.dsk");
  const uint32_t a = zepa_fopen(one.c_str(), "a.bin", "rb", 0, nullptr);
  const uint32_t z = zepa_fopen(two.c_str(), "z", "rb", 0, nullptr);
  const uint32_t b = zepa_fopen(one.c_str(), "b.bin", "rb", 0, nullptr);
  EXPECT_EQ(a, 1u);
  EXPECT_EQ(z, 2u);
  EXPECT_EQ(b, 3u);
  EXPECT_EQ(zepa_fclose(z), ZEPA_OK);
  EXPECT_EQ(zepa_fopen(one.c_str(), "c.bin", "rb", 0, nullptr), 2u);
  EXPECT_EQ(zepa_fclose(z), ZEPA_OK);  // 2 is c.bin now
  EXPECT_EQ(zepa_fclose(z), ZEPA_E_BADHANDLE);
  EXPECT_EQ(ops->zepa_core_IsValidHandle(0), 0);
}

TEST_F(HandleTest, SixtyFourSlotsPerContainer) {
  std::vector<ContainerEntry> entries;
  for (int i = 0; i < 65; ++i) entries.push_back(entry(numbered(i), "x"));
  const std::string path = file("many.dsk", kavro::tools::container::build_container(entries));
  ASSERT_EQ(prepare(path), ZEPA_OK);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(ops->zepa_core_PrepareFile(path.c_str(), numbered(i).c_str()), ZEPA_OK);
  EXPECT_EQ(ops->zepa_core_PrepareFile(path.c_str(), "f64"), ZEPA_E_TOOMANYCONTAINERS);
  file("loose.txt", bytes("loose"));
  uint16_t e = 0;
  EXPECT_EQ(zepa_fopen(path.c_str(), "loose.txt", "rb", 0, &e), 0u);
  EXPECT_EQ(e, ZEPA_E_TOOMANYCONTAINERS);

  EXPECT_EQ(ops->zepa_core_FreeHandle(10), 1);
  EXPECT_EQ(ops->zepa_core_PrepareFile(path.c_str(), "f64"), ZEPA_OK);
  EXPECT_EQ(ops->zepa_core_GetHandle(path.c_str(), "f64"), 10u);
}

TEST_F(HandleTest, AddHandleReportsWhyItRefuses) {
  const std::string path = abc_disk();
  ASSERT_EQ(prepare(path), ZEPA_OK);
  ASSERT_EQ(ops->zepa_core_PrepareFile(path.c_str(), "a.bin"), ZEPA_OK);  // handle 1
  FILE *stream = std::fopen(file("loose.txt", bytes("loose")).c_str(), "rb");
  BoundFile bf;
  ops->zepa_core_ClearBoundFile(&bf);
  EXPECT_EQ(ops->zepa_core_AddHandle(5, path.c_str(), &bf), 2);  // no stream
  bf.pfs = stream;
  EXPECT_EQ(ops->zepa_core_AddHandle(0, path.c_str(), &bf), 3);
  EXPECT_EQ(ops->zepa_core_AddHandle(1, path.c_str(), &bf), 1);
  EXPECT_EQ(ops->zepa_core_AddHandle(5, "nowhere.dsk", &bf), 4);

  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  BoundFile piped = {fdopen(pipe_ends[0], "rb"), nullptr, nullptr};
  EXPECT_EQ(ops->zepa_core_AddHandle(5, path.c_str(), &piped), 2);
  std::fclose(piped.pfs);
  close(pipe_ends[1]);

  EXPECT_EQ(ops->zepa_core_AddHandle(5, path.c_str(), &bf), 0);  // the core owns the stream now
  EXPECT_EQ(ops->zepa_core_GetFSP(5), stream);
  EXPECT_EQ(ops->zepa_core_GetFSP(1), nullptr);
}

TEST_F(HandleTest, ModeIsCopiedOrNull) {
  const std::string path = abc_disk();
  const uint32_t h = zepa_fopen(path.c_str(), "a.bin", "rb", 0, nullptr);
  EXPECT_STREQ(ops->zepa_core_GetFileMode(h), "rb");
  ops->zepa_core_SetFileMode(h, nullptr);
  EXPECT_EQ(ops->zepa_core_GetFileMode(h), nullptr);
  EXPECT_EQ(ops->zepa_core_GetFileMode(h + 1), nullptr);
}

// An entry opened twice takes a second slot; the name finds the first one.
TEST_F(HandleTest, ReopeningAnOpenEntryReturnsTheFirstHandle) {
  const std::string path = abc_disk();
  const uint32_t first = zepa_fopen(path.c_str(), "a.bin", "rb", 0, nullptr);
  EXPECT_EQ(zepa_fopen(path.c_str(), "a.bin", "rb", 0, nullptr), first);
  EXPECT_EQ(ops->zepa_core_IsValidHandle(first + 1), 1);
}

}  // namespace
}  // namespace zepa_test
