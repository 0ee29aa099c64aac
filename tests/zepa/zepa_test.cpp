// SPDX-License-Identifier: GPL-2.0-or-later
// The container library: its lists, error messages, core and disk file API; out of memory at every allocation,
// failing stdio calls and broken preconditions.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <source_location>
#include <string>
#include <vector>

#include <stdlib.h>
#include <unistd.h>

#include "tools/zepa/container_writer.h"
#include "zepa/zepa.h"
#include "zepa/zepa_ll.h"
#include "zepa/zepa_seams.h"
#include "zepa/zepa_strzz.h"

namespace {

// Several results compared at once (a braced list evaluates in order).
using Nums = std::vector<long long>;
using Strs = std::vector<std::string>;
void same(const Nums &got, const Nums &want, std::source_location at = std::source_location::current()) {
  const testing::ScopedTrace trace(at.file_name(), static_cast<int>(at.line()), "");
  EXPECT_EQ(got, want);
}

std::vector<uint8_t> image(const std::vector<std::pair<std::string, std::string>> &entries) {
  std::vector<kavro::tools::container::ContainerEntry> list;
  for (const auto &[name, data] : entries) list.push_back({name, {data.begin(), data.end()}});
  return kavro::tools::container::build_container(list);
}

// The usual disk: a.bin "abcd", b.bin "efghij", c.bin "klm"; its data start
// at 71 (14 fixed bytes, 3 x 14 table bytes, 15 name bytes), 84 bytes in all.
std::vector<uint8_t> abc() { return image({{"a.bin", "abcd"}, {"b.bin", "efghij"}, {"c.bin", "klm"}}); }

void put(std::vector<uint8_t> &image, std::size_t at, uint32_t v, std::size_t n) {
  for (std::size_t i = n; i-- > 0; v >>= 8) image[at + i] = static_cast<uint8_t>(v);
}

// A stdio table over libc that counts the stream's reads and seeks and fails on demand.
namespace test_stdio {
int freads = 0, fseeks = 0;
bool ftell_fails = false, fread_fails = false, fseek_misses = false;
zepa::seam::Stdio table = zepa::seam::libc_stdio();
void install() {
  freads = fseeks = 0, ftell_fails = fread_fails = fseek_misses = false;
  table.ftell = [](FILE *s) { return ftell_fails ? -1L : std::ftell(s); };
  table.fread = [](void *b, size_t z, size_t n, FILE *s) { return ++freads, fread_fails ? 0 : std::fread(b, z, n, s); };
  table.fseek = [](FILE *s, long o, int w) { return ++fseeks, fseek_misses ? 0 : std::fseek(s, o, w); };
  zepa::seam::set_stdio(&table);
}
}  // namespace test_stdio

// In a temporary working directory: the usual disk "test.dsk" (`path`) and
// the loose file "loose.txt", "0123456789"; the library started.
class ContainerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "zepa-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    std::filesystem::current_path(dir = pattern);
    file("test.dsk", abc());
    file("loose.txt", {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'});
    ASSERT_TRUE(zepa_Start());
    zepa_strzz_Init(&names);
  }
  void TearDown() override {
    if (names.Destroy != nullptr) names.Destroy(&names);
    zepa::seam::fail_allocation(0);
    zepa::seam::set_stdio(nullptr);
    zepa_strzz_SetOutOfMemoryHandler(nullptr);
    zepa_Stop();
    std::filesystem::current_path(home);
    std::filesystem::remove_all(dir);
  }
  static const char *file(const char *name, const std::vector<uint8_t> &content) {
    std::ofstream(name, std::ios::binary) << std::string(content.begin(), content.end());
    return name;
  }
  // Opens `name` through the API from `path`; the error number in `error`.
  uint32_t open(const char *name, uint32_t looseFirst = 0, const char *mode = "rb") {
    return error = 99, zepa_fopen(path, name, mode, looseFirst, &error);
  }
  // Reads `count` items of `size` bytes: "<whole items>/<error number>@<offset after>".
  std::string read(uint32_t h, uint32_t size, uint32_t count) {
    std::string out(std::size_t{size} * count, '\0');
    uint16_t e = 99;
    out.resize(zepa_fread(out.data(), size, count, h, &e) * size);
    uint32_t offset = 0;
    ops->zepa_core_GetFileOffset(h, &offset);
    return out + "/" + std::to_string(e) + "@" + std::to_string(offset);
  }
  // The string list's zz rendering, each string followed by '|'.
  std::string zz() {
    std::string out;
    for (const char *p = names.GetZZ(&names); *p != '\0'; p += std::strlen(p) + 1) out += p + std::string("|");
    return out;
  }
  // Registers (unless registered) and prepares a container; its error number.
  uint32_t prepare(const char *name) {
    if (!ops->zepa_core_IsContainerRegistered(name)) ops->zepa_core_RegisterContainer(name);
    return ops->zepa_core_PrepareContainer(name);
  }
  // Whether `name` is registered, and whether prepared.
  Nums state(const char *name) {
    return {ops->zepa_core_IsContainerRegistered(name), ops->zepa_core_IsContainerPrepared(name)};
  }

  const CoreOps *ops = zepa_core_GetOps();
  std::filesystem::path dir, home = std::filesystem::current_path();
  const char *path = "test.dsk";
  uint16_t error = 99;
  uint32_t length = 0;
  strzz names{};
};

// clang-format off
using StringList = ContainerTest; using StringListDeathTest = ContainerTest; using DirectoryTest = ContainerTest;
using ReadTest = ContainerTest; using RegistryTest = ContainerTest; using HandleTest = ContainerTest;
using DiskApiTest = ContainerTest; using DiskApiDeathTest = ContainerTest; using OutOfMemoryTest = ContainerTest;
using StdioFailureTest = ContainerTest;
// clang-format on

struct Record {
  uint32_t key, value;
};

// The keys of the list's records in order, then 0xDEAD for what l_Get
// leaves alone at the count.
std::vector<uint32_t> keys(zepa_link &list) {
  std::vector<uint32_t> out;
  for (uint32_t i = 0; i <= list.l_Count(&list); ++i) {
    Record r{0xDEAD, 0};
    list.l_Get(&list, i, &r);
    out.push_back(r.key);
  }
  return out;
}

TEST(LinkedList, RecordsAreCopiesInInsertionOrderFoundAndDeletedByEveryByteOrByPosition) {
  zepa_link list{};
  zepa_link_ptrs_init(&list, sizeof(Record));
  Record r{0, 10};
  const Record seven{7, 10}, other_value{7, 0}, zero{0, 10}, nine{9, 9};
  uint32_t pos = 77;  // empty:
  same({list.l_Find(&list, &seven, &pos), list.l_Del(&list, &seven), list.l_DelByPos(&list, 0)}, {0, 0, 0});
  ASSERT_EQ(list.l_Add(&list, &r), 1);
  r.key = 7;  // the list holds its own copy
  for (const Record &add : {seven, Record{2, 0}, seven, Record{5, 0}}) ASSERT_EQ(list.l_Add(&list, &add), 1);
  same({list.l_Find(&list, &other_value, &pos), pos}, {0, 77});
  same({list.l_Find(&list, &seven, &pos), pos}, {1, 1});
  ASSERT_EQ(list.l_Del(&list, &seven), 1);  // only the first equal record
  EXPECT_EQ(keys(list), (std::vector<uint32_t>{0, 2, 7, 5, 0xDEAD}));
  ASSERT_EQ(list.l_Del(&list, &zero), 1);  // the head: the rest stays linked
  list.l_Set(&list, 1, &nine);
  list.l_Set(&list, 3, &nine);  // at the count: nothing
  EXPECT_EQ(keys(list), (std::vector<uint32_t>{2, 9, 5, 0xDEAD}));
  ASSERT_EQ(list.l_DelByPos(&list, 2), 1);  // the tail, then append again
  same({list.l_DelByPos(&list, 2), list.l_DelByPos(&list, 5)}, {0, 0});
  for (unsigned long n : {1ul, 2ul}) {  // out of memory for the node, then for its record block
    zepa::seam::fail_allocation(n);
    EXPECT_EQ(list.l_Add(&list, &nine), 0) << "allocation " << n;
  }
  ASSERT_EQ(list.l_Add(&list, &r), 1);
  EXPECT_EQ(keys(list), (std::vector<uint32_t>{2, 9, 7, 0xDEAD}));
  list.l_DelAll(&list);
  same({list.first == nullptr, list.l_Count(&list)}, {1, 0});
}

TEST_F(StringList, CopiesFoundByIndexAndRenderedAsZzCachedUntilAChange) {
  EXPECT_EQ(zz(), "");  // no entries: one zero byte
  char buffer[] = "ab";
  names.Add(&names, buffer);
  buffer[0] = 'x';
  for (const char *s : {"cd", "ab"}) names.Add(&names, s);
  char *first = names.GetZZ(&names);
  EXPECT_EQ(std::string(first, 10), std::string("ab\0cd\0ab\0\0", 10));
  names.Add(&names, nullptr);  // nothing: the rendering stays
  EXPECT_EQ(names.GetZZ(&names), first);
  same({names.zzValid, names.Count(&names), names.GetTotalLength(&names)}, {1, 3, 6});
  same({names.Find(&names, "ab"), names.Find(&names, "cd"), names.Find(&names, "CD")}, {0, 1, -1});
  EXPECT_EQ(names.GetByIndex(&names, 3), nullptr);
  char *cd = names.GetByIndex(&names, 1);
  names.Remove(&names, 0);  // later entries move down
  same({names.GetByIndex(&names, 0) == cd, names.zzValid}, {1, 0});
  EXPECT_EQ(zz(), "cd|ab|");
  names.SetByIndex(&names, 1, "e");
  EXPECT_EQ(zz(), "cd|e|");
  names.Remove(&names, 2);  // out of range: nothing
  names.SetByIndex(&names, 2, "z");
  names.Add(&names, "f");
  EXPECT_EQ(zz(), "cd|e|f|");
  names.Destroy(&names);  // empties; null objects are ignored
  same({names.zz == nullptr, names.Add == nullptr, names.list.count}, {1, 1, 0});
  zepa_strzz_Init(&names);
  same({names.Count(nullptr), names.Find(nullptr, "a"), names.GetZZ(nullptr) == nullptr}, {0, -1, 1});
  names.Add(nullptr, "a");
  names.Destroy(nullptr);
}

strzz *g_oom_object = nullptr;
int oom_calls = 0;

TEST_F(StringList, EveryFailedAllocationReachesTheHandlerAndChangesNothing) {
  zepa_strzz_SetOutOfMemoryHandler([](strzz *Obj) { ++oom_calls, g_oom_object = Obj; });
  names.Add(&names, "keep");
  oom_calls = 0;
  for (unsigned long n = 1; n <= 3; ++n) {  // Add: the string copy, the list node, its record block
    zepa::seam::fail_allocation(n);
    names.Add(&names, "new");
  }
  zepa::seam::fail_allocation(1);
  names.SetByIndex(&names, 0, "other");
  zepa::seam::fail_allocation(1);
  same({names.GetZZ(&names) == nullptr, oom_calls, g_oom_object == &names}, {1, 5, 1});
  EXPECT_EQ(zz(), "keep|");
}

TEST_F(StringListDeathTest, DefaultHandlerDestroysPrintsAndAborts) {
  EXPECT_EXIT(
      (dup2(2, 1), zepa::seam::fail_allocation(1), names.Add(&names, "b")),  // the message goes to standard output
      ::testing::KilledBySignal(SIGABRT),
      "^zepa_strzz.cpp : Out of memory \\(strzz object 0x[0-9a-f]+\\), unhandled\n$");
}

// The message of a number, read through a buffer of its length + 1.
std::string message(uint16_t code) {
  const uint32_t n = zepa_GetErrorString(code, nullptr, 0);
  std::string out(n + 1, 'x');
  EXPECT_EQ(zepa_GetErrorString(code, out.data(), n), n);
  EXPECT_EQ(out[n], '\0');
  return out.substr(0, n);
}

TEST(ErrorMessages, EveryNumberHasItsTextAndNumbersPastTheTableAreUnknown) {
  // clang-format off
  const char *expected[] = {"No error has occurred.", "A real file could not be opened",
      "Attempt to open a file to write to through libzepa, libzepa is readonly", "The zepa handle was invalid",
      "Seek past end of virtual file (or physical end of archive)",
      "Seek before beginning of virtual file (or physical beginning of archive)",
      "Invalid arguments; maluse of library, link with debugging library to help track it down",
      "Too many open zepa containers", "The container is too old and can't be supported, resync everything, rebuild all!",
      "Don't know how to understand newer zepa container formats, resync everything, rebuild all!",
      "Unexpected end of archive", "Out of memory", "No such container registered", "No such file",
      "Cannot generate a unique handle", "An unexpected error occurred", "End of file"};
  // clang-format on
  static_assert(std::size(expected) == ZEPA_ERROR_COUNT && ZEPA_E_NOFILE == 13 && ZEPA_E_EOF == 16);
  for (uint16_t code = 0; code < ZEPA_ERROR_COUNT; ++code) EXPECT_EQ(message(code), expected[code]) << code;
  for (uint16_t code : {17, 200, 65535}) EXPECT_EQ(message(code), "Invalid and unknown error") << code;
  // Like strncpy over length + 1 bytes: zero fill when shorter, no terminator when not.
  char buffer[40];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(zepa_GetErrorString(ZEPA_E_NOFILE, buffer, 20), 12u);
  EXPECT_EQ(std::string(buffer, 22), std::string("No such file\0\0\0\0\0\0\0\0\0#", 22));
  EXPECT_EQ(zepa_GetErrorString(ZEPA_OK, buffer, 4), 22u);
  EXPECT_EQ(std::string(buffer, 6), "No erc");  // the 'c' of the earlier message
}

TEST_F(DirectoryTest, PlacesEveryEntryBehindThePreviousOneIgnoringSkippedColumns) {
  std::vector<uint8_t> patched = abc();
  put(patched, 0, 0xEEEEEEEE, 5);  // the lead-in; then the skipped column and the second table
  for (std::size_t row = 0; row < 3; ++row) put(patched, 14 + 8 * row, ~0u, 4), put(patched, 38 + 4 * row, ~0u, 4);
  path = file("patched.dsk", patched);
  // clang-format off
  const struct { const char *name; int32_t start; std::string whole; } rows[] = {
      {"a.bin", 71, "abcd/0@4"}, {"b.bin", 75, "efghij/0@6"}, {"c.bin", 81, "klm/0@3"}};
  // clang-format on
  for (const auto &row : rows) {
    const uint32_t h = open(row.name);
    same({zepa_GetPhysicalOffset(h, 2), zepa_filelength(h, &length)}, {row.start + 2, ZEPA_OK});
    EXPECT_EQ(read(h, 1, length), row.whole);
  }
}

TEST_F(DirectoryTest, DamagedDirectoryFailsPreparationAndStaysRegistered) {
  const std::vector<uint8_t> good = abc();
  std::vector<std::vector<uint8_t>> damaged(4, good);
  put(damaged[0], 5, 1, 1);                // format byte 1
  put(damaged[1], 14 + 12 * 3 + 2, 0, 2);  // a zero-length name
  put(damaged[2], 6, 4, 4);                // more entries than the directory holds
  put(damaged[3], 6, 0xFFFFFFFF, 4);       // far more
  for (std::size_t cut = 0; cut < 71; ++cut) damaged.emplace_back(good.begin(), good.begin() + cut);
  for (std::size_t i = 0; i < damaged.size(); ++i) {  // 0 to 3 patched, then cut at i - 4
    SCOPED_TRACE(i);
    EXPECT_EQ(prepare(file("damaged.dsk", damaged[i])), ZEPA_E_EOA);
    same(state("damaged.dsk"), {1, 0});
    EXPECT_EQ(ops->zepa_core_UnregisterContainer("damaged.dsk"), 1);
  }
  // The data region is not examined when the directory is read.
  EXPECT_EQ(prepare(file("cut.dsk", std::vector<uint8_t>(good.begin(), good.begin() + 71))), ZEPA_OK);
}

TEST_F(DirectoryTest, EmptyAndDuplicateAndZeroLengthEntriesAndCaseSensitiveNames) {
  EXPECT_EQ(prepare(file("empty.dsk", image({}))), ZEPA_OK);
  EXPECT_EQ(ops->zepa_core_PrepareFile("empty.dsk", "a.bin"), ZEPA_E_NOFILE);
  path = file("odd.dsk", image({{"x", "first"}, {"x", "second"}, {"empty", ""}, {"full", "xyz"}}));
  EXPECT_EQ(read(open("x"), 1, 5), "first/0@5");  // the lower of two equal names
  const uint32_t zero = open("empty");            // starts where the next entry does
  EXPECT_EQ(zepa_GetPhysicalOffset(zero, 0), zepa_GetPhysicalOffset(open("full"), 0));
  same({zepa_filelength(zero, &length), length}, {ZEPA_OK, 0});
  EXPECT_EQ(read(zero, 1, 3), "xyz/0@3");
  same({ops->zepa_core_PrepareFile(path, "X"), ops->zepa_core_CheckFileExists(path, "x"),
        ops->zepa_core_CheckFileExists(path, "X")},
       {ZEPA_E_NOFILE, 1, 0});
}

// A read from a fresh handle per row, after setting its offset.
TEST_F(ReadTest, ReadsRunOnIntoTheNextEntriesAndStopAtThePhysicalEnd) {
  // clang-format off
  const struct { const char *name; uint32_t from, size, count; const char *got; } rows[] = {
      {"a.bin", 0, 1, 10, "abcdefghij/0@10"},  // on into the next entries
      {"b.bin", 3, 4, 10, "hijk/16@43"},       // the end stops it; the offset advances by all asked for
      {"c.bin", 0, 2, 4, "kl/16@8"},           // a partial last item is not counted
      {"a.bin", 1000, 1, 1, "/16@1001"},       // an offset beyond the end
      {"loose.txt", 0, 1, 100, "0123456789/0@10"}};  // a loose file: its offset follows its stream
  // clang-format on
  for (const auto &row : rows) {
    const uint32_t h = open(row.name);
    ASSERT_EQ(ops->zepa_core_SetFileOffset(h, row.from), ZEPA_OK);
    EXPECT_EQ(zepa_filelength(h, &length), ZEPA_OK);  // measuring moves no stream
    EXPECT_EQ(read(h, row.size, row.count), row.got) << row.name;
  }
}

TEST_F(ReadTest, ReadsContinueWhereTheLastOneEndedWithOneStreamReadAndNoSeek) {
  const uint32_t a = open("a.bin"), c = open("c.bin");
  EXPECT_EQ((Strs{read(a, 1, 2), read(c, 1, 1), read(a, 1, 1)}),
            (Strs{"ab/0@2", "k/0@1", "c/0@3"}));  // the last positions the stream
  test_stdio::install();
  EXPECT_EQ((Strs{read(a, 1, 7), read(a, 1, 2)}), (Strs{"defghij/0@10", "kl/0@12"}));
  same({test_stdio::freads, test_stdio::fseeks}, {2, 0});
  // One byte at a time, up to the physical end.
  ASSERT_EQ(ops->zepa_core_SetFileOffset(c, 2), ZEPA_OK);
  uint16_t e1 = 99, e2 = 99;
  same({ops->zepa_core_ReadOneByte(c, &e1), e1, ops->zepa_core_ReadOneByte(c, &e2), e2}, {'m', ZEPA_OK, 0, ZEPA_E_EOF});
  EXPECT_EQ(read(c, 0, 1), "/0@3");
  // An entry opened twice takes a second slot; the name finds the first one, which also positions the second.
  const uint32_t first = open("b.bin");
  same({open("b.bin"), ops->zepa_core_IsValidHandle(first + 1), ops->zepa_core_SetFileOffset(first, 3)},
       {first, 1, ZEPA_OK});
  EXPECT_EQ((Strs{read(first + 1, 1, 2), read(first + 1, 1, 2)}), (Strs{"hi/0@2", "hi/0@4"}));
}

TEST_F(RegistryTest, EachRegistrationOfANameIsPreparedOnceAndAMissingFileStaysRegistered) {
  auto prep = [&] { return ops->zepa_core_PrepareContainer(path); };
  auto reg = [&] { return ops->zepa_core_RegisterContainer(path); };
  same({prep(), reg(), reg(), prep(), prep(), prep(), ops->zepa_core_IsContainerPrepared(path)},
       {ZEPA_E_NOCONTAINER, 1, 1, ZEPA_OK, ZEPA_OK, ZEPA_E_NOCONTAINER, 1});
  same({prepare("later.dsk"), ops->zepa_core_IsContainerRegistered("later.dsk")}, {ZEPA_E_REALOPEN, 1});
  EXPECT_EQ(prepare(file("later.dsk", abc())), ZEPA_OK);
  same({ops->zepa_core_IsContainerRegistered(nullptr), ops->zepa_core_UnregisterContainer("nowhere.dsk"),
        ops->zepa_core_UnprepareContainer("nowhere.dsk")},
       {0, 0, 0});
}

TEST_F(RegistryTest, UnprepareClosesFilesAndLastCloseReleasesTheContainer) {
  uint32_t h = open("a.bin");
  same({ops->zepa_core_UnprepareContainer(path), ops->zepa_core_IsValidHandle(h),
        ops->zepa_core_IsContainerRegistered(path), ops->zepa_core_IsContainerPrepared(path)},
       {1, 0, 1, 0});
  EXPECT_EQ(read(h = open("a.bin"), 1, 4), "abcd/0@4");
  same({zepa_fclose(h), ops->zepa_core_IsContainerRegistered(path)}, {ZEPA_OK, 0});
  file(path, image({{"new.bin", "n"}, {"a.bin", "WXYZ"}}));  // read afresh
  EXPECT_EQ(read(open("a.bin"), 1, 4), "WXYZ/0@4");
  ASSERT_EQ(open("loose.txt"), 2u);
  zepa_Stop();  // forgets every container and open file
  EXPECT_EQ(zepa_IsStarted(), 0);
  zepa_Stop();
  ASSERT_TRUE(zepa_Start());
  same({ops->zepa_core_IsContainerRegistered(path), ops->zepa_core_GenerateHandle()}, {0, 1});
}

TEST(CoreOpsTable, EverySlotIsFilled) {
  void *slots[sizeof(CoreOps) / sizeof(void *)];
  static_assert(sizeof slots == sizeof(CoreOps));
  std::memcpy(slots, zepa_core_GetOps(), sizeof slots);
  for (std::size_t i = 0; i < std::size(slots); ++i) EXPECT_NE(slots[i], nullptr) << "slot " << i;
}

TEST_F(HandleTest, IssuesTheSmallestFreeHandleAcrossContainers) {
  const char *two = file("two.dsk", image({{"z", "z"}}));  // c.bin takes 2 again, then is closed
  same({open("a.bin"), zepa_fopen(two, "z", "rb", 0, nullptr), open("b.bin"), zepa_fclose(2), open("c.bin"),
        zepa_fclose(2), zepa_fclose(2), ops->zepa_core_IsValidHandle(0)},
       {1, 2, 3, ZEPA_OK, 2, ZEPA_OK, ZEPA_E_BADHANDLE, 0});
}

TEST_F(HandleTest, SixtyFourSlotsPerContainer) {
  std::vector<std::pair<std::string, std::string>> entries;
  for (int i = 0; i < 65; ++i) entries.emplace_back(std::string(1, static_cast<char>('0' + i)), "x");  // '0' to 'p'
  path = file("many.dsk", image(entries));
  ASSERT_EQ(prepare(path), ZEPA_OK);
  uint32_t e = 0;
  for (const auto &[name, data] : entries) e = ops->zepa_core_PrepareFile(path, name.c_str());
  same({e, ops->zepa_core_GetHandle(path, "o"), open("loose.txt"), error},  // the 65th is refused
       {ZEPA_E_TOOMANYCONTAINERS, 64, 0, ZEPA_E_TOOMANYCONTAINERS});
  same({ops->zepa_core_FreeHandle(10), ops->zepa_core_PrepareFile(path, "p"), ops->zepa_core_GetHandle(path, "p")},
       {1, ZEPA_OK, 10});
}

TEST_F(HandleTest, AddHandleReportsWhyItRefusesAndModesAreCopies) {
  ASSERT_EQ(prepare(path), ZEPA_OK);
  ASSERT_EQ(ops->zepa_core_PrepareFile(path, "a.bin"), ZEPA_OK);  // handle 1
  BoundFile bf;
  ops->zepa_core_ClearBoundFile(&bf);
  EXPECT_EQ(ops->zepa_core_AddHandle(5, path, &bf), 2);  // no stream
  bf.pfs = std::fopen("loose.txt", "rb");
  // Handle 0, handle in use, unknown container; then the core owns the stream.
  same({ops->zepa_core_AddHandle(0, path, &bf), ops->zepa_core_AddHandle(1, path, &bf),
        ops->zepa_core_AddHandle(5, "nowhere.dsk", &bf), ops->zepa_core_AddHandle(5, path, &bf),
        ops->zepa_core_GetFSP(5) == bf.pfs, ops->zepa_core_GetFSP(1) == nullptr},
       {3, 1, 4, 0, 1, 1});
  ops->zepa_core_SetFileMode(1, "rt");
  EXPECT_STREQ(ops->zepa_core_GetFileMode(1), "rt");
  zepa::seam::fail_allocation(1);  // the copy
  ops->zepa_core_SetFileMode(1, "rb");
  EXPECT_EQ(ops->zepa_core_GetFileMode(1), nullptr);
}

TEST_F(DiskApiTest, BothOrdersFindTheEntryOrTheRealFileInAReadOnlyMode) {
  file("a.bin", {'R', 'E', 'A', 'L'});
  // clang-format off
  const struct { const char *name; uint32_t looseFirst; const char *mode, *got; uint16_t error; bool loose; } rows[] = {
      {"a.bin", 0, "rb", "abcd/0@4", 99, false}, {"b.bin", 1, "r+", "efgh/0@4", 99, false},  // no error number
      {"a.bin", 1, "rt", "REAL/0@4", ZEPA_OK, true}, {"loose.txt", 0, "r+b", "0123/0@4", ZEPA_OK, true},
      {"none.bin", 0, "rb", nullptr, ZEPA_E_REALOPEN, false}, {"none.bin", 1, "rb", nullptr, ZEPA_E_REALOPEN, false},
      {"a.bin", 0, "wb", nullptr, ZEPA_E_READONLY, false}, {"a.bin", 0, "a", nullptr, ZEPA_E_READONLY, false}};
  // clang-format on
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << row.name << " " << row.mode << " loose first " << row.looseFirst);
    const uint32_t h = open(row.name, row.looseFirst, row.mode);
    same({error, h != 0}, {row.error, row.got != nullptr});
    if (h == 0) continue;
    EXPECT_EQ(ops->zepa_core_GetFSP(h) != nullptr, row.loose);
    EXPECT_STREQ(ops->zepa_core_GetFileMode(h), row.mode);
    EXPECT_EQ(read(h, 2, 2), row.got);
  }
  same({zepa_fopen("untouched.dsk", "a.bin", "rw", 0, nullptr), ops->zepa_core_IsContainerRegistered("untouched.dsk")},
       {0, 0});  // refused before registering
  std::vector<uint8_t> broken = abc();
  broken[5] = 7;
  path = file("broken.dsk", broken);  // still opens real files
  EXPECT_EQ(read(open("a.bin"), 1, 4), "REAL/0@4");
  EXPECT_EQ(ops->zepa_core_IsContainerPrepared(path), 0);
}

