// SPDX-License-Identifier: MIT
// Timing an operation next to its floor, the JSON work it cannot avoid.
// side_by_side times the two alternately in the same loop: the reported time
// is the operation's (the calling thread's CPU time, or the wall clock for
// stretches of a microsecond or less), and the counters floor_ns and ratio
// (operation time / floor time over the whole run) put them side by side.
// A failed check marks the benchmark as errored and makes the program exit
// non-zero.
#pragma once

#include <benchmark/benchmark.h>
#include <yyjson.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace bench {

// Marks the benchmark as failed unless the check holds; true when it holds.
bool check(benchmark::State &state, bool holds, const std::string &what);
// How many checks failed in this run.
int failed_checks();

// Two clocks. The thread's CPU time (user and system: page faults count)
// leaves out the time the thread waits while other processes run, which on
// a shared machine would weigh on the longer of two timed stretches; each
// reading costs a system call, so stretches of a microsecond or less use
// the wall clock instead.
enum class Clock { cpu, wall };
double now(Clock clock);

// Times op and floor alternately (the order flips every iteration, so
// neither always runs on a cache the other warmed). The iteration time is
// the operation's. before_op, when given, runs untimed at the start of
// every iteration.
void side_by_side(benchmark::State &state, const std::function<void()> &op,
                  const std::function<void()> &floor, Clock clock = Clock::cpu,
                  const std::function<void()> &before_op = {});

// The floor of an operation that reads an answer and writes a result: a
// strict yyjson parse of the exact bodies, then writing a text of the
// result's length into a caller's buffer.
struct Floor {
  std::vector<const std::string *> bodies;
  std::string result;
  std::vector<char> dest;

  void operator()() {
    for (const std::string *b : bodies) {
      yyjson_doc *d = yyjson_read(b->data(), b->size(), 0);
      benchmark::DoNotOptimize(d);
      yyjson_doc_free(d);
    }
    std::memcpy(dest.data(), result.data(), result.size() + 1);
    benchmark::ClobberMemory();
  }
};

size_t total_bytes(const std::vector<std::string> &texts);

// memcpy of each text of the corpus into one destination, one after the
// other: the same bytes an escape reads, moved without looking at them.
struct CopyFloor {
  const std::vector<std::string> *texts;
  std::vector<char> dest;
  explicit CopyFloor(const std::vector<std::string> &t)
      : texts(&t), dest(total_bytes(t) + t.size() + 1) {}
  void operator()() {
    char *w = dest.data();
    for (const auto &t : *texts) {
      std::memcpy(w, t.data(), t.size());
      w += t.size();
    }
    benchmark::ClobberMemory();
  }
};

// Bytes per second over the texts, and their number and size.
void throughput(benchmark::State &state, const std::vector<std::string> &texts);

} // namespace bench
