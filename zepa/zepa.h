/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * zepa.h -- the read-only container library.
 *
 * A container ("data disk") is one file holding many files. zepa opens one of
 * them by name and reads it like a stdio stream, or falls back to a real file
 * of that name ("loose" file). Everything is read-only.
 *
 * Calling order: zepa_Start(); zepa_fopen(); any number of zepa_fread() and
 * zepa_filelength(); zepa_fclose() once per handle; zepa_Stop(). Stopping
 * forgets every container and handle, so the next start registers and reads
 * each container afresh.
 *
 * Strings handed to the library are borrowed; whatever the library keeps is
 * its own copy. One thread; no operation may run concurrently with another.
 *
 * Preconditions (arguments not null, handle not 0, library started) are
 * assertions in the checking build, naming the condition, the module and the
 * operation. The release build has no assertions: the caller gets the error
 * number given below instead.
 *
 * This header compiles as C and as C++.
 */
#ifndef ZEPA_H
#define ZEPA_H

#include <stdint.h>
#include <stdio.h>

#if defined(__GNUC__)
#define ZEPA_API __attribute__((visibility("default")))
#else
#define ZEPA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One open file of the library; 0 means no handle. */
typedef uint32_t Handle;

/* An error number; zepa_GetErrorString() gives its message. Core operations
 * return it in the low 16 bits of a 32-bit result. */
typedef uint16_t ErrorNumber;

enum {
  ZEPA_OK = 0,                  /* No error has occurred. */
  ZEPA_E_REALOPEN = 1,          /* a real file could not be opened */
  ZEPA_E_READONLY = 2,          /* mode asks for writing */
  ZEPA_E_BADHANDLE = 3,         /* no open file has this handle */
  ZEPA_E_SEEKPASTEND = 4,       /* (message only; never reported) */
  ZEPA_E_SEEKBEFORESTART = 5,   /* (message only; never reported) */
  ZEPA_E_BADARGS = 6,           /* null argument where one is required */
  ZEPA_E_TOOMANYCONTAINERS = 7, /* a container's 64 open-file slots are taken */
  ZEPA_E_TOOOLD = 8,            /* (message only; never reported) */
  ZEPA_E_TOONEW = 9,            /* container format byte is not 0 */
  ZEPA_E_EOA = 10,              /* unexpected end of archive; bad directory */
  ZEPA_E_NOMEM = 11,            /* out of memory */
  ZEPA_E_NOCONTAINER = 12,      /* no such container registered (or already prepared) */
  ZEPA_E_NOFILE = 13,           /* the directory holds no entry of that name */
  ZEPA_E_NOHANDLE = 14,         /* every handle value is taken */
  ZEPA_E_UNEXPECTED = 15,       /* a seek did not land where asked */
  ZEPA_E_EOF = 16,              /* end of file (physical end of the container) */
  ZEPA_ERROR_COUNT = 17         /* number of known error numbers */
};

/* A real stream bound to its names. pfs: the stream, or null. filename: heap
 * copy of the name, or null. mode: heap copy of the open mode, or null.
 * Owned by whatever record embeds it. */
typedef struct BoundFile {
  FILE *pfs;
  char *filename;
  char *mode;
} BoundFile;

/*
 * CoreOps -- the container core's 26 operations, in fixed slot order. The disk
 * file API reaches the core only through this table (zepa_core_GetOps()).
 * Every operation except Init, IsStarted, IsContainerPrepared,
 * UnprepareContainer and GenerateHandle needs the core started.
 * "error" below means an ErrorNumber in the low 16 bits of the result.
 * Container and file names are borrowed and compared with strcmp.
 */