TEST_F(DiskApiTest, BadArgumentsAndHandlesAreReported) {
  const uint32_t h = open("a.bin");
  uint16_t e1 = 99, e2 = 99, e3 = 99, e4 = 99;
  char byte = 0;  // the core's reads of nothing leave the offset
  same({zepa_fread(nullptr, 1, 1, h, &e1), e1, zepa_fread(&length, 1, 1, 0, &e2), e2,
        zepa_fread(&length, 1, 1, h + 1, nullptr), zepa_filelength(h, nullptr), zepa_filelength(h + 1, &length),
        zepa_fclose(h + 1), ops->zepa_core_ContainedRead(h, 1, 0, &byte, &e3), e3,
        ops->zepa_core_ContainedRead(h, 0, 1, &byte, &e3), e3, ops->zepa_core_ContainedRead(h + 1, 1, 1, &byte, &e4),
        e4},
       {0, ZEPA_E_BADARGS, 0, ZEPA_E_BADHANDLE, 0, ZEPA_E_BADARGS, ZEPA_E_BADHANDLE, ZEPA_E_BADHANDLE, 0, ZEPA_OK, 0,
        ZEPA_E_BADARGS, 0, ZEPA_OK});
  EXPECT_EQ((Strs{read(h, 1, 0), read(h, 0, 0)}), (Strs{"/0@0", "/0@0"}));
  const uint32_t loose = open("loose.txt");  // physical offsets: none for a loose file or a bad handle
  same({zepa_GetPhysicalOffset(loose, 0), zepa_GetPhysicalOffset(0, 0), zepa_GetPhysicalOffset(loose + 1, 0)},
       {-1, -1, -1});
  EXPECT_TRUE(zepa_Start());  // does not start afresh: the handle lives on
  EXPECT_EQ(zepa_fclose(h), ZEPA_OK);
}

