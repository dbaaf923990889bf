// SPDX-License-Identifier: MIT
// One whole operation, end to end, against a scripted service. Built once
// per operation (TAVRO_FUZZ_OP is validate, list, stream, download or
// change).
//
// The input is cut at NUL bytes into parts:
//   0  the call: optional letters, then the buffer size in decimal
//      ('r' calls the handler record instead of the export, 'o' turns
//      writes off; no number means 65536, 0 an empty buffer, a negative
//      number no buffer at all)
//   1  the settings text
//   2  the operation's argument (folder, entry or request; absent = NULL)
//   3, 4  status and body of the first request the operation makes, then
//         5, 6 for the second, and so on. A status beginning with '!' is a
//         failed exchange whose error text is the rest; requests beyond the
//         script fail without an error text.
//
// Every request is checked as it is made: the account check is a GET of
// <root>/user, every other request to the service a POST of its endpoint
// with agent and key (encoded) as the whole query, its one parameter in the
// form body (encoded), or the torrent upload carrying one whole torrent; a
// download's GETs are of its link.
//
// After the call the documented outcome is checked: a known code; a success
// leaves valid JSON in the buffer and in tavro_result_json; a failure leaves
// {"error":<message>} or an empty buffer and the message in
// tavro_last_error; the settings' API key appears in no message; every
// string the transport handed out was released exactly once.
#include "fuzz_support.h"
#include "tavro_input.h"
#include "tavro_recognise.h"
#include "tavro_service.h"

#include <set>

#ifndef TAVRO_FUZZ_OP
#error "TAVRO_FUZZ_OP names the operation"
#endif

namespace {

enum class Op { validate, list, stream, download, change };
constexpr Op kOp = Op::TAVRO_FUZZ_OP;

// The most requests one operation makes (a files listing: the files, then
// the state of a magnet without any; a stream: the unlock, a chosen
// stream's, and a delayed link's polls, one at once and one every 5 s of
// the longest wait; a download: two fetches of the link, the upload, the
// files, the state, then the unlock or the delete).
constexpr size_t kMaxRequests[] = {
    1, 2, 2 + 1 + TAVRO_DELAYED_WAIT_MAX / TAVRO_DELAYED_POLL_SECONDS, 6, 1};

const std::string kApi = "https://api.alldebrid.com/";
const char kForm[] = "application/x-www-form-urlencoded";
const char kMultipart[] = "multipart/form-data; boundary=tavrotorrent";

// The value encoding of queries and forms: unreserved bytes as they are,
// every other byte as %XX.
std::string encoded(std::string_view v) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : v) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out += (char)c;
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// What the requests of this input must be, from the settings and the
// argument as the library reads them.
struct Expected {
  bool settings_ok = false;
  std::string api = kApi;  // the service's root, or the settings' APIRoot and "/"
  std::string query;       // "?agent=...&apikey=..."
  std::string entry;       // a stream's link, when the entry has one
  std::string link;        // a download's Link, when the request has one
  std::string change_link; // a change's Link, when the request is a link's
};

Expected expected_of(const char *settings, const char *arg) {
  Expected x;
  tavro_cfg cfg{};
  char ignored[TAVRO_ERR_SIZE];
  if (tavro_cfg_parse(settings, 1, &cfg, ignored, sizeof ignored) == 0) {
    x.settings_ok = true;
    if (cfg.api_root) x.api = std::string(cfg.api_root) + "/";
    x.query = "?agent=" + encoded(cfg.client ? cfg.client : TAVRO_DEFAULT_AGENT) +
              "&apikey=" + encoded(cfg.api_key);
  }
  tavro_cfg_free(&cfg);
  if (kOp == Op::stream) {
    char *link = nullptr;
    if (tavro_entry_link(arg, &link, ignored, sizeof ignored) == 0) x.entry = link;
    std::free(link);
  }
  if (kOp == Op::download) {
    tavro_dlcfg req{};
    if (tavro_dlcfg_parse(arg, &req, ignored, sizeof ignored) == 0) x.link = req.link;
    tavro_dlcfg_free(&req);
  }
  if (kOp == Op::change) {
    tavro_change_req req{};
    if (tavro_change_parse(arg, &req, ignored, sizeof ignored) == 0 && req.link)
      x.change_link = req.link;
    tavro_change_free(&req);
  }
  return x;
}

