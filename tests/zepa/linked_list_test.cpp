// The linked list of fixed-size records: order, deletion, byte equality and
// out of memory.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "zepa/zepa_ll.h"
#include "zepa/zepa_seams.h"

namespace {

struct Record {
  uint32_t key;
  uint32_t value;
};

class LinkedList : public ::testing::Test {
 protected:
  void SetUp() override { zepa_link_ptrs_init(&list, sizeof(Record)); }
  void TearDown() override { list.l_DelAll(&list); }

  void add(uint32_t key, uint32_t value = 0) {
    const Record r{key, value};
    ASSERT_EQ(list.l_Add(&list, &r), 1);
  }
  uint32_t key_at(uint32_t pos) {
    Record r{0xDEAD, 0};
    list.l_Get(&list, pos, &r);
    return r.key;
  }
  std::vector<uint32_t> keys() {
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < list.l_Count(&list); ++i) out.push_back(key_at(i));
    return out;
  }

  zepa_link list{};
};

TEST_F(LinkedList, EmptyListAnswersNothingAndLeavesBuffersAlone) {
  const Record probe{1, 2};
  uint32_t pos = 77;
  EXPECT_EQ(list.l_Count(&list), 0u);
  EXPECT_EQ(list.l_NodeSize(&list), sizeof(Record));
  EXPECT_EQ(list.l_Find(&list, &probe, &pos), 0);
  EXPECT_EQ(pos, 77u);
  EXPECT_EQ(list.l_Del(&list, &probe), 0);
  EXPECT_EQ(list.l_DelByPos(&list, 0), 0);
  EXPECT_EQ(key_at(0), 0xDEADu);
  list.l_DelAll(&list);
  EXPECT_EQ(list.first, nullptr);
}

TEST_F(LinkedList, RecordsKeepInsertionOrderAreCopiedAndSetOnlyBelowCount) {
  Record r{1, 10};
  ASSERT_EQ(list.l_Add(&list, &r), 1);
  r.key = 2;  // the list holds its own copy
  ASSERT_EQ(list.l_Add(&list, &r), 1);
  add(3);
  EXPECT_EQ(keys(), (std::vector<uint32_t>{1, 2, 3}));
  const Record replaced{9, 9};
  list.l_Set(&list, 1, &replaced);
  list.l_Set(&list, 3, &replaced);  // at the count: nothing
  EXPECT_EQ(keys(), (std::vector<uint32_t>{1, 9, 3}));
  EXPECT_EQ(key_at(3), 0xDEADu);
}

TEST_F(LinkedList, DeleteByValueRemovesOnlyTheFirstRecordEqualInEveryByte) {
  for (uint32_t key : {0u, 7u, 2u, 7u}) add(key);
  const Record seven{7, 0}, other_value{7, 1}, zero{0, 0};
  EXPECT_EQ(list.l_Find(&list, &other_value, nullptr), 0);
  uint32_t pos = 0;
  ASSERT_EQ(list.l_Find(&list, &seven, &pos), 1);
  EXPECT_EQ(pos, 1u);
  ASSERT_EQ(list.l_Del(&list, &seven), 1);
  EXPECT_EQ(keys(), (std::vector<uint32_t>{0, 2, 7}));
  ASSERT_EQ(list.l_Find(&list, &seven, &pos), 1);
  EXPECT_EQ(pos, 2u);
  ASSERT_EQ(list.l_Del(&list, &zero), 1);  // the head: the rest stays linked
  EXPECT_EQ(keys(), (std::vector<uint32_t>{2, 7}));
  EXPECT_EQ(list.l_Count(&list), 2u);
}

TEST_F(LinkedList, DeleteByPositionAtTailThenAppendAgain) {
  for (uint32_t key : {1u, 2u, 3u}) add(key);
  ASSERT_EQ(list.l_DelByPos(&list, 2), 1);
  EXPECT_EQ(list.l_DelByPos(&list, 2), 0);
  add(4);
  EXPECT_EQ(keys(), (std::vector<uint32_t>{1, 2, 4}));
  ASSERT_EQ(list.l_DelByPos(&list, 0), 1);
  EXPECT_EQ(keys(), (std::vector<uint32_t>{2, 4}));
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
    const Record r{2, 0};
    EXPECT_EQ(list.l_Add(&list, &r), 0) << "allocation " << n;
    zepa::seam::fail_allocation(0);
    EXPECT_EQ(keys(), (std::vector<uint32_t>{1}));
    EXPECT_EQ(list.first->next, nullptr);
  }
  add(3);
  EXPECT_EQ(keys(), (std::vector<uint32_t>{1, 3}));
}

#ifndef NDEBUG
TEST(LinkedListDeathTest, PreconditionsNameConditionModuleAndOperation) {
  zepa_link list{};
  EXPECT_DEATH(zepa_link_ptrs_init(&list, 0), "zepa_ll: zepa_link_ptrs_init: Assertion `NodeSize' failed");
  zepa_link_ptrs_init(&list, 4);
  EXPECT_DEATH(list.l_Get(&list, 0, nullptr), "zepa_ll: l_Get: Assertion `Node' failed");
  EXPECT_DEATH(list.l_Count(nullptr), "zepa_ll: l_Count: Assertion `Obj' failed");
}
#endif

}  // namespace
