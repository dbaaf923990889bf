// SPDX-License-Identifier: MIT
// Two threads through a host transport and through the fake.
#include "cases.h"
#include "corpus.h"
#include "runs.h"

#include "tavro.h"

#include <atomic>
#include <barrier>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unordered_map>

namespace bench {

namespace {

// A host transport that answers from a read-only table: no lock anywhere,
// so whatever contention shows is the library's own. A form POST is found
// as the fake finds it: by its URL, then '&' and its fields.
struct HostTable {
  std::unordered_map<std::string, std::string> answers;
};

int host_get(void *ctx, const char *url, char **body, int32_t *status, char **) {
  const auto &answers = static_cast<const HostTable *>(ctx)->answers;
  auto it = answers.find(url);
  if (it == answers.end()) return -1;
  const std::string &b = it->second;
  *body = static_cast<char *>(std::malloc(b.size() + 1));
  std::memcpy(*body, b.c_str(), b.size() + 1);
  *status = 200;
  return 0;
}

int host_post(void *ctx, const char *url, const char *form, const char *, char **body,
              int32_t *status, char **error) {
  std::string filed = url;
  if (*form) filed.append("&").append(form);
  return host_get(ctx, filed.c_str(), body, status, error);
}

HostTable &host_table() {
  static HostTable t = [] {
    HostTable h;
    const Listing &l = files_listing(1000);
    h.answers[l.url] = l.body;
    h.answers[kUserUrl] = kUserBody;
    return h;
  }();
  return t;
}

enum class Via { host, fake, none };
// The two operations, and as controls their floors, which hold no code of
// the library: whatever keeps two threads of a floor from running twice as
// fast is the machine's (its shared memory bandwidth), not the library's.
enum class Op { list, validate, list_floor, validate_floor };

// One thread, then two, in turns a few milliseconds long within every
// iteration: load from elsewhere on the machine then weighs on both phases
// alike, where separate runs of each would catch it at different moments.
// Reports the operations per second of each phase and their ratio.
void two_threads(benchmark::State &state, Via via, Op op) {
  static tavro_io io;
  const Listing &l = files_listing(1000);
  if (via == Via::host) {
    io = tavro_io{&host_table(), host_get, host_post, nullptr};
    tavro_set_io(&io);
  } else if (via == Via::fake) {
    tavro_fake_reset();
    tavro_fake_set("POST", l.url.c_str(), 200, l.body.c_str());
    tavro_fake_set("GET", kUserUrl.c_str(), 200, kUserBody.c_str());
    tavro_use_fake();
  }
  // The floors' result text: the listing's own, taken once.
  std::string result;
  if (op == Op::list_floor) {
    std::vector<char> out(1 << 20);
    io = tavro_io{&host_table(), host_get, host_post, nullptr};
    tavro_set_io(&io);
    if (!check(state, list_into(l, out) == TAVRO_OK, "listing failed")) return;
    result = out.data();
  }
  const bool listing = op == Op::list || op == Op::list_floor;
  const int burst = listing ? 20 : 5000;
  std::atomic<int> failures{0};
  auto run = [&, settings = kSettings.c_str()](std::vector<char> &out) {
    for (int i = 0; i < burst; ++i) {
      int rc = TAVRO_OK;
      switch (op) {
      case Op::list:
        rc = tavro_list(settings, l.folder.c_str(), out.data(), (int32_t)out.size());
        break;
      case Op::validate:
        rc = tavro_validate(settings, out.data(), (int32_t)out.size());
        break;
      case Op::list_floor: {
        yyjson_doc *d = yyjson_read(l.body.data(), l.body.size(), 0);
        benchmark::DoNotOptimize(d);
        yyjson_doc_free(d);
        std::memcpy(out.data(), result.data(), result.size() + 1);
        benchmark::ClobberMemory();
        break;
      }
      case Op::validate_floor:
        for (const std::string *text : {&kSettings, &kUserBody}) {
          yyjson_doc *d = yyjson_read(text->data(), text->size(), 0);
          benchmark::DoNotOptimize(d);
          yyjson_doc_free(d);
        }
        break;
      }
      if (rc != TAVRO_OK) ++failures;
    }
  };
  std::barrier sync(2);
  std::atomic<bool> stop{false};
  std::thread helper([&] {
    std::vector<char> out(1 << 20);
    for (;;) {
      sync.arrive_and_wait();
      if (stop) return;
      run(out);
      sync.arrive_and_wait();
    }
  });
  std::vector<char> out(1 << 20);
  double one = 0, two = 0;
  for (auto _ : state) {
    double t0 = now(Clock::wall);
    run(out);
    double t1 = now(Clock::wall);
    sync.arrive_and_wait(); // the helper starts its burst
    run(out);
    sync.arrive_and_wait(); // and has finished it
    double t2 = now(Clock::wall);
    one += t1 - t0;
    two += t2 - t1;
    state.SetIterationTime(t2 - t0);
  }
  stop = true;
  sync.arrive_and_wait();
  helper.join();
  check(state, failures.load() == 0, "an operation failed: " + std::string(tavro_last_error()));
  double n = (double)state.iterations() * burst;
  if (one > 0 && two > 0) {
    state.counters["ops_per_s_1"] = n / one;
    state.counters["ops_per_s_2"] = 2 * n / two;
    state.counters["speedup"] = (2 * n / two) / (n / one);
  }
}
} // namespace

void register_two_threads() {
  const struct {
    const char *name;
    Via via;
    Op op;
  } runs[] = {
      {"list_1000_host", Via::host, Op::list},
      {"list_1000_fake", Via::fake, Op::list},
      {"validate_host", Via::host, Op::validate},
      {"validate_fake", Via::fake, Op::validate},
      {"list_1000_floor", Via::none, Op::list_floor},
      {"validate_floor", Via::none, Op::validate_floor},
  };
  for (const auto &r : runs)
    benchmark::RegisterBenchmark(
        (std::string("BM_TwoThreads/") + r.name).c_str(),
        [via = r.via, op = r.op](benchmark::State &state) { two_threads(state, via, op); })
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

} // namespace bench
