// Fixtures for packed files and data disks: sample bytes, a builder for
// hand-made packed files, temporary directories and whole-file helpers.
#pragma once

#include <stdlib.h>
#include <ucl/ucl.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace fixtures {

using Bytes = std::vector<std::uint8_t>;

// Bytes that look like a program: stretches of repeated text and tables
// that compress well, and stretches of noise that do not.
inline Bytes sample_bytes(std::size_t n, unsigned seed = 1) {
  std::mt19937 rng(seed);
  static const char kWords[] = "kavro subtitle plugin tuxbox font flash usb ";
  Bytes v;
  v.reserve(n);
  while (v.size() < n) {
    const std::size_t run = std::min<std::size_t>(n - v.size(), 256 + rng() % 20000);
    const bool noise = rng() % 4 == 0;
    for (std::size_t i = 0; i < run; ++i)
      v.push_back(noise ? static_cast<std::uint8_t>(rng())
                        : static_cast<std::uint8_t>(kWords[(i * 3 + i / 7) % (sizeof kWords - 1)]));
  }
  return v;
}

inline Bytes noise_bytes(std::size_t n, unsigned seed = 2) {
  std::mt19937 rng(seed);
  Bytes v(n);
  for (auto &b : v) b = static_cast<std::uint8_t>(rng());
  return v;
}

// A packed file written field by field, to make damaged ones.
class PackedBuilder {
 public:
  // Magic and header.
  static PackedBuilder header(std::uint32_t flags, std::uint8_t method, std::uint8_t level, std::uint32_t block_size) {
    PackedBuilder p;
    p.raw({0x00, 0xE9, 0x55, 0x43, 0x4C, 0xFF, 0x01, 0x1A}).u32(flags).u8(method).u8(level).u32(block_size);
    return p;
  }
  PackedBuilder &raw(const Bytes &b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
  }
  PackedBuilder &u8(std::uint8_t v) {
    bytes_.push_back(v);
    return *this;
  }
  PackedBuilder &u32(std::uint32_t v) {
    return raw({static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
  }
  // A block holding its bytes as they are.
  PackedBuilder &stored(const Bytes &plain) {
    return u32(static_cast<std::uint32_t>(plain.size())).u32(static_cast<std::uint32_t>(plain.size())).raw(plain);
  }
  // A block compressed with nrv2e.
  PackedBuilder &compressed(const Bytes &plain) {
    const Bytes c = nrv2e(plain);
    return u32(static_cast<std::uint32_t>(plain.size())).u32(static_cast<std::uint32_t>(c.size())).raw(c);
  }
  PackedBuilder &end() { return u32(0); }
  PackedBuilder &end_with_checksum(std::uint32_t adler) { return u32(0).u32(adler); }
  const Bytes &bytes() const { return bytes_; }

  static Bytes nrv2e(const Bytes &plain) {
    static const bool started = ucl_init() == UCL_E_OK;
    if (!started) return {};
    Bytes out(plain.size() + plain.size() / 8 + 256);
    ucl_uint n = static_cast<ucl_uint>(out.size());
    ucl_nrv2e_99_compress(plain.data(), static_cast<ucl_uint>(plain.size()), out.data(), &n, nullptr, 10, nullptr,
                          nullptr);
    out.resize(n);
    return out;
  }
  static std::uint32_t adler(const Bytes &plain) {
    return ucl_adler32(1, plain.data(), static_cast<ucl_uint>(plain.size()));
  }

 private:
  Bytes bytes_;
};

inline Bytes joined(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A fresh directory under `base`, removed with everything in it.
class TempDir {
 public:
  explicit TempDir(const std::string &base = "/tmp") {
    std::string pattern = base + "/kavro-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

inline void write_file(const std::string &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The file's bytes, or nothing when it does not exist.
inline std::optional<Bytes> read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return std::nullopt;
  Bytes bytes(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

}  // namespace fixtures
