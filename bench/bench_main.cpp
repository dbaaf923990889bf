// What each operation costs next to the JSON work it cannot avoid. Every
// side-by-side benchmark times the operation and its floor alternately in
// the same loop: the reported time is the operation's (the calling thread's
// CPU time, except for the per-call overhead, timed by the wall clock), and
// the counters floor_ns and ratio (operation time / floor time over the
// whole run) put the two next to each other. Each benchmark checks that the operation did
// its whole work (result code, number of entries, chosen file); a failed
// check marks the benchmark as errored and makes the program exit non-zero.
//
//   tavro_bench [Google Benchmark flags]   the timed run
//   tavro_bench --probe=CASE               one operation and one floor, for
//                                          callgrind (bench/callgrind.sh);
//     [--probe-reps=N] [--probe-only=op|floor]   N of each, or of one only
#include "corpus.h"
#include "heap.h"

#include "tavro.h"
#include "tavro_io_fake.h"
#include "tavro_recognise.h"
#include "tavro_secret.h"
#include "tavro_text.h"

#include <benchmark/benchmark.h>
#include <yyjson.h>

#include <atomic>
#include <cstdlib>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using bench::api;
using bench::ok;

std::atomic<int> g_failures{0};

// Marks the benchmark as failed unless the check holds; true when it holds.
bool check(benchmark::State &state, bool holds, const std::string &what) {
  if (holds) return true;
  ++g_failures;
  static std::string last;
  last = what;
  state.SkipWithError(last.c_str());
  return false;
}

// ---- Side by side ---------------------------------------------------------

// Two clocks. The thread's CPU time (user and system: page faults count)
// leaves out the time the thread waits while other processes run, which on
// a shared machine would weigh on the longer of two timed stretches; each
// reading costs a system call, so stretches of a microsecond or less use
// the wall clock instead.
enum class Clock { cpu, wall };

double now(Clock clock) {
  if (clock == Clock::wall)
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

// Times op and floor alternately (the order flips every iteration, so
// neither always runs on a cache the other warmed). The iteration time is
// the operation's.
void side_by_side(benchmark::State &state, const std::function<void()> &op,
                  const std::function<void()> &floor, Clock clock = Clock::cpu) {
  double op_s = 0, floor_s = 0;
  bool op_first = true;
  for (auto _ : state) {
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

// ---- Fixtures -------------------------------------------------------------

constexpr long long kMagnetId = 231000123;

// The query value encoding the library uses.
std::string pct(const std::string &v) {
  static const char hex[] = "0123456789ABCDEF";
  std::string e;
  for (unsigned char c : v) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      e += (char)c;
    } else {
      e += '%';
      e += hex[c >> 4];
      e += hex[c & 15];
    }
  }
  return e;
}

// One listing: the answer, the URL it answers (both listings are form
// POSTs; this is the URL the fake files the POST under), the folder to ask
// for, and the operation's result (taken once at setup, after checking it).
struct Listing {
  std::string url, body, folder, result;
  size_t entries = 0;
};

const Listing &files_listing(size_t files) {
  static std::map<size_t, Listing> cache;
  auto it = cache.find(files);
  if (it != cache.end()) return it->second;
  Listing l;
  l.url = api("/magnet/files", "id[]=" + std::to_string(kMagnetId));
  l.body = bench::files_body(kMagnetId, bench::collection_tree(), files);
  l.folder = "m" + std::to_string(kMagnetId);
  l.entries = files;
  return cache.emplace(files, std::move(l)).first->second;
}

const Listing &magnets_listing(size_t magnets) {
  static std::map<size_t, Listing> cache;
  auto it = cache.find(magnets);
  if (it != cache.end()) return it->second;
  Listing l;
  l.url = bench::status_url();
  l.body = bench::magnets_body(magnets);
  l.folder = "torrents";
  l.entries = magnets;
  return cache.emplace(magnets, std::move(l)).first->second;
}

// A caller's buffer with room for any result of these benchmarks' sizes.
std::vector<char> &out_buffer(size_t at_least) {
  static std::vector<char> out;
  if (out.size() < at_least) out.assign(at_least, '\0');
  return out;
}

int list_into(const Listing &l, std::vector<char> &out) {
  return tavro_list(bench::kSettings.c_str(), l.folder.c_str(), out.data(), (int32_t)out.size());
}

// Puts the listing's answer in the fake's store, lists once and checks the
// result: code, entry count and the entry kind.
bool prepare_listing(benchmark::State &state, Listing &l, const char *kind) {
  tavro_fake_reset();
  tavro_use_fake();
  if (!check(state, tavro_fake_set("POST", l.url.c_str(), 200, l.body.c_str()) == 0, "fake_set"))
    return false;
  std::vector<char> &out = out_buffer(l.body.size() * 8 + 4096);
  int rc = list_into(l, out);
  if (!check(state, rc == TAVRO_OK, "tavro_list failed: " + std::string(tavro_last_error())))
    return false;
  l.result = out.data();
  size_t n = bench::count_of(l.result, kind);
  return check(state, n == l.entries,
               "listed " + std::to_string(n) + " entries, wanted " + std::to_string(l.entries));
}

void list_side_by_side(benchmark::State &state, Listing &l, const char *kind) {
  if (!prepare_listing(state, l, kind)) return;
  std::vector<char> &out = out_buffer(0);
  Floor floor{{&l.body}, l.result, std::vector<char>(l.result.size() + 1)};
  bool good = true;
  side_by_side(
      state,
      [&] {
        good &= list_into(l, out) == TAVRO_OK;
        benchmark::ClobberMemory();
      },
      floor);
  if (!check(state, good, "a timed listing failed")) return;
  state.counters["body_bytes"] = (double)l.body.size();
  state.counters["result_bytes"] = (double)l.result.size();
  state.counters["per_entry"] =
      benchmark::Counter((double)l.entries, benchmark::Counter::kIsIterationInvariantRate |
                                                benchmark::Counter::kInvert);
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)l.body.size());
}

