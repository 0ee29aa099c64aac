// Extraction of packed files from a data disk: round trips through the
// packer, and every failure with its message, its output file and its result.
#include "unpack.h"

#include <gtest/gtest.h>

#include "container_writer.h"
#include "packer.h"
#include "unpack/packed_fixtures.h"
#include "zepa_seams.h"

namespace {

using fixtures::Bytes;
using fixtures::joined;
using fixtures::PackedBuilder;
using fixtures::read_file;
using fixtures::sample_bytes;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr int kLevel = 10;

// What one extraction did.
struct Outcome {
  std::int32_t result;
  bool library_started;          // right after the extraction
  std::string messages;          // standard error, byte for byte
  std::optional<Bytes> output;   // the output file, or nothing when absent
};

// A data disk holding packed files, and extraction from it.
class Extraction : public testing::Test {
 protected:
  void TearDown() override {
    close_install_disk();
    zepa_Stop();
    unpack::set_output(nullptr);
  }

  void make_disk(const std::vector<kavro::tools::ContainerEntry> &entries) {
    ASSERT_EQ(kavro::tools::write_container(disk_, entries), "");
  }
  void make_disk(const Bytes &packed) { make_disk({{"file", packed}}); }

  Outcome extract(const std::string &name = "file") {
    EXPECT_EQ(open_install_disk(disk_.c_str()), 0);
    CaptureStderr();
    const std::int32_t result = unpack_disk_file(name.c_str(), out_.c_str());
    std::string messages = GetCapturedStderr();
    const bool started = zepa_IsStarted() != 0;
    close_install_disk();
    return {result, started, messages, read_file(out_)};
  }

  Bytes packed(const Bytes &plain, packer::Options options) {
    Bytes p;
    std::string error;
    EXPECT_TRUE(packer::pack(plain, options, p, error)) << error;
    return p;
  }

  fixtures::TempDir dir_;
  std::string disk_ = dir_ / "d.dsk";
  std::string out_ = dir_ / "out";
};

// ---- round trips --------------------------------------------------------

TEST_F(Extraction, EveryMethodRoundTripsWithAndWithoutChecksum) {
  const Bytes plain = sample_bytes(70000, 5);
  for (auto method : {packer::Method::nrv2b, packer::Method::nrv2d, packer::Method::nrv2e}) {
    for (bool checksum : {true, false}) {
      SCOPED_TRACE(std::string(packer::method_name(static_cast<std::uint8_t>(method))) +
                   (checksum ? " with checksum" : " without checksum"));
      const Bytes p = packed(plain, {.method = method, .level = kLevel, .block_size = 16384, .checksum = checksum});
      make_disk(p);
      const Outcome o = extract();
      EXPECT_EQ(o.messages, "");
      EXPECT_EQ(o.result, static_cast<std::int32_t>(p.size()));
      EXPECT_EQ(o.output, plain);
    }
  }
}

TEST_F(Extraction, BlockSizesFromSmallestToLargestRoundTrip) {
  const Bytes plain = sample_bytes(300001, 6);
  for (std::uint32_t block_size : {1024u, 4099u, 65536u, 8388608u}) {
    SCOPED_TRACE(block_size);
    make_disk(packed(plain, {.level = 5, .block_size = block_size}));
    const Outcome o = extract();
    EXPECT_EQ(o.messages, "");
    EXPECT_EQ(o.output, plain);
  }
}

TEST_F(Extraction, EmptyFileAndStoredBlocksRoundTrip) {
  const Bytes noise = fixtures::noise_bytes(5000, 7);
  make_disk({{"empty", packed({}, {})}, {"noise", packed(noise, {.block_size = 2048})}});
  EXPECT_EQ(extract("empty").output, Bytes{});
  const Outcome o = extract("noise");
  EXPECT_EQ(o.messages, "");
  EXPECT_EQ(o.output, noise);
}

TEST_F(Extraction, HeaderAndEndMarkerAloneGiveEmptyOutputAndTheLength) {
  make_disk(PackedBuilder::header(0, 0x2E, 10, 1024).end().bytes());
  const Outcome o = extract();
  EXPECT_EQ(o.result, 22);
  EXPECT_FALSE(o.library_started);  // stopped after the packed file was closed
  EXPECT_EQ(o.messages, "");
  EXPECT_EQ(o.output, Bytes{});
}

TEST_F(Extraction, StoredBlockIsCopiedWhateverTheMethod) {
  const Bytes plain = sample_bytes(3000, 9);
  for (std::uint8_t method : {0x2B, 0x2D, 0x2E}) {
    make_disk(PackedBuilder::header(1, method, 1, 4096).stored(plain).end_with_checksum(PackedBuilder::adler(plain)).bytes());
    EXPECT_EQ(extract().output, plain);
  }
}

TEST_F(Extraction, ExistingOutputFileIsReplaced) {
  fixtures::write_file(out_, sample_bytes(9000, 10));
  const Bytes plain = sample_bytes(100, 11);
  make_disk(packed(plain, {}));
  EXPECT_EQ(extract().output, plain);
}

// ---- failures -----------------------------------------------------------

enum class Left { absent, empty, first_block, complete };

struct FailureRow {
  const char *what;
  Bytes packed;
  std::string message;
  Left output;
};

class ExtractionFailure : public Extraction {
 protected:
  static const Bytes &first() {
    static const Bytes b = sample_bytes(1500, 12);
    return b;
  }
  static const Bytes &second() {
    static const Bytes b = [] {
      Bytes text;
      for (int i = 0; text.size() < 1200; ++i) text.push_back(static_cast<std::uint8_t>("fonts "[i % 6]));
      return text;
    }();
    return b;
  }
  // A valid header and first block, then whatever follows.
  static PackedBuilder after_first_block(std::uint32_t flags = 0) {
    return std::move(PackedBuilder::header(flags, 0x2E, 10, 2048).compressed(first()));
  }

