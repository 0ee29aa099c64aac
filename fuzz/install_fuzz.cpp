// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz target: the installer's extraction path over a fuzzed data disk, in-process: the English plugin for FreeType
// 2.1, then its configuration file, each over an old file that a failed install must leave as it was.
#include <fstream>
#include <sstream>

#include "fuzz_support.h"
#include "installer.h"

namespace {

// Installs `name` over an old file and stops the run if a failure touched it.
bool install_over_old(const char *name, const std::string &target, mode_t mode) {
  static const uint8_t kOld[] = {'o', 'l', 'd', '\n'};
  if (!kavro::fuzz::write_file(target, kOld, sizeof kOld)) std::abort();
  if (install_file(name, target.c_str(), mode) == kExitDone) return true;
  std::ostringstream content;
  content << std::ifstream(target, std::ios::binary).rdbuf();
  if (content.str() != "old\n") std::abort();
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  kavro::fuzz::quiet_extraction_messages();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string disk = kavro::fuzz::scratch_path(".dsk");
  static const std::string plugin = kavro::fuzz::scratch_path("-kavro.so");
  static const std::string config = kavro::fuzz::scratch_path("-kavro.cfg");
  if (!kavro::fuzz::write_file(disk, data, size) || open_install_disk(disk.c_str()) != 0) return 0;
  if (install_over_old("d213-EN.so", plugin, 0755)) install_over_old("kavro-2.cfg", config, 0644);
  close_install_disk();
  zepa_Stop();  // a failed close of a packed file leaves the library started
  return 0;
}
