// Faults injected into extraction from a data disk: every allocation of the
// library and of extraction, every stdio call the library makes on the disk,
// every write of the output file, and damaged disks (cut at every byte, every
// single bit flipped). Each fault must end with the message and result
// promised for it and leave the output file holding what was decoded before
// it -- or, when the installer's check pass meets the fault, leave the old
// target untouched; nothing may crash, hang or leak (the checking build's leak checker
// watches the whole program, and every test counts its open descriptors).
#include <dirent.h>
#include <ucl/ucl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <numeric>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "container_writer.h"
#include "packer.h"
#include "unpack/extraction.h"
#include "zepa_seams.h"
#include "zepa_strzz.h"

namespace {

using fixtures::Bytes;
using fixtures::Outcome;
using fixtures::Pass;
using fixtures::read_file;

constexpr Pass kBothPasses[] = {Pass::kExtract, Pass::kCheckThenExtract};

constexpr char kPackedName[] = "a.pak";
constexpr std::uint32_t kBlockSize = 1024;

std::uint32_t be32(const Bytes &b, std::size_t at) {
  return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) | (std::uint32_t{b[at + 2]} << 8) |
         std::uint32_t{b[at + 3]};
}

Outcome failed(std::string messages, std::optional<Bytes> output) {
  return {-1, std::move(messages), std::move(output)};
}

Outcome unopened(const std::string &library_message) { return {-2, "ERROR: " + library_message + "\n", std::nullopt}; }

// Where the directory holds entry i's length: after the entry's skipped
// word, in the table of 8 bytes per entry that starts at byte 14.
constexpr std::size_t length_field_of(std::size_t i) { return 14 + 8 * i + 4; }

// A data disk of three entries -- some text, the packed file, a trailing
// entry -- and where everything lies in it. The packed file has blocks that
// compress, a last block of noise stored as it is, and a checksum.
struct Disk {
  Bytes plain;
  Bytes packed;
  Bytes image;
  std::size_t entries = 0;
  std::size_t directory_end = 0;        // where the data of the first entry begins
  std::size_t start = 0;                // where the packed file begins
  std::size_t length_field = 0;         // the directory's length of the packed file
  std::vector<std::size_t> block_ends;  // offsets in the packed file after each block
  std::vector<bool> ignored;            // per image byte: the reader never uses it for the packed file
  std::uint32_t block_size = 0;

  // `plain` packed with `method`, followed by some noise that does not compress.
  static Disk make(Bytes plain, std::size_t noise, kavro::tools::packer::Method method, std::uint32_t block_size) {
    Disk d;
    d.plain = std::move(plain);
    const Bytes tail = fixtures::noise_bytes(noise, 22);
    d.plain.insert(d.plain.end(), tail.begin(), tail.end());
    d.block_size = block_size;
    std::string error;
    EXPECT_TRUE(kavro::tools::packer::pack(d.plain, {.method = method, .block_size = block_size, .threads = 1},
                                           d.packed, error))
        << error;
    const std::vector<kavro::tools::container::ContainerEntry> entries = {
        {"lead.txt", Bytes(37, 'L')}, {kPackedName, d.packed}, {"tail.bin", Bytes(23, 'T')}};
    d.entries = entries.size();
    d.image = kavro::tools::container::build_container(entries);
    d.directory_end = be32(d.image, 10);
    d.start = d.directory_end + entries[0].data.size();
    d.length_field = length_field_of(1);
    d.find_blocks();
    d.mark_ignored(entries);
    return d;
  }

  void find_blocks() {
    std::size_t at = kavro::tools::packer::kHeaderSize;
    while (be32(packed, at) != 0) {
      at += 8 + be32(packed, at + 4);
      block_ends.push_back(at);
    }
  }

  // The lead-in, the skipped column, the second table, the other entries'
  // names and data, and the trailing entry's length.
  void mark_ignored(const std::vector<kavro::tools::container::ContainerEntry> &list) {
    ignored.assign(image.size(), false);
    const auto mark = [&](std::size_t from, std::size_t n) { std::fill_n(ignored.begin() + from, n, true); };
    const std::size_t n = list.size();
    mark(0, 5);
    for (std::size_t i = 0; i < n; ++i) mark(length_field_of(i) - 4, 4);
    mark(14 + 8 * n, 4 * n);
    mark(length_field_of(n - 1), 4);
    std::size_t name = 14 + 14 * n;
    for (std::size_t i = 0; i < n; ++i) {
      if (list[i].name != kPackedName) mark(name, list[i].name.size());
      name += list[i].name.size();
    }
    mark(directory_end, start - directory_end);
    mark(start + packed.size(), image.size() - start - packed.size());
  }

