// Fuzz target: packed-file extraction over an arbitrary packed file inside a
// valid container. The first input byte picks the mode: with bit 0 set the
// trailing Adler-32 is recomputed over the blocks as they decode, so that
// mutated blocks reach the decompressors instead of stopping at the
// checksum. The rest is the packed file.
#include <ucl/ucl.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "container_writer.h"
#include "fuzz_support.h"
#include "unpack.h"

namespace {

constexpr size_t kHeaderSize = 18;
constexpr uint32_t kMaxBlockSize = 8388608;

uint32_t be32(const uint8_t *p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

int decode_block(uint8_t method, const uint8_t *in, ucl_uint in_size, uint8_t *out, ucl_uint *out_size) {
  switch (method) {
    case 0x2B:
      return ucl_nrv2b_decompress_safe_8(in, in_size, out, out_size, nullptr);
    case 0x2D:
      return ucl_nrv2d_decompress_safe_8(in, in_size, out, out_size, nullptr);
    case 0x2E:
      return ucl_nrv2e_decompress_safe_8(in, in_size, out, out_size, nullptr);
    default:
      return -1;
  }
}

// Decodes the blocks the way extraction does and, when they are all sound
// and a checksum follows the end marker, overwrites it with the right one.
void fix_checksum(std::vector<uint8_t> &packed) {
  if (packed.size() < kHeaderSize) return;
  const uint8_t method = packed[12];
  const uint32_t block_size = be32(&packed[14]);
  if (block_size > kMaxBlockSize) return;
  std::vector<uint8_t> plain(block_size);
  ucl_uint32 adler = ucl_adler32(0, nullptr, 0);
  size_t at = kHeaderSize;
  for (;;) {
    if (packed.size() - at < 4) return;
    const uint32_t decoded = be32(&packed[at]);
    at += 4;
    if (decoded == 0) break;
    if (packed.size() - at < 4) return;
    const uint32_t stored = be32(&packed[at]);
    at += 4;
    if (decoded > block_size || stored == 0 || stored > decoded || stored > packed.size() - at) return;
    const uint8_t *data = &packed[at];
    at += stored;
    if (stored == decoded) {
      adler = ucl_adler32(adler, data, stored);
      continue;
    }
    ucl_uint produced = decoded;
    if (decode_block(method, data, stored, plain.data(), &produced) != 0 || produced != decoded) return;
    adler = ucl_adler32(adler, plain.data(), decoded);
  }
  if ((be32(&packed[8]) & 1) == 0 || packed.size() - at < 4) return;
  for (int i = 0; i < 4; ++i) packed[at + i] = static_cast<uint8_t>(adler >> (24 - 8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  kavro::fuzz::quiet_extraction_messages();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  static const bool ucl_ready = ucl_init() == UCL_E_OK;
  if (!ucl_ready) return 0;
  static const std::string disk = kavro::fuzz::scratch_path(".dsk");
  static const std::string output = kavro::fuzz::scratch_path(".out");

  std::vector<uint8_t> packed(data + 1, data + size);
  if ((data[0] & 1) != 0) fix_checksum(packed);
  const kavro::tools::container::ContainerEntry entries[] = {
      {"plugin.so", std::move(packed)},
      {"kavro.cfg", {1, 2, 3}},
  };
  if (!kavro::tools::container::write_container(disk, entries).empty()) return 0;

  if (open_install_disk(disk.c_str()) == 0) {
    unpack_disk_file("plugin.so", output.c_str());
    close_install_disk();
  }
  zepa_Stop();  // a failed close leaves the library started
  return 0;
}
