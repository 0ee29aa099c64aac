// SPDX-License-Identifier: GPL-2.0-or-later
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
    /* ZEPA_E_BADARGS           */
    "Invalid arguments; maluse of library, link with debugging library to help track it down",
    /* ZEPA_E_TOOMANYCONTAINERS */ "Too many open zepa containers",
    /* ZEPA_E_TOOOLD            */ "The container is too old and can't be supported, resync everything, rebuild all!",
    /* ZEPA_E_TOONEW            */
    "Don't know how to understand newer zepa container formats, resync everything, rebuild all!",
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

const CoreOps &core() { return *zepa_core_GetOps(); }

const zepa::seam::Stdio &io() { return zepa::seam::stdio(); }

void store_error(uint16_t *errornumber, ErrorNumber e) {
  if (errornumber != nullptr) *errornumber = e;
}

// A core result carries the error number in its low 16 bits.
ErrorNumber low16(uint32_t result) { return static_cast<ErrorNumber>(result & 0xFFFFU); }

// ZEPA_E_READONLY when the mode holds anything but r, +, b and t.
ErrorNumber _i_CheckMode(const char *Mode) {
  if (Mode == nullptr) return ZEPA_OK;
  constexpr std::string_view kAllowed = "r+bt";
  for (const char *c = Mode; *c != '\0'; ++c) {
    if (kAllowed.find(*c) == std::string_view::npos) return ZEPA_E_READONLY;
  }
  return ZEPA_OK;
}

// Opens FileName from the container's directory, preparing the container on
// first use.
ErrorNumber _i_ContainedOpen(const char *ProjectedZEPA, const char *FileName, const char *Mode, Handle *handleOut) {
  if (handleOut != nullptr) *handleOut = 0;
  const CoreOps &ops = core();
  if (!ops.zepa_core_IsContainerPrepared(ProjectedZEPA)) {
    const ErrorNumber e = low16(ops.zepa_core_PrepareContainer(ProjectedZEPA));
    if (e != ZEPA_OK) return e;
  }
  const ErrorNumber e = low16(ops.zepa_core_PrepareFile(ProjectedZEPA, FileName));
  if (e != ZEPA_OK) return e;
  const Handle handle = ops.zepa_core_GetHandle(ProjectedZEPA, FileName);
  ZEPA_ASSERT(handle);
  if (handle == 0) return ZEPA_E_UNEXPECTED;
  ops.zepa_core_SetFileMode(handle, Mode);
  if (handleOut != nullptr) *handleOut = handle;
  return ZEPA_OK;
}

// Opens the real file FileName and binds its stream into the container's
// open-file table. Every failure closes the stream and frees the name copy.
ErrorNumber _i_LooseOpen(const char *ProjectedZEPA, const char *FileName, const char *Mode, Handle *handleOut) {
  if (handleOut != nullptr) *handleOut = 0;
  const CoreOps &ops = core();
  FILE *stream = io().fopen(FileName, Mode);
  if (stream == nullptr) return ZEPA_E_REALOPEN;
  const Handle handle = ops.zepa_core_GenerateHandle();
  if (handle == 0) {
    io().fclose(stream);
    return ZEPA_E_NOHANDLE;
  }
  BoundFile boundfile;
  ops.zepa_core_ClearBoundFile(&boundfile);
  char *filename = zepa::seam::copy_string(FileName);
  if (filename == nullptr) {
    io().fclose(stream);
    return ZEPA_E_NOMEM;
  }
  boundfile.pfs = stream;
  boundfile.filename = filename;
  const int status = ops.zepa_core_AddHandle(handle, ProjectedZEPA, &boundfile);
  if (status != 0) {
    io().fclose(stream);
    zepa::seam::release(filename);
    // 5: the container's open-file table is full; anything else (a stream
    // that cannot tell its position, such as a pipe) cannot be bound.
    return status == 5 ? ZEPA_E_TOOMANYCONTAINERS : ZEPA_E_REALOPEN;
  }
  ops.zepa_core_SetFileMode(handle, Mode);
  if (handleOut != nullptr) *handleOut = handle;
  return ZEPA_OK;
}

// Reads a loose file from its own stream; the core's offset follows it.
uint32_t loose_read(FILE *stream, void *buffer, uint32_t size, uint32_t count, uint32_t handle, uint16_t *errornumber) {
  const auto items = static_cast<uint32_t>(io().fread(buffer, size, count, stream));
  const long position = io().ftell(stream);
  if (position != -1) {
    const ErrorNumber e = low16(core().zepa_core_SetFileOffset(handle, static_cast<uint32_t>(position)));
    if (e != ZEPA_OK) store_error(errornumber, e);
  }
  return items;
}

}  // namespace

