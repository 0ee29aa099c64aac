// SPDX-License-Identifier: GPL-2.0-or-later
// Calls that today's libc.so.6 answers under their old versions
// (clock_gettime@GLIBC_2.2, dlopen@GLIBC_2.1, as the box build pins them),
// but that the boxes had in librt.so.1 and libdl.so.2: the link needs only
// libc.so.6, and a box would stop at "undefined symbol".
#include <dlfcn.h>
#include <time.h>

int main(void) {
  struct timespec now;
  void *self = dlopen(0, RTLD_NOW);
  return clock_gettime(CLOCK_MONOTONIC, &now) == 0 && self != 0 ? 0 : 1;
}
