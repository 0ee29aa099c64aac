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

TEST_F(StringList, CountsFindsAndMeasuresItsStrings) {
  names.Add(&names, "ab");
  names.Add(&names, "cd");
  names.Add(&names, "ab");
  EXPECT_EQ(names.Count(&names), 3u);
  EXPECT_EQ(names.GetTotalLength(&names), 6u);
  EXPECT_EQ(names.Find(&names, "cd"), 1);
  EXPECT_EQ(names.Find(&names, "ab"), 0);
  EXPECT_EQ(names.Find(&names, "CD"), -1);
  EXPECT_EQ(names.Find(&names, nullptr), -1);
  EXPECT_EQ(names.GetByIndex(&names, 3), nullptr);
}

TEST_F(StringList, KeepsItsOwnCopies) {
  char buffer[] = "abc";
  names.Add(&names, buffer);
  buffer[0] = 'x';
  EXPECT_STREQ(names.GetByIndex(&names, 0), "abc");
  EXPECT_NE(names.GetByIndex(&names, 0), buffer);
}

TEST_F(StringList, RendersZzBufferByteForByte) {
  names.Add(&names, "ab");
  names.Add(&names, "cd");
  const char *zz = names.GetZZ(&names);
  EXPECT_EQ(std::string(zz, 7), std::string("ab\0cd\0\0", 7));
}

TEST_F(StringList, EmptyListRendersAsOneZeroByte) {
  const char *zz = names.GetZZ(&names);
  ASSERT_NE(zz, nullptr);
  EXPECT_EQ(zz[0], '\0');
  EXPECT_EQ(names.zzValid, 1u);
}

TEST_F(StringList, ZzIsCachedUntilAChange) {
  names.Add(&names, "a");
  char *first = names.GetZZ(&names);
  EXPECT_EQ(names.GetZZ(&names), first);
  names.Add(&names, nullptr);  // no change
  EXPECT_EQ(names.zzValid, 1u);
  names.Add(&names, "b");
  EXPECT_EQ(names.zzValid, 0u);
  EXPECT_EQ(zz(), "a|b|");
  names.SetByIndex(&names, 0, "c");
  EXPECT_EQ(zz(), "c|b|");
  names.Remove(&names, 1);
  EXPECT_EQ(zz(), "c|");
}

TEST_F(StringList, RemoveMovesLaterEntriesDown) {
  names.Add(&names, "a");
  names.Add(&names, "b");
  names.Add(&names, "c");
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
