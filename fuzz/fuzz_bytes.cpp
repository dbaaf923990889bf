// SPDX-License-Identifier: MIT
// The operations through a scripted byte transport (tavro_set_transport):
// answers are bytes with their length, NUL bytes included, with a Location or
// an error text of their own.
//
// The input is cut at 0x1e bytes (so that bodies may hold NUL bytes) into:
//   0  the operation: 'v', 'l', 's', 'd', 'c', 'p', 'k' or 'y' (validate,
//      list, stream, download, change, and the sign-in's tavro_pin_start,
//      tavro_pin_check, tavro_verify; anything else is validate), then
//      optional letters: 'n' a
//      table without free (texts released with free()), 'z' empty bodies
//      handed back as NULL
//   1  the settings text, 2 the operation's argument (both end at a NUL)
//   3, 4  the first answer: its head and its body; then 5, 6 and so on.
//         A head beginning with '!' is a failed exchange whose error text is
//         the rest; otherwise it is the status in decimal, optionally
//         followed by '>' and a Location. Requests beyond the script fail.
//
// Checked after the call: a known code; valid JSON on success; the message
// in tavro_last_error on failure; no service URL carries apikey, no message
// shows the key, and only requests to the service carry the one
// Authorization header;
// every request is well formed (its size, a body exactly when it has a
// length, the multipart part only on a torrent upload); every text handed
// back was released exactly once.
#include "fuzz_support.h"
#include "tavro_input.h"

#include <set>
#include <string_view>

namespace {

// A download: fetch, upload, files, the state of a magnet without files,
// then the unlock or the delete.
constexpr size_t kMaxRequests = 5;
// A stream: the unlock, a chosen stream's, then a delayed link's polls, one
// at once and one every 5 s of the longest wait.
constexpr size_t kMaxStreamRequests = 2 + 1 + TAVRO_DELAYED_WAIT_MAX / TAVRO_DELAYED_POLL_SECONDS;

struct Service {
  const std::vector<std::string> *parts = nullptr;
  std::string key;
  std::string origin = "https://api.alldebrid.com"; // or the settings' APIRoot
  bool null_empty = false;
  size_t next = 3, requests = 0;
  std::set<void *> live;
  int bad_releases = 0;

  char *hand(std::string_view s) {
    char *p = static_cast<char *>(std::malloc(s.size() + 1));
    std::memcpy(p, s.data(), s.size());
    p[s.size()] = '\0';
    live.insert(p);
    return p;
  }

  void check(const tavro_http_request *req) {
    FUZZ_CHECK(req->size == sizeof *req, "request size %zu", req->size);
    FUZZ_CHECK(req->method && req->url && req->headers, "request without method, url or headers");
    std::string_view method = req->method, url = req->url;
    FUZZ_CHECK(method == "GET" || method == "POST", "method %s", req->method);
    FUZZ_CHECK(url.size() <= 8192, "URL of %zu characters", url.size());
    size_t headers = 0;
    for (const char *const *h = req->headers; *h; ++h, ++headers)
      FUZZ_CHECK(std::string_view(*h) == "Authorization: Bearer " + key, "header %s", *h);
    FUZZ_CHECK(headers <= 1, "%zu headers", headers);
    // A request to the service carries the key in its header and never in
    // its URL; the host's own web link is fetched as given, without it.
    if (headers) {
      FUZZ_CHECK(url.starts_with(origin + "/"), "the key goes to %s", req->url);
      FUZZ_CHECK(url.find("apikey=") == std::string_view::npos, "apikey in %s", req->url);
      FUZZ_CHECK(url.find("/pin/") == std::string_view::npos, "the key goes to %s", req->url);
    } else {
      // Only the sign-in's public endpoints, and an approval asked without
      // a key in the settings, are posted without one.
      FUZZ_CHECK(method == "GET" || url.find("/v4/pin/check?") != std::string_view::npos ||
                     (key.empty() && url.find("/v4/user/verif") != std::string_view::npos),
                 "a POST without the key: %s", req->url);
    }
    FUZZ_CHECK((req->body != nullptr) == (req->body_len != 0), "body and length disagree");
    if (method == "GET") FUZZ_CHECK(!req->body && !req->content_type, "a GET with a body");
    bool upload = req->file_field != nullptr;
    FUZZ_CHECK(upload == (req->file_name != nullptr), "half a multipart part");
    if (upload)
      FUZZ_CHECK(method == "POST" && req->content_type &&
                     !std::strcmp(req->content_type, "application/x-bittorrent") && req->body_len,
                 "multipart part on a request that is no torrent upload");
  }