// The form field each endpoint carries ("" for an empty form), the
// operations that may ask for it, and the rule its value keeps. The
// status endpoint is asked with no form (every magnet) or with one id.
enum class Value { none, digits, integer, entry, magnet, stream, digits_or_none, link };
struct Endpoint {
  const char *path;
  const char *field;
  bool list, stream, download, change;
  Value value;
};
constexpr Endpoint kEndpoints[] = {
    {"v4.1/magnet/status", "id", true, false, true, false, Value::digits_or_none},
    {"v4/magnet/files", "id[]", true, false, true, false, Value::digits},
    {"v4/link/unlock", "link", false, true, true, false, Value::entry},
    {"v4/link/streaming", "id", false, true, false, false, Value::stream},
    {"v4/link/delayed", "id", false, true, false, false, Value::integer},
    {"v4/magnet/upload", "magnets[]", false, false, true, false, Value::magnet},
    {"v4/magnet/delete", "id", false, false, true, true, Value::digits},
    {"v4/magnet/restart", "id", false, false, false, true, Value::digits},
    {"v4/user/links/save", "links[]", false, false, false, true, Value::link},
    {"v4/user/links/delete", "links[]", false, false, false, true, Value::link},
};

// The value of an encoded form field, decoded; false when it holds a byte
// the encoder would have escaped, or a broken escape.
bool decode(std::string_view v, std::string *out) {
  auto hex = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
  };
  out->clear();
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] != '%') {
      if (encoded(v.substr(i, 1)).size() != 1) return false;
      *out += v[i];
      continue;
    }
    if (i + 2 >= v.size()) return false;
    int hi = hex(v[i + 1]), lo = hex(v[i + 2]);
    if (hi < 0 || lo < 0) return false;
    *out += (char)(hi * 16 + lo);
    i += 2;
  }
  return true;
}

