// Error numbers: every message, the unknown clamp, and the bounded copy.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <string>

#include "zepa/zepa.h"

namespace {

std::string message(uint16_t code) {
  const uint32_t n = zepa_GetErrorString(code, nullptr, 0);
  std::string out(n + 1, 'x');
  EXPECT_EQ(zepa_GetErrorString(code, out.data(), n), n);
  EXPECT_EQ(out[n], '\0');
  out.resize(n);
  return out;
}

TEST(ErrorMessages, EveryNumberHasItsText) {
  const char *expected[] = {
      "No error has occurred.",
      "A real file could not be opened",
      "Attempt to open a file to write to through libzepa, libzepa is readonly",
      "The zepa handle was invalid",
      "Seek past end of virtual file (or physical end of archive)",
      "Seek before beginning of virtual file (or physical beginning of archive)",
      "Invalid arguments; maluse of library, link with debugging library to help track it down",
      "Too many open zepa containers",
      "The container is too old and can't be supported, resync everything, rebuild all!",
      "Don't know how to understand newer zepa container formats, resync everything, rebuild all!",
      "Unexpected end of archive",
      "Out of memory",
      "No such container registered",
      "No such file",
      "Cannot generate a unique handle",
      "An unexpected error occurred",
      "End of file",
  };
  static_assert(std::size(expected) == ZEPA_ERROR_COUNT);
  for (uint16_t code = 0; code < ZEPA_ERROR_COUNT; ++code) EXPECT_EQ(message(code), expected[code]) << code;
  EXPECT_EQ(ZEPA_E_NOFILE, 13);
  EXPECT_EQ(ZEPA_E_EOF, 16);
}

TEST(ErrorMessages, NumbersPastTheTableAreUnknown) {
  for (uint16_t code : {17, 200, 65535}) {
    EXPECT_EQ(message(code), "Invalid and unknown error");
    EXPECT_EQ(zepa_GetErrorString(code, nullptr, 1000), 25u);
  }
}

TEST(ErrorMessages, CopyFillsLengthPlusOneBytesLikeStrncpy) {
  char buffer[40];
  std::memset(buffer, '#', sizeof buffer);
  // Shorter than the room: message, terminator, zero fill up to length + 1.
  EXPECT_EQ(zepa_GetErrorString(ZEPA_E_NOFILE, buffer, 20), 12u);
  EXPECT_EQ(std::string(buffer, 21), std::string("No such file\0\0\0\0\0\0\0\0\0", 21));
  EXPECT_EQ(buffer[21], '#');

  // Too short: exactly length + 1 characters, no terminator.
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(zepa_GetErrorString(ZEPA_OK, buffer, 4), 22u);
  EXPECT_EQ(std::string(buffer, 6), "No er#");
}

}  // namespace
