// SPDX-License-Identifier: GPL-2.0-or-later
// Seams of the container library: its allocator, the stdio calls the core
// makes, and the checking build's assertions. Internal to the library and
// its tests; nothing here is exported from libzepa.so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace zepa::seam {

// Every heap block of the library comes from here.
void *alloc(std::size_t n);
void release(void *p);
// A heap copy of s (strlen + 1 bytes), or null when out of memory.
char *copy_string(const char *s);

// Test hook: the n-th allocation from now (1 = the next one) fails, once.
// 0 disables. allocations() counts every allocation attempted so far.
void fail_allocation(unsigned long n);
unsigned long allocations();

// The stdio calls of the core, replaceable so tests can fail any of them.
struct Stdio {
  FILE *(*fopen)(const char *path, const char *mode);
  int (*fclose)(FILE *stream);
  std::size_t (*fread)(void *buffer, std::size_t size, std::size_t count, FILE *stream);
  int (*fgetc)(FILE *stream);
  int (*fseek)(FILE *stream, long offset, int whence);
  long (*ftell)(FILE *stream);
  void (*rewind)(FILE *stream);
};

// The table in use (libc's unless a test replaced it).
const Stdio &stdio();
// Replaces the table; null restores libc's. The table must outlive its use.
void set_stdio(const Stdio *table);
// libc's own table, for wrappers that pass calls through.
const Stdio &libc_stdio();

// Prints "<module>: <operation>: Assertion `<condition>' failed." on
// standard error and aborts.
[[noreturn]] void assertion_failed(const char *condition, const char *module, const char *operation);

}  // namespace zepa::seam

// Checking-build precondition. Each source unit defines
// `constexpr char kModule[]` (its module name) before using it.
#ifdef NDEBUG
#define ZEPA_ASSERT(condition) static_cast<void>(kModule)
#else
#define ZEPA_ASSERT(condition) \
  ((condition) ? static_cast<void>(0) : ::zepa::seam::assertion_failed(#condition, kModule, __func__))
#endif