extern "C" {

int zepa_Start(void) {
  const CoreOps &ops = core();
  if (!ops.zepa_core_IsStarted()) ops.zepa_core_Init();
  return ops.zepa_core_IsStarted();
}

void zepa_Stop(void) {
  const CoreOps &ops = core();
  if (ops.zepa_core_IsStarted()) ops.zepa_core_Uninit();
}

int zepa_IsStarted(void) { return core().zepa_core_IsStarted(); }

uint32_t zepa_fopen(const char *ProjectedZEPA, const char *FileName, const char *Mode, uint32_t looseFirst,
                    uint16_t *errornumber) {
  ZEPA_ASSERT(ProjectedZEPA);
  ZEPA_ASSERT(FileName);
  ZEPA_ASSERT(Mode);
  if (!ProjectedZEPA || !FileName || !Mode) {
    store_error(errornumber, ZEPA_E_BADARGS);
    return 0;
  }
  const ErrorNumber modeError = _i_CheckMode(Mode);
  if (modeError != ZEPA_OK) {
    store_error(errornumber, modeError);
    return 0;
  }
  const CoreOps &ops = core();
  if (!ops.zepa_core_IsContainerRegistered(ProjectedZEPA) && !ops.zepa_core_RegisterContainer(ProjectedZEPA)) {
    // A library that was never started cannot register anything either.
    store_error(errornumber, ops.zepa_core_IsStarted() ? ZEPA_E_NOMEM : ZEPA_E_BADARGS);
    return 0;
  }
  Handle handle = 0;
  if (looseFirst == 0) {
    if (_i_ContainedOpen(ProjectedZEPA, FileName, Mode, &handle) == ZEPA_OK) return handle;
    const ErrorNumber e = _i_LooseOpen(ProjectedZEPA, FileName, Mode, &handle);
    store_error(errornumber, e);
    if (e != ZEPA_OK) return 0;
    ZEPA_ASSERT(handle);
    return handle;
  }
  if (_i_LooseOpen(ProjectedZEPA, FileName, Mode, &handle) == ZEPA_OK) {
    store_error(errornumber, ZEPA_OK);
    return handle;
  }
  if (_i_ContainedOpen(ProjectedZEPA, FileName, Mode, &handle) == ZEPA_OK) return handle;
  store_error(errornumber, ZEPA_E_REALOPEN);
  return 0;
}

uint32_t zepa_fread(void *buffer, uint32_t size, uint32_t count, uint32_t handle, uint16_t *errornumber) {
  if (buffer == nullptr) {
    store_error(errornumber, ZEPA_E_BADARGS);
    return 0;
  }
  if (size == 0 || count == 0) {
    store_error(errornumber, ZEPA_OK);
    return 0;
  }
  const CoreOps &ops = core();
  if (!ops.zepa_core_IsValidHandle(handle)) {
    store_error(errornumber, ZEPA_E_BADHANDLE);
    return 0;
  }
  store_error(errornumber, ZEPA_OK);
  FILE *stream = ops.zepa_core_GetFSP(handle);
  if (stream != nullptr) return loose_read(stream, buffer, size, count, handle, errornumber);
  return ops.zepa_core_ContainedRead(handle, size, count, buffer, errornumber);
}

uint16_t zepa_filelength(uint32_t handle, uint32_t *length) {
  if (length == nullptr) return ZEPA_E_BADARGS;
  const CoreOps &ops = core();
  if (!ops.zepa_core_IsValidHandle(handle)) return ZEPA_E_BADHANDLE;
  return low16(ops.zepa_core_GetFileLength(handle, length));
}

uint16_t zepa_fclose(uint32_t handle) { return core().zepa_core_FreeHandle(handle) ? ZEPA_OK : ZEPA_E_BADHANDLE; }

void zepa_GetVersion(uint32_t *a, uint32_t *b, uint32_t *c) {
  if (a != nullptr) *a = 0;
  if (b != nullptr) *b = 0;
  if (c != nullptr) *c = 2;
}

int32_t zepa_GetPhysicalOffset(uint32_t handle, uint32_t offset) {
  const CoreOps &ops = core();
  if (handle == 0 || !ops.zepa_core_IsValidHandle(handle)) return -1;
  return static_cast<int32_t>(ops.zepa_core_GetPhysicalOffset(handle, offset));
}

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
