// SPDX-License-Identifier: GPL-2.0-or-later
// Packed-file extraction: the header checks, the block loop with in-place
// decoding, the checksum, and the data disk state it reads from.
#include "unpack.h"

#include <sys/mman.h>
#include <ucl/ucl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "zepa_seams.h"

int disk_open = 0;
char disk_name[64] = "";

namespace unpack {
namespace {

constexpr std::uint8_t kMagic[8] = {0x00, 0xE9, 0x55, 0x43, 0x4C, 0xFF, 0x01, 0x1A};
constexpr std::uint32_t kFlagChecksum = 1;
constexpr std::uint32_t kMinBlockSize = 1024;
constexpr std::uint32_t kMaxBlockSize = 0x800000;
constexpr int kFailed = -1;  // any failure reported by message only

constexpr Output kLibcOutput{
    .fopen = std::fopen,
    .fwrite = std::fwrite,
    .fclose = std::fclose,
};
const Output *current_output = &kLibcOutput;
FILE *current_messages = nullptr;
int last_output_error = 0;

// Messages held back while an attempt may still be followed by another one.
// What does not fit is cut off: one attempt says one or two short lines.
struct HeldMessages {
  bool holding = false;
  std::size_t length = 0;
  char text[512] = "";
};
HeldMessages held;

using Decompressor = int (*)(const ucl_bytep, ucl_uint, ucl_bytep, ucl_uintp, ucl_voidp);

Decompressor decompressor_for(std::uint32_t method) {
  switch (method) {
    case 0x2B:
      return ucl_nrv2b_decompress_safe_8;
    case 0x2D:
      return ucl_nrv2d_decompress_safe_8;
    case 0x2E:
      return ucl_nrv2e_decompress_safe_8;
    default:
      return nullptr;
  }
}

std::uint32_t block_overhead(std::uint32_t method, std::uint32_t block_size) {
  return decompressor_for(method) != nullptr ? block_size / 8 + 256 : 0;
}

bool start_ucl() {
  static const bool started = ucl_init() == UCL_E_OK;
  return started;
}

// The packed header after the magic.
struct Header {
  std::uint32_t flags = 0;
  std::uint32_t method = 0;
  std::uint32_t level = 0;
  std::uint32_t block_size = 0;
};

// One decoding run: the packed file, the output file (none when checking)
// and the work buffer.
struct Decoding {
  Handle handle;
  Header header;
  FILE *out = nullptr;
  ucl_bytep buffer = nullptr;
  std::uint32_t buffer_size = 0;
  std::uint32_t consumed = 0;
  std::uint32_t produced = 0;
  std::uint32_t adler = 0;
};

// Reads through the packed file's readers, counting what was consumed.
bool read_bytes(Decoding &d, void *destination, std::uint32_t count) {
  const int32_t got = disk_read(d.handle, destination, count, 0);
  if (got < 0) return false;
  d.consumed += static_cast<std::uint32_t>(got);
  return true;
}

bool read_u32(Decoding &d, std::uint32_t *value) {
  int failed = 0;
  *value = disk_read_u32(d.handle, &failed);
  if (failed) return false;
  d.consumed += 4;
  return true;
}

bool read_u8(Decoding &d, std::uint32_t *value) {
  int failed = 0;
  *value = disk_read_u8(d.handle, &failed);
  if (failed) return false;
  d.consumed += 1;
  return true;
}

bool read_magic(Decoding &d) {
  std::uint8_t magic[sizeof kMagic];
  const int32_t got = disk_read(d.handle, magic, sizeof magic, 1);
  if (got > 0) d.consumed += static_cast<std::uint32_t>(got);
  if (got != static_cast<int32_t>(sizeof magic) || std::memcmp(magic, kMagic, sizeof magic) != 0) {
    report("%s", "Unknown file format!");
    return false;
  }
  return true;
}

bool read_header(Decoding &d) {
  return read_u32(d, &d.header.flags) && read_u8(d, &d.header.method) && read_u8(d, &d.header.level) &&
         read_u32(d, &d.header.block_size);
}

bool check_header(const Header &h) {
  if (decompressor_for(h.method) == nullptr || h.level < 1 || h.level > 10) {
    report("header error - invalid method %d (level %d)\n", static_cast<int>(h.method), static_cast<int>(h.level));
    return false;
  }
  if (h.block_size < kMinBlockSize || h.block_size > kMaxBlockSize) {
    // Printed as the boxes' 32-bit long shows it, on any machine.
    report("header error - invalid block size %ld\n", static_cast<long>(static_cast<int32_t>(h.block_size)));
    return false;
  }
  return true;
}

bool allocate_buffer(Decoding &d) {
  if (!start_ucl()) {
    report("%s", "compression library failed to start\n");
    return false;
  }
  d.adler = ucl_adler32(0, nullptr, 0);
  d.buffer_size = d.header.block_size + block_overhead(d.header.method, d.header.block_size);
  d.buffer = static_cast<ucl_bytep>(ucl_malloc(d.buffer_size));
  if (d.buffer == nullptr) {
    report("%s", "out of memory\n");
    return false;
  }
  return true;
}

bool sizes_consistent(const Decoding &d, std::uint32_t decoded, std::uint32_t stored) {
  const std::uint32_t limit = d.header.block_size;
  return !(stored > limit || decoded > limit || stored == 0 || stored > decoded);
}

bool decode_in_place(Decoding &d, ucl_bytep stored_bytes, std::uint32_t stored, std::uint32_t decoded) {
  ucl_uint produced = decoded;
  const int r = decompressor_for(d.header.method)(stored_bytes, stored, d.buffer, &produced, nullptr);
  if (r != UCL_E_OK || produced != decoded) {
    report("compressed data violation: error %d (0x%x: %ld/%ld/%ld)\n", r, static_cast<unsigned>(d.header.method),
           static_cast<long>(stored), static_cast<long>(decoded), static_cast<long>(produced));
    return false;
  }
  return true;
}

// Writes decoded bytes to the output, when there is one, and folds them into
// the running checksum.
bool write_out(Decoding &d, const ucl_bytep bytes, std::uint32_t count) {
  if (d.out != nullptr && output().fwrite(bytes, 1, count, d.out) != count) {
    last_output_error = errno;
    report("%s", "couldn't write data");
    return false;
  }
  if (d.header.flags & kFlagChecksum) d.adler = ucl_adler32(d.adler, bytes, count);
  d.produced += count;
  return true;
}

// Maps the pages of [p, p + n) in one call where the kernel offers it, instead
// of a page fault for each page the block then touches. Only a hint.
void prefault(ucl_bytep p, std::size_t n) {
#ifdef MADV_POPULATE_WRITE
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(p) & ~(page - 1);
  const auto end = reinterpret_cast<std::uintptr_t>(p) + n;
  madvise(reinterpret_cast<void *>(begin), end - begin, MADV_POPULATE_WRITE);
#else
  static_cast<void>(p);
  static_cast<void>(n);
#endif
}

// One block after its decoded size; false ends the extraction.
bool decode_block(Decoding &d, std::uint32_t decoded) {
  std::uint32_t stored = 0;
  if (!read_u32(d, &stored)) return false;
  if (!sizes_consistent(d, decoded, stored)) {
    report("%s", "block size error - data corrupted\n");
    return false;
  }
  ucl_bytep stored_bytes = d.buffer + (d.buffer_size - stored);
  prefault(stored_bytes, stored);
  if (stored < decoded) prefault(d.buffer, decoded);
  if (!read_bytes(d, stored_bytes, stored)) return false;
  if (stored < decoded) {
    return decode_in_place(d, stored_bytes, stored, decoded) && write_out(d, d.buffer, decoded);
  }
  return write_out(d, stored_bytes, stored);
}

bool check_end(Decoding &d) {
  if (!(d.header.flags & kFlagChecksum)) return true;
  std::uint32_t stored_adler = 0;
  if (!read_u32(d, &stored_adler)) return false;
  if (stored_adler != d.adler) {
    report("%s", "checksum error - data corrupted");
    return false;
  }
  return true;
}

bool decode_blocks(Decoding &d) {
  for (;;) {
    std::uint32_t decoded = 0;
    if (!read_u32(d, &decoded)) return false;
    if (decoded == 0) return check_end(d);
    if (!decode_block(d, decoded)) return false;
  }
}

// Everything after the header is read and the output (if any) exists, up to
// the release of the buffer.
bool decode_body(Decoding &d) {
  const bool ok = check_header(d.header) && allocate_buffer(d) && decode_blocks(d);
  if (d.buffer != nullptr) ucl_free(d.buffer);
  d.buffer = nullptr;
  return ok;
}

}  // namespace

const Output &output() { return *current_output; }
void set_output(const Output *table) { current_output = table != nullptr ? table : &kLibcOutput; }
const Output &libc_output() { return kLibcOutput; }

FILE *message_stream() { return current_messages != nullptr ? current_messages : stderr; }
void set_message_stream(FILE *stream) { current_messages = stream; }

void report(const char *format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  if (!held.holding) {
    std::vfprintf(message_stream(), format, arguments);
  } else if (held.length + 1 < sizeof held.text) {
    const int n = std::vsnprintf(held.text + held.length, sizeof held.text - held.length, format, arguments);
    if (n > 0) held.length += static_cast<std::size_t>(n);
    if (held.length > sizeof held.text - 1) held.length = sizeof held.text - 1;
  }
  va_end(arguments);
}

void hold_messages() {
  held.holding = true;
  held.length = 0;
}

void release_messages() {
  held.holding = false;
  std::fwrite(held.text, 1, held.length, message_stream());
  held.length = 0;
}

void drop_messages() {
  held.holding = false;
  held.length = 0;
}

int output_error() { return last_output_error; }

bool decode_packed_file(Handle handle, const char *output_path, uint32_t *consumed, uint32_t *produced,
                        const char *shown) {
  Decoding d{};
  d.handle = handle;
  last_output_error = 0;
  bool ok = read_magic(d) && read_header(d);
  if (ok && output_path == nullptr) {
    ok = decode_body(d);
  } else if (ok) {
    d.out = output().fopen(output_path, "wb");
    if (d.out == nullptr) {
      last_output_error = errno;
      report("couldn't create file '%s'\n", shown != nullptr ? shown : output_path);
      ok = false;
    } else {
      ok = decode_body(d);
      // A full file system often shows only when the last bytes are flushed.
      if (output().fclose(d.out) != 0 && ok) {
        last_output_error = errno;
        report("%s", "couldn't write data");
        ok = false;
      }
    }
  }
  if (consumed != nullptr) *consumed = d.consumed;
  if (produced != nullptr) *produced = d.produced;
  return ok;
}

}  // namespace unpack

