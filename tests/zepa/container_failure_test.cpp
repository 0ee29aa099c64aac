// Out of memory at every allocation, failing stdio calls, the operation
// table, and the checking build's assertions.
#include <cstring>
#include <functional>
#include <regex>

#include "container_fixture.h"

namespace zepa_test {
namespace {

// Runs `attempt` with the n-th allocation from its start failing, for n = 1,
// 2, ... until an attempt makes fewer than n allocations. `attempt` returns
// whether it succeeded; `check` sees each failed attempt.
void fail_each_allocation(const std::function<bool()> &attempt, const std::function<void()> &check) {
  for (unsigned long n = 1;; ++n) {
    SCOPED_TRACE(n);
    const unsigned long before = zepa::seam::allocations();
    zepa::seam::fail_allocation(n);
    const bool succeeded = attempt();
    zepa::seam::fail_allocation(0);
    if (zepa::seam::allocations() - before < n) {
      EXPECT_TRUE(succeeded);
      return;
    }
    if (!succeeded) check();
    if (n > 1000) FAIL() << "no end to the allocations";
  }
}

int oom_calls = 0;
void count_oom(strzz *) { ++oom_calls; }
void destroy_and_return(strzz *names) {
  ++oom_calls;
  names->Destroy(names);
}

using OutOfMemoryTest = ContainerTest;

TEST_F(OutOfMemoryTest, RegisteringRegistersNothing) {
  fail_each_allocation([&] { return ops->zepa_core_RegisterContainer("x.dsk") == 1; },
                       [&] { EXPECT_EQ(ops->zepa_core_IsContainerRegistered("x.dsk"), 0); });
}

TEST_F(OutOfMemoryTest, PreparingLeavesTheContainerUnprepared) {
  for (const strzz_oom_handler handler : {count_oom, destroy_and_return}) {
    const std::string path = abc_disk();
    ASSERT_EQ(ops->zepa_core_RegisterContainer(path.c_str()), 1);
    zepa_strzz_SetOutOfMemoryHandler(handler);
    oom_calls = 0;
    uint32_t e = 0;
    fail_each_allocation([&] { return (e = ops->zepa_core_PrepareContainer(path.c_str())) == ZEPA_OK; },
                         [&] {
                           EXPECT_EQ(e, ZEPA_E_EOA);
                           EXPECT_EQ(ops->zepa_core_IsContainerPrepared(path.c_str()), 0);
                           EXPECT_EQ(ops->zepa_core_IsContainerRegistered(path.c_str()), 1);
                         });
    EXPECT_EQ(oom_calls, 9);  // a copy, a node and a record block for each of three names
    const uint32_t h = zepa_fopen(path.c_str(), "c.bin", "rb", 0, nullptr);
    EXPECT_EQ(read(h, 3), "klm");
    zepa_fclose(h);
  }
}

TEST_F(OutOfMemoryTest, PreparingAFileTakesNoSlot) {
  const std::string path = abc_disk();
  ASSERT_EQ(prepare(path), ZEPA_OK);
  uint32_t e = 0;
  fail_each_allocation([&] { return (e = ops->zepa_core_PrepareFile(path.c_str(), "a.bin")) == ZEPA_OK; },
                       [&] {
                         EXPECT_EQ(e, ZEPA_E_NOMEM);
                         EXPECT_EQ(ops->zepa_core_GetHandle(path.c_str(), "a.bin"), 0u);
                       });
  EXPECT_EQ(ops->zepa_core_GetHandle(path.c_str(), "a.bin"), 1u);
}

TEST_F(OutOfMemoryTest, ModeCopyBecomesNull) {
  const std::string path = abc_disk();
  const uint32_t h = zepa_fopen(path.c_str(), "a.bin", "rb", 0, nullptr);
  zepa::seam::fail_allocation(1);
  ops->zepa_core_SetFileMode(h, "rt");
  EXPECT_EQ(ops->zepa_core_GetFileMode(h), nullptr);
}

TEST_F(OutOfMemoryTest, OpeningALooseFileClosesItsStream) {
  const std::string path = abc_disk();
  file("loose.txt", bytes("loose"));
  ASSERT_EQ(prepare(path), ZEPA_OK);
  uint16_t e = 0;
  uint32_t h = 0;
  fail_each_allocation([&] { return (h = zepa_fopen(path.c_str(), "loose.txt", "rb", 0, &e)) != 0; },
                       [&] {
                         EXPECT_EQ(e, ZEPA_E_NOMEM);
                         EXPECT_EQ(ops->zepa_core_GenerateHandle(), 1u);
                       });
  EXPECT_EQ(read(h, 5), "loose");
}

class StdioFailureTest : public ContainerTest {
 protected:
  void SetUp() override {
    ContainerTest::SetUp();
    path = abc_disk();
    TestStdio::install();
  }
  std::string path;
};

TEST_F(StdioFailureTest, UnreadableDirectoryIsEndOfArchive) {
  TestStdio::ftell_fails = true;
  EXPECT_EQ(prepare(path), ZEPA_E_EOA);
  TestStdio::ftell_fails = false;
  TestStdio::fread_fails = true;
  EXPECT_EQ(ops->zepa_core_PrepareContainer(path.c_str()), ZEPA_E_EOA);
  TestStdio::fread_fails = false;
  EXPECT_EQ(ops->zepa_core_PrepareContainer(path.c_str()), ZEPA_OK);
}

TEST_F(StdioFailureTest, StreamWithoutPositionCannotBeBoundLoose) {
  file("loose.txt", bytes("loose"));
  ASSERT_EQ(prepare(path), ZEPA_OK);
  TestStdio::ftell_fails = true;
  uint16_t e = 0;
  EXPECT_EQ(zepa_fopen(path.c_str(), "loose.txt", "rb", 0, &e), 0u);
  EXPECT_EQ(e, ZEPA_E_REALOPEN);
}

TEST_F(StdioFailureTest, FailedReadsAndSeeksAreReported) {
  const uint32_t b = zepa_fopen(path.c_str(), "b.bin", "rb", 0, nullptr);
  char buffer[4];
  uint16_t e = 0;
  TestStdio::fread_fails = true;
  EXPECT_EQ(zepa_fread(buffer, 1, 4, b, &e), 0u);
  EXPECT_EQ(e, ZEPA_E_EOF);
  TestStdio::fread_fails = false;
  TestStdio::fseek_misses = true;  // the stream stays where the last read left it
  EXPECT_EQ(zepa_fread(buffer, 1, 4, b, &e), 0u);
  EXPECT_EQ(e, ZEPA_E_UNEXPECTED);
}

TEST_F(StdioFailureTest, UnmeasurableLooseFileHasNoLength) {
  file("loose.txt", bytes("loose"));
  const uint32_t h = zepa_fopen(path.c_str(), "loose.txt", "rb", 0, nullptr);
  TestStdio::ftell_fails = true;
  uint32_t length = 0;
  EXPECT_EQ(zepa_filelength(h, &length), ZEPA_OK);
  EXPECT_EQ(length, 0xFFFFFFFFu);
  EXPECT_EQ(read(h, 5), "loose");
  TestStdio::ftell_fails = false;
  EXPECT_EQ(zepa_filelength(h, &length), ZEPA_OK);
  EXPECT_EQ(length, 5u);
}

TEST(CoreOpsTable, EverySlotIsFilled) {
  const CoreOps *ops = zepa_core_GetOps();
  void *slots[26];
  static_assert(sizeof slots == sizeof(CoreOps));
  std::memcpy(slots, ops, sizeof slots);
  for (int i = 0; i < 26; ++i) EXPECT_NE(slots[i], nullptr) << "slot " << i;
}

#ifndef NDEBUG
// "<module>: <operation>: Assertion `<condition>' failed." as a pattern.
std::string assertion(const std::string &module, const std::string &operation, const std::string &condition) {
  const std::string text = module + ": " + operation + ": Assertion `" + condition + "' failed.";
  return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

using AssertionDeathTest = ContainerTest;

TEST_F(AssertionDeathTest, ApiStopsOnNullArguments) {
  EXPECT_DEATH(zepa_fopen(nullptr, "a", "rb", 0, nullptr), assertion("zepa_fopen", "zepa_fopen", "ProjectedZEPA"));
  EXPECT_DEATH(zepa_fopen("d", nullptr, "rb", 0, nullptr), assertion("zepa_fopen", "zepa_fopen", "FileName"));
  EXPECT_DEATH(zepa_fopen("d", "a", nullptr, 0, nullptr), assertion("zepa_fopen", "zepa_fopen", "Mode"));
}

TEST_F(AssertionDeathTest, CoreStopsOnBrokenPreconditions) {
  const std::string path = abc_disk();
  EXPECT_DEATH(zepa_fclose(0), assertion("zepa_core", "zepa_core_FreeHandle", "Handle != (0U)"));
  EXPECT_DEATH(ops->zepa_core_Init(), assertion("zepa_core", "zepa_core_Init", "!_started"));
  EXPECT_DEATH(ops->zepa_core_RegisterContainer(nullptr),
               assertion("zepa_core", "zepa_core_RegisterContainer", "ContainerFileName"));
  EXPECT_DEATH(ops->zepa_core_PrepareFile(nullptr, "a"), assertion("zepa_core", "zepa_core_PrepareFile", "ZEPA"));
  EXPECT_DEATH(ops->zepa_core_GetFSP(7), assertion("zepa_core", "zepa_core_GetFSP", "0"));
  EXPECT_DEATH(ops->zepa_core_GetFileOffset(0, nullptr),
               assertion("zepa_core", "zepa_core_GetFileOffset", "Handle != (0U)"));

  ASSERT_EQ(ops->zepa_core_RegisterContainer(path.c_str()), 1);
  EXPECT_DEATH(ops->zepa_core_CheckFileExists(path.c_str(), "a.bin"),
               assertion("zepa_core", "zepa_core_CheckFileExists", "container.prepared"));

  file("loose.txt", bytes("loose"));
  const uint32_t h = zepa_fopen(path.c_str(), "loose.txt", "rb", 0, nullptr);
  EXPECT_DEATH(ops->zepa_core_ContainedRead(h, 1, 1, nullptr, nullptr),
               assertion("zepa_core", "zepa_core_ContainedRead", "!container.openFileArray[j].boundfile.pfs"));

  zepa_Stop();
  EXPECT_DEATH(zepa_fopen(path.c_str(), "a.bin", "rb", 0, nullptr),
               assertion("zepa_core", "zepa_core_IsContainerRegistered", "_started"));
  EXPECT_DEATH(ops->zepa_core_Uninit(), assertion("zepa_core", "zepa_core_Uninit", "_started"));
}
#endif

}  // namespace
}  // namespace zepa_test
