// SPDX-License-Identifier: GPL-2.0-or-later
// Extraction from a data disk: damaged packed files, and faults injected one by one (allocations, stdio calls on the
// disk, writes and close of the output, cuts, bit flips). Each ends with its message and result, and the output holds
// what was decoded before the fault (or, when the check pass meets it, the old target); no crash, hang or leak.
#include <ucl/ucl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <numeric>
#include <regex>

#include "container_writer.h"
#include "unpack.h"
#include "unpack/packed_fixtures.h"
#include "zepa_seams.h"
#include "zepa_strzz.h"

namespace {

using fixtures::be32;
using fixtures::Bytes;
using fixtures::cat;
using fixtures::packed;
using Entries = std::vector<kavro::tools::container::ContainerEntry>;
namespace packer = kavro::tools::packer;

constexpr char kPackedName[] = "a.pak";
constexpr unsigned long kEntries = 3;  // on the disk of fault injection
const Bytes kOldTarget = {'o', 'l', 'd', '\n'};

Bytes word(std::uint32_t v) {
  return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
}
std::vector<std::size_t> numbers(std::size_t from, std::size_t to) {  // from, from + 1, ..., to
  std::vector<std::size_t> all(to + 1 - from);
  std::iota(all.begin(), all.end(), from);
  return all;
}

struct Outcome {
  std::int32_t result = 0;
  std::string messages;          // byte for byte
  std::optional<Bytes> output;   // the output file, or nothing when absent
  bool library_started = false;  // right after the extraction
};
Outcome failed(std::string messages, std::optional<Bytes> output) { return {-1, messages, output}; }
Outcome unopened(const std::string &library_message) { return {-2, "ERROR: " + library_message + "\n", {}}; }

// An outcome in words: the result ("length N", "-2", "-4" or "failed"), the
// messages, and the output as a prefix of `plain`.
std::string described(const Outcome &o, const Bytes &plain) {
  const int r = o.result;
  const std::string text = (r >= 0 ? "length " + std::to_string(r) : r == -2 || r == -4 ? std::to_string(r) : "failed");
  if (!o.output || o.output == kOldTarget) return text + " | " + o.messages + (o.output ? " | old target" : " | none");
  const bool prefix = o.output->size() <= plain.size() && std::equal(o.output->begin(), o.output->end(), plain.begin());
  return text + " | " + o.messages + " | " + (prefix ? "first " : "unknown ") + std::to_string(o.output->size());
}

// A read error's library message stands first; faults other than a failed read may give another one there.
Outcome library_message_blanked(Outcome o) {
  if (o.messages.rfind("ERROR: ", 0) == 0) o.messages.replace(0, o.messages.find('\n'), "ERROR: *");
  return o;
}

// Whether `messages` is what one failed extraction can print: a library line, an own message, or both in that order.
bool is_extraction_failure_message(const std::string &messages) {
  static const std::regex grammar = [] {
    std::string library = "unknown!";
    for (ErrorNumber code = 0; code < ZEPA_ERROR_COUNT + 1; ++code) {
      std::string text(zepa_GetErrorString(code, nullptr, 0), '\0');
      zepa_GetErrorString(code, text.data(), static_cast<uint32_t>(text.size()));
      library.append("|").append(std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)"));
    }
    const std::string own = R"(Unknown file format!|header error - invalid method \d+ \(level \d+\)\n)"
                            R"(|header error - invalid block size -?\d+\n|block size error - data corrupted\n)"
                            R"(|compressed data violation: error -?\d+ \(0x[0-9a-f]+: \d+/\d+/\d+\)\n)"
                            R"(|read error - premature end of file!\n|checksum error - data corrupted|out of memory\n)"
                            R"(|couldn't write data|Warning!   Error in getting the file length\n)";
    return std::regex("(?:ERROR: (?:" + library + ")\n)?(?:" + own + ")?");
  }();
  return !messages.empty() && std::regex_match(messages, grammar);
}

// A data disk of some text, the packed file (`text`, then noise stored as it is) and a trailing entry; where all lies.
struct Disk {
  std::uint32_t block_size;
  Bytes plain, packed, image;
  std::size_t directory_end = 0;          // where the data of the first entry begins
  std::size_t start = 0;                  // where the packed file begins
  std::size_t length_field = 14 + 8 + 4;  // the directory's length of the packed file
  std::vector<std::size_t> block_ends;    // offsets in the packed file after each block

