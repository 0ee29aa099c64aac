// Writes the seed corpora of the fuzz targets: data disks made with the real
// packer over every method, several levels and block sizes (container
// corpus), and their packed files with and without checksum repair (unpack
// corpus), plus a few crafted defects.
//   make_seeds CORPUS_DIR
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "container_writer.h"
#include "packer.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> sample(size_t size, unsigned seed) {
  std::vector<uint8_t> out(size);
  unsigned x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    // Text-like runs with some noise, so blocks both shrink and match.
    out[i] = (i / 64) % 3 == 0 ? static_cast<uint8_t>(x >> 24) : static_cast<uint8_t>("kavro plugin "[i % 13]);
  }
  return out;
}

void save(const fs::path &path, const std::vector<uint8_t> &bytes) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

// A small configuration file, packed with the same options.
std::vector<uint8_t> packed_config(const kavro::tools::packer::Options &options) {
  const std::string text = "language=EN\nfont=/var/tuxbox/Kavro/Kavro.ttf\n";
  std::vector<uint8_t> packed;
  std::string error;
  kavro::tools::packer::pack(std::vector<uint8_t>(text.begin(), text.end()), options, packed, error);
  return packed;
}

std::vector<uint8_t> with_mode(uint8_t mode, const std::vector<uint8_t> &packed) {
  std::vector<uint8_t> out(packed.size() + 1);
  out[0] = mode;
  std::copy(packed.begin(), packed.end(), out.begin() + 1);
  return out;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds CORPUS_DIR\n");
    return 2;
  }
  const fs::path root = argv[1];
  fs::create_directories(root / "container");
  fs::create_directories(root / "unpack");
  fs::create_directories(root / "install");

  struct Setting {
    kavro::tools::packer::Method method;
    int level;
    uint32_t block_size;
    bool checksum;
    size_t size;
  };
  const Setting settings[] = {
      {kavro::tools::packer::Method::nrv2b, 1, 1024, true, 3000},
      {kavro::tools::packer::Method::nrv2b, 10, 4096, false, 5000},
      {kavro::tools::packer::Method::nrv2d, 5, 1024, true, 2500},
      {kavro::tools::packer::Method::nrv2d, 9, 2048, false, 700},
      {kavro::tools::packer::Method::nrv2e, 10, 1024, true, 4000},
      {kavro::tools::packer::Method::nrv2e, 3, 8192, true, 6000},
      {kavro::tools::packer::Method::nrv2e, 10, 1048576, true, 0},
      {kavro::tools::packer::Method::nrv2e, 7, 1024, false, 1024},
  };
  int n = 0;
  for (const auto &s : settings) {
    kavro::tools::packer::Options options;
    options.method = s.method;
    options.level = s.level;
    options.block_size = s.block_size;
    options.checksum = s.checksum;
    options.threads = 1;
    std::vector<uint8_t> packed;
    std::string error;
    if (!kavro::tools::packer::pack(sample(s.size, n), options, packed, error)) {
      std::fprintf(stderr, "make_seeds: %s\n", error.c_str());
      return 1;
    }
    const std::string tag = std::string(kavro::tools::packer::method_name(static_cast<uint8_t>(s.method))) + "-l" +
                            std::to_string(s.level) + "-b" + std::to_string(s.block_size);
    save(root / "unpack" / (tag + ".fix"), with_mode(1, packed));
    save(root / "unpack" / (tag + ".raw"), with_mode(0, packed));

    const kavro::tools::container::ContainerEntry entries[] = {
        {"d213-EN.so", packed}, {"kavro-2.cfg", {'x', '=', '1', '\n'}}, {"empty", {}}};
    save(root / "container" / (tag + ".dsk"), kavro::tools::container::build_container(entries));
    const kavro::tools::container::ContainerEntry install[] = {{"kavro-2.cfg", packed_config(options)},
                                                               {"d213-EN.so", packed}};
    save(root / "install" / (tag + ".dsk"), kavro::tools::container::build_container(install));
    ++n;
  }

  // Crafted directories: a bad format byte, an empty directory, a name of
  // length 0, a count larger than the file, duplicate names.
  const kavro::tools::container::ContainerEntry two[] = {{"a", {1, 2, 3, 4}}, {"a", {5, 6}}};
  auto dup = kavro::tools::container::build_container(two);
  save(root / "container" / "duplicate-names.dsk", dup);
  auto bad_version = dup;
  bad_version[5] = 1;
  save(root / "container" / "format-byte-1.dsk", bad_version);
  auto zero_name = dup;
  zero_name[14 + 12 * 2] = 0;
  zero_name[14 + 12 * 2 + 1] = 0;
  save(root / "container" / "name-length-0.dsk", zero_name);
  auto huge_count = dup;
  huge_count[6] = 0x40;
  save(root / "container" / "count-past-end.dsk", huge_count);
  save(root / "container" / "empty-directory.dsk", kavro::tools::container::build_container({}));

  // Crafted packed files: the bare end marker, a bad method, a stored block.
  std::vector<uint8_t> bare(kavro::tools::packer::kMagic, kavro::tools::packer::kMagic + 8);
  bare.insert(bare.end(), {0, 0, 0, 0, 0x2E, 10, 0, 0, 4, 0, 0, 0, 0, 0});
  save(root / "unpack" / "end-marker-only.raw", with_mode(0, bare));
  auto bad_method = bare;
  bad_method[12] = 0x2C;
  save(root / "unpack" / "method-2c.raw", with_mode(0, bad_method));
  std::vector<uint8_t> stored(kavro::tools::packer::kMagic, kavro::tools::packer::kMagic + 8);
  stored.insert(stored.end(),
                {0, 0, 0, 1, 0x2B, 1, 0, 0, 4, 0, 0, 0, 0, 3, 0, 0, 0, 3, 'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 0, 0});
  save(root / "unpack" / "stored-block.fix", with_mode(1, stored));
  std::printf("seeds written to %s\n", root.c_str());
  return 0;
}