typedef struct CoreOps {
  /*  0 */ void (*zepa_core_Init)(void);                    /* start; core must be stopped */
  /*  1 */ uint32_t (*zepa_core_Uninit)(void);              /* stop: frees every container,
                                                               closes every stream; 0 */
  /*  2 */ int (*zepa_core_IsStarted)(void);                /* the started flag */
  /*  3 */ void (*zepa_core_ClearBoundFile)(BoundFile *bf); /* all fields null;
                                                       frees nothing */
  /*  4 */ Handle (*zepa_core_GenerateHandle)(void);        /* smallest handle held by no
                                                              slot; 0 when none is left */
  /*  5 */ int (*zepa_core_AddHandle)(Handle handle, const char *container, BoundFile *bf);
  /* Binds a loose file's stream to a free slot of the container. On 0 the
   * core owns bf's stream and strings. Status: 0 added, 1 handle already
   * held, 2 no usable stream (null, or ftell fails), 3 handle is 0, 4 no
   * container of that name, 5 all 64 slots taken (caller keeps bf). */
  /*  6 */ int (*zepa_core_FreeHandle)(Handle handle); /* 1 released (closing a
                                                       loose stream; the last
                                                       slot releases the container),
                                                       0 no slot holds it */
  /*  7 */ FILE *(*zepa_core_GetFSP)(Handle handle);   /* loose file's stream, null
                                                         for a contained file */
  /*  8 */ int (*zepa_core_RegisterContainer)(const char *ContainerFileName);
  /* 1 registered (a new record, even for a known name), 0 out of memory */
  /*  9 */ int (*zepa_core_UnregisterContainer)(const char *ContainerFileName);
  /* 1 removed (streams closed, names freed), 0 not registered */
  /* 10 */ uint32_t (*zepa_core_PrepareContainer)(const char *ContainerFileName);
  /* opens the file "rb" and reads its directory. error: ZEPA_OK,
   * ZEPA_E_NOCONTAINER (no unprepared record of that name), ZEPA_E_REALOPEN,
   * ZEPA_E_EOA (any directory failure; record left registered, unprepared) */
  /* 11 */ int (*zepa_core_IsContainerRegistered)(const char *name); /* 1 or 0 */
  /* 12 */ int (*zepa_core_IsContainerPrepared)(const char *name);   /* 1 or 0 */
  /* 13 */ int (*zepa_core_UnprepareContainer)(const char *name);
  /* frees the container's open files, closes its stream, empties its
   * directory; 1 done, 0 not registered */
  /* 14 */ uint32_t (*zepa_core_PrepareFile)(const char *ZEPA, const char *FileName);
  /* takes the lowest free slot for a directory entry. error: ZEPA_OK,
   * ZEPA_E_NOCONTAINER, ZEPA_E_NOFILE, ZEPA_E_TOOMANYCONTAINERS, ZEPA_E_NOMEM */
  /* 15 */ int (*zepa_core_CheckFileExists)(const char *container, const char *name);
  /* 16 */ int (*zepa_core_IsValidHandle)(Handle handle);                  /* 1 or 0 (0 for handle 0) */
  /* 17 */ void (*zepa_core_SetFileMode)(Handle handle, const char *mode); /* copies
                                                       mode; null on no memory */
  /* 18 */ const char *(*zepa_core_GetFileMode)(Handle handle);            /* core-owned, or null */
  /* 19 */ Handle (*zepa_core_GetHandle)(const char *container, const char *name);
  /* handle of the lowest open slot of that name; 0 if none */
  /* 20 */ uint32_t (*zepa_core_GetFileOffset)(Handle handle, uint32_t *offset);
  /* 21 */ uint32_t (*zepa_core_SetFileOffset)(Handle handle, uint32_t offset);
  /* 22 */ uint32_t (*zepa_core_GetFileLength)(Handle handle, uint32_t *length);
  /* 20-22 error: ZEPA_OK or ZEPA_E_BADHANDLE; out pointers may be null */
  /* 23 */ uint32_t (*zepa_core_ContainedRead)(Handle handle, uint32_t size, uint32_t count, void *buffer,
                                               ErrorNumber *errornumber);
  /* whole items read from the container stream at the file's offset; the
   * offset advances by size*count whatever happens. *errornumber: ZEPA_OK,
   * ZEPA_E_EOF (physical end), ZEPA_E_UNEXPECTED, ZEPA_E_BADARGS */
  /* 24 */ uint32_t (*zepa_core_GetPhysicalOffset)(Handle handle, uint32_t offset);
  /* position of that offset in the container file; 0xFFFFFFFF for a handle
   * no slot holds, or a loose file's handle */
  /* 25 */ uint8_t (*zepa_core_ReadOneByte)(Handle handle, ErrorNumber *errornumber);
  /* the next byte; 0 with ZEPA_E_EOF at the physical end, or no slot */
} CoreOps;

