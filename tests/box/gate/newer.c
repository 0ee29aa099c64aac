// SPDX-License-Identifier: GPL-2.0-or-later
// Calls that uClibc-ng has and uClibc 0.9.28 had not (Linux 2.6.27 brought
// pipe2, 2.6.22 utimensat): the link needs only libc.so.0, and a box's
// loader would stop at "can't resolve symbol". Declared here: the box
// build's headers are read before a feature macro of this file could ask
// for them.
#include <fcntl.h>
#include <time.h>

int pipe2(int ends[2], int flags);
int utimensat(int folder, const char *path, const struct timespec times[2], int flags);

int main(void) {
  int ends[2];
  return pipe2(ends, 0) == 0 && utimensat(-100, "/tmp", 0, 0) == 0 ? 0 : 1;
}
