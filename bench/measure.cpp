// SPDX-License-Identifier: MIT
// The clocks and the side-by-side loop.
#include "measure.h"

#include <atomic>
#include <chrono>
#include <ctime>

namespace bench {

namespace {
std::atomic<int> g_failures{0};
} // namespace

bool check(benchmark::State &state, bool holds, const std::string &what) {
  if (holds) return true;
  ++g_failures;
  static std::string last;
  last = what;
  state.SkipWithError(last.c_str());
  return false;
}

int failed_checks() {
  return g_failures.load();
}

double now(Clock clock) {
  if (clock == Clock::wall)
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

void side_by_side(benchmark::State &state, const std::function<void()> &op,
                  const std::function<void()> &floor, Clock clock,
                  const std::function<void()> &before_op) {
  double op_s = 0, floor_s = 0;
  bool op_first = true;
  for (auto _ : state) {
    if (before_op) before_op();
    const std::function<void()> &first = op_first ? op : floor;
    const std::function<void()> &second = op_first ? floor : op;
    double t0 = now(clock);
    first();
    double t1 = now(clock);
    second();
    double t2 = now(clock);
    double a = op_first ? t1 - t0 : t2 - t1, b = op_first ? t2 - t1 : t1 - t0;
    op_first = !op_first;
    op_s += a;
    floor_s += b;
    state.SetIterationTime(a);
  }
  double n = (double)state.iterations();
  if (n == 0 || floor_s == 0) return;
  state.counters["floor_ns"] = floor_s / n * 1e9;
  state.counters["ratio"] = op_s / floor_s;
}

size_t total_bytes(const std::vector<std::string> &texts) {
  size_t n = 0;
  for (const auto &t : texts) n += t.size();
  return n;
}

void throughput(benchmark::State &state, const std::vector<std::string> &texts) {
  size_t bytes = total_bytes(texts);
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)bytes);
  state.counters["texts"] = (double)texts.size();
  state.counters["bytes"] = (double)bytes;
}

} // namespace bench
