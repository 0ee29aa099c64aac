#include "fuzz_support.h"

#include "unpack.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace kavro::fuzz {
namespace {

uint32_t be32(const uint8_t *p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

std::vector<std::string> &scratch_files() {
  static std::vector<std::string> files;
  return files;
}

void remove_scratch_files() {
  std::error_code ignored;
  for (const auto &path : scratch_files()) std::filesystem::remove_all(path, ignored);
}

}  // namespace

std::string scratch_path(const char *suffix) {
  const char *dir = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  std::string path = std::string(dir) + "/kavro-fuzz-" + std::to_string(getpid()) + suffix;
  if (scratch_files().empty()) std::atexit(remove_scratch_files);
  scratch_files().push_back(path);
  return path;
}

void enter_scratch_directory() {
  static const std::string dir = scratch_path(".dir");
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
}

bool write_file(const std::string &path, const uint8_t *data, size_t size) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

std::vector<std::string> directory_names(const uint8_t *data, size_t size) {
  std::vector<std::string> names;
  if (size < 14) return names;
  const uint64_t count = be32(data + 6);
  // Name lengths start behind the length table (8 per entry) and the second
  // table (4 per entry).
  const uint64_t lengths_at = 14 + 12 * count;
  if (count == 0 || lengths_at > size || 2 * count > size - lengths_at) return names;
  uint64_t name_at = lengths_at + 2 * count;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t *p = data + lengths_at + 2 * i;
    const uint64_t length = uint64_t{p[0]} << 8 | p[1];
    if (length > size - name_at) break;
    names.emplace_back(reinterpret_cast<const char *>(data + name_at), length);
    names.back().resize(std::char_traits<char>::length(names.back().c_str()));
    name_at += length;
  }
  return names;
}

void quiet_extraction_messages() {
  if (std::getenv("KAVRO_FUZZ_VERBOSE") != nullptr) return;
  static FILE *null = std::fopen("/dev/null", "w");
  if (null != nullptr) unpack::set_message_stream(null);
}

}  // namespace kavro::fuzz
