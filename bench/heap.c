/* SPDX-License-Identifier: MIT */
/*
 * A counting layer over glibc's allocator for the benchmark program: while
 * tracking is on, every block's usable size is added on allocation and
 * subtracted on release, and the highest total is kept. Defining malloc and
 * friends in the executable puts this layer under every allocation of the
 * process, the library's and yyjson's included. Off, it costs one relaxed
 * load per call.
 */
#define _GNU_SOURCE
#include "heap.h"

#include <errno.h>
#include <malloc.h>
#include <stdatomic.h>
#include <stdint.h>
#include <string.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t n, size_t size);
extern void *__libc_realloc(void *p, size_t size);
extern void *__libc_memalign(size_t align, size_t size);
extern void __libc_free(void *p);

static atomic_bool g_on;
static _Atomic int64_t g_live;
static _Atomic int64_t g_peak;

static void grew(void *p) {
  if (!p || !atomic_load_explicit(&g_on, memory_order_relaxed)) return;
  int64_t now =
      atomic_fetch_add_explicit(&g_live, (int64_t)malloc_usable_size(p), memory_order_relaxed) +
      (int64_t)malloc_usable_size(p);
  int64_t peak = atomic_load_explicit(&g_peak, memory_order_relaxed);
  while (now > peak && !atomic_compare_exchange_weak_explicit(
                           &g_peak, &peak, now, memory_order_relaxed, memory_order_relaxed)) {
  }
}

static void shrank(void *p) {
  if (!p || !atomic_load_explicit(&g_on, memory_order_relaxed)) return;
  atomic_fetch_sub_explicit(&g_live, (int64_t)malloc_usable_size(p), memory_order_relaxed);
}

void *malloc(size_t size) {
  void *p = __libc_malloc(size);
  grew(p);
  return p;
}

void *calloc(size_t n, size_t size) {
  void *p = __libc_calloc(n, size);
  grew(p);
  return p;
}

void *realloc(void *p, size_t size) {
  shrank(p);
  void *q = __libc_realloc(p, size);
  /* A failed realloc keeps the old block; a zero size frees it. */
  grew(q ? q : (size ? p : NULL));
  return q;
}

void free(void *p) {
  shrank(p);
  __libc_free(p);
}

void *memalign(size_t align, size_t size) {
  void *p = __libc_memalign(align, size);
  grew(p);
  return p;
}

void *aligned_alloc(size_t align, size_t size) {
  return memalign(align, size);
}

int posix_memalign(void **out, size_t align, size_t size) {
  if (align < sizeof(void *) || (align & (align - 1)) != 0) return EINVAL;
  void *p = memalign(align, size);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}

void bench_heap_begin(void) {
  atomic_store(&g_live, 0);
  atomic_store(&g_peak, 0);
  atomic_store(&g_on, 1);
}

int64_t bench_heap_end(void) {
  atomic_store(&g_on, 0);
  return atomic_load(&g_peak);
}
