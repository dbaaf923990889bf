/* SPDX-License-Identifier: MIT */
/* Peak heap growth of a stretch of code, measured by the benchmark program's
 * own allocator layer (heap.c). One stretch at a time. */
#ifndef TAVRO_BENCH_HEAP_H
#define TAVRO_BENCH_HEAP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Starts counting from zero. */
void bench_heap_begin(void);
/* Stops counting; the highest number of bytes held at once since the begin,
 * above what was held at the begin (usable sizes, as the allocator gives
 * them). */
int64_t bench_heap_end(void);

#ifdef __cplusplus
}
#endif

#endif