// Checks one request against what this input must send.
void check_request(const Expected &x, const char *method, const char *url, const char *body,
                   const char *type) {
  std::string_view u(url);
  FUZZ_CHECK(x.settings_ok, "%s %s with settings that do not parse", method, url);
  if (!std::strcmp(method, "GET")) {
    if (kOp == Op::validate) {
      FUZZ_CHECK(u == x.api + "v4/user" + x.query, "account check GET %s", url);
    } else if (kOp == Op::list) {
      FUZZ_CHECK(u == x.api + "v4/user/links" + x.query || u == x.api + "v4/user/history" + x.query,
                 "folder GET %s", url);
    } else {
      FUZZ_CHECK(kOp == Op::download && u == x.link, "GET %s of no link", url);
    }
    return;
  }
  FUZZ_CHECK(body && type, "post without body or content type");
  if (!std::strcmp(type, kMultipart)) {
    FUZZ_CHECK(kOp == Op::download && u == x.api + "v4/magnet/upload/file" + x.query,
               "torrent upload to %s", url);
    size_t n = std::strlen(body);
    FUZZ_CHECK(tavro_sniff_torrent(body, n) && tavro_bencode_whole(body, n),
               "uploaded a torrent cut short: %s", body);
    return;
  }
  FUZZ_CHECK(!std::strcmp(type, kForm), "content type %s", type);
  const Endpoint *e = nullptr;
  for (const Endpoint &k : kEndpoints)
    if (u == x.api + k.path + x.query) e = &k;
  FUZZ_CHECK(e, "form POST to %s", url);
  FUZZ_CHECK(kOp == Op::list       ? e->list
             : kOp == Op::stream   ? e->stream
             : kOp == Op::download ? e->download
                                   : e->change,
             "%s in this operation", e->path);
  std::string_view b(body);
  if (e->value == Value::digits_or_none && b.empty()) {
    FUZZ_CHECK(kOp == Op::list, "%s of every magnet in this operation", e->path);
    return;
  }
  std::string head = std::string(e->field) + "=";
  std::string value;
  if (e->value == Value::stream) {
    // id=<the unlock answer's id>&stream=<the chosen stream's>, both
    // non-empty and encoded; the stream's is checked below.
    size_t amp = b.find("&stream=");
    FUZZ_CHECK(b.substr(0, head.size()) == head && amp != std::string_view::npos &&
                   amp > head.size() && decode(b.substr(head.size(), amp - head.size()), &value),
               "%s with the body %s", e->path, body);
    head = std::string(b.substr(0, amp + 8));
  }
  FUZZ_CHECK(b.substr(0, head.size()) == head && decode(b.substr(head.size()), &value),
             "%s with the body %s", e->path, body);
  switch (e->value) {
  case Value::digits:
  case Value::digits_or_none:
    FUZZ_CHECK(!value.empty() && value.find_first_not_of("0123456789") == std::string::npos,
               "%s of id %s", e->path, value.c_str());
    break;
  case Value::integer: {
    std::string digits = value.substr(!value.empty() && value[0] == '-');
    FUZZ_CHECK(!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos,
               "%s of id %s", e->path, value.c_str());
    break;
  }
  case Value::stream:
    FUZZ_CHECK(!value.empty(), "%s of stream %s", e->path, value.c_str());
    break;
  case Value::entry:
    // A stream unlocks the entry's link; a download the picked file's.
    if (kOp == Op::stream) FUZZ_CHECK(value == x.entry, "unlocked %s", value.c_str());
    break;
  case Value::magnet:
    // The Link itself when it is a magnet, else a redirect's first line.
    FUZZ_CHECK(value.rfind("magnet:?", 0) == 0, "added %s", value.c_str());
    if (tavro_is_magnet_link(x.link.c_str()))
      FUZZ_CHECK(value == x.link, "added %s", value.c_str());
    break;
  case Value::link:
    FUZZ_CHECK(value == x.change_link, "changed the link %s", value.c_str());
    break;
  case Value::none:
    break;
  }
}

// Answers requests in order from the script, checks each, and tracks what
// it hands out.
struct Service {
  const std::vector<std::string> *parts = nullptr;
  Expected expected;
  size_t next = 3;
  size_t requests = 0;
  bool link_refused = false; // an answer held USER_LINK_MISSING or USER_LINK_INVALID
  std::set<void *> live;
  int bad_releases = 0;

  char *hand(const std::string &s) {
    char *p = static_cast<char *>(std::malloc(s.size() + 1));
    std::memcpy(p, s.c_str(), s.size() + 1);
    live.insert(p);
    return p;
  }

  int serve(const char *url, char **body, int32_t *status, char **error) {
    ++requests;
    FUZZ_CHECK(url && std::strlen(url) <= 8192, "request URL of %zu characters",
               url ? std::strlen(url) : 0);
    if (next >= parts->size()) return -1;
    const std::string &st = (*parts)[next];
    std::string answer = next + 1 < parts->size() ? (*parts)[next + 1] : "";
    next += 2;
    link_refused = link_refused || answer.find("USER_LINK_MISSING") != std::string::npos ||
                   answer.find("USER_LINK_INVALID") != std::string::npos;
    if (!st.empty() && st[0] == '!') {
      if (st.size() > 1) *error = hand(st.substr(1));
      if (!answer.empty()) *body = hand(answer);
      return 1;
    }
    *status = (int32_t)std::strtol(st.c_str(), nullptr, 10);
    *body = hand(answer);
    return 0;
  }

