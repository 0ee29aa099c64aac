// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz target: extraction of any packed file (the input after its first byte) inside a valid container. With bit 0 of
// the first byte set, the header's checksum flag is cleared, so that mutated blocks that decode are written to the end.
#include <ucl/ucl.h>

#include "container_writer.h"
#include "fuzz_support.h"

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
  if ((data[0] & 1) != 0 && packed.size() > 11) packed[11] &= 0xFE;  // the low byte of the flags word
  const std::vector<kavro::tools::container::ContainerEntry> entries = {{"plugin.so", packed},
                                                                        {"kavro.cfg", {1, 2, 3}}};
  if (!kavro::tools::container::write_container(disk, entries).empty()) return 0;
  if (open_install_disk(disk.c_str()) == 0) {
    unpack_disk_file("plugin.so", output.c_str());
    close_install_disk();
  }
  zepa_Stop();  // a failed close leaves the library started
  return 0;
}