  int serve(const tavro_http_request *req, tavro_http_response *resp) {
    ++requests;
    check(req);
    FUZZ_CHECK(resp->size == sizeof *resp && !resp->body && !resp->body_len && !resp->location &&
                   !resp->error && !resp->status,
               "response not zero-filled");
    if (next >= parts->size()) return -1;
    const std::string &head = (*parts)[next];
    std::string body = next + 1 < parts->size() ? (*parts)[next + 1] : "";
    next += 2;
    if (!head.empty() && head[0] == '!') {
      if (head.size() > 1) resp->error = hand(std::string_view(head).substr(1));
      if (!body.empty()) resp->body = hand(body);
      return 1;
    }
    resp->status = (int32_t)std::strtol(head.c_str(), nullptr, 10);
    size_t arrow = head.find('>');
    if (arrow != std::string::npos) resp->location = hand(std::string_view(head).substr(arrow + 1));
    if (!(body.empty() && null_empty)) {
      resp->body = hand(body);
      resp->body_len = body.size();
    }
    return 0;
  }

  static int send(void *ctx, const tavro_http_request *req, tavro_http_response *resp) {
    return static_cast<Service *>(ctx)->serve(req, resp);
  }
  static void release(void *ctx, void *p) {
    Service *s = static_cast<Service *>(ctx);
    if (!s->live.erase(p)) ++s->bad_releases;
    std::free(p);
  }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  tavro_allow_writes(1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> parts = fz::split(data, size, 0x1e);
  const std::string &head = parts[0];
  std::string settings = parts.size() > 1 ? parts[1].c_str() : "";
  std::string arg = parts.size() > 2 ? parts[2].c_str() : "";

  fz::NoSleepClock clock;
  Service service;
  service.parts = &parts;
  service.null_empty = head.find('z') != std::string::npos;
  tavro_cfg cfg{};
  char ignored[TAVRO_ERR_SIZE];
  if (tavro_cfg_parse(settings.c_str(), 0, &cfg, ignored, sizeof ignored) == 0) {
    if (cfg.api_key) service.key = cfg.api_key;
    if (cfg.api_root) service.origin = cfg.api_root;
  }
  tavro_cfg_free(&cfg);

  bool no_free = head.find('n') != std::string::npos;
  tavro_transport t{sizeof t, &service, &Service::send, no_free ? nullptr : &Service::release};
  FUZZ_CHECK(tavro_set_transport(&t) == 0, "table refused");
  std::vector<char> out(65536);
  int32_t n = (int32_t)out.size();
  int code;
  switch (head.empty() ? 'v' : head[0]) {
  case 'l':
    code = tavro_list(settings.c_str(), arg.c_str(), out.data(), n);
    break;
  case 's':
    code = tavro_stream_url(settings.c_str(), arg.c_str(), out.data(), n);
    break;
  case 'd':
    code = tavro_download(settings.c_str(), arg.c_str(), out.data(), n);
    break;
  case 'c':
    code = tavro_change(settings.c_str(), arg.c_str(), out.data(), n);
    break;
  case 'p':
    code = tavro_pin_start(settings.c_str(), out.data(), n);
    break;
  case 'k':
    code = tavro_pin_check(settings.c_str(), arg.c_str(), out.data(), n);
    break;
  case 'y':
    code = tavro_verify(settings.c_str(), arg.c_str(), out.data(), n);
    break;
  default:
    code = tavro_validate(settings.c_str(), out.data(), n);
  }
  tavro_set_transport(nullptr);

  std::string result = tavro_result_json(), error = tavro_last_error();
  FUZZ_CHECK(code <= 0 && code >= TAVRO_E_BUFFER, "code %d", code);
  // Without free the library released through free(); the set only tracks.
  if (!no_free)
    FUZZ_CHECK(service.live.empty() && service.bad_releases == 0,
               "%zu texts not released, %d bad releases", service.live.size(),
               service.bad_releases);
  bool streams = !head.empty() && head[0] == 's';
  FUZZ_CHECK(service.requests <= (streams ? kMaxStreamRequests : kMaxRequests), "%zu requests",
             service.requests);
  FUZZ_CHECK(clock.slept <= TAVRO_DELAYED_WAIT_MAX * 1000, "waited %lld ms",
             (long long)clock.slept);
  if (code == TAVRO_OK) {
    FUZZ_CHECK(error.empty(), "success with an error: %s", error.c_str());
    FUZZ_CHECK(fz::strict_json(result.c_str()), "result is not JSON: %s", result.c_str());
  } else if (code != TAVRO_E_BUFFER) {
    FUZZ_CHECK(result.empty() && !error.empty(), "failure %d: result %s, error %s", code,
               result.c_str(), error.c_str());
  }
  // (A result may quote whatever the service answered; a message never
  // shows the key.)
  if (fz::maskable_key(service.key.c_str()) && code != TAVRO_OK && code != TAVRO_E_BUFFER) {
    FUZZ_CHECK(error.find(service.key) == std::string::npos, "key in the message %s",
               error.c_str());
  }
  return 0;
}
