// SPDX-License-Identifier: GPL-2.0-or-later
// The packer: splits the plain bytes into blocks, compresses each block on a
// pool of threads and lays the results out in block order.
#include "packer.h"

#include <ucl/ucl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

namespace kavro::tools::packer {
namespace {

// Plain bytes whose packed file still has a 32-bit length.
constexpr std::size_t kMaxPlainSize = 0xF0000000u;

// Worst size of one block compressed by the NRV methods.
constexpr std::size_t compress_bound(std::size_t n) { return n + n / 8 + 256; }

struct Block {
  std::span<const std::uint8_t> input;  // the whole input the block is part of
  std::size_t offset = 0;               // of its plain bytes in the input
  std::size_t plain_size = 0;
  std::vector<std::uint8_t> data;  // compressed bytes; empty: store as is
  int status = UCL_E_OK;
};

using Compressor = int (*)(const ucl_bytep, ucl_uint, ucl_bytep, ucl_uintp, ucl_progress_callback_p, int,
                           const struct ucl_compress_config_p, ucl_uintp);

Compressor compressor_for(Method method) {
  switch (method) {
    case Method::nrv2b:
      return ucl_nrv2b_99_compress;
    case Method::nrv2d:
      return ucl_nrv2d_99_compress;
    case Method::nrv2e:
      return ucl_nrv2e_99_compress;
  }
  return nullptr;
}

bool start_ucl() {
  static const bool started = ucl_init() == UCL_E_OK;
  return started;
}

void put_u32(std::vector<std::uint8_t> &out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 24));
  out.push_back(static_cast<std::uint8_t>(v >> 16));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

// Compresses one block; keeps the result only when it is smaller.
void compress_block(Compressor compress, int level, Block &block) {
  std::vector<std::uint8_t> out(compress_bound(block.plain_size));
  ucl_uint out_size = static_cast<ucl_uint>(out.size());
  block.status = compress(block.input.data() + block.offset, static_cast<ucl_uint>(block.plain_size), out.data(),
                          &out_size, nullptr, level, nullptr, nullptr);
  if (block.status == UCL_E_OK && out_size < block.plain_size) {
    out.resize(out_size);
    block.data = std::move(out);
  }
}

unsigned thread_count(unsigned wanted, std::size_t blocks) {
  unsigned n = wanted != 0 ? wanted : std::max(1u, std::thread::hardware_concurrency());
  return static_cast<unsigned>(std::min<std::size_t>(n, blocks));
}

void compress_blocks(const Options &options, std::vector<Block> &blocks, std::uint64_t total,
                     const ProgressFn &progress) {
  Compressor compress = compressor_for(options.method);
  std::atomic<std::size_t> next{0};
  std::mutex done_lock;  // 64-bit atomics are not lock-free on every target
  std::uint64_t done = 0;
  auto worker = [&](bool reports) {
    for (std::size_t i = next++; i < blocks.size(); i = next++) {
      compress_block(compress, options.level, blocks[i]);
      std::uint64_t now = 0;
      {
        const std::lock_guard<std::mutex> hold(done_lock);
        now = done += blocks[i].plain_size;
      }
      if (reports && progress) progress(now, total);
    }
  };
  const unsigned n = thread_count(options.threads, blocks.size());
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < n; ++t) pool.emplace_back(worker, false);
  worker(true);
  for (auto &thread : pool) thread.join();
  if (progress) progress(total, total);
}

bool check_options(const Options &options, std::string &error) {
  if (compressor_for(options.method) == nullptr) {
    error = "unknown method";
  } else if (options.level < kMinLevel || options.level > kMaxLevel) {
    error = "level must be 1 to 10";
  } else if (options.block_size < kMinBlockSize || options.block_size > kMaxBlockSize) {
    error = "block size must be 1024 to 8388608";
  } else {
    return true;
  }
  return false;
}