int32_t disk_read(Handle handle, void *destination, uint32_t count, int short_read_allowed) {
  ErrorNumber error = ZEPA_OK;
  const uint32_t got = zepa_fread(destination, 1, count, handle, &error);
  if (error != ZEPA_OK) {
    report_disk_error(error);
    return -1;
  }
  if (got < count && !short_read_allowed) {
    unpack::report("%s", "read error - premature end of file!\n");
    return -1;
  }
  return static_cast<int32_t>(got);
}

uint32_t disk_read_u8(Handle handle, int *failed) {
  unsigned char byte = 0;
  if (disk_read(handle, &byte, 1, 0) != 1) {
    *failed = 1;
    return 0;
  }
  return byte;
}

uint32_t disk_read_u32(Handle handle, int *failed) {
  unsigned char b[4] = {};
  if (disk_read(handle, b, 4, 0) != 4) {
    *failed = 1;
    return 0;
  }
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
}

void report_disk_error(ErrorNumber code) {
  const uint32_t length = zepa_GetErrorString(code, nullptr, 0);
  char *message = static_cast<char *>(zepa::seam::alloc(std::size_t{length} + 1));
  if (message == nullptr) {
    unpack::report("ERROR: %s\n", "unknown!");
    return;
  }
  zepa_GetErrorString(code, message, length);
  unpack::report("ERROR: %s\n", message);
  zepa::seam::release(message);
}