  // The first `blocks` blocks, decoded.
  Bytes decoded_blocks(std::size_t blocks) const {
    const std::size_t n = std::min<std::size_t>(blocks * block_size, plain.size());
    return Bytes(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(n));
  }

  Outcome success() const { return {static_cast<std::int32_t>(packed.size()), "", plain}; }

  // What an extraction gives when the disk yields nothing from image position
  // p on: a read starting at p fails or comes short, or the disk is cut at p.
  Outcome after_stream_ends_at(std::size_t p) const {
    if (p < directory_end) return unopened("A real file could not be opened");
    const std::size_t offset = p < start ? 0 : p - start;
    if (offset >= packed.size()) return success();
    if (offset < sizeof kavro::tools::packer::kMagic)
      return failed("ERROR: End of file\nUnknown file format!", std::nullopt);
    if (offset < kavro::tools::packer::kHeaderSize) return failed("ERROR: End of file\n", std::nullopt);
    std::size_t done = 0;
    while (done < block_ends.size() && block_ends[done] <= offset) ++done;
    return failed("ERROR: End of file\n", decoded_blocks(done));
  }
};

// The disk of most tests: two compressed blocks and a stored one.
const Disk &disk() {
  static const Disk d =
      Disk::make(fixtures::sample_bytes(2 * kBlockSize, 21), 150, kavro::tools::packer::Method::nrv2e, kBlockSize);
  return d;
}

// An outcome in words, for comparing and for readable failures: the result
// ("length N", "-2", "-4" or "failed" for any other negative value), the
// messages, and the output as a prefix of the plain bytes.
std::string described(const Outcome &o, const Disk &d = disk()) {
  std::string result = o.result >= 0    ? "length " + std::to_string(o.result)
                       : o.result == -2 ? "-2"
                       : o.result == -4 ? "-4"
                                        : "failed";
  std::string output = "no output";
  if (o.output == fixtures::kOldTarget) {
    output = "old target";
  } else if (o.output) {
    const Bytes &plain = d.plain;
    const bool prefix =
        o.output->size() <= plain.size() && std::equal(o.output->begin(), o.output->end(), plain.begin());
    output = (prefix ? "first " : "unknown ") + std::to_string(o.output->size()) + " bytes";
  }
  return result + " | " + o.messages + " | " + output;
}

// Every message of the library, as "ERROR: " lines give them.
std::vector<std::string> library_messages() {
  std::vector<std::string> all;
  for (ErrorNumber code = 0; code < ZEPA_ERROR_COUNT + 1; ++code) {
    std::string text(zepa_GetErrorString(code, nullptr, 0), '\0');
    zepa_GetErrorString(code, text.data(), static_cast<uint32_t>(text.size()));
    all.push_back(text);
  }
  all.emplace_back("unknown!");
  return all;
}

