// SPDX-License-Identifier: GPL-2.0-or-later
// Packed-file extraction and the data disk it reads from.
//
// A packed file is a block stream of UCL-compressed data with an optional
// Adler-32; unpack_disk_file() decodes one file of the open data disk into a
// file on the box's file system, printing every problem on standard error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "zepa.h"

// The data disk in use: non-zero while open, and its path.
extern int disk_open;
extern char disk_name[64];

// Remembers the disk path and starts the container library. 0 on success
// (also when already open), -1 when the library cannot be started (or the
// path does not fit into disk_name).
int open_install_disk(const char *path);

// Stops the container library when the disk is open.
void close_install_disk();

// Prints "ERROR: <message>\n" for a library error number on standard error.
void report_disk_error(ErrorNumber code);

// Extracts the packed file `name` of the data disk to `output`; messages
// name the output `shown` (when not null: a file written under another name
// before it takes its own).
// Results: -2 disk not open or file not openable; -4 closing the packed file
// failed; another negative value when the extraction failed (message
// printed); otherwise the packed file's length in the disk.
int32_t unpack_disk_file(const char *name, const char *output, const char *shown = nullptr);

// Decodes the packed file `name` of the data disk completely -- header,
// every block, the checksum -- without writing anything. The same messages
// and results as unpack_disk_file for a damaged or missing file; nothing is
// printed when the file is whole. *decoded (when not null) receives the
// number of bytes the file decodes to.
int32_t check_disk_file(const char *name, uint32_t *decoded = nullptr);

// Readers of an open packed file, all through zepa_fread with item size 1.
// disk_read: the bytes read, or -1 after its message (a library error, or
// fewer bytes than asked when short_read_allowed is 0).
int32_t disk_read(Handle handle, void *destination, uint32_t count, int short_read_allowed);
// One byte, and four bytes most significant first. A failed read sets
// *failed to 1 (after the reader's message) and gives 0.
uint32_t disk_read_u8(Handle handle, int *failed);
uint32_t disk_read_u32(Handle handle, int *failed);

namespace unpack {

// What unpack_disk_file() needs besides the library: it is replaceable so
// that tests can fail the output file's creation, writes and close.
struct Output {
  FILE *(*fopen)(const char *path, const char *mode);
  std::size_t (*fwrite)(const void *data, std::size_t size, std::size_t count, FILE *stream);
  int (*fclose)(FILE *stream);
};
const Output &output();
// Replaces the table; null restores libc's. The table must outlive its use.
void set_output(const Output *table);
const Output &libc_output();

// Where extraction's messages go: standard error unless replaced (null
// restores standard error).
FILE *message_stream();
void set_message_stream(FILE *stream);

// Prints one of extraction's messages to the message stream, or holds it.
void report(const char *format, ...) __attribute__((format(printf, 1, 2)));

// An attempt that may be followed by another one holds its messages back;
// afterwards they are printed (release) or forgotten (drop), so that a file
// tried twice says what went wrong once.
void hold_messages();
void release_messages();
void drop_messages();

// The error number with which the output of the last decode_packed_file()
// failed (creating, writing or closing the file), or 0 when it did not.
int output_error();

// Decodes the packed file open as `handle`, from its first byte, into a file
// created at `output` (or into nothing when `output` is null: a check that
// writes no file): the header checks, the blocks and the checksum, with
// extraction's messages. True when the whole file was decoded and written and
// its checksum (if any) matched. *consumed (when not null) receives the
// number of bytes read from the packed file, *produced (when not null) the
// number of decoded bytes. Messages name the output `shown` when it is not
// null.
bool decode_packed_file(Handle handle, const char *output, uint32_t *consumed, uint32_t *produced = nullptr,
                        const char *shown = nullptr);

}  // namespace unpack