// Runs `attempt` with the n-th allocation from its start failing, for n = 1,
// 2, ... until an attempt makes fewer than n allocations. `attempt` returns
// whether it succeeded; after each failed one, `observe` must give `after`.
template <class Attempt, class Observe>
void fail_each_allocation(Attempt attempt, Observe observe, const Nums &after) {
  for (unsigned long n = 1; n < 1000; ++n) {
    const unsigned long before = zepa::seam::allocations();
    zepa::seam::fail_allocation(n);
    const bool succeeded = attempt();
    zepa::seam::fail_allocation(0);
    if (zepa::seam::allocations() - before < n) {
      EXPECT_TRUE(succeeded) << n;
      return;
    }
    if (!succeeded) {
      EXPECT_EQ(observe(), after) << "allocation " << n;
    }
  }
  FAIL() << "no end to the allocations";
}

TEST_F(OutOfMemoryTest, RegisteringPreparingAndOpeningChangeNothing) {
  fail_each_allocation([&] { return ops->zepa_core_RegisterContainer("x.dsk") == 1; },
                       [&] { return Nums{ops->zepa_core_IsContainerRegistered("x.dsk")}; }, {0});
  // A string list handler that returns, and one that destroys the names first.
  for (const strzz_oom_handler handler :
       {+[](strzz *) { ++oom_calls; }, +[](strzz *n) { ++oom_calls, n->Destroy(n); }}) {
    ASSERT_EQ(ops->zepa_core_RegisterContainer(path), 1);
    zepa_strzz_SetOutOfMemoryHandler(handler);
    oom_calls = 0;
    fail_each_allocation([&] { return ops->zepa_core_PrepareContainer(path) == ZEPA_OK; }, [&] { return state(path); },
                         {1, 0});
    EXPECT_EQ(oom_calls, 9);  // a copy, a node and a record block for each of three names
    EXPECT_EQ(read(open("c.bin"), 1, 3), "klm/0@3");
    EXPECT_EQ(zepa_fclose(1), ZEPA_OK);
  }
  ASSERT_EQ(prepare(path), ZEPA_OK);
  fail_each_allocation([&] { return ops->zepa_core_PrepareFile(path, "a.bin") == ZEPA_OK; },
                       [&] { return Nums{ops->zepa_core_GetHandle(path, "a.bin")}; }, {0});
  uint32_t h = 0;
  fail_each_allocation([&] { return (h = open("loose.txt")) != 0; },
                       [&] {
                         return Nums{error, ops->zepa_core_GenerateHandle()};
                       },
                       {ZEPA_E_NOMEM, 2});
  EXPECT_EQ(read(h, 1, 5), "01234/0@5");
}