std::string regex_escaped(const std::string &text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

// Whether `messages` is what one failed extraction can print: a library
// error line, one of extraction's own messages, or the first then the second.
bool is_extraction_failure_message(const std::string &messages) {
  static const std::regex grammar = [] {
    std::string library;
    for (const std::string &m : library_messages()) library.append(library.empty() ? "" : "|").append(regex_escaped(m));
    const std::string own = R"(Unknown file format!|header error - invalid method \d+ \(level \d+\)\n)"
                            R"(|header error - invalid block size -?\d+\n|block size error - data corrupted\n)"
                            R"(|compressed data violation: error -?\d+ \(0x[0-9a-f]+: \d+/\d+/\d+\)\n)"
                            R"(|read error - premature end of file!\n|checksum error - data corrupted|out of memory\n)"
                            R"(|couldn't write data|Warning!   Error in getting the file length\n)";
    return std::regex("(?:ERROR: (?:" + library + ")\n)?(?:" + own + ")?");
  }();
  return !messages.empty() && std::regex_match(messages, grammar);
}

std::size_t open_descriptors() {
  std::size_t n = 0;
  if (DIR *dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++n;
    closedir(dir);
  }
  return n;
}

// One fault injection run after the other, over the disk, in a working
// directory of its own (the library looks a name it cannot find in the
// container up as a loose file there).
class FaultInjection : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    home_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    descriptors_ = open_descriptors();
    // Packed before any hook counts the compressor's own allocations.
    static_cast<void>(disk());
    // A hang must end the program rather than the whole test run.
    alarm(600);
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
    RecordProperty("faults_injected", std::to_string(faults_));
    std::printf("[ FAULTS   ] %s: %lu faults injected\n", testing::UnitTest::GetInstance()->current_test_info()->name(),
                faults_);
  }

  // Extracts the packed file from `image` in the current pass; `arm` runs
  // right before.
  Outcome extract(const Bytes &image, const std::function<void()> &arm = {}) {
    fixtures::write_file(disk_path_, image);
    std::filesystem::remove(out_);
    return fixtures::extract(disk_path_, kPackedName, out_, arm, pass_);
  }

  // What a lone extraction's outcome becomes in the current pass: a fault
  // the check meets leaves the old target as it was.
  Outcome in_pass(Outcome o) const {
    if (pass_ == Pass::kCheckThenExtract && o.result < 0) o.output = fixtures::kOldTarget;
    return o;
  }

  std::string pass_name() const { return pass_ == Pass::kExtract ? "extraction" : "check, then extraction"; }

  Outcome extract(const std::function<void()> &arm = {}) { return extract(disk().image, arm); }

  // In memory when the machine has a RAM file system: the damaged-disk
  // tests write thousands of disks.
  fixtures::TempDir dir_{std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp"};
  std::filesystem::path home_;
  std::string disk_path_ = dir_ / "d.dsk";
  std::string out_ = dir_ / "out";
  std::size_t descriptors_ = 0;
  unsigned long faults_ = 0;
  Pass pass_ = Pass::kExtract;
};

// ---- allocations --------------------------------------------------------

int oom_handler_calls = 0;
void returning_oom_handler(strzz *) { ++oom_handler_calls; }

// The allocations of one extraction, in order: registering the disk (a copy
// of its path, a list node and its record); reading the directory (a node and
// a record per length and per word of the second table, the table of name
// lengths, and per name its buffer and the string list's copy, node and
// record); opening the packed file (a copy of its name); its mode copy, which
// the library does without. After them, an error report takes its message
// buffer.
struct AllocationPlan {
  unsigned long registration = 3;
  unsigned long directory = 0;
  unsigned long opening = 1;
  unsigned long mode = 1;

  explicit AllocationPlan(std::size_t entries) : directory(2 * entries + 2 * entries + 1 + 4 * entries) {}
  unsigned long total() const { return registration + directory + opening + mode; }

  // The outcome when allocation n fails; `unfailed` is the extraction's
  // outcome when none does.
  Outcome when_failing(unsigned long n, const Outcome &unfailed) const {
    if (n <= registration) return unopened("Out of memory");
    if (n <= registration + directory + opening) return unopened("A real file could not be opened");
    if (n <= total()) return unfailed;
    Outcome unreported = unfailed;  // the report's own buffer
    const std::size_t line_end = unreported.messages.find('\n');
    unreported.messages.replace(0, line_end, "ERROR: unknown!");
    return unreported;
  }
};

class AllocationFaults : public FaultInjection {
 protected:
  // Fails every allocation of extracting from `image` once, in both passes
  // (the check pass makes the same allocations first), checking each outcome
  // against the plan; the number of allocations of an extraction.
  unsigned long fail_each_allocation(const Bytes &image, const Outcome &unfailed, unsigned long reports) {
    zepa_strzz_SetOutOfMemoryHandler(returning_oom_handler);
    const unsigned long before = zepa::seam::allocations();
    EXPECT_EQ(described(extract(image)), described(unfailed));
    const unsigned long count = zepa::seam::allocations() - before;
    const AllocationPlan plan(disk().entries);
    EXPECT_EQ(count, plan.total() + reports);
    for (Pass pass : kBothPasses) {
      pass_ = pass;
      oom_handler_calls = 0;
      for (unsigned long n = 1; n <= count; ++n) {
        SCOPED_TRACE(pass_name() + ": allocation " + std::to_string(n) + " of " + std::to_string(count));
        const Outcome o = extract(image, [n] { zepa::seam::fail_allocation(n); });
        zepa::seam::fail_allocation(0);
        EXPECT_EQ(described(o), described(in_pass(plan.when_failing(n, unfailed))));
        ++faults_;
      }
      // The string list's copy, node and record of each name went to its handler.
      EXPECT_EQ(oom_handler_calls, static_cast<int>(3 * disk().entries));
    }
    pass_ = Pass::kExtract;
    return count;
  }
};

