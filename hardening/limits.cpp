// SPDX-License-Identifier: MIT
// Resource bounds: runs one case at the library's input limits (a files
// answer of 65,536 files, a settings text of 1 MiB, a tree nested 100,000
// levels deep) or just past them, and prints the outcome with the process's
// peak resident memory. Used by the tests (with a bound) and by
// docs/hardening.md to measure; run it as `tavro_limits CASE`.
#include "tavro.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A host transport that answers every request with one body.
struct OneAnswer {
  std::string body;
  int requests = 0;
  static int get(void *ctx, const char *, char **body, int32_t *status, char **) {
    auto *a = static_cast<OneAnswer *>(ctx);
    ++a->requests;
    *body = static_cast<char *>(std::malloc(a->body.size() + 1));
    std::memcpy(*body, a->body.c_str(), a->body.size() + 1);
    *status = 200;
    return 0;
  }
  static int post(void *ctx, const char *url, const char *, const char *, char **body,
                  int32_t *status, char **error) {
    return get(ctx, url, body, status, error);
  }
};

long peak_kib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

std::string files_answer(long files) {
  std::string body = R"({"status":"success","data":{"magnets":[{"id":1,"files":[)";
  body.reserve((size_t)files * 64 + 128);
  char node[96];
  for (long i = 0; i < files; ++i) {
    std::snprintf(node, sizeof node, R"(%s{"n":"Episode.%06ld.mkv","s":%ld,"l":"https://l/%06ld"})",
                  i ? "," : "", i, i * 1000, i);
    body += node;
  }
  body += "]}]}}";
  return body;
}

std::string deep_answer(long depth) {
  std::string body = R"({"status":"success","data":{"magnets":[{"id":1,"files":[)";
  for (long i = 0; i < depth; ++i) body += R"({"n":"d","e":[)";
  body += R"({"n":"f.mkv","s":1,"l":"L"})";
  for (long i = 0; i < depth; ++i) body += "]}";
  body += "]}]}}";
  return body;
}

// Settings of exactly size bytes: the key, then a padding member.
std::string settings_of(size_t size) {
  std::string head = R"({"APIKey":"KEY123","pad":")", tail = "\"}";
  return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

struct Case {
  const char *name;
  int expected;
  const char *message; // for failures
};

const Case kCases[] = {
    {"baseline", TAVRO_OK, ""},
    {"files-at-limit", TAVRO_OK, ""},
    {"files-over-limit", TAVRO_E_FAILED, "magnet tree larger than 65536 files"},
    {"files-deep", TAVRO_OK, ""},
    {"settings-at-limit", TAVRO_OK, ""},
    {"settings-over-limit", TAVRO_E_ARG, "settings are larger than 1 MiB"},
};

} // namespace

int main(int argc, char **argv) {
  const Case *c = nullptr;
  for (const Case &k : kCases)
    if (argc == 2 && std::strcmp(argv[1], k.name) == 0) c = &k;
  if (!c) {
    std::fprintf(stderr, "usage: tavro_limits CASE\ncases:");
    for (const Case &k : kCases) std::fprintf(stderr, " %s", k.name);
    std::fprintf(stderr, "\n");
    return 2;
  }
  std::string name = c->name;
  OneAnswer service;
  std::string settings = R"({"APIKey":"KEY123"})";
  const char *folder = "m1";
  if (name == "baseline")
    // A ready magnet without files: its files answer, then its state.
    service.body = R"({"status":"success","data":{"magnets":[{"id":1,"files":[],)"
                   R"("status":"Ready","statusCode":4}]}})";
  else if (name == "files-at-limit")
    service.body = files_answer(65536);
  else if (name == "files-over-limit")
    service.body = files_answer(65537);
  else if (name == "files-deep")
    service.body = deep_answer(100000);
  else {
    service.body = R"({"status":"success","data":{}})";
    settings = settings_of(name == "settings-at-limit" ? 1048576 : 1048577);
    folder = "torrents";
  }
  tavro_io io = {&service, &OneAnswer::get, &OneAnswer::post, nullptr};
  tavro_set_io(&io);
  long before = peak_kib();
  auto start = std::chrono::steady_clock::now();
  // Without a buffer: the whole result stays in the per-thread copy.
  int code = tavro_list(settings.c_str(), folder, nullptr, 0);
  double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  long after = peak_kib();
  std::printf("%s: code %d, %d request(s), answer %zu bytes, settings %zu bytes, result %zu bytes, "
              "%.1f ms, peak RSS %ld KiB (%ld KiB before the call)\n",
              c->name, code, service.requests, service.body.size(), settings.size(),
              std::strlen(tavro_result_json()), ms, after, before);
  if (code != c->expected || std::strcmp(tavro_last_error(), c->message) != 0) {
    std::printf("expected code %d and \"%s\", got \"%s\"\n", c->expected, c->message,
                tavro_last_error());
    return 1;
  }
  // Settings past the limit are refused before anything is asked.
  if (name == "settings-over-limit" && service.requests != 0) return 1;
  // An optional bound on the growth of the peak during the call, in KiB.
  if (const char *bound = std::getenv("TAVRO_LIMITS_MAX_KIB")) {
    if (after - before > std::atol(bound)) {
      std::printf("peak grew by %ld KiB, bound %s KiB\n", after - before, bound);
      return 1;
    }
  }
  return 0;
}
