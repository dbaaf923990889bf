// SPDX-License-Identifier: MIT
// Fixtures shared by the tests: request URLs built from the API root, the
// requests the library sends, and a recording host transport that answers
// from a table and counts every string it hands out and every release.
#pragma once

#include "tavro.h"

#if defined(TAVRO_FAULT_INJECTION)
#include "tavro_base.h"
#include "tavro_keep.h"

#include <gtest/gtest.h>
#endif

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace tt {

inline const std::string kRoot = "https://api.alldebrid.com/v4";
// The account's magnets are listed on version 4.1.
inline const std::string kStatusRoot = "https://api.alldebrid.com/v4.1";
inline const std::string kKey = "KEY123";
inline const std::string kSettings = R"({"APIKey":"KEY123"})";
inline const std::string kFormType = "application/x-www-form-urlencoded";
inline const std::string kMultipartType = "multipart/form-data; boundary=tavrotorrent";

// The URL the library builds for path with the default agent, the test key
// and further query parameters (already encoded, each "k=v"). With the form
// fields as extra, it is also the URL the fake transport files a form POST
// under.
inline std::string api(const std::string &path, const std::string &extra = "",
                       const std::string &key = kKey, const std::string &agent = "quorvelindash") {
  std::string u = kRoot + path + "?agent=" + agent + "&apikey=" + key;
  if (!extra.empty()) u += "&" + extra;
  return u;
}

// The URL of the magnets of the account.
inline std::string status_url(const std::string &key = kKey,
                              const std::string &agent = "quorvelindash") {
  return kStatusRoot + "/magnet/status?agent=" + agent + "&apikey=" + key;
}

// One request as the host transport sees it. A GET has no body and no
// content type.
struct Call {
  std::string method, url, body, content_type;
  bool operator==(const Call &) const = default;
};

inline void PrintTo(const Call &c, std::ostream *os) {
  *os << c.method << " " << c.url;
  if (c.method == "POST") *os << " [" << c.content_type << "] body \"" << c.body << "\"";
}

inline Call get(const std::string &url) {
  return {"GET", url, "", ""};
}
// A form POST: the endpoint's fields, already encoded ("id[]=12"), in the
// body.
inline Call form(const std::string &url, const std::string &fields) {
  return {"POST", url, fields, kFormType};
}
// The torrent upload: the raw torrent as the body.
inline Call multipart(const std::string &url, const std::string &torrent) {
  return {"POST", url, torrent, kMultipartType};
}

// The URL the fake transport files a request under: a form POST's URL
// with '&' and its fields appended, when it has fields; else the URL alone.
inline std::string fake_url(const Call &req) {
  if (req.method == "POST" && req.content_type == kFormType && !req.body.empty())
    return req.url + "&" + req.body;
  return req.url;
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

// A host transport that answers from its table: a POST by (method, url,
// body) when an answer was given for that body, else by (method, url); a GET
// by (method, url). Unknown requests get 404 "not found". Safe to call from
// several threads.
class Host {
public:
  struct Answer {
    int rc = 0;
    int32_t status = 200;
    std::optional<std::string> body;
    std::optional<std::string> error;
  };

  // For (method, url), whatever the body.
  void answer(const std::string &method, const std::string &url, int32_t status,
              const std::string &body) {
    raw(method, url, Answer{0, status, body, std::nullopt});
  }
  // A failed exchange: rc, and optionally an error text and a body.
  void fail(const std::string &method, const std::string &url, int rc,
            std::optional<std::string> error, std::optional<std::string> body = std::nullopt) {
    raw(method, url, Answer{rc, 0, std::move(body), std::move(error)});
  }
  // Success with an error text as well (the library must release and ignore
  // it), or with no body at all.
  void raw(const std::string &method, const std::string &url, Answer a) {
    std::lock_guard<std::mutex> g(m_);
    table_[{method, url, std::nullopt}] = std::move(a);
  }

  // The same for one request: a POST only when it carries exactly req's
  // body (the content type is not part of the key).
  void answer(const Call &req, int32_t status, const std::string &body) {
    raw(req, Answer{0, status, body, std::nullopt});
  }
  void fail(const Call &req, int rc, std::optional<std::string> error,
            std::optional<std::string> body = std::nullopt) {
    raw(req, Answer{rc, 0, std::move(body), std::move(error)});
  }
  void raw(const Call &req, Answer a) {
    std::lock_guard<std::mutex> g(m_);
    table_[key_of(req)] = std::move(a);
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
  // Calls equal to req in method, URL, body and content type.
  size_t count(const Call &req) const {
    std::lock_guard<std::mutex> g(m_);
    size_t n = 0;
    for (auto &c : calls_) n += c == req;
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
    auto it = table_.end();
    if (body) it = table_.find({method, url, std::string(body)});
    if (it == table_.end()) it = table_.find({method, url, std::nullopt});
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

  using Key = std::tuple<std::string, std::string, std::optional<std::string>>;
  static Key key_of(const Call &req) {
    if (req.method != "POST") return {req.method, req.url, std::nullopt};
    return {req.method, req.url, req.body};
  }

  mutable std::mutex m_;
  std::map<Key, Answer> table_;
  std::vector<Call> calls_;
  std::set<void *> live_;
  int handed_ = 0, released_ = 0, bad_ = 0;
};

#if defined(TAVRO_FAULT_INJECTION)
// ---- Exhausted memory (fault-injection builds) -----------------------------

// Inside a step of fail_each: whether the allocation meant to fail has been
// reached. Once it has, no other allocation fails.
inline bool failure_reached() {
  return tavro_fi_countdown.load() == 0;
}

// Runs step() with the nth library allocation failing, for n = 1, 2, ...
// until a run reaches no failing allocation: that last run is the one that
// had all the memory it asked for. step() checks its own outcome, with
// failure_reached() telling the two kinds of run apart. Returns the number
// of failure points, every one of them exercised in order; stops at the
// first fatal failure. Every run starts without memory kept from earlier
// calls, so that each makes the same allocations in the same order; then
// warm_up, when given, runs with all the memory it asks for (a call whose
// kept memory the step's call then finds).
template <class Step> long fail_each(Step &&step, const std::function<void()> &warm_up = {}) {
  for (long n = 1; n < 100000; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
    tavro_keep_clear();
    if (warm_up) warm_up();
    tavro_fi_countdown.store(n);
    step();
    bool reached = failure_reached();
    tavro_fi_countdown.store(0);
    if (!reached) return n - 1;
    if (::testing::Test::HasFatalFailure()) return n;
  }
  ADD_FAILURE() << "never completed";
  return 0;
}
#endif

} // namespace tt
