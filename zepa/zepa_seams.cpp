// SPDX-License-Identifier: GPL-2.0-or-later
// The library's allocator, stdio table and assertion report.
#include "zepa_seams.h"

#include <cstdlib>
#include <cstring>

namespace zepa::seam {
namespace {

unsigned long g_allocations = 0;
unsigned long g_fail_at = 0;  // allocation number that fails; 0 = none

void libc_rewind(FILE *stream) { std::rewind(stream); }

const Stdio kLibcStdio = {
    .fopen = std::fopen,
    .fclose = std::fclose,
    .fread = std::fread,
    .fgetc = std::fgetc,
    .fseek = std::fseek,
    .ftell = std::ftell,
    .rewind = libc_rewind,
};

const Stdio *g_stdio = &kLibcStdio;

}  // namespace

void *alloc(std::size_t n) {
  ++g_allocations;
  if (g_fail_at != 0 && g_allocations == g_fail_at) {
    g_fail_at = 0;
    return nullptr;
  }
  return std::malloc(n == 0 ? 1 : n);
}

void release(void *p) { std::free(p); }

char *copy_string(const char *s) {
  const std::size_t n = std::strlen(s) + 1;
  auto *copy = static_cast<char *>(alloc(n));
  if (copy != nullptr) std::memcpy(copy, s, n);
  return copy;
}

void fail_allocation(unsigned long n) { g_fail_at = n == 0 ? 0 : g_allocations + n; }

unsigned long allocations() { return g_allocations; }

const Stdio &stdio() { return *g_stdio; }

void set_stdio(const Stdio *table) { g_stdio = table != nullptr ? table : &kLibcStdio; }

const Stdio &libc_stdio() { return kLibcStdio; }

void assertion_failed(const char *condition, const char *module, const char *operation) {
  std::fprintf(stderr, "%s: %s: Assertion `%s' failed.\n", module, operation, condition);
  std::abort();
}

}  // namespace zepa::seam
