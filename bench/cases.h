// SPDX-License-Identifier: MIT
// The benchmark cases, in one table that serves the timed run (Google
// Benchmark) and the probes (--probe=CASE, for callgrind): each case is made
// ready once, its operation checked, and then timed next to its floor.
// Also the fixtures the thread and memory benchmarks share with them.
#pragma once

#include "measure.h"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bench {

// A case made ready: the operation and its floor, checked once already.
struct Ready {
  std::function<void()> op, floor;
  // Runs untimed before each operation (may be empty).
  std::function<void()> before_op;
  Clock clock = Clock::cpu;
  // Runs of each in one probe: enough for the instruction counts to dwarf
  // the set-up's.
  int probe_reps = 1;
  // After the timed runs: "" when every run of op did its whole work, else
  // what went wrong.
  std::function<std::string()> verdict;
  // The case's own counters, after a good run (may be empty).
  std::function<void(benchmark::State &)> counters;
  // Undoes what the set-up changed in the library (may be empty); runs
  // whether the set-up succeeded or not.
  std::function<void()> done;
};

struct Case {
  const char *benchmark; // the Google Benchmark name, "BM_ListFiles"
  const char *probe;     // the probe's name: --probe=files-1000, --probe=season
  const char *arg_name;  // the argument's name, or null for a case without one
  std::vector<int64_t> args;
  benchmark::TimeUnit unit;
  // Makes the case ready for arg (0 without one); "" or why it could not.
  std::string (*setup)(int64_t arg, Ready &ready);
};

const std::vector<Case> &cases();

// ---- Shared fixtures ------------------------------------------------------

// One listing: the answer, the URL it answers (both listings are form
// POSTs; this is the URL the fake files the POST under), the folder to ask
// for, and the operation's result (taken at set-up, after checking it).
struct Listing {
  std::string url, body, folder, result;
  size_t entries = 0;
};

const Listing &files_listing(size_t files);
// A caller's buffer with room for any result of these benchmarks' sizes.
std::vector<char> &out_buffer(size_t at_least);
int list_into(const Listing &l, std::vector<char> &out);
// Puts the listing's answer in the fake's store, lists once and checks the
// result (code, entry count and kind); "" or what went wrong.
std::string prepare_listing(Listing &l, const char *kind);

// The account check's request and answer.
extern const std::string kUserUrl, kUserBody;

} // namespace bench
