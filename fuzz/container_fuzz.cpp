// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz target: the directory reader and the disk file API over any container: every name opened, read to the end in
// varying item sizes, lengths, physical offsets, byte-by-byte reads through the core's own operation.
#include <cstring>

#include "fuzz_support.h"
#include "zepa.h"

namespace {

// The entry names as the library reads them (lengths behind tables of 8 and 4 bytes per entry), up to the first that
// runs past the data. Names with a slash could open devices or pipes as real files: left out.
std::vector<std::string> directory_names(const uint8_t *data, size_t size) {
  const uint64_t count = size < 14 ? 0 : kavro::fuzz::be32(data + 6), lengths_at = 14 + 12 * count;
  std::vector<std::string> names;
  if (count == 0 || lengths_at > size || 2 * count > size - lengths_at) return names;
  for (uint64_t i = 0, name_at = lengths_at + 2 * count; i < count; ++i) {
    const uint64_t length = uint64_t{data[lengths_at + 2 * i]} << 8 | data[lengths_at + 2 * i + 1];
    if (length > size - name_at) break;
    const char *name = reinterpret_cast<const char *>(data + name_at);
    if (std::memchr(name, '/', strnlen(name, length)) == nullptr) names.emplace_back(name, strnlen(name, length));
    name_at += length;
  }
  return names;
}

void exercise(const std::string &disk, const std::string &name, uint32_t item_size) {
  uint16_t error = ZEPA_OK;
  const Handle handle = zepa_fopen(disk.c_str(), name.c_str(), "rb", 0, &error);
  if (handle == 0) return;
  uint32_t length = 0;  // asked, and read to the container's end
  zepa_filelength(handle, &length);
  zepa_GetPhysicalOffset(handle, 0);
  zepa_GetPhysicalOffset(handle, length);
  std::vector<uint8_t> buffer(item_size * 7u);
  for (int round = 0; round < 4096 && zepa_fread(buffer.data(), item_size, 7, handle, &error) == 7;) ++round;
  // Byte by byte through the core, for a file inside the container only (the core does not read real files).
  const CoreOps *core = zepa_core_GetOps();
  core->zepa_core_SetFileOffset(handle, length > 0 ? length - 1 : 0);
  ErrorNumber byte_error = ZEPA_OK;
  for (int i = 0; i < 64 && byte_error == ZEPA_OK && core->zepa_core_GetFSP(handle) == nullptr; ++i) {
    core->zepa_core_ReadOneByte(handle, &byte_error);
  }
  zepa_fclose(handle);
}

}  // namespace

// Real files are looked for in an empty scratch directory.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  static const std::string dir = kavro::fuzz::scratch_path(".dir");
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string disk = kavro::fuzz::scratch_path(".dsk");
  if (!kavro::fuzz::write_file(disk, data, size)) return 0;
  zepa_Start();
  const auto names = directory_names(data, size);
  uint32_t item_size = 1;
  for (const auto &name : names) {
    exercise(disk, name, item_size);
    item_size = item_size * 3 % 61 + 1;
  }
  // A name the directory does not hold, and two files open at once.
  exercise(disk, "no such entry", 5);
  const Handle a = names.size() >= 2 ? zepa_fopen(disk.c_str(), names[0].c_str(), "rb", 0, nullptr) : 0;
  const Handle b = names.size() >= 2 ? zepa_fopen(disk.c_str(), names[1].c_str(), "rb", 0, nullptr) : 0;
  uint8_t buffer[16];
  if (a != 0 && b != 0) {
    zepa_fread(buffer, 1, sizeof buffer, a, nullptr);
    zepa_fread(buffer, 2, sizeof buffer / 2, b, nullptr);
  }
  for (const Handle h : {b, a})
    if (h != 0) zepa_fclose(h);
  zepa_Stop();
  return 0;
}
