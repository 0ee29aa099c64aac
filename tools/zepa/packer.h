// SPDX-License-Identifier: GPL-2.0-or-later
// The packer: plain bytes in, a packed file out.
//
// A packed file is an 18-byte header (magic, flags, method, level, block
// size), the blocks, a zero end marker and, when flags bit 0 is set, the
// Adler-32 of all plain bytes. A block holds up to block_size plain bytes,
// compressed with the method, or stored as they are when compressing does not
// make them smaller. Blocks are independent and are compressed in parallel;
// the output does not depend on the number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace kavro::tools::packer {

// Method bytes of the packed header.
enum class Method : std::uint8_t { nrv2b = 0x2B, nrv2d = 0x2D, nrv2e = 0x2E };

constexpr std::uint8_t kMagic[8] = {0x00, 0xE9, 0x55, 0x43, 0x4C, 0xFF, 0x01, 0x1A};
constexpr std::size_t kHeaderSize = 18;
constexpr std::uint32_t kFlagChecksum = 1;
constexpr int kMinLevel = 1;
constexpr int kMaxLevel = 10;
constexpr std::uint32_t kMinBlockSize = 1024;
constexpr std::uint32_t kMaxBlockSize = 8388608;

struct Options {
  Method method = Method::nrv2e;
  int level = 10;
  std::uint32_t block_size = 1048576;
  bool checksum = true;
  unsigned threads = 0;  // 0: one per core
};

// The method's name ("nrv2e"), or null for a byte that names no method.
const char *method_name(std::uint8_t method);
// Parses "nrv2b", "nrv2d" or "nrv2e"; false for anything else.
bool parse_method(const char *text, Method *method);

// Packs `plain` into `packed` (replacing its contents). False with a
// message in `error` for options out of range or a compressor failure.
bool pack(std::span<const std::uint8_t> plain, const Options &options, std::vector<std::uint8_t> &packed,
          std::string &error);

// Told the plain bytes packed so far and the plain bytes of all inputs; called
// on the calling thread only.
using ProgressFn = std::function<void(std::uint64_t done, std::uint64_t total)>;

// Packs each input into packed[i] with one pool of threads over the blocks of
// all of them, so that many small files keep every core busy. The same bytes
// as pack() of each input. `progress`, when given, hears of every block the
// calling thread finishes, and of the end.
bool pack_many(std::span<const std::span<const std::uint8_t>> plains, const Options &options,
               std::vector<std::vector<std::uint8_t>> &packed, std::string &error,
               const ProgressFn &progress = nullptr);

}  // namespace kavro::tools::packer
