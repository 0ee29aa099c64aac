// Packed-file extraction and the data disk it reads from.
//
// A packed file is a block stream of UCL-compressed data with an optional
// Adler-32; unpack_disk_file() decodes one file of the open data disk into a
// file on the box's file system, printing every problem on standard error.
#pragma once

#include <cstdint>

#include "zepa.h"

// The data disk in use: non-zero while open, and its path.
extern int disk_open;
extern char disk_name[64];

// Remembers the disk path and starts the container library. 0 on success
// (also when already open), -1 when the library cannot be started.
int open_install_disk(const char *path);

// Stops the container library when the disk is open.
void close_install_disk();

// Prints "ERROR: <message>\n" for a library error number on standard error.
void report_disk_error(ErrorNumber code);

// Extracts the packed file `name` of the data disk to `output`.
// Results: -2 disk not open or file not openable; -4 closing the packed file
// failed; another negative value when the extraction failed (message
// printed); otherwise the packed file's length in the disk.
int32_t unpack_disk_file(const char *name, const char *output);