  Disk(const Bytes &text, std::size_t noise, packer::Method method, std::uint32_t block_size_)
      : block_size(block_size_), plain(cat({text, fixtures::noise_bytes(noise, 22)})) {
    std::string error;
    EXPECT_TRUE(packer::pack(plain, {.method = method, .block_size = block_size, .threads = 1}, packed, error));
    image = kavro::tools::container::build_container(
        Entries{{"lead.txt", Bytes(37, 'L')}, {kPackedName, packed}, {"tail.bin", Bytes(23, 'T')}});
    directory_end = be32(image, 10);
    start = directory_end + 37;
    for (std::size_t at = packer::kHeaderSize; be32(packed, at) != 0; block_ends.push_back(at))
      at += 8 + be32(packed, at + 4);
  }

  // Whether the reader never uses the byte for the packed file: the lead-in, the directory's skipped words, the
  // trailing entry's length, the second table, the other entries' names (lead.txt, tail.bin) and data.
  bool ignored(std::size_t at) const {
    const std::size_t names = 14 + 14 * kEntries, tail = start + packed.size();
    const std::pair<std::size_t, std::size_t> ranges[] = {
        {0, 5}, {14, 4}, {22, 4}, {30, 20}, {names, 8}, {names + 13, 8}, {directory_end, 37}, {tail, 23}};
    return std::ranges::any_of(ranges, [at](auto r) { return at - r.first < r.second; });
  }
  Bytes decoded_blocks(std::size_t blocks) const {
    return Bytes(plain.begin(), plain.begin() + std::min<std::ptrdiff_t>(blocks * block_size, plain.size()));
  }
  Outcome success() const { return {static_cast<std::int32_t>(packed.size()), "", plain}; }

