// Fuzz target: a whole install's extraction path over a fuzzed data disk,
// in-process and without a terminal. The input is the data disk; the
// installer opens it, installs the English plugin for FreeType 2.1 and its
// configuration file with their modes, as its installation sequence does
// (stopping at the first failure), and closes the disk.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "installer.h"
#include "unpack.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::quiet_extraction_messages();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string disk = fuzz::scratch_path(".dsk");
  static const std::string plugin = fuzz::scratch_path("-kavro.so");
  static const std::string config = fuzz::scratch_path("-kavro.cfg");
  if (!fuzz::write_file(disk, data, size)) return 0;

  if (open_install_disk(disk.c_str()) != 0) return 0;
  if (install_file("d213-EN.so", plugin.c_str(), 0755) == kExitDone) install_file("kavro-2.cfg", config.c_str(), 0644);
  close_install_disk();
  zepa_Stop();  // a failed close of a packed file leaves the library started
  return 0;
}