TEST_F(AllocationFaults, EveryAllocationOfACleanAndOfAFailingExtractionFailsOnce) {
  fail_each_allocation(disk().image, disk().success(), 0);
  // Cut inside the second block: the read error's report takes one more
  // allocation, and without it the report says "unknown!".
  const std::size_t cut = disk().start + disk().block_ends[0] + 20;
  const Bytes image(disk().image.begin(), disk().image.begin() + static_cast<std::ptrdiff_t>(cut));
  const Outcome unfailed = disk().after_stream_ends_at(cut);
  ASSERT_EQ(unfailed.messages, "ERROR: End of file\n");
  fail_each_allocation(image, unfailed, 1);
}

namespace work_buffer {
unsigned long calls = 0;
unsigned long fail_at = 0;
ucl_voidp allocate(ucl_uint n) { return ++calls == fail_at ? nullptr : std::malloc(n); }
void release(ucl_voidp p) { std::free(p); }
}  // namespace work_buffer

TEST_F(AllocationFaults, EveryAllocationOfTheCompressionLibraryFailsOnce) {
  ucl_malloc_hook_t old_allocate = nullptr;
  ucl_free_hook_t old_release = nullptr;
  ucl_get_malloc_hooks(&old_allocate, &old_release);
  ucl_set_malloc_hooks(work_buffer::allocate, work_buffer::release);
  work_buffer::calls = 0;
  work_buffer::fail_at = 0;
  EXPECT_EQ(described(extract()), described(disk().success()));
  const unsigned long count = work_buffer::calls;
  EXPECT_EQ(count, 1u);  // the work buffer, once per file
  for (Pass pass : kBothPasses) {
    pass_ = pass;
    for (unsigned long n = 1; n <= count; ++n) {
      work_buffer::calls = 0;
      work_buffer::fail_at = n;
      EXPECT_EQ(described(extract()), described(in_pass(failed("out of memory\n", Bytes{})))) << pass_name();
      ++faults_;
    }
  }
  ucl_set_malloc_hooks(old_allocate, old_release);
}

// ---- the stdio calls of the library on the disk ----------------------------

namespace stream {

enum Call { kFopen, kFclose, kFread, kFgetc, kFseek, kFtell, kCalls };
constexpr std::array<const char *, kCalls> kCallNames = {"fopen", "fclose", "fread", "fgetc", "fseek", "ftell"};
enum class Fault { fail, come_short };

struct Event {
  Call call;
  long position;  // fread: where the read started
};

std::array<unsigned long, kCalls> counts{};
std::vector<Event> events;
bool armed = false;
Call fault_call = kFread;
unsigned long fault_at = 0;
Fault fault = Fault::fail;

void reset() {
  counts = {};
  events.clear();
  armed = false;
}

bool faulted(Call call, long position = -1) {
  events.push_back({call, position});
  return ++counts[call] == fault_at && armed && call == fault_call;
}

FILE *open_file(const char *path, const char *mode) { return faulted(kFopen) ? nullptr : std::fopen(path, mode); }

int close_file(FILE *s) {
  const bool fails = faulted(kFclose);
  const int r = std::fclose(s);
  return fails ? EOF : r;
}

std::size_t read_items(void *buffer, std::size_t size, std::size_t count, FILE *s) {
  if (!faulted(kFread, std::ftell(s))) return std::fread(buffer, size, count, s);
  if (fault == Fault::fail || size == 0) return 0;
  return std::fread(buffer, 1, size * count / 2, s) / size;  // half the bytes arrive
}

int get_byte(FILE *s) { return faulted(kFgetc) ? EOF : std::fgetc(s); }
int seek(FILE *s, long offset, int whence) { return faulted(kFseek) ? -1 : std::fseek(s, offset, whence); }
long tell(FILE *s) { return faulted(kFtell) ? -1L : std::ftell(s); }
void rewind_stream(FILE *s) { std::rewind(s); }

constexpr zepa::seam::Stdio kTable{
    .fopen = open_file,
    .fclose = close_file,
    .fread = read_items,
    .fgetc = get_byte,
    .fseek = seek,
    .ftell = tell,
    .rewind = rewind_stream,
};

}  // namespace stream

class StreamFaults : public FaultInjection {
 protected:
  void SetUp() override {
    FaultInjection::SetUp();
    stream::reset();
    zepa::seam::set_stdio(&stream::kTable);
    ASSERT_EQ(described(extract()), described(disk().success()));
    clean_counts_ = stream::counts;
    clean_events_ = stream::events;
  }

