// SPDX-License-Identifier: GPL-2.0-or-later
// The C library's standard streams for the uClibc box build. stdin, stdout
// and stderr are pointers that the C library exports. Code of a fixed
// address that named them would have the linker copy them into the program
// (COPY relocations), placed where the program's build put them and as large
// as that library made them. Here each is reached through a word of the
// program's writable data holding its address, which the loader fills in
// from the library the box has (an R_PPC_ADDR32 relocation); the rest of
// the program names box_stdin(), box_stdout() and box_stderr()
// (installer/box/uclibc/box-uclibc.h). The words are volatile so that the
// compiler reads them and never folds them back into a direct reference.
#include <stdio.h>

static FILE **volatile library_stdin = &stdin;
static FILE **volatile library_stdout = &stdout;
static FILE **volatile library_stderr = &stderr;

FILE *box_stdin(void) { return *library_stdin; }
FILE *box_stdout(void) { return *library_stdout; }
FILE *box_stderr(void) { return *library_stderr; }
