// The library's support: the linked list of fixed-size records, the string
// list with its zz rendering and out-of-memory handler, the error messages.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "zepa/zepa.h"
#include "zepa/zepa_ll.h"
#include "zepa/zepa_seams.h"
#include "zepa/zepa_strzz.h"

namespace {

struct Record {
  uint32_t key;
  uint32_t value;
};

class LinkedList : public ::testing::Test {
 protected:
  void SetUp() override { zepa_link_ptrs_init(&list, sizeof(Record)); }
  void TearDown() override { list.l_DelAll(&list); }
  int add(uint32_t key, uint32_t value = 0) {
    const Record r{key, value};
    return list.l_Add(&list, &r);
  }
  // The keys in order, and 0xDEAD for what l_Get leaves alone at the count.
  std::vector<uint32_t> keys() {
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i <= list.l_Count(&list); ++i) {
      Record r{0xDEAD, 0};
      list.l_Get(&list, i, &r);
      out.push_back(r.key);
    }
    return out;
  }
  zepa_link list{};
};

TEST_F(LinkedList, EmptyListAnswersNothingAndLeavesBuffersAlone) {
  const Record probe{1, 2};
  uint32_t pos = 77;
  EXPECT_EQ(list.l_NodeSize(&list), sizeof(Record));
  EXPECT_EQ(list.l_Find(&list, &probe, &pos), 0);
  EXPECT_EQ(pos, 77u);
  EXPECT_EQ(list.l_Del(&list, &probe), 0);
  EXPECT_EQ(list.l_DelByPos(&list, 0), 0);
  EXPECT_EQ(keys(), (std::vector<uint32_t>{0xDEAD}));
  list.l_DelAll(&list);
  EXPECT_EQ(list.first, nullptr);
}

TEST_F(LinkedList, RecordsAreCopiesInInsertionOrderDeletedByPositionOrByEveryByte) {
  Record r{0, 10};
  ASSERT_EQ(list.l_Add(&list, &r), 1);
  r.key = 7;  // the list holds its own copy
  for (uint32_t key : {7u, 2u, 7u, 5u}) ASSERT_EQ(add(key, key == 7 ? 10 : 0), 1);
  const Record seven{7, 10}, other_value{7, 0}, zero{0, 10}, nine{9, 9};
  EXPECT_EQ(list.l_Find(&list, &other_value, nullptr), 0);
  uint32_t pos = 0;
  ASSERT_EQ(list.l_Find(&list, &seven, &pos), 1);
  EXPECT_EQ(pos, 1u);
  ASSERT_EQ(list.l_Del(&list, &seven), 1);  // only the first equal record
  EXPECT_EQ(keys(), (std::vector<uint32_t>{0, 2, 7, 5, 0xDEAD}));
  ASSERT_EQ(list.l_Del(&list, &zero), 1);  // the head: the rest stays linked
  list.l_Set(&list, 1, &nine);
  list.l_Set(&list, 3, &nine);  // at the count: nothing
  EXPECT_EQ(keys(), (std::vector<uint32_t>{2, 9, 5, 0xDEAD}));
  ASSERT_EQ(list.l_DelByPos(&list, 2), 1);  // the tail, then append again
  EXPECT_EQ(list.l_DelByPos(&list, 2), 0);
  EXPECT_EQ(list.l_DelByPos(&list, 5), 0);
  add(4);
  EXPECT_EQ(keys(), (std::vector<uint32_t>{2, 9, 4, 0xDEAD}));
}

TEST_F(LinkedList, DelAllGoesThroughTheObjectsOwnDelByPos) {
  static int calls;
  calls = 0;
  static int (*real)(zepa_link *, uint32_t);
  real = list.l_DelByPos;
  list.l_DelByPos = [](zepa_link *Obj, uint32_t Pos) {
    ++calls;
    return real(Obj, Pos);
  };
  add(1);
  add(2);
  list.l_DelAll(&list);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(list.l_Count(&list), 0u);
}

TEST_F(LinkedList, FailedAllocationOfEitherBlockLeavesTheListUnchanged) {
  add(1);
  for (unsigned long n : {1ul, 2ul}) {  // the node, then its record block
    zepa::seam::fail_allocation(n);
    EXPECT_EQ(add(2), 0) << "allocation " << n;
    zepa::seam::fail_allocation(0);
    EXPECT_EQ(keys(), (std::vector<uint32_t>{1, 0xDEAD}));
    EXPECT_EQ(list.first->next, nullptr);
  }
  add(3);
  EXPECT_EQ(keys(), (std::vector<uint32_t>{1, 3, 0xDEAD}));
}

