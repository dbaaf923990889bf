// Fixtures shared by the tests: request URLs built from the API root, and a
// recording host transport that answers from a table and counts every string
// it hands out and every release.
#pragma once

#include "tavro.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace tt {

inline const std::string kRoot = "https://api.alldebrid.com/v4";
inline const std::string kKey = "KEY123";
inline const std::string kSettings = R"({"APIKey":"KEY123"})";

// The URL the library builds for path with the default agent, the test key
// and further query parameters (already encoded, each "k=v").
inline std::string api(const std::string &path, const std::string &extra = "",
                       const std::string &key = kKey, const std::string &agent = "quorvelindash") {
  std::string u = kRoot + path + "?agent=" + agent + "&apikey=" + key;
  if (!extra.empty()) u += "&" + extra;
  return u;
}

// The service's success envelope around a data value.
inline std::string ok(const std::string &data) {
  return R"({"status":"success","data":)" + data + "}";
}
inline std::string error_env(const std::string &code, const std::string &message) {
  return R"({"status":"error","error":{"code":")" + code + R"(","message":")" + message + R"("}})";
}

// The JSON string literal of s by the escape table, one byte at a time: '"',
// backslash, tab, LF and CR get their two-character escapes, the other bytes
// below 0x20 and 0x7f get \u00XX, everything else stays.
inline std::string json_literal(const std::string &s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\t':
      out += "\\t";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    default:
      if (c < 0x20 || c == 0x7f) {
        static const char hex[] = "0123456789abcdef";
        out += "\\u00";
        out += hex[c >> 4];
        out += hex[c & 15];
      } else {
        out += (char)c;
      }
    }
  }
  return out + "\"";
}

struct Call {
  std::string method, url, body, content_type;
};

// A host transport that answers (method, url) from its table; unknown
// requests get 404 "not found". Safe to call from several threads.
class Host {
public:
  struct Answer {
    int rc = 0;
    int32_t status = 200;
    std::optional<std::string> body;
    std::optional<std::string> error;
  };

  void answer(const std::string &method, const std::string &url, int32_t status,
              const std::string &body) {
    std::lock_guard<std::mutex> g(m_);
    table_[{method, url}] = Answer{0, status, body, std::nullopt};
  }
  // A failed exchange: rc, and optionally an error text and a body.
  void fail(const std::string &method, const std::string &url, int rc,
            std::optional<std::string> error, std::optional<std::string> body = std::nullopt) {
    std::lock_guard<std::mutex> g(m_);
    table_[{method, url}] = Answer{rc, 0, std::move(body), std::move(error)};
  }
  // Success with an error text as well (the library must release and ignore
  // it), or with no body at all.
  void raw(const std::string &method, const std::string &url, Answer a) {
    std::lock_guard<std::mutex> g(m_);
    table_[{method, url}] = std::move(a);
  }

  tavro_io table(bool with_free = true) {
    return tavro_io{this, &Host::get, &Host::post, with_free ? &Host::release : nullptr};
  }

  std::vector<Call> calls() const {
    std::lock_guard<std::mutex> g(m_);
    return calls_;
  }
  size_t count(const std::string &method, const std::string &url) const {
    std::lock_guard<std::mutex> g(m_);
    size_t n = 0;
    for (auto &c : calls_) n += c.method == method && c.url == url;
    return n;
  }
  int handed() const {
    std::lock_guard<std::mutex> g(m_);
    return handed_;
  }
  int released() const {
    std::lock_guard<std::mutex> g(m_);
    return released_;
  }
  // Strings handed out and not yet released, and releases of anything else.
  size_t live() const {
    std::lock_guard<std::mutex> g(m_);
    return live_.size();
  }
  int bad_releases() const {
    std::lock_guard<std::mutex> g(m_);
    return bad_;
  }

private:
  char *hand(const std::string &s) {
    char *p = static_cast<char *>(std::malloc(s.size() + 1));
    std::memcpy(p, s.c_str(), s.size() + 1);
    ++handed_;
    live_.insert(p);
    return p;
  }
  int serve(const char *method, const char *url, const char *body, const char *ctype, char **out,
            int32_t *status, char **error) {
    std::lock_guard<std::mutex> g(m_);
    calls_.push_back({method, url, body ? body : "", ctype ? ctype : ""});
    auto it = table_.find({method, url});
    Answer a =
        it == table_.end() ? Answer{0, 404, std::string("not found"), std::nullopt} : it->second;
    if (a.body) *out = hand(*a.body);
    if (a.error) *error = hand(*a.error);
    *status = a.status;
    return a.rc;
  }
  static int get(void *ctx, const char *url, char **out, int32_t *status, char **error) {
    return static_cast<Host *>(ctx)->serve("GET", url, nullptr, nullptr, out, status, error);
  }
  static int post(void *ctx, const char *url, const char *body, const char *ctype, char **out,
                  int32_t *status, char **error) {
    return static_cast<Host *>(ctx)->serve("POST", url, body, ctype, out, status, error);
  }
  static void release(void *ctx, void *p) {
    Host *h = static_cast<Host *>(ctx);
    std::lock_guard<std::mutex> g(h->m_);
    ++h->released_;
    if (!h->live_.erase(p)) ++h->bad_;
    std::free(p);
  }

  mutable std::mutex m_;
  std::map<std::tuple<std::string, std::string>, Answer> table_;
  std::vector<Call> calls_;
  std::set<void *> live_;
  int handed_ = 0, released_ = 0, bad_ = 0;
};

} // namespace tt
