// Extraction of packed files from a data disk: round trips through the
// packer, and every failure with its message, its output file and its result.
#include <gtest/gtest.h>

#include "container_writer.h"
#include "packer.h"
#include "unpack/extraction.h"

namespace {

using fixtures::Bytes;
using fixtures::joined;
using fixtures::Outcome;
using fixtures::PackedBuilder;
using fixtures::read_file;
using fixtures::sample_bytes;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// A data disk holding packed files, and extraction from it.
class Extraction : public testing::Test {
 protected:
  void TearDown() override { zepa_Stop(); }

  void make_disk(const std::vector<kavro::tools::container::ContainerEntry> &entries) {
    ASSERT_EQ(kavro::tools::container::write_container(disk_, entries), "");
  }
  void make_disk(const Bytes &packed) { make_disk({{"file", packed}}); }
  Outcome extract(const std::string &name = "file") { return fixtures::extract(disk_, name, out_); }

  Bytes packed(const Bytes &plain, kavro::tools::packer::Options options) {
    Bytes p;
    std::string error;
    EXPECT_TRUE(kavro::tools::packer::pack(plain, options, p, error)) << error;
    return p;
  }

  fixtures::TempDir dir_;
  std::string disk_ = dir_ / "d.dsk";
  std::string out_ = dir_ / "out";
};

TEST_F(Extraction, EveryMethodRoundTripsWithAndWithoutChecksumAtEveryBlockSize) {
  // Noise first: the blocks it fills do not shrink and are stored.
  const Bytes plain = joined(fixtures::noise_bytes(20000, 7), sample_bytes(90000, 5));
  using kavro::tools::packer::Method;
  const struct {
    kavro::tools::packer::Options options;
    Bytes plain;
  } rows[] = {
      {{.method = Method::nrv2b, .level = 10, .block_size = 1024}, plain},
      {{.method = Method::nrv2b, .level = 5, .block_size = 4099, .checksum = false}, plain},
      {{.method = Method::nrv2d, .level = 10, .block_size = 16384}, plain},
      {{.method = Method::nrv2d, .level = 1, .block_size = 8388608, .checksum = false}, plain},
      {{.method = Method::nrv2e, .level = 10, .block_size = 65536}, plain},
      {{.method = Method::nrv2e, .level = 5, .block_size = 2048, .checksum = false}, plain},
      {{}, {}},
      {{.checksum = false}, {}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(std::string(kavro::tools::packer::method_name(static_cast<std::uint8_t>(row.options.method))) + " " +
                 std::to_string(row.options.block_size) + (row.options.checksum ? " checksum " : " ") +
                 std::to_string(row.plain.size()));
    fixtures::write_file(out_, sample_bytes(200000, 10));  // an existing output is replaced
    const Bytes p = packed(row.plain, row.options);
    make_disk(p);
    const Outcome o = extract();
    EXPECT_EQ(o.messages, "");
    EXPECT_EQ(o.result, static_cast<std::int32_t>(p.size()));
    EXPECT_EQ(o.output, row.plain);
    EXPECT_FALSE(o.library_started);  // stopped after the packed file was closed
  }
}

// ---- failures -----------------------------------------------------------

enum class Left { absent, empty, first_block, complete };

struct FailureRow {
  const char *what;
  Bytes packed;
  std::string message;
  Left output;
  Bytes next = {};     // an entry after the packed file, when not empty
  bool loose = false;  // read as a real file the disk does not hold
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

  void check(const FailureRow &row) {
    SCOPED_TRACE(row.what);
    std::filesystem::remove(out_);
    const std::string loose = dir_ / "loose";
    if (row.loose) {
      fixtures::write_file(loose, row.packed);
      make_disk(packed({}, {}));
    } else if (row.next.empty()) {
      make_disk(row.packed);
    } else {
      make_disk({{"file", row.packed}, {"next", row.next}});
    }
    const Outcome o = extract(row.loose ? loose : "file");
    EXPECT_EQ(o.messages, row.message);
    EXPECT_LT(o.result, 0);
    EXPECT_NE(o.result, -2);
    EXPECT_NE(o.result, -4);
    switch (row.output) {
      case Left::absent:
        EXPECT_EQ(o.output, std::nullopt);
        break;
      case Left::empty:
        EXPECT_EQ(o.output, Bytes{});
        break;
      case Left::first_block:
        EXPECT_EQ(o.output, first());
        break;
      case Left::complete:
        EXPECT_EQ(o.output, joined(first(), second()));
        break;
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
      {"level 0", PackedBuilder::header(0, 0x2B, 0, 1024).end().bytes(), "header error - invalid method 43 (level 0)\n",
       Left::empty},
      {"level 11", PackedBuilder::header(0, 0x2D, 11, 1024).end().bytes(),
       "header error - invalid method 45 (level 11)\n", Left::empty},
      {"block size 1023", PackedBuilder::header(0, 0x2E, 10, 1023).end().bytes(),
       "header error - invalid block size 1023\n", Left::empty},
      {"block size 8388609", PackedBuilder::header(0, 0x2E, 10, 8388609).end().bytes(),
       "header error - invalid block size 8388609\n", Left::empty},
      // The same words as the boxes' 32-bit long prints, on any machine.
      {"block size 0x80000400", PackedBuilder::header(0, 0x2E, 10, 0x80000400u).end().bytes(),
       "header error - invalid block size -2147482624\n", Left::empty},
      // A good block after a failed one must not reach the output.
      {"stored size 0", after_first_block().u32(100).u32(0).stored(second()).end().bytes(),
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
       after_first_block()
           .u32(1300)
           .u32(static_cast<std::uint32_t>(PackedBuilder::nrv2e(second()).size()))
           .raw(PackedBuilder::nrv2e(second()))
           .end()
           .bytes(),
       "compressed data violation: error 0 (0x2e: " + std::to_string(PackedBuilder::nrv2e(second()).size()) +
           "/1300/1200)\n",
       Left::first_block},
      {"file ends inside a block", after_first_block().u32(1200).u32(500).raw(Bytes(100, 1)).bytes(),
       "ERROR: End of file\n", Left::first_block},
      {"file ends before the checksum", after_first_block(1).end().bytes(), "ERROR: End of file\n", Left::first_block},
      {"checksum differs",
       after_first_block(1)
           .stored(second())
           .end_with_checksum(PackedBuilder::adler(joined(first(), second())) + 1)
           .bytes(),
       "checksum error - data corrupted", Left::complete},
  };
  for (const FailureRow &row : rows) check(row);
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

// ---- the disk state ------------------------------------------------------

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

}  // namespace