TEST_F(StdioFailureTest, FailingStreamCallsAreReported) {
  test_stdio::install();
  test_stdio::ftell_fails = true;  // the directory cannot be read
  EXPECT_EQ(prepare(path), ZEPA_E_EOA);
  test_stdio::ftell_fails = false, test_stdio::fread_fails = true;
  same({ops->zepa_core_PrepareContainer(path), ops->zepa_core_IsContainerPrepared(path)}, {ZEPA_E_EOA, 0});
  test_stdio::fread_fails = false;
  const uint32_t b = open("b.bin");
  test_stdio::fread_fails = true;
  EXPECT_EQ(read(b, 1, 4), "/16@4");
  test_stdio::fread_fails = false, test_stdio::fseek_misses = true;  // the stream stays where the last read left it
  EXPECT_EQ(read(b, 1, 4), "/15@8");
  test_stdio::fseek_misses = false;
  const uint32_t loose = open("loose.txt");
  test_stdio::ftell_fails = true;  // unmeasurable; and a stream without a position cannot be bound
  same({zepa_filelength(loose, &length), length}, {ZEPA_OK, 0xFFFFFFFF});
  EXPECT_EQ(read(loose, 1, 5), "01234/0@0");
  same({open("loose.txt"), error}, {0, ZEPA_E_REALOPEN});
  test_stdio::ftell_fails = false;
  same({zepa_filelength(loose, &length), length}, {ZEPA_OK, 10});
}

