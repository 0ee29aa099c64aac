// Fuzz target: the directory reader and the disk file API over an arbitrary
// container. Opens every name the directory holds, reads each to the
// container's end in varying item sizes, asks lengths and physical offsets,
// and closes; then reads byte by byte through the core's own operation.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "zepa.h"

namespace {

// Reads the open file to the container's end with item size `size`.
void read_to_end(Handle handle, uint32_t size) {
  std::vector<uint8_t> buffer(size * 7u);
  for (int round = 0; round < 4096; ++round) {
    uint16_t error = ZEPA_OK;
    const uint32_t items = zepa_fread(buffer.data(), size, 7, handle, &error);
    if (error != ZEPA_OK || items < 7) return;
  }
}

void exercise(const std::string &disk, const std::string &name, uint32_t item_size) {
  uint16_t error = ZEPA_OK;
  const Handle handle = zepa_fopen(disk.c_str(), name.c_str(), "rb", 0, &error);
  if (handle == 0) return;
  uint32_t length = 0;
  zepa_filelength(handle, &length);
  zepa_GetPhysicalOffset(handle, 0);
  zepa_GetPhysicalOffset(handle, length);
  read_to_end(handle, item_size);

  // Byte by byte through the core, for a file inside the container only
  // (a name can also open a real file, which the core does not read).
  const CoreOps *core = zepa_core_GetOps();
  core->zepa_core_SetFileOffset(handle, length > 0 ? length - 1 : 0);
  for (int i = 0; i < 64 && core->zepa_core_GetFSP(handle) == nullptr; ++i) {
    ErrorNumber byte_error = ZEPA_OK;
    core->zepa_core_ReadOneByte(handle, &byte_error);
    if (byte_error != ZEPA_OK) break;
  }
  zepa_fclose(handle);
}

}  // namespace

// Real files are looked for in an empty scratch directory.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  kavro::fuzz::enter_scratch_directory();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string disk = kavro::fuzz::scratch_path(".dsk");
  if (!kavro::fuzz::write_file(disk, data, size)) return 0;

  zepa_Start();
  const auto names = kavro::fuzz::directory_names(data, size);
  uint32_t item_size = 1;
  for (const auto &name : names) {
    // Names with a slash could open devices or pipes as real files.
    if (name.find('/') != std::string::npos) continue;
    exercise(disk, name, item_size);
    item_size = item_size * 3 % 61 + 1;
  }
  // A name the directory does not hold, and two files open at once.
  exercise(disk, "no such entry", 5);
  if (names.size() >= 2) {
    const bool plain = names[0].find('/') == std::string::npos && names[1].find('/') == std::string::npos;
    const Handle a = plain ? zepa_fopen(disk.c_str(), names[0].c_str(), "rb", 0, nullptr) : 0;
    const Handle b = plain ? zepa_fopen(disk.c_str(), names[1].c_str(), "rb", 0, nullptr) : 0;
    uint8_t buffer[16];
    if (a != 0) zepa_fread(buffer, 1, sizeof buffer, a, nullptr);
    if (b != 0) zepa_fread(buffer, 2, sizeof buffer / 2, b, nullptr);
    if (b != 0) zepa_fclose(b);
    if (a != 0) zepa_fclose(a);
  }
  zepa_Stop();
  return 0;
}
