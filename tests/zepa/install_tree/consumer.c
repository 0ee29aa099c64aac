/* SPDX-License-Identifier: GPL-2.0-or-later */
/* A program built against libzepa (the build's, or an installed one): reads FILE through the library (a real file,
 * since the container named does not exist) and prints the library's version, the file's length and its bytes. */
#include <stdio.h>

#include <zepa/zepa.h>

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  uint32_t a = 9, b = 9, c = 9, length = 0; /* the version: each part set by the library */
  uint16_t error = ZEPA_OK;
  char text[64] = {0};
  zepa_GetVersion(&a, &b, &c);
  if (!zepa_Start()) return 1;
  const uint32_t handle = zepa_fopen("absent.dsk", argv[1], "rb", 0, &error);
  if (handle == 0 || zepa_filelength(handle, &length) != ZEPA_OK || length >= sizeof text ||
      zepa_fread(text, 1, length, handle, &error) != length || zepa_fclose(handle) != ZEPA_OK) {
    fprintf(stderr, "consumer: %s: zepa error %u\n", argv[1], (unsigned)error);
    return 1;
  }
  zepa_Stop();
  printf("libzepa %u.%u.%u: %u bytes: %s", (unsigned)a, (unsigned)b, (unsigned)c, (unsigned)length, text);
  return zepa_IsStarted();
}