  void check(const FailureRow &row, const Bytes &trailing_entry = {}) {
    SCOPED_TRACE(row.what);
    std::filesystem::remove(out_);
    if (trailing_entry.empty()) {
      make_disk(row.packed);
    } else {
      make_disk({{"file", row.packed}, {"next", trailing_entry}});
    }
    const Outcome o = extract();
    EXPECT_EQ(o.messages, row.message);
    EXPECT_LT(o.result, 0);
    EXPECT_NE(o.result, -2);
    EXPECT_NE(o.result, -4);
    switch (row.output) {
      case Left::absent: EXPECT_EQ(o.output, std::nullopt); break;
      case Left::empty: EXPECT_EQ(o.output, Bytes{}); break;
      case Left::first_block: EXPECT_EQ(o.output, first()); break;
      case Left::complete: EXPECT_EQ(o.output, joined(first(), second())); break;
    }
  }
};

TEST_F(ExtractionFailure, EachDamageGivesItsMessageAndLeavesTheOutputAsFarAsItGot) {
  const Bytes garbage(40, 0xFF);
  const FailureRow rows[] = {
      {"bad magic", PackedBuilder{}.raw({0, 0xE9, 0x55, 0x43, 0x4C, 0xFF, 0x01, 0x1B}).u32(0).bytes(),
       "Unknown file format!", Left::absent},
      {"method 0x2C", PackedBuilder::header(0, 0x2C, 10, 1024).end().bytes(),
       "header error - invalid method 44 (level 10)\n", Left::empty},
      {"level 0", PackedBuilder::header(0, 0x2B, 0, 1024).end().bytes(),
       "header error - invalid method 43 (level 0)\n", Left::empty},
      {"level 11", PackedBuilder::header(0, 0x2D, 11, 1024).end().bytes(),
       "header error - invalid method 45 (level 11)\n", Left::empty},
      {"block size 1023", PackedBuilder::header(0, 0x2E, 10, 1023).end().bytes(),
       "header error - invalid block size 1023\n", Left::empty},
      {"block size 8388609", PackedBuilder::header(0, 0x2E, 10, 8388609).end().bytes(),
       "header error - invalid block size 8388609\n", Left::empty},
      {"stored size 0", after_first_block().u32(100).u32(0).end().bytes(),
       "block size error - data corrupted\n", Left::first_block},
      {"stored size above decoded size", after_first_block().u32(100).u32(101).raw(Bytes(101, 1)).end().bytes(),
       "block size error - data corrupted\n", Left::first_block},
      {"decoded size above block size", after_first_block().u32(2049).u32(10).raw(Bytes(10, 1)).end().bytes(),
       "block size error - data corrupted\n", Left::first_block},
      {"stored size above block size", after_first_block().u32(3000).u32(2049).raw(Bytes(2049, 1)).end().bytes(),
       "block size error - data corrupted\n", Left::first_block},
      {"corrupt compressed data", after_first_block().u32(100).u32(40).raw(garbage).end().bytes(),
       "compressed data violation: error -201 (0x2e: 40/100/35)\n", Left::first_block},
      {"decodes to fewer bytes than stated",
       after_first_block().u32(1300).u32(static_cast<std::uint32_t>(PackedBuilder::nrv2e(second()).size()))
           .raw(PackedBuilder::nrv2e(second())).end().bytes(),
       "compressed data violation: error 0 (0x2e: " + std::to_string(PackedBuilder::nrv2e(second()).size()) +
           "/1300/1200)\n",
       Left::first_block},
      {"file ends inside a block", after_first_block().u32(1200).u32(500).raw(Bytes(100, 1)).bytes(),
       "ERROR: End of file\n", Left::first_block},
      {"file ends before the checksum", after_first_block(1).end().bytes(), "ERROR: End of file\n",
       Left::first_block},
      {"checksum differs",
       after_first_block(1).stored(second()).end_with_checksum(PackedBuilder::adler(joined(first(), second())) + 1).bytes(),
       "checksum error - data corrupted", Left::complete},
  };
  for (const FailureRow &row : rows) check(row);
}

TEST_F(ExtractionFailure, ShortMagicIsUnknownFormatWithoutPrematureEndMessage) {
  // The magic read runs on into the next entry, as reads of a stored file do.
  check({"five bytes", Bytes{0x00, 0xE9, 0x55, 0x43, 0x4C}, "Unknown file format!", Left::absent},
        Bytes(20, 0x33));
}

TEST_F(ExtractionFailure, RealFileEndingInsideABlockIsAPrematureEnd) {
  // A name the disk does not hold is read as a real file, as on the box.
  const std::string loose = dir_ / "loose";
  fixtures::write_file(loose, after_first_block().u32(1200).u32(500).raw(Bytes(100, 1)).bytes());
  make_disk(packed({}, {}));
  const Outcome o = extract(loose);
  EXPECT_EQ(o.messages, "read error - premature end of file!\n");
  EXPECT_LT(o.result, 0);
  EXPECT_EQ(o.output, first());
}

TEST_F(ExtractionFailure, NothingAfterAFailedBlockIsWritten) {
  // Damage in the second block; a good third block must not reach the output.
  check({"bad second block", after_first_block().u32(100).u32(0).stored(second()).end().bytes(),
         "block size error - data corrupted\n", Left::first_block});
}

TEST_F(Extraction, DiskNotOpenIsRefusedBeforeAnythingElse) {
  make_disk(packed({1, 2, 3}, {}));
  CaptureStderr();
  EXPECT_EQ(unpack_disk_file("file", out_.c_str()), -2);
  EXPECT_EQ(GetCapturedStderr(), "Unitialised disk!");
  EXPECT_FALSE(read_file(out_));
}

TEST_F(Extraction, MissingFileIsReportedWithTheLibraryMessage) {
  make_disk(packed({1, 2, 3}, {}));
  const Outcome o = extract("missing");
  EXPECT_EQ(o.result, -2);
  EXPECT_TRUE(o.library_started);
  EXPECT_EQ(o.messages, "ERROR: A real file could not be opened\n");
  EXPECT_FALSE(o.output);
}

TEST_F(Extraction, OutputThatCannotBeCreatedIsReported) {
  make_disk(packed({1, 2, 3}, {}));
  out_ = dir_ / "no/such/dir";
  const Outcome o = extract();
  EXPECT_EQ(o.messages, "couldn't create file '" + out_ + "'\n");
  EXPECT_LT(o.result, 0);
  EXPECT_NE(o.result, -2);
}

namespace failing_ucl {
void *no_memory(ucl_uint) { return nullptr; }
void release(ucl_voidp p) { std::free(p); }
}  // namespace failing_ucl

TEST_F(Extraction, WorkBufferNotAvailableLeavesTheOutputEmpty) {
  make_disk(packed(sample_bytes(100), {}));
  ucl_malloc_hook_t old_malloc = nullptr;
  ucl_free_hook_t old_free = nullptr;
  ucl_get_malloc_hooks(&old_malloc, &old_free);
  ucl_set_malloc_hooks(failing_ucl::no_memory, failing_ucl::release);
  const Outcome o = extract();
  ucl_set_malloc_hooks(old_malloc, old_free);
  EXPECT_EQ(o.messages, "out of memory\n");
  EXPECT_LT(o.result, 0);
  EXPECT_EQ(o.output, Bytes{});
}

// ---- the output seam: a file system that fills up -------------------------

namespace full_disk {
std::size_t room = 0;  // bytes the file system still takes
bool close_fails = false;
std::size_t write(const void *data, std::size_t size, std::size_t count, FILE *stream) {
  const std::size_t n = std::min(size * count, room);
  room -= n;
  return std::fwrite(data, 1, n, stream) / (size == 0 ? 1 : size);
}
int close(FILE *stream) {
  const int r = std::fclose(stream);
  return close_fails ? EOF : r;
}
constexpr unpack::Output kTable{.fopen = std::fopen, .fwrite = write, .fclose = close};
}  // namespace full_disk

TEST_F(ExtractionFailure, ShortWriteKeepsWhatWasWritten) {
  full_disk::room = first().size() + 10;
  full_disk::close_fails = false;
  unpack::set_output(&full_disk::kTable);
  make_disk(after_first_block().stored(second()).end().bytes());
  const Outcome o = extract();
  EXPECT_EQ(o.messages, "couldn't write data");
  EXPECT_LT(o.result, 0);
  EXPECT_EQ(o.output, joined(first(), Bytes(second().begin(), second().begin() + 10)));
}

TEST_F(ExtractionFailure, FailingCloseOfTheOutputCountsAsShortWrite) {
  full_disk::room = SIZE_MAX;
  full_disk::close_fails = true;
  unpack::set_output(&full_disk::kTable);
  make_disk(after_first_block().end().bytes());
  const Outcome o = extract();
  EXPECT_EQ(o.messages, "couldn't write data");
  EXPECT_LT(o.result, 0);
  EXPECT_NE(o.result, -4);
  EXPECT_EQ(o.output, first());
}

// ---- the disk state and the error reporter --------------------------------

TEST(DataDisk, OpenKeepsTheFirstPathAndCloseStopsTheLibrary) {
  ASSERT_EQ(open_install_disk("/tmp/dm7000.dsk"), 0);
  EXPECT_EQ(open_install_disk("/tmp/dbox2.dsk"), 0);
  EXPECT_STREQ(disk_name, "/tmp/dm7000.dsk");
  EXPECT_EQ(disk_open, 1);
  EXPECT_NE(zepa_IsStarted(), 0);
  close_install_disk();
  EXPECT_EQ(disk_open, 0);
  EXPECT_EQ(zepa_IsStarted(), 0);
}

TEST(DataDisk, PathLongerThanTheNameBufferIsRefused) {
  const std::string path(64, 'x');
  EXPECT_EQ(open_install_disk(path.c_str()), -1);
  EXPECT_EQ(disk_open, 0);
}

TEST(ReportDiskError, PrintsTheLibraryMessage) {
  CaptureStderr();
  report_disk_error(ZEPA_E_NOFILE);
  report_disk_error(200);
  EXPECT_EQ(GetCapturedStderr(), "ERROR: No such file\nERROR: Invalid and unknown error\n");
}

TEST(ReportDiskError, PrintsUnknownWhenItCannotAllocate) {
  zepa::seam::fail_allocation(1);
  CaptureStderr();
  report_disk_error(ZEPA_E_NOFILE);
  EXPECT_EQ(GetCapturedStderr(), "ERROR: unknown!\n");
  zepa::seam::fail_allocation(0);
}

}  // namespace
