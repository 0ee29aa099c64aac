// SPDX-License-Identifier: GPL-2.0-or-later
// The directory table of a data disk and the block walk of a packed entry,
// read byte by byte with every count checked against the bytes left.
#include "disk_directory.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "packer.h"

namespace kavro::tools::disk {
namespace {

constexpr std::uint64_t kCountsEnd = 14;      // lead-in, version, count, data start
constexpr std::uint64_t kBytesPerEntry = 14;  // length row, second word, name length

struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Sequential big-endian reads that remember a short read.
class Reader {
 public:
  Reader(FILE *f, std::uint64_t limit) : f_(f), left_(limit) {}
  bool ok() const { return ok_; }
  std::uint64_t left() const { return left_; }

  bool bytes(void *out, std::uint64_t n) {
    if (!ok_ || n > left_ || std::fread(out, 1, n, f_) != n) return ok_ = false;
    left_ -= n;
    return true;
  }
  std::uint32_t u32() {
    unsigned char b[4] = {};
    if (!bytes(b, 4)) return 0;
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | std::uint32_t{b[3]};
  }
  std::uint32_t u16() {
    unsigned char b[2] = {};
    if (!bytes(b, 2)) return 0;
    return (std::uint32_t{b[0]} << 8) | std::uint32_t{b[1]};
  }
  std::uint32_t u8() {
    unsigned char b = 0;
    return bytes(&b, 1) ? b : 0;
  }
  bool skip(std::uint64_t n) {
    if (!ok_ || n > left_ || std::fseek(f_, static_cast<long>(n), SEEK_CUR) != 0) return ok_ = false;
    left_ -= n;
    return true;
  }

 private:
  FILE *f_;
  std::uint64_t left_;
  bool ok_ = true;
};

bool file_size_of(FILE *f, std::uint64_t &size) {
  if (std::fseek(f, 0, SEEK_END) != 0) return false;
  const long end = std::ftell(f);
  if (end < 0) return false;
  size = static_cast<std::uint64_t>(end);
  std::rewind(f);
  return true;
}

bool read_tables(Reader &in, Directory &d, std::uint32_t count, std::string &error) {
  std::vector<std::uint32_t> name_lengths(count);
  for (auto &entry : d.entries) {
    in.skip(4);
    entry.length = in.u32();
  }
  in.skip(std::uint64_t{4} * count);
  for (auto &length : name_lengths) length = in.u16();
  for (std::uint32_t i = 0; i < count && in.ok(); ++i) {
    if (name_lengths[i] == 0) {
      error = "directory entry " + std::to_string(i) + " has an empty name";
      return false;
    }
    std::string name(name_lengths[i], '\0');
    in.bytes(name.data(), name.size());
    d.entries[i].name = name.c_str();
  }
  if (!in.ok()) {
    error = "the directory runs past the end of the file";
    return false;
  }
  return true;
}

void place_entries(Directory &d) {
  std::uint64_t offset = d.data_start;
  for (auto &entry : d.entries) {
    entry.offset = offset;
    offset += entry.length;
  }
}

}  // namespace

std::uint64_t Directory::data_end() const {
  return entries.empty() ? data_start : entries.back().offset + entries.back().length;
}

bool read_directory(const char *path, Directory &d, std::string &error) {
  File f(std::fopen(path, "rb"));
  if (!f) {
    error = std::strerror(errno);
    return false;
  }
  d = Directory{};
  if (!file_size_of(f.get(), d.file_size)) {
    error = "cannot find the size of the file";
    return false;
  }
  Reader in(f.get(), d.file_size);
  in.skip(5);
  const std::uint32_t version = in.u8();
  const std::uint32_t count = in.u32();
  d.data_start = in.u32();
  if (!in.ok()) {
    error = "the file is too short for a directory";
    return false;
  }
  if (version != 0) {
    error = "unknown directory format " + std::to_string(version);
    return false;
  }
  if (count > in.left() / kBytesPerEntry) {
    error = "the directory lists " + std::to_string(count) + " entries, more than the file can hold";
    return false;
  }
  d.entries.resize(count);
  if (!read_tables(in, d, count, error)) return false;
  d.names_end = d.file_size - in.left();
  place_entries(d);
  return true;
}

PackedInfo inspect_packed(FILE *disk, std::uint64_t offset, std::uint32_t length) {
  PackedInfo info;
  if (offset > static_cast<std::uint64_t>(LONG_MAX) || std::fseek(disk, static_cast<long>(offset), SEEK_SET) != 0)
    return info;
  Reader in(disk, length);
  unsigned char magic[sizeof packer::kMagic] = {};
  in.bytes(magic, sizeof magic);
  info.checksum = (in.u32() & packer::kFlagChecksum) != 0;
  info.method = static_cast<std::uint8_t>(in.u8());
  info.level = static_cast<std::uint8_t>(in.u8());
  info.block_size = in.u32();
  info.header_ok = in.ok() && std::memcmp(magic, packer::kMagic, sizeof magic) == 0;
  if (!info.header_ok) return info;
  for (;;) {
    const std::uint32_t decoded = in.u32();
    if (!in.ok()) return info;
    if (decoded == 0) break;
    const std::uint32_t stored = in.u32();
    if (stored == 0 || stored > decoded || decoded > info.block_size || !in.skip(stored)) return info;
    info.original_size += decoded;
  }
  info.blocks_ok = !info.checksum || in.skip(4);
  return info;
}

}  // namespace kavro::tools::disk