  static int get(void *ctx, const char *url, char **body, int32_t *status, char **error) {
    Service *s = static_cast<Service *>(ctx);
    if (url) check_request(s->expected, "GET", url, nullptr, nullptr);
    return s->serve(url, body, status, error);
  }
  static int post(void *ctx, const char *url, const char *body, const char *type, char **out,
                  int32_t *status, char **error) {
    Service *s = static_cast<Service *>(ctx);
    if (url) check_request(s->expected, "POST", url, body, type);
    return s->serve(url, out, status, error);
  }
  static void release(void *ctx, void *p) {
    Service *s = static_cast<Service *>(ctx);
    if (!s->live.erase(p)) ++s->bad_releases;
    std::free(p);
  }
};

int call(bool record, const tavro_io *io, const char *settings, const char *arg, char *out,
         int32_t out_len) {
  const tavro_handler *h = halvo_get();
  switch (kOp) {
  case Op::validate:
    return record ? h->validate(io, settings, out, out_len)
                  : tavro_validate(settings, out, out_len);
  case Op::list:
    return record ? h->list(io, settings, arg, out, out_len)
                  : tavro_list(settings, arg, out, out_len);
  case Op::stream:
    return record ? h->stream_url(io, settings, arg, out, out_len)
                  : tavro_stream_url(settings, arg, out, out_len);
  case Op::download:
    return record ? h->download(io, settings, arg, out, out_len)
                  : tavro_download(settings, arg, out, out_len);
  case Op::change:
    // The handler record has no change: the export serves both.
    return tavro_change(settings, arg, out, out_len);
  }
  return 0;
}

// The message of an error document, or false when out is not one: an
// object with the one member "error", a string. The message may hold any
// bytes the host or the service put into it, so invalid UTF-8 is read as is.
bool error_document(const char *out, std::string *message) {
  fz::Json j(out, std::strlen(out), YYJSON_READ_ALLOW_INVALID_UNICODE);
  yyjson_val *root = j.root();
  yyjson_val *error = fz::first_member(root, "error");
  if (!yyjson_is_obj(root) || yyjson_obj_size(root) != 1 || !yyjson_is_str(error)) return false;
  message->assign(yyjson_get_str(error), yyjson_get_len(error));
  return true;
}

