/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * A stand-in for the box's libfreetype.so.6, bound over the real library
 * inside kavro-box. It answers the three calls the installer makes with the
 * version the simulated box is to report.
 *
 * KAVRO_BOX_FREETYPE chooses the answer:
 *   MAJOR.MINOR.PATCH   FT_Init_FreeType succeeds, FT_Library_Version
 *                       reports that version (default 2.0.9)
 *   fail                FT_Init_FreeType fails with error 0x40
 *   fail:CODE           FT_Init_FreeType fails with CODE (decimal or 0x..)
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define STANDIN_API __attribute__((visibility("default")))

typedef int FT_Error;
typedef int FT_Int;
typedef struct StandinLibrary *FT_Library;

struct StandinLibrary {
  FT_Int major, minor, patch;
};

static struct StandinLibrary the_library;

enum { kDefaultFailure = 0x40 };

/* The failure code asked for, or 0 when the library is to start. */
static FT_Error requested_failure(const char *setting) {
  if (strncmp(setting, "fail", 4) != 0) return 0;
  if (setting[4] == ':') return (FT_Error)strtol(setting + 5, NULL, 0);
  return kDefaultFailure;
}

STANDIN_API FT_Error FT_Init_FreeType(FT_Library *library) {
  const char *setting = getenv("KAVRO_BOX_FREETYPE");
  if (setting == NULL || *setting == '\0') setting = "2.0.9";
  FT_Error failure = requested_failure(setting);
  if (failure != 0) {
    *library = NULL;
    return failure;
  }
  the_library.major = 2;
  the_library.minor = 0;
  the_library.patch = 9;
  sscanf(setting, "%d.%d.%d", &the_library.major, &the_library.minor, &the_library.patch);
  *library = &the_library;
  return 0;
}

STANDIN_API void FT_Library_Version(FT_Library library, FT_Int *major, FT_Int *minor, FT_Int *patch) {
  *major = library->major;
  *minor = library->minor;
  *patch = library->patch;
}

STANDIN_API FT_Error FT_Done_FreeType(FT_Library library) {
  (void)library;
  return 0;
}