// ---- 1, 2: listings -------------------------------------------------------

void BM_ListFiles(benchmark::State &state) {
  Listing &l = const_cast<Listing &>(files_listing((size_t)state.range(0)));
  list_side_by_side(state, l, "\"folder\":false");
}
BENCHMARK(BM_ListFiles)
    ->ArgName("files")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(65536)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

void BM_ListMagnets(benchmark::State &state) {
  Listing &l = const_cast<Listing &>(magnets_listing((size_t)state.range(0)));
  list_side_by_side(state, l, "\"folder\":true");
}
BENCHMARK(BM_ListMagnets)
    ->ArgName("magnets")
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// ---- 3: per-call overhead -------------------------------------------------

const std::string kUserUrl = api("/user");
const std::string kUserBody =
    ok(R"({"user":{"username":"demo-user","email":"d***@example.com","isPremium":true,)"
       R"("isSubscribed":false,"isTrial":false,"premiumUntil":1767225600,"lang":"en",)"
       R"("preferedDomain":"com","fidelityPoints":120,"limitedHostersQuotas":{"ddl":5000},)"
       R"("remainingTrialQuota":0,"notifications":[]}})");

// A bare parse of the settings plus one exchange of the fake transport for
// the validation request (the answer released as the library does).
void overhead_floor() {
  yyjson_doc *d = yyjson_read(bench::kSettings.data(), bench::kSettings.size(), 0);
  benchmark::DoNotOptimize(d);
  yyjson_doc_free(d);
  const tavro_io *io = tavro_io_fake();
  char *body = nullptr, *error = nullptr;
  int32_t status = 0;
  io->get(io->ctx, kUserUrl.c_str(), &body, &status, &error);
  benchmark::DoNotOptimize(body);
  if (body) io->free(io->ctx, body);
  if (error) io->free(io->ctx, error);
}

bool prepare_user(benchmark::State &state) {
  tavro_fake_reset();
  tavro_use_fake();
  return check(state, tavro_fake_set("GET", kUserUrl.c_str(), 200, kUserBody.c_str()) == 0,
               "fake_set");
}

