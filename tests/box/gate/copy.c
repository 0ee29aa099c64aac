// SPDX-License-Identifier: GPL-2.0-or-later
// A program of the uClibc box build that names the C library's stdout
// itself, as code of a fixed address does without the box build's header:
// the linker copies the pointer into the program (a COPY relocation).
#include <stdio.h>

#undef stdout
extern FILE *stdout;

int main(void) { return fputs("copied\n", stdout) < 0; }