int open_install_disk(const char *path) {
  if (disk_open) return 0;
  if (std::strlen(path) >= sizeof disk_name) return -1;
  std::strcpy(disk_name, path);
  if (!zepa_Start()) {
    std::fputs("ERROR! Couldn't initialize runtime disk library!", stderr);
    return -1;
  }
  disk_open = 1;
  return 0;
}

void close_install_disk() {
  if (!disk_open) return;
  zepa_Stop();
  disk_open = 0;
}

namespace {

// Opens the packed file `name` of the data disk, decodes it into `output`
// (or only checks it when that is null) and closes it again.
int32_t decode_disk_file(const char *name, const char *output, uint32_t *decoded, const char *shown) {
  if (!disk_open) {
    unpack::report("%s", "Unitialised disk!");
    return -2;
  }
  zepa_Start();
  ErrorNumber error = ZEPA_OK;
  const Handle handle = zepa_fopen(disk_name, name, "rb", 0, &error);
  if (handle == 0) {
    report_disk_error(error);
    return -2;
  }
  int32_t result = unpack::kFailed;
  uint32_t length = 0;
  if (zepa_filelength(handle, &length) != ZEPA_OK) {
    unpack::report("%s", "Warning!   Error in getting the file length\n");
  } else if (unpack::decode_packed_file(handle, output, nullptr, decoded, shown)) {
    result = static_cast<int32_t>(length);
  }
  const ErrorNumber close_error = zepa_fclose(handle);
  if (close_error != ZEPA_OK) {
    report_disk_error(close_error);
    return -4;
  }
  zepa_Stop();
  return result;
}

}  // namespace

int32_t unpack_disk_file(const char *name, const char *output, const char *shown) {
  return decode_disk_file(name, output, nullptr, shown);
}

int32_t check_disk_file(const char *name, uint32_t *decoded) {
  return decode_disk_file(name, nullptr, decoded, nullptr);
}