void BM_Validate(benchmark::State &state) {
  if (!prepare_user(state)) return;
  char out[1024];
  const char *settings = bench::kSettings.c_str();
  bool good = tavro_validate(settings, out, sizeof out) == TAVRO_OK &&
              std::strstr(out, "\"ID\":\"3f2a9c1e-7b4d-4e8a-9c2f-1a2b3c4d5e6f\"");
  if (!check(state, good, "tavro_validate failed: " + std::string(tavro_last_error()))) return;
  side_by_side(
      state, [&] { good &= tavro_validate(settings, out, sizeof out) == TAVRO_OK; }, overhead_floor,
      Clock::wall);
  check(state, good, "a timed validation failed");
}
BENCHMARK(BM_Validate)->UseManualTime()->Unit(benchmark::kNanosecond);

void BM_ListRoot(benchmark::State &state) {
  if (!prepare_user(state)) return;
  char out[1024];
  const char *settings = bench::kSettings.c_str();
  bool good = tavro_list(settings, nullptr, out, sizeof out) == TAVRO_OK &&
              std::strstr(out, "\"torrents\"");
  if (!check(state, good, "root listing failed")) return;
  side_by_side(
      state, [&] { good &= tavro_list(settings, nullptr, out, sizeof out) == TAVRO_OK; },
      overhead_floor, Clock::wall);
  check(state, good, "a timed root listing failed");
}
BENCHMARK(BM_ListRoot)->UseManualTime()->Unit(benchmark::kNanosecond);

// ---- 4: download with instant pick ----------------------------------------

constexpr long long kPackId = 4242;
const std::string kPackMagnet = "magnet:?xt=urn:btih:0123456789abcdef0123456789abcdef01234567"
                                "&dn=The.Long.Night.Complete.Series.1080p";

struct Download {
  std::string request, files_body, add_body, unlock_body, want_name;
  // The three form POSTs, as the fake files them.
  std::string add_url, files_url, unlock_url;
  std::string result;
};

// The season pack: 40 seasons of 50 episodes with four subtitles each. In
// episode mode the wanted episode is S40E50, near the end of the walk; in
// largest-file mode every file is compared.
Download &download_case(bool episode) {
  static std::unique_ptr<Download> cases[2];
  std::unique_ptr<Download> &c = cases[episode];
  if (c) return *c;
  c = std::make_unique<Download>();
  bench::Tree tree = bench::season_pack_tree();
  std::vector<bench::FileRef> files = bench::files_of(kPackId, tree, 10000);
  const bench::FileRef *want = nullptr;
  for (const auto &f : files) {
    if (episode ? f.path.find("S40E50") != std::string::npos : (!want || f.size > want->size))
      want = &f;
    if (episode && want) break;
  }
  c->request = R"({"Link":")" + kPackMagnet + "\"" +
               (episode ? R"(,"FullSeason":true,"Season":40,"Episode":50)" : "") + "}";
  c->files_body = bench::files_body(kPackId, tree, 10000);
  c->add_url = api("/magnet/upload", "magnets[]=" + pct(kPackMagnet));
  c->add_body = ok(R"({"magnets":[{"magnet":")" + kPackMagnet +
                   R"(","hash":"0123456789abcdef0123456789abcdef01234567",)"
                   R"("name":"The.Long.Night.Complete.Series.1080p","size":412345678901,)"
                   R"("ready":true,"id":)" +
                   std::to_string(kPackId) + "}]}");
  c->files_url = api("/magnet/files", "id[]=" + std::to_string(kPackId));
  c->unlock_url = api("/link/unlock", "link=" + pct(want->link));
  c->want_name = want->path.substr(want->path.rfind('/') + 1);
  c->unlock_body =
      ok(R"({"link":"https://cdn.example.net/dl/7f3a91/)" + pct(c->want_name) +
         R"(","host":"alldebrid","filename":")" + c->want_name + R"(","filesize":)" +
         std::to_string(want->size) + R"(,"streaming":[],"paws":false,"id":"7f3a91"})");
  return *c;
}

