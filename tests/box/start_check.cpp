// SPDX-License-Identifier: GPL-2.0-or-later
// The box build's own start, run by the PowerPC lane under qemu with a box's C library: the C library runs only the
// init function the start hands it, so the program's constructors run once each, in order, before main, and main
// gets its arguments and working standard output and error.
#include <cstdio>

namespace {

int constructed = 0;
const int first = ++constructed;
struct Second {
  int at = ++constructed;
} second;

}  // namespace

int main(int argc, char **argv) {
  std::printf("constructors: %d %d of %d\n", first, second.at, constructed);
  std::fprintf(stderr, "arguments: %d %s\n", argc, argc > 1 ? argv[1] : "none");
  return first == 1 && second.at == 2 && constructed == 2 ? 0 : 1;
}