class StringList : public ::testing::Test {
 protected:
  void SetUp() override { zepa_strzz_Init(&names); }
  void TearDown() override {
    zepa_strzz_SetOutOfMemoryHandler(nullptr);
    zepa::seam::fail_allocation(0);
    if (names.Destroy != nullptr) names.Destroy(&names);
  }
  // The zz rendering, each string followed by '|'.
  std::string zz() {
    std::string out;
    for (const char *p = names.GetZZ(&names); *p != '\0'; p += std::strlen(p) + 1) out += p + std::string("|");
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
  EXPECT_EQ(names.GetByIndex(&names, 3), nullptr);
  char *cd = names.GetByIndex(&names, 1);
  names.Remove(&names, 0);  // later entries move down
  EXPECT_EQ(names.GetByIndex(&names, 0), cd);
  names.Remove(&names, 2);  // out of range: nothing
  names.SetByIndex(&names, 2, "z");
  EXPECT_EQ(zz(), "cd|ab|");
}

TEST_F(StringList, ZzRendersByteForByteAndIsCachedUntilAChange) {
  EXPECT_EQ(names.GetZZ(&names)[0], '\0');  // no entries: one zero byte
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

TEST_F(StringList, DestroyEmptiesInitMakesItUsableAgainAndNullObjectsAreIgnored) {
  names.Add(&names, "a");
  names.GetZZ(&names);
  names.Destroy(&names);
  EXPECT_EQ(names.zz, nullptr);
  EXPECT_EQ(names.Add, nullptr);
  EXPECT_EQ(names.GetZZ, nullptr);
  EXPECT_EQ(names.list.count, 0u);
  zepa_strzz_Init(&names);
  names.Add(&names, "b");
  EXPECT_EQ(zz(), "b|");
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
  for (unsigned long n = 1; n <= 3; ++n) {  // Add: the string copy, the list node, its record block
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
TEST(LinkedListDeathTest, PreconditionsNameConditionModuleAndOperation) {
  zepa_link list{};
  EXPECT_DEATH(zepa_link_ptrs_init(&list, 0), "zepa_ll: zepa_link_ptrs_init: Assertion `NodeSize' failed");
  zepa_link_ptrs_init(&list, 4);
  EXPECT_DEATH(list.l_Get(&list, 0, nullptr), "zepa_ll: l_Get: Assertion `Node' failed");
  EXPECT_DEATH(list.l_Count(nullptr), "zepa_ll: l_Count: Assertion `Obj' failed");
  strzz names{};
  zepa_strzz_Init(&names);
  EXPECT_DEATH(names.SetByIndex(nullptr, static_cast<uint32_t>(-1), "x"),
               "zepa_strzz: _SetByIndex: Assertion `Index != -1' failed");
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

// The message of a number through a buffer of exactly its length + 1.
std::string message(uint16_t code) {
  const uint32_t n = zepa_GetErrorString(code, nullptr, 0);
  std::string out(n + 1, 'x');
  EXPECT_EQ(zepa_GetErrorString(code, out.data(), n), n);
  EXPECT_EQ(out[n], '\0');
  out.resize(n);
  return out;
}

TEST(ErrorMessages, EveryNumberHasItsTextAndNumbersPastTheTableAreUnknown) {
  const char *expected[] = {
      "No error has occurred.",
      "A real file could not be opened",
      "Attempt to open a file to write to through libzepa, libzepa is readonly",
      "The zepa handle was invalid",
      "Seek past end of virtual file (or physical end of archive)",
      "Seek before beginning of virtual file (or physical beginning of archive)",
      "Invalid arguments; maluse of library, link with debugging library to help track it down",
      "Too many open zepa containers",
      "The container is too old and can't be supported, resync everything, rebuild all!",
      "Don't know how to understand newer zepa container formats, resync everything, rebuild all!",
      "Unexpected end of archive",
      "Out of memory",
      "No such container registered",
      "No such file",
      "Cannot generate a unique handle",
      "An unexpected error occurred",
      "End of file",
  };
  static_assert(std::size(expected) == ZEPA_ERROR_COUNT && ZEPA_E_NOFILE == 13 && ZEPA_E_EOF == 16);
  for (uint16_t code = 0; code < ZEPA_ERROR_COUNT; ++code) EXPECT_EQ(message(code), expected[code]) << code;
  for (uint16_t code : {17, 200, 65535}) EXPECT_EQ(message(code), "Invalid and unknown error") << code;
}

TEST(ErrorMessages, CopyFillsLengthPlusOneBytesLikeStrncpy) {
  char buffer[40];
  std::memset(buffer, '#', sizeof buffer);
  // Shorter than the room: message, terminator, zero fill up to length + 1.
  EXPECT_EQ(zepa_GetErrorString(ZEPA_E_NOFILE, buffer, 20), 12u);
  EXPECT_EQ(std::string(buffer, 22), std::string("No such file\0\0\0\0\0\0\0\0\0#", 22));
  // Too short: exactly length + 1 characters, no terminator.
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(zepa_GetErrorString(ZEPA_OK, buffer, 4), 22u);
  EXPECT_EQ(std::string(buffer, 6), "No er#");
}

}  // namespace