  Outcome extract_with(stream::Call call, unsigned long k, stream::Fault fault) {
    return extract([=] {
      stream::reset();
      stream::armed = true;
      stream::fault_call = call;
      stream::fault_at = k;
      stream::fault = fault;
    });
  }

  // The outcome of a clean run's first read at or after the k-th call of
  // `call` failing: the library cannot get past it.
  Outcome stream_ending_at(stream::Call call, unsigned long k) const {
    std::size_t i = 0;
    for (unsigned long seen = 0; i < clean_events_.size(); ++i) {
      if (clean_events_[i].call == call && ++seen == k) break;
    }
    for (; i < clean_events_.size(); ++i) {
      if (clean_events_[i].call == stream::kFread)
        return disk().after_stream_ends_at(static_cast<std::size_t>(clean_events_[i].position));
    }
    return disk().success();
  }

  std::array<unsigned long, stream::kCalls> clean_counts_{};
  std::vector<stream::Event> clean_events_;
};

// A read error's library message stands first; other faults than a failed
// read may give another library message there.
Outcome library_message_blanked(Outcome o) {
  const std::size_t line_end = o.messages.find('\n');
  if (o.messages.rfind("ERROR: ", 0) == 0)
    o.messages = "ERROR: *" + (line_end == std::string::npos ? std::string() : o.messages.substr(line_end));
  return o;
}

TEST_F(StreamFaults, EveryReadFailsOrComesShortWithTheMessageOfTheMissingBytes) {
  for (Pass pass : kBothPasses) {
    pass_ = pass;
    for (stream::Fault fault : {stream::Fault::fail, stream::Fault::come_short}) {
      for (unsigned long k = 1; k <= clean_counts_[stream::kFread]; ++k) {
        SCOPED_TRACE(pass_name() + (fault == stream::Fault::fail ? ": failing" : ": short") + " read " +
                     std::to_string(k));
        const Outcome o = extract_with(stream::kFread, k, fault);
        EXPECT_EQ(described(o), described(in_pass(stream_ending_at(stream::kFread, k))));
        ++faults_;
      }
    }
  }
}

TEST_F(StreamFaults, EveryOtherStdioCallFailsWithoutGettingPastTheNextRead) {
  // Each failure is either absorbed (the library asks again or does without)
  // or ends the extraction where the next read of a clean run would have
  // failed, with a library message.
  for (Pass pass : kBothPasses) {
    pass_ = pass;
    for (stream::Call call : {stream::kFopen, stream::kFclose, stream::kFgetc, stream::kFseek, stream::kFtell}) {
      for (unsigned long k = 1; k <= clean_counts_[call]; ++k) {
        SCOPED_TRACE(pass_name() + ": failing " + stream::kCallNames[call] + " " + std::to_string(k));
        const Outcome o = extract_with(call, k, stream::Fault::fail);
        ++faults_;
        if (described(o) == described(disk().success())) continue;
        const Outcome expected = in_pass(stream_ending_at(call, k));
        EXPECT_EQ(described(library_message_blanked(o)), described(library_message_blanked(expected)));
        EXPECT_TRUE(is_extraction_failure_message(o.messages)) << o.messages;
      }
    }
  }
}

// ---- the output file --------------------------------------------------------

namespace output {

unsigned long writes = 0;
unsigned long fail_at = 0;
bool come_short = false;
bool close_fails = false;

void reset() {
  writes = 0;
  fail_at = 0;
  come_short = false;
  close_fails = false;
}

std::size_t write_bytes(const void *data, std::size_t size, std::size_t count, FILE *s) {
  if (++writes != fail_at) return std::fwrite(data, size, count, s);
  if (!come_short || size == 0) return 0;
  return std::fwrite(data, 1, size * count / 2, s) / size;  // the file system fills half-way
}

int close_file(FILE *s) {
  const int r = std::fclose(s);
  return close_fails ? EOF : r;
}

constexpr unpack::Output kTable{.fopen = std::fopen, .fwrite = write_bytes, .fclose = close_file};

}  // namespace output

class WriteFaults : public FaultInjection {
 protected:
  void SetUp() override {
    FaultInjection::SetUp();
    output::reset();
    unpack::set_output(&output::kTable);
  }
};

