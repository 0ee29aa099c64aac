// The string list: indexes, lookups, zz rendering with its cache, and the
// out-of-memory handler.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>

#include <unistd.h>

#include "zepa/zepa_seams.h"
#include "zepa/zepa_strzz.h"

namespace {

class StringList : public ::testing::Test {
 protected:
  void SetUp() override { zepa_strzz_Init(&names); }
  void TearDown() override {
    zepa_strzz_SetOutOfMemoryHandler(nullptr);
    zepa::seam::fail_allocation(0);
    if (names.Destroy != nullptr) names.Destroy(&names);
  }
  std::string zz() {
    const char *p = names.GetZZ(&names);
    std::string out;
    while (*p != '\0') {
      out += p;
      out += '|';
      p += std::strlen(p) + 1;
    }
    return out;
  }

  strzz names{};
};

TEST_F(StringList, CountsFindsAndMeasuresItsOwnCopies) {
  char buffer[] = "ab";
  names.Add(&names, buffer);
  buffer[0] = 'x';
  names.Add(&names, "cd");
  names.Add(&names, "ab");
  EXPECT_EQ(names.Count(&names), 3u);
  EXPECT_EQ(names.GetTotalLength(&names), 6u);
  EXPECT_EQ(names.Find(&names, "cd"), 1);
  EXPECT_EQ(names.Find(&names, "ab"), 0);
  EXPECT_EQ(names.Find(&names, "CD"), -1);
  EXPECT_EQ(names.Find(&names, nullptr), -1);
  EXPECT_NE(names.GetByIndex(&names, 0), buffer);
  EXPECT_EQ(names.GetByIndex(&names, 3), nullptr);
}

TEST_F(StringList, ZzRendersByteForByteAndIsCachedUntilAChange) {
  const char *empty = names.GetZZ(&names);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty[0], '\0');  // no entries: one zero byte
  EXPECT_EQ(names.zzValid, 1u);
  names.Add(&names, "ab");
  names.Add(&names, "cd");
  char *first = names.GetZZ(&names);
  EXPECT_EQ(std::string(first, 7), std::string("ab\0cd\0\0", 7));
  EXPECT_EQ(names.GetZZ(&names), first);
  names.Add(&names, nullptr);  // no change
  EXPECT_EQ(names.zzValid, 1u);
  names.Add(&names, "e");
  EXPECT_EQ(names.zzValid, 0u);
  EXPECT_EQ(zz(), "ab|cd|e|");
  names.SetByIndex(&names, 0, "c");
  EXPECT_EQ(zz(), "c|cd|e|");
  names.Remove(&names, 1);
  EXPECT_EQ(zz(), "c|e|");
}

TEST_F(StringList, RemoveMovesLaterEntriesDown) {
  for (const char *name : {"a", "b", "c"}) names.Add(&names, name);
  char *b = names.GetByIndex(&names, 1);
  names.Remove(&names, 0);
  EXPECT_EQ(names.Count(&names), 2u);
  EXPECT_EQ(names.GetByIndex(&names, 0), b);
  EXPECT_STREQ(names.GetByIndex(&names, 1), "c");
  names.Remove(&names, 2);  // out of range: nothing
  names.SetByIndex(&names, 2, "z");
  EXPECT_EQ(names.Count(&names), 2u);
}

TEST_F(StringList, DestroyEmptiesAndInitMakesItUsableAgain) {
  names.Add(&names, "a");
  names.GetZZ(&names);
  names.Destroy(&names);
  EXPECT_EQ(names.zz, nullptr);
  EXPECT_EQ(names.Add, nullptr);
  EXPECT_EQ(names.GetZZ, nullptr);
  EXPECT_EQ(names.list.count, 0u);
  zepa_strzz_Init(&names);
  EXPECT_EQ(names.Count(&names), 0u);
}

TEST_F(StringList, NullObjectsAreIgnored) {
  EXPECT_EQ(names.Count(nullptr), 0u);
  EXPECT_EQ(names.Find(nullptr, "a"), -1);
  EXPECT_EQ(names.GetByIndex(nullptr, 0), nullptr);
  EXPECT_EQ(names.GetTotalLength(nullptr), 0u);
  EXPECT_EQ(names.GetZZ(nullptr), nullptr);
  names.Add(nullptr, "a");
  names.Destroy(nullptr);
}

int g_oom_calls = 0;
strzz *g_oom_object = nullptr;
void counting_handler(strzz *Obj) {
  ++g_oom_calls;
  g_oom_object = Obj;
}

TEST_F(StringList, EveryFailedAllocationReachesTheHandlerAndChangesNothing) {
  zepa_strzz_SetOutOfMemoryHandler(counting_handler);
  names.Add(&names, "keep");
  g_oom_calls = 0;

  // Add: the string copy, then the list node, then its record block.
  for (unsigned long n = 1; n <= 3; ++n) {
    zepa::seam::fail_allocation(n);
    names.Add(&names, "new");
    zepa::seam::fail_allocation(0);
    EXPECT_EQ(names.Count(&names), 1u) << "allocation " << n;
  }
  zepa::seam::fail_allocation(1);
  names.SetByIndex(&names, 0, "other");
  EXPECT_STREQ(names.GetByIndex(&names, 0), "keep");

  zepa::seam::fail_allocation(1);
  EXPECT_EQ(names.GetZZ(&names), nullptr);
  EXPECT_EQ(g_oom_calls, 5);
  EXPECT_EQ(g_oom_object, &names);
  EXPECT_EQ(zz(), "keep|");
}

#ifndef NDEBUG
TEST(StringListDeathTest, IndexMinusOneIsAPreconditionBreach) {
  strzz names{};
  zepa_strzz_Init(&names);
  EXPECT_DEATH(names.SetByIndex(nullptr, static_cast<uint32_t>(-1), "x"),
               "zepa_strzz: _SetByIndex: Assertion `Index != -1' failed");
  names.Destroy(&names);
}
#endif

TEST(StringListDeathTest, DefaultHandlerDestroysPrintsAndAborts) {
  strzz names{};
  zepa_strzz_Init(&names);
  names.Add(&names, "a");
  EXPECT_EXIT(
      {
        dup2(2, 1);  // the message goes to standard output
        zepa::seam::fail_allocation(1);
        names.Add(&names, "b");
      },
      ::testing::KilledBySignal(SIGABRT),
      "^zepa_strzz.cpp : Out of memory \\(strzz object 0x[0-9a-f]+\\), unhandled\n$");
  names.Destroy(&names);
}

}  // namespace
