// SPDX-License-Identifier: GPL-2.0-or-later
// Fixtures for packed files and data disks: sample bytes, packed files, temporary directories and whole files.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "packer.h"

namespace fixtures {

using Bytes = std::vector<std::uint8_t>;

inline std::uint32_t be32(const Bytes &b, std::size_t at) {
  return std::uint32_t{b.at(at)} << 24 | std::uint32_t{b.at(at + 1)} << 16 | std::uint32_t{b.at(at + 2)} << 8 |
         b.at(at + 3);
}

inline Bytes packed(const Bytes &plain, const kavro::tools::packer::Options &options = {}) {
  Bytes out;
  std::string error;
  EXPECT_TRUE(kavro::tools::packer::pack(plain, options, out, error)) << error;
  return out;
}

// Bytes that look like a program: stretches of repeated text and tables
// that compress well, and stretches of noise that do not.
inline Bytes sample_bytes(std::size_t n, unsigned seed = 1) {
  std::mt19937 rng(seed);
  static const char kWords[] = "kavro subtitle plugin tuxbox font flash usb ";
  Bytes v;
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

// The parts one after the other.
inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// A fresh directory under `base`, removed with everything in it.
class TempDir {
 public:
  explicit TempDir(const std::string &base = "/tmp") : path_(base + "/kavro-XXXXXX") {
    if (mkdtemp(path_.data()) == nullptr) path_.clear();
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
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The file's bytes, or nothing when it does not exist.
inline std::optional<Bytes> read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return std::nullopt;
  Bytes bytes(static_cast<std::size_t>(in.tellg()));
  in.seekg(0).read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

}  // namespace fixtures
