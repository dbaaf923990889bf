// SPDX-License-Identifier: MIT
// The cases and their set-ups.
#include "cases.h"

#include "corpus.h"

#include "tavro.h"
#include "tavro_io_fake.h"
#include "tavro_keep.h"
#include "tavro_recognise.h"
#include "tavro_secret.h"
#include "tavro_service.h"
#include "tavro_text.h"

#include <cstdlib>
#include <map>
#include <memory>

namespace bench {

// ---- Fixtures -------------------------------------------------------------

namespace {

constexpr long long kMagnetId = 231000123;

// A value as the library encodes it in a query or a form.
std::string pct(const std::string &v) {
  tavro::Buf b;
  if (tavro_buf_form(b.get(), "", v.c_str())) std::abort();
  std::string field = b.c_str();
  return field.substr(1); // after the '='
}

} // namespace

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

static const Listing &magnets_listing(size_t magnets) {
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

std::string prepare_listing(Listing &l, const char *kind) {
  tavro_fake_reset();
  tavro_use_fake();
  if (tavro_fake_set("POST", l.url.c_str(), 200, l.body.c_str()) != 0) return "fake_set";
  std::vector<char> &out = out_buffer(l.body.size() * 8 + 4096);
  if (list_into(l, out) != TAVRO_OK) return "tavro_list failed: " + std::string(tavro_last_error());
  l.result = out.data();
  size_t n = count_of(l.result, kind);
  if (n != l.entries)
    return "listed " + std::to_string(n) + " entries, wanted " + std::to_string(l.entries);
  return "";
}

const std::string kUserUrl = api("/user");
const std::string kUserBody =
    ok(R"({"user":{"username":"demo-user","email":"d***@example.com","isPremium":true,)"
       R"("isSubscribed":false,"isTrial":false,"premiumUntil":1767225600,"lang":"en",)"
       R"("preferedDomain":"com","fidelityPoints":120,"limitedHostersQuotas":{"ddl":5000},)"
       R"("remainingTrialQuota":0,"notifications":[]}})");

// A bare parse of the settings plus one exchange of the fake transport for
// the validation request (the answer released as the library does).
static void overhead_floor() {
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

namespace {

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

const std::vector<std::string> &names() {
  static const std::vector<std::string> n = bench::episode_names(12000);
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

// ---- Set-ups --------------------------------------------------------------

// 1, 2: a listing of files or of magnets, next to a parse of its answer and
// a copy of its result.
std::string listing_case(const Listing &src, const char *kind, Ready &r) {
  auto l = std::make_shared<Listing>(src);
  std::string why = prepare_listing(*l, kind);
  if (!why.empty()) return why;
  auto floor = std::make_shared<Floor>(
      Floor{{&l->body}, l->result, std::vector<char>(l->result.size() + 1)});
  auto good = std::make_shared<bool>(true);
  std::vector<char> *out = &out_buffer(0);
  r.op = [l, good, out] {
    *good &= list_into(*l, *out) == TAVRO_OK;
    benchmark::ClobberMemory();
  };
  r.floor = [l, floor] { (*floor)(); };
  r.verdict = [good] { return *good ? "" : "a timed listing failed"; };
  r.counters = [l](benchmark::State &state) {
    state.counters["body_bytes"] = (double)l->body.size();
    state.counters["result_bytes"] = (double)l->result.size();
    state.counters["per_entry"] =
        benchmark::Counter((double)l->entries, benchmark::Counter::kIsIterationInvariantRate |
                                                   benchmark::Counter::kInvert);
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)l->body.size());
  };
  return "";
}

std::string files_case(int64_t files, Ready &r) {
  return listing_case(files_listing((size_t)files), "\"folder\":false", r);
}

// 1, cold: each listing the first of its thread, as it were: no memory kept
// from earlier calls and a small previous result, so that the document,
// the answer and the result copy come from fresh blocks.
std::string files_cold_case(int64_t files, Ready &r) {
  std::string why = files_case(files, r);
  r.before_op = [] {
    char small[256];
    tavro_list(kSettings.c_str(), nullptr, small, sizeof small);
    tavro_keep_clear();
  };
  return why;
}

std::string magnets_case(int64_t magnets, Ready &r) {
  return listing_case(magnets_listing((size_t)magnets), "\"folder\":true", r);
}

// 3: the per-call overhead of a validation or a root listing, next to a
// bare parse of the settings and one exchange of the fake transport.
std::string overhead_case(bool validate, Ready &r) {
  tavro_fake_reset();
  tavro_use_fake();
  if (tavro_fake_set("GET", kUserUrl.c_str(), 200, kUserBody.c_str()) != 0) return "fake_set";
  auto out = std::make_shared<std::vector<char>>(1024);
  auto call = [validate, out] {
    const char *settings = kSettings.c_str();
    return validate ? tavro_validate(settings, out->data(), (int32_t)out->size())
                    : tavro_list(settings, nullptr, out->data(), (int32_t)out->size());
  };
  if (call() != TAVRO_OK) return "the operation failed: " + std::string(tavro_last_error());
  const char *want = validate ? "\"ID\":\"3f2a9c1e-7b4d-4e8a-9c2f-1a2b3c4d5e6f\"" : "\"torrents\"";
  if (!std::strstr(out->data(), want)) return "unexpected result: " + std::string(out->data());
  auto good = std::make_shared<bool>(true);
  r.op = [call, good] { *good &= call() == TAVRO_OK; };
  r.floor = overhead_floor;
  r.clock = Clock::wall;
  r.probe_reps = 1000;
  r.verdict = [good] { return *good ? "" : "a timed call failed"; };
  return "";
}

std::string validate_case(int64_t, Ready &r) {
  return overhead_case(true, r);
}

std::string root_case(int64_t, Ready &r) {
  return overhead_case(false, r);
}

// 4: a download whose magnet the service holds: add, files, pick, unlock.
std::string download_case_ready(int64_t episode_mode, Ready &r) {
  Download &d = download_case(episode_mode == 1);
  tavro_fake_reset();
  tavro_use_fake();
  tavro_allow_writes(1);
  r.done = [] { tavro_allow_writes(0); };
  bool stored = tavro_fake_set("POST", d.add_url.c_str(), 200, d.add_body.c_str()) == 0 &&
                tavro_fake_set("POST", d.files_url.c_str(), 200, d.files_body.c_str()) == 0 &&
                tavro_fake_set("POST", d.unlock_url.c_str(), 200, d.unlock_body.c_str()) == 0;
  if (!stored) return "fake_set";
  auto out = std::make_shared<std::vector<char>>(1 << 16);
  auto call = [&d, out] {
    return tavro_download(kSettings.c_str(), d.request.c_str(), out->data(), (int32_t)out->size());
  };
  if (call() != TAVRO_OK) return "tavro_download failed: " + std::string(tavro_last_error());
  d.result = out->data();
  if (!d.result.starts_with("{\"InstantURL\":") ||
      d.result.find("\"InstantName\":\"" + d.want_name + "\"") == std::string::npos)
    return "unexpected pick: " + d.result.substr(0, 200);
  auto floor = std::make_shared<Floor>(Floor{{&d.add_body, &d.files_body, &d.unlock_body},
                                             d.result,
                                             std::vector<char>(d.result.size() + 1)});
  auto good = std::make_shared<bool>(true);
  r.op = [call, good] { *good &= call() == TAVRO_OK; };
  r.floor = [floor] { (*floor)(); };
  r.verdict = [good] { return *good ? "" : "a timed download failed"; };
  r.counters = [](benchmark::State &state) {
    state.counters["per_file"] = benchmark::Counter(
        10000, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  };
  return "";
}

// 5: the recogniser, next to reading each name once.
std::string season_case(int64_t, Ready &r) {
  auto recognised = std::make_shared<size_t>(0);
  r.op = [recognised] { *recognised = recognise_all(); };
  r.floor = names_floor;
  // Most styles of the corpus carry a pair and some do not; a recogniser
  // that finds none (or all) is not doing the work being measured.
  r.verdict = [recognised]() -> std::string {
    size_t all = names().size();
    if (*recognised > all / 2 && *recognised < all) return "";
    return "recognised " + std::to_string(*recognised) + " of " + std::to_string(all);
  };
  r.counters = [recognised](benchmark::State &state) {
    size_t all = names().size();
    state.counters["names"] = (double)all;
    state.counters["recognised"] = (double)*recognised;
    state.counters["per_name"] = benchmark::Counter(
        (double)all, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  };
  return "";
}

// 5: the escapes and the redaction, each over a corpus of 12,000 texts,
// next to copying the same bytes.
struct Texts {
  std::vector<std::string> texts;
  std::unique_ptr<CopyFloor> copy;
  tavro::Buf b;
  uint64_t prefix = 0;
  size_t hits = 0;
  bool good = true;
};

std::shared_ptr<Texts> texts_ready(std::vector<std::string> texts, Ready &r) {
  auto t = std::make_shared<Texts>();
  t->texts = std::move(texts);
  t->copy = std::make_unique<CopyFloor>(t->texts);
  r.floor = [t] { (*t->copy)(); };
  r.counters = [t](benchmark::State &state) { throughput(state, t->texts); };
  return t;
}

std::string json_str_case(int64_t, Ready &r) {
  auto t = texts_ready(names(), r);
  r.op = [t] {
    t->b.get()->len = 0;
    for (const auto &n : t->texts) t->good &= tavro_buf_json_str(t->b.get(), n.c_str()) == 0;
  };
  r.verdict = [t] {
    return t->good && t->b.size() > total_bytes(t->texts) ? "" : "json_str failed";
  };
  return "";
}

std::string query_case(int64_t, Ready &r) {
  auto t = texts_ready(query_values(12000), r);
  if (tavro_buf_adds(t->b.get(), "https://api.alldebrid.com/v4/magnet/upload?agent=halvo-player"))
    return "out of memory";
  t->prefix = t->b.size();
  r.op = [t] {
    for (const auto &v : t->texts) {
      t->b.get()->len = t->prefix;
      t->good &= tavro_buf_query(t->b.get(), "magnets[]", v.c_str()) == 0;
    }
  };
  r.verdict = [t] { return t->good && t->b.size() > t->prefix ? "" : "query failed"; };
  return "";
}

std::string redact_case(int64_t, Ready &r) {
  auto t = texts_ready(secret_texts(12000), r);
  r.op = [t] {
    char out[TAVRO_REDACT_SIZE];
    t->hits = 0;
    for (const auto &text : t->texts) {
      tavro_redact_into(text.c_str(), out, sizeof out);
      t->hits += std::strstr(out, "apikey=***") != nullptr;
    }
  };
  // Three texts in four carry a key.
  r.verdict = [t] {
    return t->hits == t->texts.size() / 4 * 3 ? "" : "redacted " + std::to_string(t->hits);
  };
  return "";
}

} // namespace

const std::vector<Case> &cases() {
  using benchmark::kMicrosecond;
  using benchmark::kNanosecond;
  static const std::vector<Case> table = {
      {"BM_ListFiles", "files", "files", {1000, 10000, 65536}, kMicrosecond, files_case},
      {"BM_ListFilesCold",
       "files_cold",
       "files",
       {1000, 10000, 65536},
       kMicrosecond,
       files_cold_case},
      {"BM_ListMagnets", "magnets", "magnets", {100, 1000, 10000}, kMicrosecond, magnets_case},
      {"BM_Validate", "validate", nullptr, {}, kNanosecond, validate_case},
      {"BM_ListRoot", "root", nullptr, {}, kNanosecond, root_case},
      {"BM_DownloadInstant", "download", "episode_mode", {0, 1}, kMicrosecond, download_case_ready},
      {"BM_SeasonEpisode", "season", nullptr, {}, kMicrosecond, season_case},
      {"BM_JsonStr", "jsonstr", nullptr, {}, kMicrosecond, json_str_case},
      {"BM_Query", "query", nullptr, {}, kMicrosecond, query_case},
      {"BM_Redact", "redact", nullptr, {}, kMicrosecond, redact_case},
  };
  return table;
}

} // namespace bench
