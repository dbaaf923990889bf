// The peak heap of a file listing next to yyjson's for the same answer.
#include "cases.h"
#include "heap.h"
#include "runs.h"

#include "tavro.h"

#include <yyjson.h>

namespace bench {

namespace {

void peak_heap(benchmark::State &state) {
  Listing l = files_listing((size_t)state.range(0));
  std::string why = prepare_listing(l, "\"folder\":false");
  if (!check(state, why.empty(), why)) return;
  std::vector<char> &out = out_buffer(0);
  int64_t peak = 0, floor_peak = 0;
  bool good = true;
  for (auto _ : state) {
    bench_heap_begin();
    good &= list_into(l, out) == TAVRO_OK;
    peak = bench_heap_end();
    // The floor's own peak: yyjson's document for the same body.
    bench_heap_begin();
    yyjson_doc *d = yyjson_read(l.body.data(), l.body.size(), 0);
    benchmark::DoNotOptimize(d);
    yyjson_doc_free(d);
    floor_peak = bench_heap_end();
  }
  check(state, good, "a measured listing failed");
  double body = (double)l.body.size();
  state.counters["body_bytes"] = body;
  state.counters["result_bytes"] = (double)l.result.size();
  state.counters["peak_bytes"] = (double)peak;
  state.counters["peak_per_body"] = (double)peak / body;
  state.counters["peak_per_body_and_result"] = (double)peak / (body + (double)l.result.size());
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
