// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers shared by the fuzz targets.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "unpack.h"

namespace kavro::fuzz {

inline uint32_t be32(const uint8_t *p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

// A per-process scratch path (in /dev/shm when there is one) with `suffix`, removed when the process exits.
inline std::string scratch_path(const char *suffix) {
  static std::vector<std::string> files;
  if (files.empty())
    std::atexit([] {
      for (std::error_code e; const auto &path : files) std::filesystem::remove_all(path, e);
    });
  const char *dir = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  return files.emplace_back(std::string(dir) + "/kavro-fuzz-" + std::to_string(getpid()) + suffix);
}

// Writes the bytes to `path`, replacing it; false when that fails.
inline bool write_file(const std::string &path, const uint8_t *data, size_t size) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

// Extraction's messages, which would drown the fuzzer's own, go to /dev/null unless KAVRO_FUZZ_VERBOSE is set.
inline void quiet_extraction_messages() {
  if (std::getenv("KAVRO_FUZZ_VERBOSE") == nullptr) unpack::set_message_stream(std::fopen("/dev/null", "w"));
}

}  // namespace kavro::fuzz