// A broken precondition stops the checking build ("<module>: <operation>: Assertion `<condition>' failed.") and comes
// back as error numbers in the Release build ("<results>"; only the checking build checks rows with none).
TEST_F(DiskApiDeathTest, BrokenPreconditionsStopTheCheckingBuildAndGiveErrorNumbersInRelease) {
  ASSERT_EQ(ops->zepa_core_RegisterContainer(path), 1);
  const auto got = [&](uint32_t h) { return std::to_string(h) + " " + std::to_string(error); };
  const auto n = [](long long v) { return std::to_string(v); };
  zepa_link list{};
  // clang-format off
  const struct { std::function<std::string()> call; std::string release; const char *assertion; } rows[] = {
      {[&] { return zepa_link_ptrs_init(&list, 0), ""; }, "", "zepa_ll: zepa_link_ptrs_init: Assertion `NodeSize"},
      {[&] { return names.SetByIndex(nullptr, ~0u, "x"), ""; }, "", "zepa_strzz: _SetByIndex: Assertion `Index != -1"},
      {[&] { return got(zepa_fopen(nullptr, "a", "rb", 0, &error)); }, "0 6", "zepa_fopen: zepa_fopen: Assertion `ProjectedZEPA"},
      {[&] { return got(zepa_fopen(path, nullptr, "rb", 0, &error)); }, "0 6", "zepa_fopen: zepa_fopen: Assertion `FileName"},
      {[&] { return got(zepa_fopen(path, "a.bin", nullptr, 0, &error)); }, "0 6", "zepa_fopen: zepa_fopen: Assertion `Mode"},
      {[&] { return n(zepa_fclose(0)); }, "3", "zepa_core: zepa_core_FreeHandle: Assertion `Handle != \\(0U\\)"},
      {[&] { return n(ops->zepa_core_GetFSP(42) == nullptr); }, "1", "zepa_core: zepa_core_GetFSP: Assertion `0"},
      {[&] { return n(ops->zepa_core_PrepareFile(nullptr, "a.bin")); }, "6", "zepa_core_PrepareFile: Assertion `ZEPA"},
      {[&] { return n(ops->zepa_core_CheckFileExists(path, "a.bin")); }, "", "CheckFileExists: Assertion `container.prepared"},
      {[&] { return n(ops->zepa_core_ContainedRead(open("loose.txt"), 1, 1, nullptr, nullptr)); }, "",
       "ContainedRead: Assertion `!container.openFileArray\\[j\\].boundfile.pfs"},
      {[&] { zepa_Stop(); std::string all = got(open("a.bin")) + ", ";  // one call after the other
             all += read(1, 1, 1) + ", ";
             return all + n(ops->zepa_core_RegisterContainer(path)); },
       "0 6, /3@0, 0", "zepa_core: zepa_core_IsContainerRegistered: Assertion `_started"},
  };
  // clang-format on
  for (const auto &row : rows) {
    SCOPED_TRACE(row.assertion);
#ifdef NDEBUG
    EXPECT_EQ(row.release.empty() ? "" : row.call(), row.release);
#else
    EXPECT_DEATH(row.call(), row.assertion + std::string("' failed"));
#endif
  }
}

}  // namespace