TEST_F(WriteFaults, EveryWriteFailsOrComesShortKeepingWhatWasWritten) {
  ASSERT_EQ(described(extract()), described(disk().success()));
  const unsigned long writes = output::writes;
  EXPECT_EQ(writes, disk().block_ends.size());  // one write per block
  for (bool come_short : {false, true}) {
    for (unsigned long k = 1; k <= writes; ++k) {
      SCOPED_TRACE((come_short ? "short write " : "failing write ") + std::to_string(k));
      output::reset();
      output::fail_at = k;
      output::come_short = come_short;
      Bytes kept = disk().decoded_blocks(k - 1);
      if (come_short) {
        const Bytes block = disk().decoded_blocks(k);
        kept = Bytes(block.begin(),
                     block.begin() + static_cast<std::ptrdiff_t>(kept.size() + (block.size() - kept.size()) / 2));
      }
      EXPECT_EQ(described(extract()), described(failed("couldn't write data", kept)));
      ++faults_;
    }
  }
}

TEST_F(WriteFaults, FailingCloseOfTheOutputCountsAsShortWrite) {
  output::close_fails = true;
  EXPECT_EQ(described(extract()), described(failed("couldn't write data", disk().plain)));
  faults_ = 1;
}

// ---- damaged disks ------------------------------------------------------------

using DamagedDisk = FaultInjection;

TEST_F(DamagedDisk, DiskCutAtEveryByteGivesTheMessageOfTheMissingBytes) {
  // The usual disk at every byte; a bigger one of another method at every
  // 31st byte and at every byte around its header and block bounds.
  const Disk big = Disk::make(fixtures::sample_bytes(60000, 23), 5000, kavro::tools::packer::Method::nrv2b, 4096);
  std::vector<std::size_t> big_cuts;
  for (std::size_t cut = 0; cut <= big.image.size(); cut += 31) big_cuts.push_back(cut);
  std::vector<std::size_t> bounds = {0, kavro::tools::packer::kHeaderSize};
  bounds.insert(bounds.end(), big.block_ends.begin(), big.block_ends.end());
  for (std::size_t bound : bounds) {
    for (std::size_t cut = big.start + bound - std::min<std::size_t>(bound, 9);
         cut <= std::min(big.start + bound + 9, big.image.size()); ++cut)
      big_cuts.push_back(cut);
  }
  std::vector<std::size_t> every_cut(disk().image.size() + 1);
  std::iota(every_cut.begin(), every_cut.end(), std::size_t{0});
  for (Pass pass : kBothPasses) {
    pass_ = pass;
    for (const auto &[d, cuts] : {std::pair{&disk(), &every_cut}, std::pair{&big, &big_cuts}}) {
      for (std::size_t cut : *cuts) {
        SCOPED_TRACE(pass_name() + ": cut at " + std::to_string(cut) + " of " + std::to_string(d->image.size()));
        const Outcome o = extract(Bytes(d->image.begin(), d->image.begin() + static_cast<std::ptrdiff_t>(cut)));
        EXPECT_EQ(described(o, *d), described(in_pass(d->after_stream_ends_at(cut)), *d));
        ++faults_;
      }
    }
  }
}

TEST_F(DamagedDisk, EverySingleBitFlipFailsWithAMessageOrChangesNothing) {
  const Disk &d = disk();
  for (Pass pass : kBothPasses) {
    pass_ = pass;
    for (std::size_t at = 0; at < d.image.size(); ++at) {
      for (int bit = 0; bit < 8; ++bit) {
        SCOPED_TRACE(pass_name() + ": bit " + std::to_string(bit) + " of byte " + std::to_string(at));
        Bytes image = d.image;
        image[at] = static_cast<std::uint8_t>(image[at] ^ (1u << bit));
        const Outcome o = extract(image);
        ++faults_;
        if (at >= d.length_field && at < d.length_field + 4) {
          // The packed file's own length: read past anyway, and given back.
          EXPECT_EQ(described(in_pass({static_cast<std::int32_t>(be32(image, d.length_field)), "", d.plain})),
                    described(o));
          EXPECT_EQ(o.result, static_cast<std::int32_t>(be32(image, d.length_field)));
        } else if (d.ignored[at] || described(o) == described(d.success())) {
          EXPECT_EQ(described(o), described(d.success()));
        } else {
          EXPECT_LT(o.result, 0);
          EXPECT_NE(o.result, -4);
          EXPECT_TRUE(is_extraction_failure_message(o.messages)) << o.messages;
          if (pass_ == Pass::kCheckThenExtract) {
            EXPECT_EQ(o.output, fixtures::kOldTarget);
          }
        }
      }
    }
  }
}

}  // namespace
