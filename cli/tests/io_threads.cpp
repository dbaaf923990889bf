// SPDX-License-Identifier: MIT
// The CLI's libcurl transport called from several threads at once through
// its two tables, as the library calls them: every answer must be the one
// for its own request, byte bodies must travel whole, and every text handed
// out must be released once.
//
//   tavro_cli_io_threads BASE_URL      (BASE_URL: the stand-in, http://127.0.0.1:PORT)
#include "curl_io.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 12;

std::atomic<int> g_handed{0}, g_released{0};

void counted_free(void *, void *text) {
  if (text) ++g_released;
  std::free(text);
}

// One request through the table; "" and the error text when it failed.
std::string call(const tavro_io &io, const std::string &url, const char *body, const char *type,
                 int32_t &status, std::string &error) {
  char *out = nullptr, *err = nullptr;
  int rc = body ? io.post(io.ctx, url.c_str(), body, type, &out, &status, &err)
                : io.get(io.ctx, url.c_str(), &out, &status, &err);
  g_handed += (out != nullptr) + (err != nullptr);
  std::string text = out ? out : "";
  error = rc == 0 ? "" : err ? err : "failed without an error text";
  io.free(io.ctx, out);
  io.free(io.ctx, err);
  return text;
}

// One request through the byte table; "" and the error text when it failed.
std::string send(const tavro_transport &t, const std::string &url, const std::string *body,
                 const char *type, const char *field, int32_t &status, std::string &error) {
  const char *headers[] = {"X-Tavro-Test: 1", nullptr};
  tavro_http_request req{};
  req.size = sizeof req;
  req.method = body ? "POST" : "GET";
  req.url = url.c_str();
  req.headers = headers;
  req.content_type = type;
  req.body = body ? body->data() : nullptr;
  req.body_len = body ? body->size() : 0;
  req.file_field = field;
  req.file_name = field ? "upload.torrent" : nullptr;
  tavro_http_response resp{};
  resp.size = sizeof resp;
  int rc = t.send(t.ctx, &req, &resp);
  status = resp.status;
  g_handed += (resp.body != nullptr) + (resp.error != nullptr) + (resp.location != nullptr);
  std::string text = resp.body ? std::string(resp.body, resp.body_len) : "";
  error = rc == 0 ? "" : resp.error ? resp.error : "failed without an error text";
  t.free(t.ctx, resp.body);
  t.free(t.ctx, resp.error);
  t.free(t.ctx, resp.location);
  return text;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s BASE_URL\n", argv[0]);
    return 2;
  }
  std::string base = argv[1];
  tavro_cli::CurlGlobal global;
  if (!global.ok()) return 1;
  tavro_cli::CurlOptions options;
  // Requests under the stand-in's root, as the library sends them with an
  // APIRoot.
  options.api_root = base + "/web";
  options.timeout_ms = 20000;
  std::atomic<int> failures{0}, requests{0};
  {
    tavro_cli::CurlTransport transport(options);
    tavro_io io = transport.table();
    io.free = counted_free;
    tavro_transport bytes = transport.bytes_table();
    bytes.free = counted_free;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int r = 0; r < kRounds; ++r) {
          std::string tag = "t=" + std::to_string(t) + "&r=" + std::to_string(r);
          std::string body = "payload-" + std::to_string(t) + "-" + std::to_string(r);
          struct Case {
            const char *kind;
            const char *body;
            const char *type;
            std::string expect;
          } cases[] = {
              {"get", nullptr, nullptr, "\"query\": \"" + tag + "\""},
              {"form", body.c_str(), "application/x-www-form-urlencoded",
               "\"body\": \"" + body + "\""},
              {"multipart", body.c_str(), "multipart/form-data; boundary=tavrotorrent",
               "filename=\\\"upload.torrent\\\"\\r\\nContent-Type: "
               "application/x-bittorrent\\r\\n\\r\\n" +
                   body + "\\r\\n"},
          };
          // Bytes: a NUL inside the form body and the file part, whole.
          std::string binary = "pay" + std::string(1, '\0') + body;
          struct ByteCase {
            const char *kind;
            const std::string *body;
            const char *type, *field;
            std::string expect;
          } byte_cases[] = {
              {"bytes get", nullptr, nullptr, nullptr, "\"query\": \"" + tag + "\""},
              {"bytes form", &binary, "application/x-www-form-urlencoded", nullptr,
               "\"body\": \"pay\\u0000" + body + "\""},
              {"bytes file part", &binary, "application/x-bittorrent", "files[0]",
               "name=\\\"files[0]\\\"; filename=\\\"upload.torrent\\\"\\r\\nContent-Type: "
               "application/x-bittorrent\\r\\n\\r\\npay\\u0000" +
                   body + "\\r\\n"},
          };
          for (const ByteCase &c : byte_cases) {
            int32_t status = 0;
            std::string error;
            std::string answer = send(bytes, options.api_root + "/echo?" + tag, c.body, c.type,
                                      c.field, status, error);
            ++requests;
            if (!error.empty() || status != 200 || answer.find(c.expect) == std::string::npos) {
              ++failures;
              std::fprintf(stderr, "%s %s: status %d, error \"%s\", answer %s\n", c.kind,
                           tag.c_str(), status, error.c_str(), answer.c_str());
            }
          }
          for (const Case &c : cases) {
            int32_t status = 0;
            std::string error;
            std::string answer =
                call(io, options.api_root + "/echo?" + tag, c.body, c.type, status, error);
            ++requests;
            if (!error.empty() || status != 200 || answer.find(c.expect) == std::string::npos) {
              ++failures;
              std::fprintf(stderr, "%s %s: status %d, error \"%s\", answer %s\n", c.kind,
                           tag.c_str(), status, error.c_str(), answer.c_str());
            }
          }
        }
      });
    }
    for (auto &th : threads) th.join();
  }
  if (g_handed != g_released) {
    std::fprintf(stderr, "%d strings handed out, %d released\n", g_handed.load(),
                 g_released.load());
    return 1;
  }
  if (failures) return 1;
  std::printf("%d threads, %d requests, all answered with their own answer\n", kThreads,
              requests.load());
  return 0;
}
