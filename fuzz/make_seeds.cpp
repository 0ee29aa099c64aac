// SPDX-License-Identifier: GPL-2.0-or-later
// Writes the seed corpora of the fuzz targets (make_seeds CORPUS_DIR): data disks packed over every method, several
// levels and block sizes (container, install), their packed files for both modes of the unpack target, and a
// few crafted defects.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "container_writer.h"
#include "packer.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace packer = kavro::tools::packer;

// Text-like runs with some noise, so blocks both shrink and match.
Bytes sample(size_t size, unsigned seed) {
  Bytes out(size);
  unsigned x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = (i / 64) % 3 == 0 ? static_cast<uint8_t>(x >> 24) : static_cast<uint8_t>("kavro plugin "[i % 13]);
  }
  return out;
}

Bytes packed(const Bytes &plain, const packer::Options &options) {
  Bytes out;
  std::string error;
  if (!packer::pack(plain, options, out, error)) std::fprintf(stderr, "make_seeds: %s\n", error.c_str());
  return out;
}

// The bytes to `path`; packed files for the unpack target after their mode byte.
void save(const std::filesystem::path &path, const Bytes &bytes, int mode = -1) {
  if (FILE *f = std::fopen(path.c_str(), "wb")) {
    if (mode >= 0) std::fputc(mode, f);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
}

Bytes disk(const std::vector<kavro::tools::container::ContainerEntry> &entries) {
  return kavro::tools::container::build_container(entries);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) return std::fprintf(stderr, "usage: make_seeds CORPUS_DIR\n"), 2;
  const std::filesystem::path root = argv[1], container = root / "container", unpack = root / "unpack";
  for (const char *target : {"container", "unpack", "install"}) std::filesystem::create_directories(root / target);
  using enum packer::Method;
  const std::pair<packer::Options, size_t> settings[] = {
      // method, level, block size, checksum, threads; size
      {{nrv2b, 1, 1024, true, 1}, 3000},  {{nrv2b, 10, 4096, false, 1}, 5000}, {{nrv2d, 5, 1024, true, 1}, 2500},
      {{nrv2d, 9, 2048, false, 1}, 700},  {{nrv2e, 10, 1024, true, 1}, 4000},  {{nrv2e, 3, 8192, true, 1}, 6000},
      {{nrv2e, 10, 1048576, true, 1}, 0}, {{nrv2e, 7, 1024, false, 1}, 1024}};
  const std::string config = "language=EN\nfont=/var/tuxbox/Kavro/Kavro.ttf\n";
  unsigned n = 0;
  for (const auto &[options, size] : settings) {
    const Bytes file = packed(sample(size, n++), options), cfg = packed(Bytes(config.begin(), config.end()), options);
    const std::string tag = std::string(packer::method_name(static_cast<uint8_t>(options.method))) + "-l" +
                            std::to_string(options.level) + "-b" + std::to_string(options.block_size);
    save(unpack / (tag + ".fix"), file, 1);
    save(unpack / (tag + ".raw"), file, 0);
    save(container / (tag + ".dsk"),
         disk({{"d213-EN.so", file}, {"kavro-2.cfg", {'x', '=', '1', '\n'}}, {"empty", {}}}));
    save(root / "install" / (tag + ".dsk"), disk({{"kavro-2.cfg", cfg}, {"d213-EN.so", file}}));
  }
  // Crafted directories, bytes changed in one with duplicate names; an empty directory.
  const std::pair<const char *, std::vector<std::pair<size_t, uint8_t>>> crafted[] = {
      {"duplicate-names.dsk", {}},
      {"format-byte-1.dsk", {{5, 1}}},
      {"name-length-0.dsk", {{38, 0}, {39, 0}}},
      {"count-past-end.dsk", {{6, 0x40}}}};
  for (const auto &[name, changes] : crafted) {
    Bytes bytes = disk({{"a", {1, 2, 3, 4}}, {"a", {5, 6}}});
    for (const auto &[at, byte] : changes) bytes[at] = byte;
    save(container / name, bytes);
  }
  save(container / "empty-directory.dsk", disk({}));
  // Crafted packed files: the bare end marker, a bad method, a stored block.
  Bytes bare(packer::kMagic, packer::kMagic + 8), stored = bare;
  bare.insert(bare.end(), {0, 0, 0, 0, 0x2E, 10, 0, 0, 4, 0, 0, 0, 0, 0});
  save(unpack / "end-marker-only.raw", bare, 0);
  bare[12] = 0x2C;
  save(unpack / "method-2c.raw", bare, 0);
  stored.insert(stored.end(),
                {0, 0, 0, 1, 0x2B, 1, 0, 0, 4, 0, 0, 0, 0, 3, 0, 0, 0, 3, 'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 0, 0});
  save(unpack / "stored-block.fix", stored, 1);
  std::printf("seeds written to %s\n", root.c_str());
}
