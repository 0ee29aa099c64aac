// Fuzz target: extraction of any packed file (the input after its first byte) inside a valid container. With bit 0 of
// the first byte set, the Adler-32 is recomputed so that mutated blocks reach the decompressors.
#include <ucl/ucl.h>

#include "container_writer.h"
#include "fuzz_support.h"

namespace {

using kavro::fuzz::be32;

// Decodes the blocks as extraction does and, when all are sound and a checksum follows the end marker, sets it right.
void fix_checksum(std::vector<uint8_t> &packed) {
  const size_t size = packed.size(), header_size = 18;
  const uint32_t block_size = size < header_size ? 0 : be32(&packed[14]);
  if (size < header_size || block_size > 8388608) return;
  const uint8_t method = packed[12];
  const auto decode = method == 0x2B   ? ucl_nrv2b_decompress_safe_8
                      : method == 0x2D ? ucl_nrv2d_decompress_safe_8
                      : method == 0x2E ? ucl_nrv2e_decompress_safe_8
                                       : nullptr;
  std::vector<uint8_t> plain(block_size);
  ucl_uint32 adler = ucl_adler32(0, nullptr, 0);
  size_t at = header_size;
  // Blocks: the decoded size (0 ends them), the stored size, the stored bytes.
  while (size - at >= 8 && be32(&packed[at]) != 0) {
    const uint32_t decoded = be32(&packed[at]), stored = be32(&packed[at + 4]);
    at += 8;
    if (decoded > block_size || stored == 0 || stored > decoded || stored > size - at) return;
    ucl_uint produced = decoded;
    if (stored < decoded && (decode == nullptr || decode(&packed[at], stored, plain.data(), &produced, nullptr) != 0 ||
                             produced != decoded)) {
      return;
    }
    adler = ucl_adler32(adler, stored < decoded ? plain.data() : &packed[at], decoded);
    at += stored;
  }
  if (size - at < 8 || be32(&packed[at]) != 0 || (be32(&packed[8]) & 1) == 0) return;
  for (int i = 0; i < 4; ++i) packed[at + 4 + i] = static_cast<uint8_t>(adler >> (24 - 8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  kavro::fuzz::quiet_extraction_messages();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool ucl_ready = ucl_init() == UCL_E_OK;
  static const std::string disk = kavro::fuzz::scratch_path(".dsk");
  static const std::string output = kavro::fuzz::scratch_path(".out");
  if (size < 1 || !ucl_ready) return 0;
  std::vector<uint8_t> packed(data + 1, data + size);
  if ((data[0] & 1) != 0) fix_checksum(packed);
  const std::vector<kavro::tools::container::ContainerEntry> entries = {{"plugin.so", packed},
                                                                        {"kavro.cfg", {1, 2, 3}}};
  if (!kavro::tools::container::write_container(disk, entries).empty()) return 0;
  if (open_install_disk(disk.c_str()) == 0) unpack_disk_file("plugin.so", output.c_str()), close_install_disk();
  zepa_Stop();  // a failed close leaves the library started
  return 0;
}
