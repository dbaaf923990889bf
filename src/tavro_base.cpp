// SPDX-License-Identifier: MIT
// Allocation, the JSON allocator and reader, and failing.
#include "tavro_base.h"

#include "tavro_service.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#if defined(TAVRO_FAULT_INJECTION)
#include <atomic>
// Test builds: tavro_fi_countdown > 0 counts allocations down; the one that
// brings it to zero fails. Zero or below: no failures.
std::atomic<long> tavro_fi_countdown{0};
std::atomic<long> tavro_fi_calls{0};
static bool fi_fail() {
  tavro_fi_calls.fetch_add(1, std::memory_order_relaxed);
  long v = tavro_fi_countdown.load(std::memory_order_relaxed);
  while (v > 0) {
    if (tavro_fi_countdown.compare_exchange_weak(v, v - 1, std::memory_order_relaxed))
      return v == 1;
  }
  return false;
}
#endif

// ---- Allocation -----------------------------------------------------------

void *tavro_malloc(size_t n) {
#if defined(TAVRO_FAULT_INJECTION)
  if (fi_fail()) return nullptr;
#endif
  return std::malloc(n ? n : 1);
}

void *tavro_realloc(void *p, size_t n) {
#if defined(TAVRO_FAULT_INJECTION)
  if (fi_fail()) return nullptr;
#endif
  return std::realloc(p, n ? n : 1);
}

void *tavro_malloc_large(size_t n) {
  void *p = tavro_malloc(n);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (p && n >= TAVRO_LARGE_BLOCK) {
    // Only the 2 MiB pages that lie wholly inside the block: nothing of
    // another block's memory is advised.
    constexpr uintptr_t huge = uintptr_t(2) << 20;
    uintptr_t from = ((uintptr_t)p + huge - 1) & ~(huge - 1);
    uintptr_t to = ((uintptr_t)p + n) & ~(huge - 1);
    // Advice only: a system without them simply refuses it.
    if (to > from) (void)madvise(reinterpret_cast<void *>(from), to - from, MADV_HUGEPAGE);
  }
#endif
  return p;
}

static void *alc_malloc(void *, size_t size) {
  return tavro_malloc(size);
}
static void *alc_realloc(void *, void *ptr, size_t, size_t size) {
  return tavro_realloc(ptr, size);
}
static void alc_free(void *, void *ptr) {
  std::free(ptr);
}

const yyjson_alc tavro_json_alc = {alc_malloc, alc_realloc, alc_free, nullptr};

yyjson_doc *tavro_json_read(const char *text, size_t len) {
  if (!text) return nullptr;
  // Without the in-situ flag yyjson copies the input and never writes to it.
  return yyjson_read_opts(const_cast<char *>(text), len, 0, &tavro_json_alc, nullptr);
}

// ---- Failing --------------------------------------------------------------

int tavro_fail(char *err, size_t err_size, int code, const char *fmt, ...) {
  if (err && err_size) {
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(err, err_size, fmt, ap);
    va_end(ap);
    if (n < 0) err[0] = '\0';
  }
  return code;
}

// ---- Wiping ---------------------------------------------------------------

void tavro_wipe(void *p, size_t n) {
  if (!p) return;
  volatile unsigned char *w = static_cast<volatile unsigned char *>(p);
  for (size_t i = 0; i < n; ++i) w[i] = 0;
}
