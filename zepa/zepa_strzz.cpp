// SPDX-License-Identifier: GPL-2.0-or-later
// zepa_strzz -- the string list and its zz rendering.
#include "zepa_strzz.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zepa_seams.h"

namespace {

constexpr char kModule[] = "zepa_strzz";
constexpr char kSourceFile[] = "zepa_strzz.cpp";

// The index precondition compares with -1 as the callers know it.
#pragma GCC diagnostic ignored "-Wsign-compare"

using zepa::seam::alloc;
using zepa::seam::copy_string;
using zepa::seam::release;

void _DefaultOutOfMemory(strzz *Obj) {
  if (Obj != nullptr && Obj->Destroy != nullptr) Obj->Destroy(Obj);
  std::printf("%s : Out of memory (strzz object %p), unhandled\n", kSourceFile, static_cast<void *>(Obj));
  std::fflush(stdout);
  std::abort();
}

strzz_oom_handler _oomHandler = _DefaultOutOfMemory;

zepa_link *list_of(strzz *Obj) { return &Obj->list; }

uint32_t list_count(strzz *Obj) { return Obj->list.l_Count(list_of(Obj)); }

char *string_at(strzz *Obj, uint32_t Index) {
  char *s = nullptr;
  Obj->list.l_Get(list_of(Obj), Index, &s);
  return s;
}

void _Add(strzz *Obj, const char *s) {
  if (Obj == nullptr || s == nullptr) return;
  char *copy = copy_string(s);
  if (copy == nullptr) {
    _oomHandler(Obj);
    return;
  }
  if (Obj->list.l_Add(list_of(Obj), &copy) == 0) {
    release(copy);
    _oomHandler(Obj);
    return;
  }
  Obj->zzValid = 0;
}

void _Remove(strzz *Obj, uint32_t Index) {
  ZEPA_ASSERT(Index != -1);
  if (Obj == nullptr || Index >= list_count(Obj)) return;
  release(string_at(Obj, Index));
  Obj->list.l_DelByPos(list_of(Obj), Index);
  Obj->zzValid = 0;
}

uint32_t _Count(strzz *Obj) { return Obj == nullptr ? 0 : list_count(Obj); }

int32_t _Find(strzz *Obj, const char *s) {
  if (Obj == nullptr || s == nullptr) return -1;
  const uint32_t count = list_count(Obj);
  for (uint32_t i = 0; i < count; ++i) {
    if (std::strcmp(string_at(Obj, i), s) == 0) return static_cast<int32_t>(i);
  }
  return -1;
}

char *_GetByIndex(strzz *Obj, uint32_t Index) {
  ZEPA_ASSERT(Index != -1);
  if (Obj == nullptr || Index >= list_count(Obj)) return nullptr;
  return string_at(Obj, Index);
}

void _SetByIndex(strzz *Obj, uint32_t Index, const char *s) {
  ZEPA_ASSERT(Index != -1);
  if (Obj == nullptr || s == nullptr || Index >= list_count(Obj)) return;
  char *old = string_at(Obj, Index);
  char *copy = copy_string(s);
  if (copy == nullptr) {
    _oomHandler(Obj);
    return;
  }
  release(old);
  Obj->list.l_Set(list_of(Obj), Index, &copy);
  Obj->zzValid = 0;
}

uint32_t _GetTotalLength(strzz *Obj) {
  if (Obj == nullptr) return 0;
  uint32_t total = 0;
  const uint32_t count = list_count(Obj);
  for (uint32_t i = 0; i < count; ++i) total += static_cast<uint32_t>(std::strlen(string_at(Obj, i)));
  return total;
}

void _RemoveAll(strzz *Obj) {
  while (list_count(Obj) != 0) {
    release(string_at(Obj, 0));
    Obj->list.l_DelByPos(list_of(Obj), 0);
  }
}

void _Destroy(strzz *Obj) {
  if (Obj == nullptr) return;
  _RemoveAll(Obj);
  if (Obj->zz != nullptr) release(Obj->zz);
  Obj->zz = nullptr;
  Obj->zzValid = 0;
  Obj->Add = nullptr;
  Obj->Remove = nullptr;
  Obj->Count = nullptr;
  Obj->Find = nullptr;
  Obj->GetByIndex = nullptr;
  Obj->SetByIndex = nullptr;
  Obj->GetTotalLength = nullptr;
  Obj->Destroy = nullptr;
  Obj->GetZZ = nullptr;
}

char *_GetZZ(strzz *Obj) {
  if (Obj == nullptr) return nullptr;
  if (Obj->zz == nullptr) Obj->zzValid = 0;
  if (Obj->zzValid == 1) return Obj->zz;

  const uint32_t count = list_count(Obj);
  std::size_t size = 1;  // the final zero byte; an empty list is just that
  for (uint32_t i = 0; i < count; ++i) size += std::strlen(string_at(Obj, i)) + 1;

  if (Obj->zz != nullptr) release(Obj->zz);
  Obj->zz = static_cast<char *>(alloc(size));
  if (Obj->zz == nullptr) {
    _oomHandler(Obj);
    return nullptr;
  }
  char *out = Obj->zz;
  for (uint32_t i = 0; i < count; ++i) {
    const char *s = string_at(Obj, i);
    const std::size_t n = std::strlen(s) + 1;
    std::memcpy(out, s, n);
    out += n;
  }
  *out = '\0';
  Obj->zzValid = 1;
  return Obj->zz;
}

}  // namespace

void zepa_strzz_Init(strzz *Obj) {
  if (Obj == nullptr) return;
  zepa_link_ptrs_init(&Obj->list, sizeof(char *));
  Obj->zz = nullptr;
  Obj->zzValid = 0;
  Obj->Add = _Add;
  Obj->Remove = _Remove;
  Obj->Count = _Count;
  Obj->Find = _Find;
  Obj->GetByIndex = _GetByIndex;
  Obj->SetByIndex = _SetByIndex;
  Obj->GetTotalLength = _GetTotalLength;
  Obj->Destroy = _Destroy;
  Obj->GetZZ = _GetZZ;
}

void zepa_strzz_SetOutOfMemoryHandler(strzz_oom_handler handler) {
  _oomHandler = handler != nullptr ? handler : _DefaultOutOfMemory;
}

strzz_oom_handler zepa_strzz_GetOutOfMemoryHandler() { return _oomHandler; }
