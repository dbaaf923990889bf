// One whole operation, end to end, against a scripted service. Built once
// per operation (TAVRO_FUZZ_OP is validate, list, stream or download).
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
// After the call the documented outcome is checked: a known code; a success
// leaves valid JSON in the buffer and in tavro_result_json; a failure leaves
// {"error":<message>} or an empty buffer and the message in
// tavro_last_error; the settings' API key appears in no message; every
// string the transport handed out was released exactly once.
#include "fuzz_support.h"

#include <set>

#ifndef TAVRO_FUZZ_OP
#error "TAVRO_FUZZ_OP names the operation"
#endif

namespace {

enum class Op { validate, list, stream, download };
constexpr Op kOp = Op::TAVRO_FUZZ_OP;

// The most requests one operation makes (a download: two fetches of the
// link, the upload, the files, then the unlock or the delete).
constexpr size_t kMaxRequests[] = {1, 1, 1, 5};

// Answers requests in order from the script and tracks what it hands out.
struct Service {
  const std::vector<std::string> *parts = nullptr;
  size_t next = 3;
  size_t requests = 0;
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
    return static_cast<Service *>(ctx)->serve(url, body, status, error);
  }
  static int post(void *ctx, const char *url, const char *body, const char *type, char **out,
                  int32_t *status, char **error) {
    FUZZ_CHECK(body && type, "post without body or content type");
    FUZZ_CHECK(!std::strcmp(type, "application/x-www-form-urlencoded") ||
                   !std::strcmp(type, "multipart/form-data; boundary=tavrotorrent"),
               "content type %s", type);
    return static_cast<Service *>(ctx)->serve(url, out, status, error);
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

  Service service;
  service.parts = &parts;
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
    // Argument and writes failures are decided before any request.
    if (code == TAVRO_E_ARG || code == TAVRO_E_WRITES_OFF)
      FUZZ_CHECK(service.requests == 0, "%zu requests before %d", service.requests, code);
  }

  // The key, as the library reads it from these settings, never shows.
  tavro_cfg cfg{};
  char ignored[768];
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
