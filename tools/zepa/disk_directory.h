// SPDX-License-Identifier: GPL-2.0-or-later
// Read-only views of a data disk for the disk tool: the directory as the
// file holds it, and the block structure of a packed entry.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kavro::tools::disk {

struct Entry {
  std::string name;      // up to its first zero byte, as the library knows it
  std::uint32_t length;  // data bytes
  std::uint64_t offset;  // of its data in the disk file
};

struct Directory {
  std::uint64_t file_size = 0;
  std::uint64_t names_end = 0;  // first byte after the name table
  std::uint32_t data_start = 0;
  std::vector<Entry> entries;

  std::uint64_t data_end() const;  // first byte after the last entry's data
};

// Reads the directory of the disk file at `path`. False with a message in
// `error` when the file cannot be read or its directory is damaged.
bool read_directory(const char *path, Directory &directory, std::string &error);

// What the header and block headers of a packed entry say.
struct PackedInfo {
  bool header_ok = false;  // magic and header fields readable
  std::uint8_t method = 0;
  std::uint8_t level = 0;
  std::uint32_t block_size = 0;
  bool checksum = false;
  bool blocks_ok = false;  // block headers walk to the end marker within the entry
  std::uint64_t original_size = 0;
};

// Walks the packed file stored at `offset` (`length` bytes) of `disk`
// without decoding it.
PackedInfo inspect_packed(FILE *disk, std::uint64_t offset, std::uint32_t length);

}  // namespace kavro::tools::disk
