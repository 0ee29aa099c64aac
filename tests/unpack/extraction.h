// Extraction from a data disk as the installer does it, with its messages
// caught in memory and the output file read back.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "unpack.h"
#include "unpack/packed_fixtures.h"

namespace fixtures {

// What one extraction did.
struct Outcome {
  std::int32_t result = 0;
  std::string messages;          // byte for byte
  std::optional<Bytes> output;   // the output file, or nothing when absent
  bool library_started = false;  // right after the extraction
};

// How a file is taken from the disk: extracted straight away, or as the
// installer does it, checked first and extracted only when whole -- over a
// target that already holds kOldTarget.
enum class Pass { kExtract, kCheckThenExtract };
inline const Bytes kOldTarget = {'o', 'l', 'd', '\n'};

// Opens `disk`, runs `arm`, takes `name` to `out` in `pass` and closes the disk.
inline Outcome extract(const std::string &disk, const std::string &name, const std::string &out,
                       const std::function<void()> &arm = {}, Pass pass = Pass::kExtract) {
  char *buffer = nullptr;
  std::size_t size = 0;
  FILE *messages = open_memstream(&buffer, &size);
  unpack::set_message_stream(messages);
  if (pass == Pass::kCheckThenExtract) write_file(out, kOldTarget);
  EXPECT_EQ(open_install_disk(disk.c_str()), 0);
  if (arm) arm();
  std::int32_t result = pass == Pass::kCheckThenExtract ? check_disk_file(name.c_str()) : 0;
  if (result >= 0) result = unpack_disk_file(name.c_str(), out.c_str());
  const bool started = zepa_IsStarted() != 0;
  close_install_disk();
  unpack::set_message_stream(nullptr);
  std::string text = messages != nullptr && std::fclose(messages) == 0 ? std::string(buffer, size) : "(no messages)";
  std::free(buffer);
  return {result, text, read_file(out), started};
}

}  // namespace fixtures