void BM_DownloadInstant(benchmark::State &state) {
  bool episode = state.range(0) == 1;
  Download &d = download_case(episode);
  tavro_fake_reset();
  tavro_use_fake();
  tavro_allow_writes(1);
  bool stored = tavro_fake_set("POST", d.add_url.c_str(), 200, d.add_body.c_str()) == 0 &&
                tavro_fake_set("POST", d.files_url.c_str(), 200, d.files_body.c_str()) == 0 &&
                tavro_fake_set("POST", d.unlock_url.c_str(), 200, d.unlock_body.c_str()) == 0;
  if (!check(state, stored, "fake_set")) return;
  std::vector<char> out(1 << 16);
  const char *settings = bench::kSettings.c_str();
  int rc = tavro_download(settings, d.request.c_str(), out.data(), (int32_t)out.size());
  if (!check(state, rc == TAVRO_OK, "tavro_download failed: " + std::string(tavro_last_error())))
    return;
  d.result = out.data();
  if (!check(state,
             d.result.starts_with("{\"InstantURL\":") &&
                 d.result.find("\"InstantName\":\"" + d.want_name + "\"") != std::string::npos,
             "unexpected pick: " + d.result.substr(0, 200)))
    return;
  Floor floor{{&d.add_body, &d.files_body, &d.unlock_body},
              d.result,
              std::vector<char>(d.result.size() + 1)};
  bool good = true;
  side_by_side(
      state,
      [&] {
        good &= tavro_download(settings, d.request.c_str(), out.data(), (int32_t)out.size()) ==
                TAVRO_OK;
      },
      floor);
  tavro_allow_writes(0);
  check(state, good, "a timed download failed");
  state.counters["per_file"] = benchmark::Counter(
      10000, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DownloadInstant)
    ->ArgName("episode_mode")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// ---- 5: recognisers and escapes -------------------------------------------

const std::vector<std::string> &names() {
  static const std::vector<std::string> n = bench::episode_names(12000);
  return n;
}

size_t total_bytes(const std::vector<std::string> &texts) {
  size_t n = 0;
  for (const auto &t : texts) n += t.size();
  return n;
}

// Reading each name once (strlen): the least any recogniser must do.
void names_floor() {
  size_t n = 0;
  for (const auto &name : names()) n += std::strlen(name.c_str());
  benchmark::DoNotOptimize(n);
}

size_t recognise_all() {
  size_t recognised = 0;
  for (const auto &n : names()) {
    int s = 0, e = 0;
    recognised += (size_t)tavro_season_episode(n.c_str(), &s, &e);
    benchmark::DoNotOptimize(s);
    benchmark::DoNotOptimize(e);
  }
  return recognised;
}

void BM_SeasonEpisode(benchmark::State &state) {
  const std::vector<std::string> &corpus = names();
  size_t recognised = 0;
  side_by_side(
      state, [&] { recognised = recognise_all(); }, names_floor);
  // Most styles of the corpus carry a pair and some do not; a recogniser
  // that finds none (or all) is not doing the work being measured.
  check(state, recognised > corpus.size() / 2 && recognised < corpus.size(),
        "recognised " + std::to_string(recognised) + " of " + std::to_string(corpus.size()));
  state.counters["names"] = (double)corpus.size();
  state.counters["recognised"] = (double)recognised;
  state.counters["per_name"] =
      benchmark::Counter((double)corpus.size(), benchmark::Counter::kIsIterationInvariantRate |
                                                    benchmark::Counter::kInvert);
}
BENCHMARK(BM_SeasonEpisode)->UseManualTime()->Unit(benchmark::kMicrosecond);

// memcpy of each text of the corpus into one destination, one after the
// other: the same bytes the escape reads, moved without looking at them.
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

void throughput(benchmark::State &state, const std::vector<std::string> &texts) {
  size_t bytes = total_bytes(texts);
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)bytes);
  state.counters["texts"] = (double)texts.size();
  state.counters["bytes"] = (double)bytes;
}

