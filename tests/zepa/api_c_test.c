/* The public header from C: write a small data disk, open a file inside it
 * through libzepa.so and read it. Exits non-zero on the first failure. */
#include <stdio.h>
#include <string.h>

#include "zepa.h"

/* Two entries: "a.txt" holds "hello", "b.txt" holds "world!". */
static const unsigned char kDisk[] = {
    'Z', 'E', 'P', 'A', '1',                                                      /* lead-in */
    0,                                                                            /* format byte */
    0,   0,   0,   2,                                                             /* two entries */
    0,   0,   0,   52,                                                            /* data of entry 0 starts at 52 */
    0,   0,   0,   0,   0,   0,   0,   5,                                         /* length table */
    0,   0,   0,   0,   0,   0,   0,   6,   0,   0,   0,   0,   0,   0,   0,   0, /* second table */
    0,   5,   0,   5,                                                             /* name lengths */
    'a', '.', 't', 'x', 't', 'b', '.', 't', 'x', 't', 'h', 'e', 'l', 'l', 'o', 'w', 'o', 'r', 'l', 'd', '!',
};

static int failures = 0;

static void check(int ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "FAILED: %s\n", what);
    ++failures;
  }
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s DISK\n", argv[0]);
    return 2;
  }
  const char *disk = argv[1];
  FILE *out = fopen(disk, "wb");
  if (out == NULL || fwrite(kDisk, 1, sizeof kDisk, out) != sizeof kDisk || fclose(out) != 0) {
    perror(disk);
    return 2;
  }

  check(zepa_Start() != 0, "zepa_Start");
  uint16_t error = 99;
  Handle handle = zepa_fopen(disk, "b.txt", "rb", 0, &error);
  check(handle == 1, "zepa_fopen gives handle 1");
  check(error == 99, "a contained open leaves the error number");

  uint32_t length = 0;
  check(zepa_filelength(handle, &length) == ZEPA_OK && length == 6, "zepa_filelength");
  char buffer[8] = {0};
  check(zepa_fread(buffer, 1, 6, handle, &error) == 6 && error == ZEPA_OK, "zepa_fread");
  check(memcmp(buffer, "world!", 6) == 0, "the bytes of b.txt");
  check(zepa_GetPhysicalOffset(handle, 0) == 57, "zepa_GetPhysicalOffset");
  check(zepa_fread(buffer, 1, 1, handle, &error) == 0 && error == ZEPA_E_EOF, "end of the container");
  check(zepa_fclose(handle) == ZEPA_OK, "zepa_fclose");

  char message[32];
  check(zepa_GetErrorString(ZEPA_E_NOFILE, message, sizeof message - 1) == 12, "zepa_GetErrorString");
  check(strcmp(message, "No such file") == 0, "the message of ZEPA_E_NOFILE");
  check(zepa_core_GetOps()->zepa_core_IsStarted() == 1, "zepa_core_GetOps");
  zepa_Stop();
  check(zepa_IsStarted() == 0, "zepa_Stop");
  remove(disk);
  return failures == 0 ? 0 : 1;
}
