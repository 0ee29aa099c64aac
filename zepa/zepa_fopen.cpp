// zepa_fopen -- the disk file API: the stream-style front end of the
// container library, and the library's error messages. It keeps no state and
// reaches the core only through its operation table.
#include "zepa.h"

#include <array>
#include <cstring>
#include <string_view>

#include "zepa_seams.h"

namespace {

constexpr char kModule[] = "zepa_fopen";

// The message of every error number, indexed by the number.
constexpr std::array<std::string_view, ZEPA_ERROR_COUNT> kErrorMessages = {
    /* ZEPA_OK                  */ "No error has occurred.",
    /* ZEPA_E_REALOPEN          */ "A real file could not be opened",
    /* ZEPA_E_READONLY          */ "Attempt to open a file to write to through libzepa, libzepa is readonly",
    /* ZEPA_E_BADHANDLE         */ "The zepa handle was invalid",
    /* ZEPA_E_SEEKPASTEND       */ "Seek past end of virtual file (or physical end of archive)",
    /* ZEPA_E_SEEKBEFORESTART   */ "Seek before beginning of virtual file (or physical beginning of archive)",
    /* ZEPA_E_BADARGS           */ "Invalid arguments; maluse of library, link with debugging library to help track it down",
    /* ZEPA_E_TOOMANYCONTAINERS */ "Too many open zepa containers",
    /* ZEPA_E_TOOOLD            */ "The container is too old and can't be supported, resync everything, rebuild all!",
    /* ZEPA_E_TOONEW            */ "Don't know how to understand newer zepa container formats, resync everything, rebuild all!",
    /* ZEPA_E_EOA               */ "Unexpected end of archive",
    /* ZEPA_E_NOMEM             */ "Out of memory",
    /* ZEPA_E_NOCONTAINER       */ "No such container registered",
    /* ZEPA_E_NOFILE            */ "No such file",
    /* ZEPA_E_NOHANDLE          */ "Cannot generate a unique handle",
    /* ZEPA_E_UNEXPECTED        */ "An unexpected error occurred",
    /* ZEPA_E_EOF               */ "End of file",
};

// Any number past the table.
constexpr std::string_view kUnknownError = "Invalid and unknown error";

std::string_view error_message(uint16_t code) {
  return code < kErrorMessages.size() ? kErrorMessages[code] : kUnknownError;
}

}  // namespace

extern "C" {

uint32_t zepa_GetErrorString(uint16_t code, char *dest, uint32_t length) {
  const std::string_view message = error_message(code);
  if (dest != nullptr) {
    // strncpy semantics over length + 1 bytes.
    const std::size_t room = static_cast<std::size_t>(length) + 1;
    const std::size_t copied = message.size() < room ? message.size() : room;
    std::memcpy(dest, message.data(), copied);
    if (copied < room) std::memset(dest + copied, 0, room - copied);
  }
  return static_cast<uint32_t>(message.size());
}

}  // extern "C"
