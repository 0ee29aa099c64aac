// A fixture for the container library: a temporary working directory, data
// disks written with the container writer, and the library started.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include <stdlib.h>
#include <unistd.h>

#include "tools/container_writer.h"
#include "zepa/zepa.h"
#include "zepa/zepa_seams.h"
#include "zepa/zepa_strzz.h"

namespace zepa_test {

using kavro::tools::container::ContainerEntry;

inline std::vector<uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

inline ContainerEntry entry(std::string name, std::string_view data) { return {std::move(name), bytes(data)}; }

// The bytes of a container holding `entries`.
inline std::vector<uint8_t> image(std::initializer_list<ContainerEntry> entries) {
  const std::vector<ContainerEntry> list(entries);
  return kavro::tools::container::build_container(list);
}

// The usual disk: a.bin "abcd", b.bin "efghij", c.bin "klm"; 84 bytes.
inline std::vector<uint8_t> abc_image() {
  return image({entry("a.bin", "abcd"), entry("b.bin", "efghij"), entry("c.bin", "klm")});
}

// A stdio table over libc that counts the stream's reads and seeks and
// fails on demand.
struct TestStdio {
  static inline int freads = 0, fseeks = 0;
  static inline bool ftell_fails = false, fread_fails = false, fseek_misses = false;
  static inline zepa::seam::Stdio table{};
  static void install() {
    freads = fseeks = 0;
    ftell_fails = fread_fails = fseek_misses = false;
    table = zepa::seam::libc_stdio();
    table.ftell = [](FILE *s) { return ftell_fails ? -1L : std::ftell(s); };
    table.fread = [](void *b, std::size_t size, std::size_t n, FILE *s) {
      ++freads;
      return fread_fails ? std::size_t{0} : std::fread(b, size, n, s);
    };
    table.fseek = [](FILE *s, long offset, int whence) {
      ++fseeks;
      return fseek_misses ? 0 : std::fseek(s, offset, whence);
    };
    zepa::seam::set_stdio(&table);
  }
};

class ContainerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "zepa-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    home = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    ASSERT_TRUE(zepa_Start());
  }

  void TearDown() override {
    zepa::seam::fail_allocation(0);
    zepa::seam::set_stdio(nullptr);
    zepa_strzz_SetOutOfMemoryHandler(nullptr);
    zepa_Stop();
    std::filesystem::current_path(home);
    std::filesystem::remove_all(dir);
  }

  // Writes raw bytes as a file of the working directory; its absolute path.
  std::string file(const std::string &name, const std::vector<uint8_t> &content) {
    const std::filesystem::path path = dir / name;
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(content.data()), static_cast<std::streamsize>(content.size()));
    return path.string();
  }

  std::string disk(std::initializer_list<ContainerEntry> entries, const std::string &name = "test.dsk") {
    return file(name, image(entries));
  }

  std::string abc_disk() { return file("test.dsk", abc_image()); }

  // Reads up to n bytes through the API; the error number in *e.
  static std::string read(uint32_t handle, uint32_t n, uint16_t *e = nullptr) {
    std::string out(n, '\0');
    uint16_t ignored = 0;
    out.resize(zepa_fread(out.data(), 1, n, handle, e != nullptr ? e : &ignored));
    return out;
  }

  // Registers and prepares a container through the core; its error number.
  uint32_t prepare(const std::string &path) {
    if (!ops->zepa_core_IsContainerRegistered(path.c_str())) ops->zepa_core_RegisterContainer(path.c_str());
    return ops->zepa_core_PrepareContainer(path.c_str());
  }

  const CoreOps *ops = zepa_core_GetOps();
  std::filesystem::path dir;
  std::filesystem::path home;
};

}  // namespace zepa_test
