// SPDX-License-Identifier: MIT
// What each operation costs next to the JSON work it cannot avoid (see
// measure.h for the method, cases.h for the cases).
//
//   tavro_bench [Google Benchmark flags]   the timed run
//   tavro_bench --probe=CASE               one operation and one floor, for
//                                          callgrind (bench/callgrind.sh);
//     [--probe-reps=N] [--probe-only=op|floor]   N of each, or of one only
// CASE is a case's probe name, with its argument after a dash when it has
// one: files-65536, download-1, season.
#include "cases.h"
#include "measure.h"
#include "runs.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

namespace bench {

namespace {

// Makes the case ready, times it next to its floor, then checks that every
// timed run did its whole work.
void run_case(benchmark::State &state, const Case &c, int64_t arg) {
  Ready r;
  std::string why = c.setup(arg, r);
  if (!check(state, why.empty(), why)) {
    if (r.done) r.done();
    return;
  }
  side_by_side(state, r.op, r.floor, r.clock, r.before_op);
  std::string verdict = r.verdict ? r.verdict() : "";
  if (r.done) r.done();
  if (!check(state, verdict.empty(), verdict)) return;
  if (r.counters) r.counters(state);
}

} // namespace

void register_cases() {
  for (const Case &c : cases()) {
    auto *b = benchmark::RegisterBenchmark(c.benchmark, [&c](benchmark::State &state) {
      run_case(state, c, c.arg_name ? state.range(0) : 0);
    });
    if (c.arg_name) {
      b->ArgName(c.arg_name);
      for (int64_t arg : c.args) b->Arg(arg);
    }
    b->UseManualTime()->Unit(c.unit);
  }
}

} // namespace bench

// The two functions whose inclusive instruction counts bench/callgrind.sh
// reads; C names, so that the profile names them plainly.
extern "C" __attribute__((noinline)) void tavro_probe_op(const std::function<void()> *f, int reps) {
  for (int i = 0; i < reps; ++i) (*f)();
}
extern "C" __attribute__((noinline)) void tavro_probe_floor(const std::function<void()> *f,
                                                            int reps) {
  for (int i = 0; i < reps; ++i) (*f)();
}

namespace {

// Runs one case once for warm-up, then reps times under each probe, then
// checks its work as the timed run does.
int probe(const std::string &name, int reps_given, const std::string &only) {
  size_t dash = name.find('-');
  std::string kind = name.substr(0, dash);
  int64_t arg = dash == std::string::npos ? 0 : std::strtoll(name.c_str() + dash + 1, nullptr, 10);
  const bench::Case *c = nullptr;
  for (const bench::Case &each : bench::cases())
    if (kind == each.probe) c = &each;
  if (!c) {
    std::fprintf(stderr, "probe %s: unknown case\n", name.c_str());
    return 1;
  }
  bench::Ready r;
  std::string why = c->setup(arg, r);
  if (!why.empty()) {
    if (r.done) r.done();
    std::fprintf(stderr, "probe %s: %s\n", name.c_str(), why.c_str());
    return 1;
  }
  if (r.before_op) r.before_op();
  r.op();
  r.floor();
  int reps = reps_given > 0 ? reps_given : r.probe_reps;
  // A case whose every operation needs its own untimed start is probed
  // with that start inside the count.
  std::function<void()> op = r.op;
  if (r.before_op)
    op = [&r] {
      r.before_op();
      r.op();
    };
  if (only != "floor") tavro_probe_op(&op, reps);
  if (only != "op") tavro_probe_floor(&r.floor, reps);
  std::string verdict = r.verdict ? r.verdict() : "";
  if (r.done) r.done();
  if (!verdict.empty()) {
    std::fprintf(stderr, "probe %s: %s\n", name.c_str(), verdict.c_str());
    return 1;
  }
  std::printf("probe %s reps %d\n", name.c_str(), reps);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  const char *probe_case = nullptr, *only = "";
  int reps = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--probe=", 8) == 0) probe_case = argv[i] + 8;
    if (std::strncmp(argv[i], "--probe-reps=", 13) == 0) reps = std::atoi(argv[i] + 13);
    if (std::strncmp(argv[i], "--probe-only=", 13) == 0) only = argv[i] + 13;
  }
  if (probe_case) return probe(probe_case, reps, only);
  bench::register_cases();
  bench::register_two_threads();
  bench::register_memory();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (int failed = bench::failed_checks()) {
    std::fprintf(stderr, "%d benchmark check(s) failed\n", failed);
    return 1;
  }
  return 0;
}