  // What an extraction gives when the disk yields nothing from image position p on (a read there fails, or a cut).
  Outcome after_stream_ends_at(std::size_t p) const {
    if (p < directory_end) return unopened("A real file could not be opened");
    const std::size_t offset = p < start ? 0 : p - start;
    if (offset >= packed.size()) return success();
    if (offset < sizeof packer::kMagic) return failed("ERROR: End of file\nUnknown file format!", std::nullopt);
    if (offset < packer::kHeaderSize) return failed("ERROR: End of file\n", std::nullopt);
    const auto done = std::upper_bound(block_ends.begin(), block_ends.end(), offset) - block_ends.begin();
    return failed("ERROR: End of file\n", decoded_blocks(static_cast<std::size_t>(done)));
  }
};

// The disk of most fault injection: two compressed blocks and a stored one.
const Disk &disk() {
  static const Disk d(fixtures::sample_bytes(2048, 21), 150, packer::Method::nrv2e, 1024);
  return d;
}

// The library's stdio calls on the disk and extraction's writes, counted (reads note where they start): the k-th
// call of `fault` fails or, for a read or a write, comes short (half the bytes pass).
namespace io {
enum Call { kFopen, kFclose, kFread, kFgetc, kFseek, kFtell, kWrite, kCalls };
constexpr const char *kNames[] = {"fopen", "fclose", "fread", "fgetc", "fseek", "ftell", "write"};
std::array<unsigned long, kCalls> counts{};
std::vector<std::pair<Call, long>> events;
Call fault = kCalls;
unsigned long fault_at = 0;
bool come_short = false, output_close_fails = false;

void arm(Call call = kCalls, unsigned long k = 0, bool short_ = false) {
  counts = {};
  events.clear();
  std::tie(fault, fault_at, come_short) = std::tie(call, k, short_);
}
bool faulted(Call call, long position = -1) {
  events.emplace_back(call, position);
  return ++counts[call] == fault_at && call == fault;
}
template <class Transfer, class Buffer>
std::size_t transfer(Call call, Transfer pass, Buffer buffer, std::size_t size, std::size_t count, FILE *s) {
  if (!faulted(call, std::ftell(s))) return pass(buffer, size, count, s);
  return come_short && size != 0 ? pass(buffer, 1, size * count / 2, s) / size : 0;
}
int close(FILE *s, bool fails) { return std::fclose(s) == 0 && !fails ? 0 : EOF; }

constexpr zepa::seam::Stdio kDisk{
    .fopen = [](const char *path, const char *mode) { return faulted(kFopen) ? nullptr : std::fopen(path, mode); },
    .fclose = [](FILE *s) { return close(s, faulted(kFclose)); },
    .fread = [](void *b, std::size_t size, std::size_t n, FILE *s) { return transfer(kFread, fread, b, size, n, s); },
    .fgetc = [](FILE *s) { return faulted(kFgetc) ? EOF : std::fgetc(s); },
    .fseek = [](FILE *s, long offset, int whence) { return faulted(kFseek) ? -1 : std::fseek(s, offset, whence); },
    .ftell = [](FILE *s) { return faulted(kFtell) ? -1L : std::ftell(s); },
    .rewind = [](FILE *s) { std::rewind(s); },
};
constexpr unpack::Output kOutput{
    .fopen = [](const char *path, const char *mode) { return std::fopen(path, mode); },
    .fwrite = [](const void *b, std::size_t size, std::size_t n,
                 FILE *s) { return transfer(kWrite, fwrite, b, size, n, s); },
    .fclose = [](FILE *s) { return close(s, output_close_fails); },
};
}  // namespace io

std::size_t open_descriptors() {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// Extraction as the installer does it, in a working directory of its own (where loose files are looked up), in one
// of two passes: a lone extraction, or a check of the whole file ahead of it over a target holding kOldTarget.
class Extraction : public testing::Test {
 protected:
  enum class Pass { kExtract, kCheckThenExtract };

  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    home_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    descriptors_ = open_descriptors();
    static_cast<void>(disk());  // packed before any hook counts the compressor's own allocations
    alarm(600);                 // a hang must end the program rather than the whole test run
  }

  void TearDown() override {
    alarm(0);
    close_install_disk();
    zepa::seam::fail_allocation(0);
    zepa::seam::set_stdio(nullptr);
    unpack::set_output(nullptr);
    zepa_strzz_SetOutOfMemoryHandler(nullptr);
    EXPECT_EQ(open_descriptors(), descriptors_) << "a stream was left open";
    std::filesystem::current_path(home_);
    if (faults_ == 0) return;
    RecordProperty("faults_injected", std::to_string(faults_));
    std::printf("[ FAULTS   ] %s: %lu faults injected\n", testing::UnitTest::GetInstance()->current_test_info()->name(),
                faults_);
  }

  // Opens a disk holding `image`, runs `arm`, takes `name` to the output in the current pass, closes the disk.
  Outcome extract(const std::function<void()> &arm = {}, const Bytes &image = disk().image,
                  const std::string &name = kPackedName) {
    fixtures::write_file(disk_path_, image);
    std::filesystem::remove(out_);
    if (pass_ == Pass::kCheckThenExtract) fixtures::write_file(out_, kOldTarget);
    char *buffer = nullptr;
    std::size_t size = 0;
    FILE *messages = open_memstream(&buffer, &size);
    unpack::set_message_stream(messages);
    EXPECT_EQ(open_install_disk(disk_path_.c_str()), 0);
    if (arm) arm();
    std::int32_t result = pass_ == Pass::kCheckThenExtract ? check_disk_file(name.c_str()) : 0;
    if (result >= 0) result = unpack_disk_file(name.c_str(), out_.c_str());
    const bool started = zepa_IsStarted() != 0;
    close_install_disk();
    unpack::set_message_stream(nullptr);
    std::string text = messages != nullptr && std::fclose(messages) == 0 ? std::string(buffer, size) : "(none)";
    std::free(buffer);
    return {result, text, fixtures::read_file(out_), started};
  }

  // Runs `body` in a lone extraction and then in the check pass ahead of one.
  void in_both_passes(const std::function<void()> &body) {
    for (Pass pass : {Pass::kExtract, Pass::kCheckThenExtract}) {
      SCOPED_TRACE(pass == Pass::kExtract ? "extraction" : "check, then extraction");
      pass_ = pass;
      body();
    }
    pass_ = Pass::kExtract;
  }

  // The one loop of fault injection: inject(k) injects fault k, extracts and judges, in both passes unless `once`.
  void sweep(const std::string &what, const std::vector<std::size_t> &faults,
             const std::function<void(std::size_t)> &inject, bool once = false) {
    const auto each = [&] {
      for (std::size_t k : faults) {
        SCOPED_TRACE(what + " " + std::to_string(k));
        inject(k);
        ++faults_;
      }
    };
    once ? each() : in_both_passes(each);
  }

  // The outcome must be `lone`, a lone extraction's, as the current pass gives it: a failed check keeps the old target.
  void expect(const Outcome &o, Outcome lone, const Bytes &plain = disk().plain) const {
    if (pass_ == Pass::kCheckThenExtract && lone.result < 0) lone.output = kOldTarget;
    EXPECT_EQ(described(o, plain), described(lone, plain));
  }

  // In memory where the machine has a RAM file system: the tests write thousands of disks.
  fixtures::TempDir dir_{std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp"};
  std::filesystem::path home_;
  std::string disk_path_ = dir_ / "d.dsk", out_ = dir_ / "out";
  std::size_t descriptors_ = 0;
  unsigned long faults_ = 0;
  Pass pass_ = Pass::kExtract;
};

Bytes on_disk(const Bytes &packed) { return kavro::tools::container::build_container(Entries{{kPackedName, packed}}); }

TEST_F(Extraction, EachDamageGivesItsMessageAndLeavesTheOutputAsFarAsItGot) {
  Bytes first = fixtures::sample_bytes(1500, 12), second;  // of text, which compresses
  for (int i = 0; second.size() < 1200; ++i) second.push_back(static_cast<std::uint8_t>("fonts "[i % 6]));
  const Bytes plain = cat({first, second}), end = word(0);
  // A header; a block of its decoded size, stored size and bytes; one compressed by the packer; a valid start.
  const auto header = [](std::uint32_t flags, std::uint8_t method, std::uint8_t level, std::uint32_t block_size) {
    return cat({{0x00, 0xE9, 0x55, 0x43, 0x4C, 0xFF, 0x01, 0x1A}, word(flags), {method, level}, word(block_size)});
  };
  const auto block = [](std::uint32_t decoded, const Bytes &stored) {
    return cat({word(decoded), word(std::uint32_t(stored.size())), stored});
  };
  const auto compressed = [](const Bytes &bytes) {
    const Bytes p = packed(bytes, {.block_size = 2048, .checksum = false});
    return Bytes(p.begin() + packer::kHeaderSize, p.end() - 4);
  };
  const auto after_first = [&](std::uint32_t flags = 0) {
    return cat({header(flags, 0x2E, 10, 2048), compressed(first)});
  };
  const Bytes second_block = compressed(second), second_packed(second_block.begin() + 8, second_block.end());
  const std::string size_error = "block size error - data corrupted\n", eof = "ERROR: End of file\n";
  const std::uint32_t adler = ucl_adler32(1, plain.data(), static_cast<ucl_uint>(plain.size()));
  const std::pair<Bytes, Outcome> rows[] = {
      // clang-format off
      {cat({{0, 0xE9, 0x55, 0x43, 0x4C, 0xFF, 0x01, 0x1B}, end}), failed("Unknown file format!", {})},
      {cat({header(0, 0x2C, 10, 1024), end}), failed("header error - invalid method 44 (level 10)\n", Bytes{})},
      {cat({header(0, 0x2B, 0, 1024), end}), failed("header error - invalid method 43 (level 0)\n", Bytes{})},
      {cat({header(0, 0x2D, 11, 1024), end}), failed("header error - invalid method 45 (level 11)\n", Bytes{})},
      {cat({header(0, 0x2E, 10, 1023), end}), failed("header error - invalid block size 1023\n", Bytes{})},
      {cat({header(0, 0x2E, 10, 8388608), end}), {22, "", Bytes{}}},  // the largest block size, no blocks
      {cat({header(1, 0x2E, 10, 1024), end, word(1)}), {26, "", Bytes{}}},  // empty, with its checksum
      {cat({header(0, 0x2E, 10, 8388609), end}), failed("header error - invalid block size 8388609\n", Bytes{})},
      // The same words as the boxes' 32-bit long prints, on any machine.
      {cat({header(0, 0x2E, 10, 0x80000400u), end}), failed("header error - invalid block size -2147482624\n", Bytes{})},
      // A good block after a failed one must not reach the output.
      {cat({after_first(), word(100), word(0), block(1200, second), end}), failed(size_error, first)},
      {cat({after_first(), block(100, Bytes(101, 1)), end}), failed(size_error, first)},  // stored above decoded
      {cat({after_first(), block(2049, Bytes(10, 1)), end}), failed(size_error, first)},  // decoded above block size
      {cat({after_first(), block(3000, Bytes(2049, 1)), end}), failed(size_error, first)},  // stored above block size
      {cat({after_first(), block(100, Bytes(40, 0xFF)), end}),
       failed("compressed data violation: error -201 (0x2e: 40/100/35)\n", first)},
      // Decodes to fewer bytes than stated.
      {cat({after_first(), block(1300, second_packed), end}),
       failed("compressed data violation: error 0 (0x2e: " + std::to_string(second_packed.size()) + "/1300/1200)\n", first)},
      {cat({after_first(), word(1200), word(500), Bytes(100, 1)}), failed(eof, first)},  // ends inside a block
      {cat({after_first(1), end}), failed(eof, first)},  // ends before the checksum
      {cat({after_first(1), block(1200, second), end, word(adler + 1)}), failed("checksum error - data corrupted", plain)},
      // clang-format on
  };
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE("row " + std::to_string(i));
    in_both_passes([&] { expect(extract({}, on_disk(rows[i].first)), rows[i].second, plain); });
  }
}

TEST_F(Extraction, RefusalsBeforeDecoding) {
  const Outcome missing = extract({}, on_disk(packed({1, 2, 3})), "missing");
  EXPECT_EQ(described(missing, {}), described(unopened("A real file could not be opened"), {}));
  EXPECT_TRUE(missing.library_started);
  out_ = dir_ / "no/such/dir";
  expect(extract({}, on_disk(packed({1, 2, 3}))), failed("couldn't create file '" + out_ + "'\n", {}));
  const std::string never = dir_ / "never";
  testing::internal::CaptureStderr();  // the disk is not open
  EXPECT_EQ(unpack_disk_file(kPackedName, never.c_str()), -2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unitialised disk!");
  EXPECT_FALSE(fixtures::read_file(never));
}

TEST(DataDisk, OpenKeepsTheFirstPathRefusesALongOneAndCloseStopsTheLibrary) {
  const int refused = open_install_disk(std::string(64, 'x').c_str()), unopened = disk_open;  // too long for the buffer
  const int opened = open_install_disk("/tmp/dm7000.dsk"), again = open_install_disk("/tmp/dbox2.dsk");
  EXPECT_EQ((std::vector{refused, unopened, opened, again, disk_open, zepa_IsStarted()}),
            (std::vector{-1, 0, 0, 0, 1, 1}));
  EXPECT_STREQ(disk_name, "/tmp/dm7000.dsk");
  close_install_disk();
  EXPECT_EQ((std::vector{disk_open, zepa_IsStarted()}), (std::vector{0, 0}));
}

// ---- fault injection --------------------------------------------------------

// The allocations of one extraction, in order: registering the disk (path copy, list node, record); reading the
// directory (a node and record per length and per second-table word, the name-length table, per name its buffer and
// the string list's copy, node and record); opening the packed file (its name); its mode copy, which the library does
// without; then an error report's message buffer. The outcome when allocation n fails; `unfailed` when none does.
Outcome when_allocation_fails(unsigned long n, Outcome unfailed) {
  constexpr unsigned long kRegistration = 3, kDirectory = 8 * kEntries + 1, kOpening = 1, kMode = 1;
  if (n <= kRegistration) return unopened("Out of memory");
  if (n <= kRegistration + kDirectory + kOpening) return unopened("A real file could not be opened");
  if (n <= kRegistration + kDirectory + kOpening + kMode) return unfailed;
  unfailed.messages.replace(0, unfailed.messages.find('\n'), "ERROR: unknown!");  // the report's own buffer
  return unfailed;
}

int oom_handler_calls = 0;

TEST_F(Extraction, EveryAllocationOfACleanAndOfAFailingExtractionFailsOnce) {
  zepa_strzz_SetOutOfMemoryHandler([](strzz *) { ++oom_handler_calls; });
  // Whole, and cut inside the second block: the read error's report takes one more allocation ("unknown!" without).
  const Bytes &whole = disk().image;
  for (const Bytes &image : {whole, Bytes(whole.begin(), whole.begin() + disk().start + disk().block_ends[0] + 20)}) {
    const Outcome unfailed = disk().after_stream_ends_at(image.size());
    const unsigned long before = zepa::seam::allocations();
    const Outcome o = extract({}, image);
    expect(o, unfailed);
    EXPECT_FALSE(unfailed.result >= 0 && o.library_started);  // stopped after the packed file was closed
    const unsigned long count = zepa::seam::allocations() - before;
    EXPECT_EQ(count, 3 + 8 * kEntries + 1 + 1 + 1 + (unfailed.result < 0 ? 1 : 0));
    oom_handler_calls = 0;
    sweep("allocation", numbers(1, count), [&](std::size_t n) {
      const Outcome o = extract([n] { zepa::seam::fail_allocation(n); }, image);
      zepa::seam::fail_allocation(0);
      expect(o, when_allocation_fails(n, unfailed));
    });
    // In each pass, the string list's copy, node and record of each name went to its handler.
    EXPECT_EQ(oom_handler_calls, static_cast<int>(2 * 3 * kEntries));
  }
}

unsigned long ucl_calls = 0, ucl_fail_at = 0;

TEST_F(Extraction, EveryAllocationOfTheCompressionLibraryFailsOnce) {
  ucl_malloc_hook_t old_allocate = nullptr;
  ucl_free_hook_t old_release = nullptr;
  ucl_get_malloc_hooks(&old_allocate, &old_release);
  ucl_set_malloc_hooks([](ucl_uint n) { return ++ucl_calls == ucl_fail_at ? nullptr : std::malloc(n); },
                       [](ucl_voidp p) { std::free(p); });
  expect(extract(), disk().success());
  EXPECT_EQ(ucl_calls, 1u);  // the work buffer, once per file
  sweep("compression library allocation", numbers(1, ucl_calls), [&](std::size_t n) {
    std::tie(ucl_calls, ucl_fail_at) = std::tuple(0, n);
    expect(extract(), failed("out of memory\n", Bytes{}));
  });
  ucl_set_malloc_hooks(old_allocate, old_release);
}

TEST_F(Extraction, EveryStdioCallOnTheDiskFailsOrComesShortWithoutGettingPastTheNextRead) {
  zepa::seam::set_stdio(&io::kDisk);
  expect(extract([] { io::arm(); }), disk().success());
  const auto clean = io::events;
  const auto counts = io::counts;
  // A clean run's first read at or after the k-th call of `call`: the library cannot get past it.
  const auto stream_ending_at = [&](io::Call call, std::size_t k) {
    std::size_t seen = 0;
    auto i = std::find_if(clean.begin(), clean.end(), [&](const auto &e) { return e.first == call && ++seen == k; });
    i = std::find_if(i, clean.end(), [](const auto &e) { return e.first == io::kFread; });
    return i == clean.end() ? disk().success() : disk().after_stream_ends_at(static_cast<std::size_t>(i->second));
  };
  for (io::Call call : {io::kFread, io::kFopen, io::kFclose, io::kFgetc, io::kFseek, io::kFtell}) {
    for (bool come_short : {false, true}) {
      if (come_short && call != io::kFread) continue;
      sweep(std::string(come_short ? "short " : "failing ") + io::kNames[call], numbers(1, counts[call]),
            [&](std::size_t k) {
              const Outcome o = extract([&] { io::arm(call, k, come_short); });
              // A read ends the file where it started. Another call's failure is absorbed (asked again or done
              // without) or ends it where the next read would, with a library message.
              if (call == io::kFread) return expect(o, stream_ending_at(call, k));
              if (described(o, disk().plain) == described(disk().success(), disk().plain)) return;
              expect(library_message_blanked(o), library_message_blanked(stream_ending_at(call, k)));
              EXPECT_TRUE(is_extraction_failure_message(o.messages)) << o.messages;
            });
    }
  }
}

TEST_F(Extraction, EveryWriteAndTheCloseOfTheOutputFailOrComeShortKeepingWhatWasWritten) {
  unpack::set_output(&io::kOutput);
  expect(extract([] { io::arm(); }), disk().success());
  const unsigned long writes = io::counts[io::kWrite];
  EXPECT_EQ(writes, disk().block_ends.size());  // one write per block
  for (bool come_short : {false, true}) {
    const auto each = [&](std::size_t k) {
      const std::size_t before = disk().decoded_blocks(k - 1).size(), with = disk().decoded_blocks(k).size();
      const auto kept = static_cast<std::ptrdiff_t>(come_short ? before + (with - before) / 2 : before);
      const Outcome o = extract([&] { io::arm(io::kWrite, k, come_short); });
      expect(o, failed("couldn't write data", Bytes(disk().plain.begin(), disk().plain.begin() + kept)));
    };
    sweep(come_short ? "short write" : "failing write", numbers(1, writes), each, true);
  }
  io::output_close_fails = true;
  expect(extract([] { io::arm(); }), failed("couldn't write data", disk().plain));
  io::output_close_fails = false;
  ++faults_;
}

TEST_F(Extraction, DiskCutAtEveryByteGivesTheMessageOfTheMissingBytes) {
  // The usual disk at every byte; a bigger one of another method at every 31st byte and around its header and blocks.
  const Disk big(fixtures::sample_bytes(60000, 23), 5000, packer::Method::nrv2b, 4096);
  std::vector<std::size_t> big_cuts, bounds = big.block_ends;
  for (std::size_t cut = 0; cut <= big.image.size(); cut += 31) big_cuts.push_back(cut);
  bounds.insert(bounds.begin(), {0, packer::kHeaderSize});
  for (std::size_t at : bounds) {
    for (std::size_t cut = big.start + at - std::min<std::size_t>(at, 9); cut <= big.start + at + 9; ++cut)
      big_cuts.push_back(std::min(cut, big.image.size()));
  }
  for (const auto &[d, cuts] : {std::pair{&disk(), numbers(0, disk().image.size())}, std::pair{&big, big_cuts}}) {
    sweep("cut at", cuts, [&](std::size_t cut) {
      expect(extract({}, Bytes(d->image.begin(), d->image.begin() + cut)), d->after_stream_ends_at(cut), d->plain);
    });
  }
}

TEST_F(Extraction, EverySingleBitFlipFailsWithAMessageOrChangesNothing) {
  const Disk &d = disk();
  sweep("flipped bit", numbers(0, 8 * d.image.size() - 1), [&](std::size_t bit) {
    const std::size_t at = bit / 8;
    Bytes image = d.image;
    image[at] = static_cast<std::uint8_t>(image[at] ^ (1u << bit % 8));
    const Outcome o = extract({}, image);
    if (at >= d.length_field && at < d.length_field + 4) {
      // The packed file's own length: read past anyway, and given back.
      expect(o, {static_cast<std::int32_t>(be32(image, d.length_field)), "", d.plain});
    } else if (d.ignored(at) || described(o, d.plain) == described(d.success(), d.plain)) {
      EXPECT_EQ(described(o, d.plain), described(d.success(), d.plain));
    } else {
      EXPECT_LT(o.result, 0);
      EXPECT_NE(o.result, -4);
      EXPECT_TRUE(is_extraction_failure_message(o.messages)) << o.messages;
      EXPECT_TRUE(pass_ == Pass::kExtract || o.output == kOldTarget);
    }
  });
}

}  // namespace
