// SPDX-License-Identifier: GPL-2.0-or-later
// The C library's standard streams for the uClibc box build. stdin, stdout
// and stderr are pointers that the C library exports; a program of a fixed
// address that named them directly would hold copies of them, placed by the
// loader (COPY relocations), and so depend on how the library of each box
// lays them out. This file alone is position-independent: it reads the
// pointers through the program's global offset table, which the loader
// fills with their addresses in the library itself. The rest of the program
// names box_stdin(), box_stdout() and box_stderr() (installer/box/uclibc/box-uclibc.h).
#include <stdio.h>

#if !defined(__PIC__)
#error "uclibc_streams.c must be built position-independent (-fPIC)"
#endif

FILE *box_stdin(void) { return stdin; }
FILE *box_stdout(void) { return stdout; }
FILE *box_stderr(void) { return stderr; }
