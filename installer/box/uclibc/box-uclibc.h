/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * Included first in every source file of the uClibc box build
 * (cmake/KavroBoxUclibc.cmake). One program must run on every uClibc image
 * from 0.9.28 on, so it reaches into the C library only through calls whose
 * meaning has not changed since:
 *
 *   - errno is the library's variable when it has no threads (a data object
 *     whose copy the loader would have to place), a macro of
 *     __errno_location() when it has: always the call;
 *   - stdin, stdout and stderr are the library's pointers, read by
 *     box_stdin() and its kin through words of the program's data that the
 *     loader fills in (installer/box/uclibc_streams.c), never copied into
 *     the program;
 *   - fgetc, fputc, getc and putc as calls: the library's macros read FILE's
 *     fields, whose layout changed between versions; likewise the ctype
 *     family, whose macros read the library's tables;
 *   - atof and strtod are declared for the C++ headers, which name them;
 *     the library has no floating point and the installer calls neither.
 */
#ifndef KAVRO_BOX_UCLIBC_H
#define KAVRO_BOX_UCLIBC_H

#define __NO_CTYPE 1

#include <errno.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

FILE *box_stdin(void) __attribute__((__const__));
FILE *box_stdout(void) __attribute__((__const__));
FILE *box_stderr(void) __attribute__((__const__));
double atof(const char *text);
double strtod(const char *text, char **end);

#ifdef __cplusplus
}
#endif

#undef errno
#define errno (*__errno_location())
#ifndef KAVRO_BOX_STREAMS
#undef stdin
#define stdin (box_stdin())
#undef stdout
#define stdout (box_stdout())
#undef stderr
#define stderr (box_stderr())
#endif

#undef fgetc
#undef fputc
#undef getc
#undef putc
#undef getc_unlocked
#undef putc_unlocked

#endif
