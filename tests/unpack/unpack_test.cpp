// Extraction of packed files from a data disk: round trips through the
// packer, and every failure with its message, its output file and its result.
#include "container_writer.h"
#include "packer.h"
#include "unpack/extraction.h"

namespace {

using fixtures::Bytes;
using fixtures::cat;
using fixtures::Outcome;
using fixtures::sample_bytes;
namespace packer = kavro::tools::packer;
using Entry = kavro::tools::container::ContainerEntry;

// Packed files written field by field, to make damaged ones.
Bytes be32(std::uint32_t v) {
  return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
}
Bytes header(std::uint32_t flags, std::uint8_t method, std::uint8_t level, std::uint32_t block_size) {
  return cat({{0x00, 0xE9, 0x55, 0x43, 0x4C, 0xFF, 0x01, 0x1A}, be32(flags), {method, level}, be32(block_size)});
}
// A block: its decoded size, its stored size and the stored bytes.
Bytes block(std::size_t decoded, const Bytes &stored) {
  return cat({be32(static_cast<std::uint32_t>(decoded)), be32(static_cast<std::uint32_t>(stored.size())), stored});
}
Bytes nrv2e(const Bytes &plain) {
  static const bool started = ucl_init() == UCL_E_OK;
  Bytes out(plain.size() + plain.size() / 8 + 256);
  ucl_uint n = static_cast<ucl_uint>(out.size());
  EXPECT_TRUE(started && ucl_nrv2e_99_compress(plain.data(), static_cast<ucl_uint>(plain.size()), out.data(), &n,
                                               nullptr, 10, nullptr, nullptr) == UCL_E_OK);
  out.resize(n);
  return out;
}

// A data disk holding packed files, and extraction from it.
class Extraction : public testing::Test {
 protected:
  void TearDown() override { zepa_Stop(); }
  Outcome extract(const Bytes &packed, const std::string &name = "file") {
    EXPECT_EQ(kavro::tools::container::write_container(disk_, std::vector<Entry>{{"file", packed}}), "");
    return fixtures::extract(disk_, name, out_);
  }
  static Bytes packed(const Bytes &plain, packer::Options options = {}) {
    Bytes p;
    std::string error;
    EXPECT_TRUE(packer::pack(plain, options, p, error)) << error;
    return p;
  }
  fixtures::TempDir dir_;
  std::string disk_ = dir_ / "d.dsk", out_ = dir_ / "out";
};

TEST_F(Extraction, EveryMethodRoundTripsWithAndWithoutChecksumAtEveryBlockSize) {
  // Noise first: the blocks it fills do not shrink and are stored.
  const Bytes plain = cat({fixtures::noise_bytes(20000, 7), sample_bytes(90000, 5)});
  using packer::Method;
  const std::pair<packer::Options, Bytes> rows[] = {
      {{.method = Method::nrv2b, .level = 10, .block_size = 1024}, plain},
      {{.method = Method::nrv2b, .level = 5, .block_size = 4099, .checksum = false}, plain},
      {{.method = Method::nrv2d, .level = 10, .block_size = 16384}, plain},
      {{.method = Method::nrv2d, .level = 1, .block_size = 8388608, .checksum = false}, plain},
      {{.method = Method::nrv2e, .level = 10, .block_size = 65536}, plain},
      {{.method = Method::nrv2e, .level = 5, .block_size = 2048, .checksum = false}, plain},
      {{}, {}},
      {{.checksum = false}, {}},
  };
  for (const auto &[options, bytes] : rows) {
    SCOPED_TRACE(std::string(packer::method_name(static_cast<std::uint8_t>(options.method))) + " " +
                 std::to_string(options.block_size) + (options.checksum ? " checksum " : " ") +
                 std::to_string(bytes.size()));
    fixtures::write_file(out_, sample_bytes(200000, 10));  // an existing output is replaced
    const Bytes p = packed(bytes, options);
    const Outcome o = extract(p);
    EXPECT_EQ(o.messages, "");
    EXPECT_EQ(o.result, static_cast<std::int32_t>(p.size()));
    EXPECT_EQ(o.output, bytes);
    EXPECT_FALSE(o.library_started);  // stopped after the packed file was closed
  }
}

TEST_F(Extraction, EachDamageGivesItsMessageAndLeavesTheOutputAsFarAsItGot) {
  const Bytes first = sample_bytes(1500, 12), end = be32(0);
  Bytes second;  // text, which compresses
  for (int i = 0; second.size() < 1200; ++i) second.push_back(static_cast<std::uint8_t>("fonts "[i % 6]));
  const Bytes second_packed = nrv2e(second);
  const std::uint32_t adler = ucl_adler32(ucl_adler32(1, first.data(), 1500), second.data(), 1200);
  // A valid header and first block, then whatever follows.
  const auto after_first = [&](std::uint32_t flags = 0) {
    return cat({header(flags, 0x2E, 10, 2048), block(1500, nrv2e(first))});
  };
  const std::optional<Bytes> none, empty = Bytes{}, first_block = first, both = cat({first, second});
  const std::string size_error = "block size error - data corrupted\n", eof = "ERROR: End of file\n";
  const struct {
    const char *what;
    Bytes packed;
    std::string message;
    std::optional<Bytes> output;
  } rows[] = {
      // clang-format off
      {"bad magic", cat({{0, 0xE9, 0x55, 0x43, 0x4C, 0xFF, 0x01, 0x1B}, end}), "Unknown file format!", none},
      {"method 0x2C", cat({header(0, 0x2C, 10, 1024), end}), "header error - invalid method 44 (level 10)\n", empty},
      {"level 0", cat({header(0, 0x2B, 0, 1024), end}), "header error - invalid method 43 (level 0)\n", empty},
      {"level 11", cat({header(0, 0x2D, 11, 1024), end}), "header error - invalid method 45 (level 11)\n", empty},
      {"block size 1023", cat({header(0, 0x2E, 10, 1023), end}), "header error - invalid block size 1023\n", empty},
      {"block size 8388609", cat({header(0, 0x2E, 10, 8388609), end}), "header error - invalid block size 8388609\n",
       empty},
      // The same words as the boxes' 32-bit long prints, on any machine.
      {"block size 0x80000400", cat({header(0, 0x2E, 10, 0x80000400u), end}),
       "header error - invalid block size -2147482624\n", empty},
      // A good block after a failed one must not reach the output.
      {"stored size 0", cat({after_first(), be32(100), be32(0), block(1200, second), end}), size_error, first_block},
      {"stored size above decoded size", cat({after_first(), block(100, Bytes(101, 1)), end}), size_error, first_block},
      {"decoded size above block size", cat({after_first(), block(2049, Bytes(10, 1)), end}), size_error, first_block},
      {"stored size above block size", cat({after_first(), block(3000, Bytes(2049, 1)), end}), size_error, first_block},
      {"corrupt compressed data", cat({after_first(), block(100, Bytes(40, 0xFF)), end}),
       "compressed data violation: error -201 (0x2e: 40/100/35)\n", first_block},
      {"decodes to fewer bytes than stated", cat({after_first(), block(1300, second_packed), end}),
       "compressed data violation: error 0 (0x2e: " + std::to_string(second_packed.size()) + "/1300/1200)\n",
       first_block},
      {"file ends inside a block", cat({after_first(), be32(1200), be32(500), Bytes(100, 1)}), eof, first_block},
      {"file ends before the checksum", cat({after_first(1), end}), eof, first_block},
      {"checksum differs", cat({after_first(1), block(1200, second), end, be32(adler + 1)}), "checksum error - data corrupted",
       both},
      // clang-format on
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    std::filesystem::remove(out_);
    const Outcome o = extract(row.packed);
    EXPECT_EQ(o.messages, row.message);
    EXPECT_LT(o.result, 0);
    EXPECT_NE(o.result, -2);
    EXPECT_NE(o.result, -4);
    EXPECT_EQ(o.output, row.output);
  }
}

TEST_F(Extraction, RefusalsBeforeDecoding) {
  const Bytes p = packed({1, 2, 3});
  const Outcome missing = extract(p, "missing");
  EXPECT_EQ(missing.result, -2);
  EXPECT_TRUE(missing.library_started);
  EXPECT_EQ(missing.messages, "ERROR: A real file could not be opened\n");
  EXPECT_FALSE(missing.output);
  out_ = dir_ / "no/such/dir";
  const Outcome uncreated = extract(p);
  EXPECT_EQ(uncreated.messages, "couldn't create file '" + out_ + "'\n");
  EXPECT_LT(uncreated.result, 0);
  EXPECT_NE(uncreated.result, -2);
  const std::string never = dir_ / "never";
  testing::internal::CaptureStderr();  // the disk is not open
  EXPECT_EQ(unpack_disk_file("file", never.c_str()), -2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unitialised disk!");
  EXPECT_FALSE(fixtures::read_file(never));
}

TEST(DataDisk, OpenKeepsTheFirstPathRefusesALongOneAndCloseStopsTheLibrary) {
  EXPECT_EQ(open_install_disk(std::string(64, 'x').c_str()), -1);  // longer than the name buffer
  EXPECT_EQ(disk_open, 0);
  ASSERT_EQ(open_install_disk("/tmp/dm7000.dsk"), 0);
  EXPECT_EQ(open_install_disk("/tmp/dbox2.dsk"), 0);
  EXPECT_STREQ(disk_name, "/tmp/dm7000.dsk");
  EXPECT_EQ(disk_open, 1);
  EXPECT_NE(zepa_IsStarted(), 0);
  close_install_disk();
  EXPECT_EQ(disk_open, 0);
  EXPECT_EQ(zepa_IsStarted(), 0);
}

}  // namespace