// The length of {"error":<message>} with the message escaped as a JSON
// string: two characters for a quote, a backslash, a tab, a line feed or a
// carriage return, six for another control character.
size_t document_length(const std::string &message) {
  size_t n = 12;
  for (unsigned char c : message) {
    if (c == '"' || c == '\\' || c == '\t' || c == '\n' || c == '\r')
      n += 2;
    else if (c < 0x20 || c == 0x7f)
      n += 6;
    else
      n += 1;
  }
  return n;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  tavro_allow_writes(1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> parts = fz::split(data, size);
  const std::string &head = parts[0];
  bool record = head.find('r') != std::string::npos;
  bool writes_off = head.find('o') != std::string::npos;
  size_t digits = head.find_first_of("-0123456789");
  long len = digits == std::string::npos ? 65536 : std::strtol(head.c_str() + digits, nullptr, 10);
  if (len > (1 << 20)) len = 1 << 20;
  if (len < -1) len = -1;
  const char *settings = parts.size() > 1 ? parts[1].c_str() : nullptr;
  const char *arg = parts.size() > 2 ? parts[2].c_str() : nullptr;

  // A delayed link's wait takes no time here; how long it would have is
  // bounded by the longest DelayedWait.
  fz::NoSleepClock clock;
  Service service;
  service.parts = &parts;
  service.expected = expected_of(settings, arg);
  tavro_io io = {&service, &Service::get, &Service::post, &Service::release};
  if (!record) tavro_set_io(&io);
  if (writes_off) tavro_allow_writes(0);

  // A buffer of exactly out_len bytes, so that a write past it is reported;
  // an empty one (out_len 0) must stay untouched.
  std::vector<char> buffer(len > 0 ? (size_t)len : 1, 'U');
  char *out = len >= 0 ? buffer.data() : nullptr;
  int32_t out_len = (int32_t)(len < 0 ? 0 : len);
  int code = call(record, &io, settings, arg, out, out_len);

  if (writes_off) tavro_allow_writes(1);
  if (!record) tavro_set_io(nullptr);

  std::string result = tavro_result_json();
  std::string error = tavro_last_error();
  bool has_out = out && out_len > 0;
  FUZZ_CHECK(code <= 0 && code >= TAVRO_E_BUFFER, "code %d", code);
  FUZZ_CHECK(service.live.empty() && service.bad_releases == 0,
             "%zu strings not released, %d bad releases", service.live.size(),
             service.bad_releases);
  FUZZ_CHECK(service.requests <= kMaxRequests[(int)kOp], "%zu requests", service.requests);
  FUZZ_CHECK(clock.slept <= TAVRO_DELAYED_WAIT_MAX * 1000, "waited %lld ms",
             (long long)clock.slept);
  if (!has_out && out) FUZZ_CHECK(buffer[0] == 'U', "an empty buffer was written");

  if (code == TAVRO_OK) {
    FUZZ_CHECK(error.empty(), "success with an error: %s", error.c_str());
    FUZZ_CHECK(fz::strict_json(result.c_str()), "result is not JSON: %s", result.c_str());
    if (has_out) FUZZ_CHECK(result == out, "buffer and result differ: %s", out);
  } else if (code == TAVRO_E_BUFFER) {
    // A success that did not fit.
    FUZZ_CHECK(error == "output buffer too small", "message %s", error.c_str());
    FUZZ_CHECK(fz::strict_json(result.c_str()), "result is not JSON: %s", result.c_str());
    FUZZ_CHECK(record || has_out, "an export without a buffer kept TAVRO_E_BUFFER");
    if (has_out)
      FUZZ_CHECK(out[0] == '\0' && result.size() + 1 > (size_t)out_len, "buffer %s", out);
  } else {
    FUZZ_CHECK(result.empty(), "failure with a result: %s", result.c_str());
    FUZZ_CHECK(!error.empty(), "failure %d without a message", code);
    if (has_out) {
      // The document is there exactly when it fits, NUL included.
      bool fits = document_length(error) + 1 <= (size_t)out_len;
      FUZZ_CHECK(fits == (out[0] != '\0'), "document %s though it %s",
                 out[0] ? "written" : "dropped", fits ? "fits" : "does not fit");
      std::string shown;
      if (fits) {
        FUZZ_CHECK(error_document(out, &shown), "not an error document: %s", out);
        FUZZ_CHECK(shown == error, "document says %s, last error %s", shown.c_str(), error.c_str());
      }
    }
    // Argument and writes failures are decided before any request, but for
    // the service's own refusal of what it was sent (USER_LINK_MISSING and
    // USER_LINK_INVALID are TAVRO_E_ARG too, whatever request they answer).
    // Told by the answers, not the message, where the masked key may stand.
    if ((code == TAVRO_E_ARG && !service.link_refused) || code == TAVRO_E_WRITES_OFF)
      FUZZ_CHECK(service.requests == 0, "%zu requests before %d", service.requests, code);
  }

  // The key, as the library reads it from these settings, never shows.
  tavro_cfg cfg{};
  char ignored[TAVRO_ERR_SIZE];
  if (tavro_cfg_parse(settings, 1, &cfg, ignored, sizeof ignored) == 0 &&
      fz::maskable_key(cfg.api_key)) {
    FUZZ_CHECK(!std::strstr(error.c_str(), cfg.api_key), "key in the message: %s", error.c_str());
    std::string shown;
    if (has_out && code != TAVRO_OK && error_document(out, &shown))
      FUZZ_CHECK(shown.find(cfg.api_key) == std::string::npos, "key in the document");
  }
  tavro_cfg_free(&cfg);
  return 0;
}
