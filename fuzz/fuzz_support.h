// Helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kavro::fuzz {

// A per-process scratch path (in /dev/shm when there is one) with `suffix`;
// the file is removed when the process exits.
std::string scratch_path(const char *suffix);

// Makes an empty scratch directory the working directory (removed at exit),
// so that the library's fallback to real files finds none.
void enter_scratch_directory();

// Writes the bytes to `path`, replacing it; false when that fails.
bool write_file(const std::string &path, const uint8_t *data, size_t size);

// The entry names of a container image, read from its directory as the
// library reads it, stopping at the first row that runs past the data.
std::vector<std::string> directory_names(const uint8_t *data, size_t size);

// Where extraction's messages go during a run: /dev/null unless
// KAVRO_FUZZ_VERBOSE is set (they would drown the fuzzer's own output;
// sanitizer reports still reach standard error).
void quiet_extraction_messages();

}  // namespace kavro::fuzz