/* Starts the library if it is not started. Non-zero: started on return. */
ZEPA_API int zepa_Start(void);

/* Stops the library if it is started: every container and handle is freed. */
ZEPA_API void zepa_Stop(void);

/* Non-zero while the library is started. */
ZEPA_API int zepa_IsStarted(void);

/*
 * Opens FileName inside the container file ProjectedZEPA (registering it on
 * first use) or, failing that, the real file FileName. looseFirst non-zero
 * tries the real file first. Mode may hold only 'r', '+', 'b', 't'.
 * Returns the handle, or 0 with *errornumber (when errornumber is not null):
 * ZEPA_E_BADARGS (null argument), ZEPA_E_READONLY (mode), ZEPA_E_NOMEM,
 * ZEPA_E_REALOPEN (neither found), ZEPA_E_NOHANDLE, ZEPA_E_TOOMANYCONTAINERS.
 * A contained success leaves *errornumber as the caller set it; a loose
 * success stores ZEPA_OK.
 */
ZEPA_API uint32_t zepa_fopen(const char *ProjectedZEPA, const char *FileName, const char *Mode, uint32_t looseFirst,
                             uint16_t *errornumber);

/*
 * Reads count items of size bytes. Returns the number of whole items read.
 * *errornumber: ZEPA_OK, ZEPA_E_BADARGS (null buffer), ZEPA_E_BADHANDLE,
 * ZEPA_E_EOF (physical end of the container). A contained file's read runs
 * on into the following entries; only the container's end stops it.
 */
ZEPA_API uint32_t zepa_fread(void *buffer, uint32_t size, uint32_t count, uint32_t handle, uint16_t *errornumber);

/* Stores the file's length in bytes. ZEPA_OK, ZEPA_E_BADARGS (null length),
 * ZEPA_E_BADHANDLE. */
ZEPA_API uint16_t zepa_filelength(uint32_t handle, uint32_t *length);

/* Closes the handle (handle must not be 0). ZEPA_OK or ZEPA_E_BADHANDLE. */
ZEPA_API uint16_t zepa_fclose(uint32_t handle);

/*
 * The message of an error number ("Invalid and unknown error" for 17 and up).
 * When dest is not null, copies over length+1 bytes as strncpy does: the
 * message, then zero bytes; a message of length+1 characters or more fills
 * them with no terminator. dest must hold length+1 bytes. Returns the whole
 * message's length whatever length was.
 */
ZEPA_API uint32_t zepa_GetErrorString(uint16_t code, char *dest, uint32_t length);

/* Stores 0, 0, 2 through the pointers that are not null. */
ZEPA_API void zepa_GetVersion(uint32_t *a, uint32_t *b, uint32_t *c);

/* Absolute position in the container file of offset within the open file;
 * -1 for handle 0, a handle that is not valid, or a loose file. */
ZEPA_API int32_t zepa_GetPhysicalOffset(uint32_t handle, uint32_t offset);

/* The core's operation table. */
ZEPA_API const CoreOps *zepa_core_GetOps(void);

#ifdef __cplusplus
}
#endif

#endif /* ZEPA_H */