void put_header(std::vector<std::uint8_t> &out, const Options &options) {
  for (const std::uint8_t byte : kMagic) out.push_back(byte);
  put_u32(out, options.checksum ? kFlagChecksum : 0);
  out.push_back(static_cast<std::uint8_t>(options.method));
  out.push_back(static_cast<std::uint8_t>(options.level));
  put_u32(out, options.block_size);
}

}  // namespace

const char *method_name(std::uint8_t method) {
  switch (method) {
    case static_cast<std::uint8_t>(Method::nrv2b):
      return "nrv2b";
    case static_cast<std::uint8_t>(Method::nrv2d):
      return "nrv2d";
    case static_cast<std::uint8_t>(Method::nrv2e):
      return "nrv2e";
    default:
      return nullptr;
  }
}

bool parse_method(const char *text, Method *method) {
  for (Method m : {Method::nrv2b, Method::nrv2d, Method::nrv2e}) {
    if (std::strcmp(text, method_name(static_cast<std::uint8_t>(m))) == 0) {
      *method = m;
      return true;
    }
  }
  return false;
}

namespace {

// Lays out one packed file from its compressed blocks.
bool lay_out(std::span<const std::uint8_t> plain, std::span<const Block> blocks, const Options &options,
             std::vector<std::uint8_t> &packed, std::string &error) {
  packed.clear();
  put_header(packed, options);
  std::uint32_t adler = ucl_adler32(0, nullptr, 0);
  for (const Block &block : blocks) {
    if (block.status != UCL_E_OK) {
      error = "compression failed with error " + std::to_string(block.status);
      return false;
    }
    auto source =
        block.data.empty() ? plain.subspan(block.offset, block.plain_size) : std::span<const std::uint8_t>(block.data);
    put_u32(packed, static_cast<std::uint32_t>(block.plain_size));
    put_u32(packed, static_cast<std::uint32_t>(source.size()));
    packed.insert(packed.end(), source.begin(), source.end());
    adler = ucl_adler32(adler, plain.data() + block.offset, static_cast<ucl_uint>(block.plain_size));
  }
  put_u32(packed, 0);
  if (options.checksum) put_u32(packed, adler);
  return true;
}

}  // namespace

bool pack_many(std::span<const std::span<const std::uint8_t>> plains, const Options &options,
               std::vector<std::vector<std::uint8_t>> &packed, std::string &error, const ProgressFn &progress) {
  if (!check_options(options, error)) return false;
  for (const auto &plain : plains) {
    if (plain.size() > kMaxPlainSize) {
      error = "input larger than a data disk can hold";
      return false;
    }
  }
  if (!start_ucl()) {
    error = "the compression library failed to start";
    return false;
  }
  // The blocks of every input, input after input, on one pool of threads.
  std::vector<Block> blocks;
  std::vector<std::size_t> first_block;
  std::uint64_t total = 0;
  for (const auto &plain : plains) {
    total += plain.size();
    first_block.push_back(blocks.size());
    for (std::size_t offset = 0; offset < plain.size(); offset += options.block_size)
      blocks.push_back({.input = plain,
                        .offset = offset,
                        .plain_size = std::min<std::size_t>(options.block_size, plain.size() - offset),
                        .data = {},
                        .status = UCL_E_OK});
  }
  first_block.push_back(blocks.size());
  compress_blocks(options, blocks, total, progress);

  packed.resize(plains.size());
  for (std::size_t i = 0; i < plains.size(); ++i) {
    const std::span<const Block> own(blocks.data() + first_block[i], first_block[i + 1] - first_block[i]);
    if (!lay_out(plains[i], own, options, packed[i], error)) return false;
  }
  return true;
}

bool pack(std::span<const std::uint8_t> plain, const Options &options, std::vector<std::uint8_t> &packed,
          std::string &error) {
  const std::span<const std::uint8_t> one[] = {plain};
  std::vector<std::vector<std::uint8_t>> out;
  if (!pack_many(one, options, out, error)) return false;
  packed = std::move(out[0]);
  return true;
}

}  // namespace kavro::tools::packer
