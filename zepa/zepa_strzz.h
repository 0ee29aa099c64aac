// SPDX-License-Identifier: GPL-2.0-or-later
// zepa_strzz -- an ordered list of heap-owned zero-terminated strings that
// can render itself as one zz buffer ("ab\0cd\0\0").
//
// Built on zepa_link (the list part comes first, records are string
// pointers), so a strzz passes itself wherever a list is expected. Call every
// operation through the object's own pointers: names.Add(&names, "x").
// Running out of memory goes to one process-wide handler; the default one
// destroys the object, prints a message and aborts.
#pragma once

#include <cstdint>

#include "zepa_ll.h"

struct strzz {
  zepa_link list;    // records: one char* per entry
  char *zz;          // the rendered buffer; null until first built
  uint32_t zzValid;  // 1 while zz matches the entries

  // Appends a copy of s; nothing for a null object or string.
  void (*Add)(strzz *Obj, const char *s);
  // Frees and removes entry Index; nothing when Index >= count.
  void (*Remove)(strzz *Obj, uint32_t Index);
  // The number of entries (0 for a null object).
  uint32_t (*Count)(strzz *Obj);
  // Lowest index whose string equals s (strcmp); -1 when none.
  int32_t (*Find)(strzz *Obj, const char *s);
  // The object's own string at Index, or null when Index >= count.
  char *(*GetByIndex)(strzz *Obj, uint32_t Index);
  // Replaces entry Index by a copy of s; nothing when Index >= count.
  void (*SetByIndex)(strzz *Obj, uint32_t Index, const char *s);
  // Sum of all string lengths, without terminators.
  uint32_t (*GetTotalLength)(strzz *Obj);
  // Frees every string and zz; nulls zzValid and these nine pointers.
  void (*Destroy)(strzz *Obj);
  // The zz buffer (object-owned), rebuilt only after a change. An empty
  // list renders as a single zero byte. Null when out of memory.
  char *(*GetZZ)(strzz *Obj);
};

using strzz_oom_handler = void (*)(strzz *Obj);

// Initialises the list part, zz and the nine pointers; frees nothing.
void zepa_strzz_Init(strzz *Obj);

// Installs the out-of-memory handler; null restores the default.
void zepa_strzz_SetOutOfMemoryHandler(strzz_oom_handler handler);
// The handler in force (the default one when none was installed), so that a
// program's own handler can end by calling it.
strzz_oom_handler zepa_strzz_GetOutOfMemoryHandler();
