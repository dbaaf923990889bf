// SPDX-License-Identifier: MIT
// The peak heap of a file listing next to yyjson's for the same answer.
#include "cases.h"
#include "corpus.h"
#include "heap.h"
#include "runs.h"

#include "tavro.h"
#include "tavro_keep.h"

#include <yyjson.h>

namespace bench {

namespace {

// Each iteration measures listings of the same answer: a cold one, on a
// thread that keeps no memory from earlier calls and whose last result is
// small, and a warm one, the third in a row, which finds the kept blocks
// and the result copy of the one before. The peak is the most held at once during the call above
// what was held before it; memory the thread keeps between calls is reported apart (kept_bytes),
// since a warm call's peak leaves it out.
void peak_heap(benchmark::State &state) {
  Listing l = files_listing((size_t)state.range(0));
  std::string why = prepare_listing(l, "\"folder\":false");
  if (!check(state, why.empty(), why)) return;
  std::vector<char> &out = out_buffer(0);
  int64_t cold = 0, warm = 0, floor_peak = 0;
  uint64_t kept = 0;
  bool good = true;
  for (auto _ : state) {
    char small[256];
    tavro_list(kSettings.c_str(), nullptr, small, sizeof small);
    tavro_keep_clear();
    bench_heap_begin();
    good &= list_into(l, out) == TAVRO_OK;
    cold = bench_heap_end();
    // The second call finds the first one's result copy, and a thread that
    // gave up its kept blocks to make it; the third finds both.
    good &= list_into(l, out) == TAVRO_OK;
    bench_heap_begin();
    good &= list_into(l, out) == TAVRO_OK;
    warm = bench_heap_end();
    kept = tavro_keep_total();
    // The floor's own peak: yyjson's document for the same body.
    bench_heap_begin();
    yyjson_doc *d = yyjson_read(l.body.data(), l.body.size(), 0);
    benchmark::DoNotOptimize(d);
    yyjson_doc_free(d);
    floor_peak = bench_heap_end();
  }
  check(state, good, "a measured listing failed");
  double body = (double)l.body.size(), result = (double)l.result.size();
  double larger = (double)floor_peak > result ? (double)floor_peak : result;
  state.counters["body_bytes"] = body;
  state.counters["result_bytes"] = result;
  state.counters["peak_bytes"] = (double)cold;
  state.counters["peak_per_body"] = (double)cold / body;
  state.counters["peak_per_body_and_result"] = (double)cold / (body + result);
  state.counters["peak_per_larger"] = (double)cold / larger;
  state.counters["warm_peak_bytes"] = (double)warm;
  state.counters["kept_bytes"] = (double)kept;
  state.counters["yyjson_peak_per_body"] = (double)floor_peak / body;
}
} // namespace

void register_memory() {
  benchmark::RegisterBenchmark("BM_ListFilesPeakHeap", peak_heap)
      ->ArgName("files")
      ->Arg(1000)
      ->Arg(10000)
      ->Arg(65536)
      ->Iterations(3)
      ->Unit(benchmark::kMillisecond);
}

} // namespace bench