void BM_JsonStr(benchmark::State &state) {
  const std::vector<std::string> &corpus = names();
  tavro_buf b{};
  bool good = true;
  CopyFloor floor(corpus);
  side_by_side(
      state,
      [&] {
        b.len = 0;
        for (const auto &n : corpus) good &= tavro_buf_json_str(&b, n.c_str()) == 0;
      },
      std::ref(floor));
  check(state, good && b.len > total_bytes(corpus), "json_str failed");
  tavro_buf_free(&b);
  throughput(state, corpus);
}
BENCHMARK(BM_JsonStr)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_Query(benchmark::State &state) {
  static const std::vector<std::string> values = bench::query_values(12000);
  tavro_buf b{};
  if (tavro_buf_adds(&b, "https://api.alldebrid.com/v4/magnet/upload?agent=halvo-player")) {
    state.SkipWithError("out of memory");
    return;
  }
  uint64_t prefix = b.len;
  bool good = true;
  CopyFloor floor(values);
  side_by_side(
      state,
      [&] {
        for (const auto &v : values) {
          b.len = prefix;
          good &= tavro_buf_query(&b, "magnets[]", v.c_str()) == 0;
        }
      },
      std::ref(floor));
  check(state, good && b.len > prefix, "query failed");
  tavro_buf_free(&b);
  throughput(state, values);
}
BENCHMARK(BM_Query)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_Redact(benchmark::State &state) {
  static const std::vector<std::string> texts = bench::secret_texts(12000);
  char out[2048];
  size_t redacted = 0;
  CopyFloor floor(texts);
  side_by_side(
      state,
      [&] {
        redacted = 0;
        for (const auto &t : texts) {
          tavro_redact_into(t.c_str(), out, sizeof out);
          redacted += std::strstr(out, "apikey=***") != nullptr;
        }
      },
      std::ref(floor));
  check(state, redacted == texts.size() / 4 * 3, "redacted " + std::to_string(redacted));
  throughput(state, texts);
}
BENCHMARK(BM_Redact)->UseManualTime()->Unit(benchmark::kMicrosecond);

// ---- 6: two threads -------------------------------------------------------

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
void BM_TwoThreads(benchmark::State &state, Via via, Op op) {
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
  auto run = [&, settings = bench::kSettings.c_str()](std::vector<char> &out) {
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
        for (const std::string *text : {&bench::kSettings, &kUserBody}) {
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
BENCHMARK_CAPTURE(BM_TwoThreads, list_1000_host, Via::host, Op::list)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TwoThreads, list_1000_fake, Via::fake, Op::list)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TwoThreads, validate_host, Via::host, Op::validate)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TwoThreads, validate_fake, Via::fake, Op::validate)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TwoThreads, list_1000_floor, Via::none, Op::list_floor)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TwoThreads, validate_floor, Via::none, Op::validate_floor)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// ---- 7: memory ------------------------------------------------------------

void BM_ListFilesPeakHeap(benchmark::State &state) {
  Listing &l = const_cast<Listing &>(files_listing((size_t)state.range(0)));
  if (!prepare_listing(state, l, "\"folder\":false")) return;
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
BENCHMARK(BM_ListFilesPeakHeap)
    ->ArgName("files")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(65536)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// ---- Probes for callgrind ---------------------------------------------------

} // namespace

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

