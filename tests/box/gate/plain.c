// SPDX-License-Identifier: GPL-2.0-or-later
// A program of the box build that every row of the box gate passes: C
// library calls the boxes have, nothing else.
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv) {
  printf("%d %zu\n", argc, strlen(argv[0]));
  return 0;
}
