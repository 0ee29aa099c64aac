// SPDX-License-Identifier: GPL-2.0-or-later
// container_writer -- writes zepa container files (data disks).
//
// A container is a directory followed by the bytes of every entry, back to
// back. All integers are big-endian:
//   0   5        lead-in: the signature "ZEPA1"
//   5   1        format byte, 0
//   6   4        N, the number of entries
//   10  4        where the data of entry 0 begins
//   14  8 x N    per entry: 4 zero bytes, then its data length
//   ..  4 x N    per entry: a zero word (read and ignored by the library)
//   ..  2 x N    per entry: the length of its name
//   ..           the names, without terminators
//   ..           the data of every entry, in entry order
// Not part of libzepa, which only reads containers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "output_file.h"

namespace kavro::tools::container {

struct ContainerEntry {
  std::string name;           // 1 to 65535 bytes, no zero byte
  std::vector<uint8_t> data;  // the stored bytes
};

// The signature written into the lead-in.
inline constexpr char kContainerSignature[] = "ZEPA1";

// The library reads positions as signed 32-bit numbers: every byte of a
// container must lie below 2 GiB.
inline constexpr uint64_t kMaxContainerSize = uint64_t{1} << 31;

// Why a container of `entries` entries whose names take `name_bytes` and
// whose data take `data_bytes` cannot be written ("" when it can): its
// directory and data together larger than kMaxContainerSize.
std::string size_problem(uint64_t entries, uint64_t name_bytes, uint64_t data_bytes);

// Why the entries cannot be written as one container ("" when they can):
// an empty name, a name with a zero byte or longer than 65535 bytes, or a
// container larger than kMaxContainerSize. Duplicate names are allowed; the
// library finds the first of them.
std::string container_problem(std::span<const ContainerEntry> entries);

// The bytes a container of `entries` takes: its directory and data.
uint64_t container_size(std::span<const ContainerEntry> entries);

// The container's bytes. The entries must pass container_problem().
std::vector<uint8_t> build_container(std::span<const ContainerEntry> entries);

// Writes the container to `target` through the tool's one way out (a new
// file beside it, renamed into place once complete and flushed); "" on
// success, else the reason with the system's words. On failure the target
// is as it was and no other file remains.
std::string write_container(const output_file::Target &target, std::span<const ContainerEntry> entries);
// The same for `path`, replacing a regular file there.
std::string write_container(const std::filesystem::path &path, std::span<const ContainerEntry> entries);

}  // namespace kavro::tools::container