// Runs one case once for warm-up, then reps times under each probe. A
// benchmark::State is not at hand here, so checks print and fail.
int probe(const std::string &name, int reps_given, const std::string &only) {
  std::function<void()> op, floor;
  int reps = 1;
  std::vector<char> &out = out_buffer(1 << 26);
  static Listing listing;
  static Floor listing_floor;
  auto listing_case = [&](const Listing &src, const char *kind) {
    listing = src;
    tavro_fake_reset();
    tavro_use_fake();
    tavro_fake_set("POST", listing.url.c_str(), 200, listing.body.c_str());
    if (list_into(listing, out) != TAVRO_OK) return false;
    listing.result = out.data();
    if (bench::count_of(listing.result, kind) != listing.entries) return false;
    listing_floor =
        Floor{{&listing.body}, listing.result, std::vector<char>(listing.result.size() + 1)};
    op = [&] { list_into(listing, out); };
    floor = std::ref(listing_floor);
    return true;
  };
  bool ready = false;
  size_t dash = name.find('-');
  std::string kind = name.substr(0, dash);
  size_t size = dash == std::string::npos ? 0 : std::stoul(name.substr(dash + 1));
  if (kind == "files") {
    ready = listing_case(files_listing(size), "\"folder\":false");
  } else if (kind == "magnets") {
    ready = listing_case(magnets_listing(size), "\"folder\":true");
  } else if (kind == "validate" || kind == "root") {
    tavro_fake_reset();
    tavro_use_fake();
    tavro_fake_set("GET", kUserUrl.c_str(), 200, kUserBody.c_str());
    static char small[1024];
    bool validate = kind == "validate";
    op = [validate] {
      if (validate)
        tavro_validate(bench::kSettings.c_str(), small, sizeof small);
      else
        tavro_list(bench::kSettings.c_str(), nullptr, small, sizeof small);
    };
    floor = overhead_floor;
    reps = 1000;
    ready = true;
  } else if (kind == "download") {
    static Floor dl_floor;
    Download &d = download_case(size == 1);
    tavro_fake_reset();
    tavro_use_fake();
    tavro_allow_writes(1);
    tavro_fake_set("POST", d.add_url.c_str(), 200, d.add_body.c_str());
    tavro_fake_set("POST", d.files_url.c_str(), 200, d.files_body.c_str());
    tavro_fake_set("POST", d.unlock_url.c_str(), 200, d.unlock_body.c_str());
    ready = tavro_download(bench::kSettings.c_str(), d.request.c_str(), out.data(),
                           (int32_t)out.size()) == TAVRO_OK &&
            std::strstr(out.data(), d.want_name.c_str());
    d.result = out.data();
    dl_floor = Floor{{&d.add_body, &d.files_body, &d.unlock_body},
                     d.result,
                     std::vector<char>(d.result.size() + 1)};
    op = [&d, &out] {
      tavro_download(bench::kSettings.c_str(), d.request.c_str(), out.data(), (int32_t)out.size());
    };
    floor = std::ref(dl_floor);
  } else if (kind == "season") {
    op = [] { recognise_all(); };
    floor = names_floor;
    ready = true;
  } else if (kind == "jsonstr" || kind == "query" || kind == "redact") {
    static std::vector<std::string> texts;
    static std::unique_ptr<CopyFloor> copy;
    static tavro_buf b{};
    static char red[2048];
    texts = kind == "jsonstr" ? names()
            : kind == "query" ? bench::query_values(12000)
                              : bench::secret_texts(12000);
    copy = std::make_unique<CopyFloor>(texts);
    if (kind == "jsonstr")
      op = [] {
        b.len = 0;
        for (const auto &t : texts)
          if (tavro_buf_json_str(&b, t.c_str())) std::abort();
      };
    else if (kind == "query")
      op = [] {
        for (const auto &t : texts) {
          b.len = 0;
          if (tavro_buf_query(&b, "magnets[]", t.c_str())) std::abort();
        }
      };
    else
      op = [] {
        for (const auto &t : texts) tavro_redact_into(t.c_str(), red, sizeof red);
      };
    floor = [] { (*copy)(); };
    ready = true;
  }
  if (!ready) {
    std::fprintf(stderr, "probe %s: unknown case or failed setup\n", name.c_str());
    return 1;
  }
  op();
  floor();
  if (reps_given > 0) reps = reps_given;
  if (only != "floor") tavro_probe_op(&op, reps);
  if (only != "op") tavro_probe_floor(&floor, reps);
  tavro_allow_writes(0);
  std::printf("probe %s reps %d\n", name.c_str(), reps);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  // --probe=CASE [--probe-reps=N] [--probe-only=op|floor]
  const char *probe_case = nullptr, *only = "";
  int reps = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--probe=", 8) == 0) probe_case = argv[i] + 8;
    if (std::strncmp(argv[i], "--probe-reps=", 13) == 0) reps = std::atoi(argv[i] + 13);
    if (std::strncmp(argv[i], "--probe-only=", 13) == 0) only = argv[i] + 13;
  }
  if (probe_case) return probe(probe_case, reps, only);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_failures.load()) {
    std::fprintf(stderr, "%d benchmark check(s) failed\n", g_failures.load());
    return 1;
  }
  return 0;
}
