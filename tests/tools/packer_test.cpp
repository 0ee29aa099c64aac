// The packer's output layout: header, blocks, stored blocks, end marker and
// checksum. Options, method names and threads are the disk tool's tests.
#include "packer.h"

#include <gtest/gtest.h>
#include <ucl/ucl.h>

#include "unpack/packed_fixtures.h"

namespace {

std::uint32_t be32(const std::vector<std::uint8_t> &b, std::size_t at) {
  return (std::uint32_t{b.at(at)} << 24) | (std::uint32_t{b.at(at + 1)} << 16) | (std::uint32_t{b.at(at + 2)} << 8) |
         std::uint32_t{b.at(at + 3)};
}

std::vector<std::uint8_t> text(std::size_t n) {
  static const char kWords[] = "subtitle font plugin box flash usb disk ";
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(kWords[(i * 7 + i / 13) % (sizeof kWords - 1)]);
  return v;
}

std::vector<std::uint8_t> pack(const std::vector<std::uint8_t> &plain, const kavro::tools::packer::Options &options) {
  std::vector<std::uint8_t> packed;
  std::string error;
  EXPECT_TRUE(kavro::tools::packer::pack(plain, options, packed, error)) << error;
  return packed;
}

// Decoded and stored size of every block, in order.
std::vector<std::pair<std::uint32_t, std::uint32_t>> blocks_of(const std::vector<std::uint8_t> &packed) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> blocks;
  std::size_t at = kavro::tools::packer::kHeaderSize;
  for (std::uint32_t decoded; (decoded = be32(packed, at)) != 0;) {
    const std::uint32_t stored = be32(packed, at + 4);
    blocks.emplace_back(decoded, stored);
    at += 8 + stored;
  }
  return blocks;
}

TEST(Packer, HeaderCarriesTheOptions) {
  kavro::tools::packer::Options options{
      .method = kavro::tools::packer::Method::nrv2d, .level = 7, .block_size = 4096, .checksum = false};
  const auto packed = pack(text(100), options);
  const std::vector<std::uint8_t> expected_header = {0x00, 0xE9, 0x55, 0x43, 0x4C, 0xFF, 0x01, 0x1A, 0,
                                                     0,    0,    0,    0x2D, 7,    0,    0,    0x10, 0};
  EXPECT_EQ(std::vector<std::uint8_t>(packed.begin(), packed.begin() + 18), expected_header);
}

TEST(Packer, EmptyInputIsHeaderEndMarkerAndChecksumOfNothing) {
  const auto packed = pack({}, kavro::tools::packer::Options{});
  ASSERT_EQ(packed.size(), 18u + 4 + 4);
  EXPECT_EQ(be32(packed, 8), 1u);   // checksum flag
  EXPECT_EQ(be32(packed, 18), 0u);  // end marker
  EXPECT_EQ(be32(packed, 22), 1u);  // Adler-32 of no data
}

TEST(Packer, SplitsIntoBlocksAndEndsWithTheChecksumOfAllBytes) {
  const auto plain = text(10000);
  const auto packed = pack(plain, kavro::tools::packer::Options{.block_size = 4096});
  const auto blocks = blocks_of(packed);
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[0].first, 4096u);
  EXPECT_EQ(blocks[1].first, 4096u);
  EXPECT_EQ(blocks[2].first, 10000u - 8192u);
  for (const auto &block : blocks) EXPECT_LT(block.second, block.first);
  std::size_t end = kavro::tools::packer::kHeaderSize;
  for (const auto &block : blocks) end += 8 + block.second;
  ASSERT_EQ(packed.size(), end + 8);
  EXPECT_EQ(be32(packed, end + 4), ucl_adler32(1, plain.data(), static_cast<ucl_uint>(plain.size())));
}

TEST(Packer, BlockThatDoesNotShrinkIsStoredAsItIs) {
  auto plain = text(2048);
  const auto random = fixtures::noise_bytes(1024, 3);
  plain.insert(plain.end(), random.begin(), random.end());
  const auto packed = pack(plain, kavro::tools::packer::Options{.block_size = 2048, .checksum = false});
  const auto blocks = blocks_of(packed);
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_LT(blocks[0].second, 2048u);
  EXPECT_EQ(blocks[1], std::make_pair(1024u, 1024u));
  const std::size_t data = kavro::tools::packer::kHeaderSize + 8 + blocks[0].second + 8;
  EXPECT_TRUE(std::equal(random.begin(), random.end(), packed.begin() + static_cast<long>(data)));
  EXPECT_EQ(packed.size(), data + 1024 + 4);  // no checksum after the end marker
}

}  // namespace
