// Replays a fuzz target's corpus without libFuzzer: every file named on the
// command line, and every file inside a named directory, goes through the
// target once. Exits non-zero when no input was found.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

int main(int argc, char **argv) {
  // The target may change the working directory when it starts.
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const auto arg = std::filesystem::absolute(argv[i]);
    std::error_code not_a_directory;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(arg, not_a_directory)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
    if (not_a_directory) files.push_back(arg);
  }
  std::sort(files.begin(), files.end());
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  for (const auto &file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("replayed %zu inputs\n", files.size());
  return files.empty() ? 1 : 0;
}
