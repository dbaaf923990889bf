// SPDX-License-Identifier: MIT
// A recording host byte transport (tavro_transport): answers (method, URL,
// body) from a table, keeps every request whole (headers, body bytes, the
// multipart part) and counts every text it hands back and every release.
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

struct ByteCall {
  std::string method, url, content_type, body, file_field, file_name;
  std::vector<std::string> headers;
  size_t request_size = 0, response_size = 0;
  bool body_null = false, content_type_null = false, file_field_null = false;
};

class ByteHost {
public:
  struct Answer {
    int rc = 0;
    int32_t status = 200;
    std::optional<std::string> body, location, error;
  };

  // Answers method on url; with a body, only requests that post exactly it.
  void answer(const std::string &method, const std::string &url, int32_t status,
              const std::string &body, std::optional<std::string> posted = std::nullopt) {
    raw(method, url, Answer{0, status, body, std::nullopt, std::nullopt}, std::move(posted));
  }
  void raw(const std::string &method, const std::string &url, Answer a,
           std::optional<std::string> posted = std::nullopt) {
    std::lock_guard<std::mutex> g(m_);
    table_[{method, url, posted.value_or(kAny)}] = std::move(a);
  }

  tavro_transport table(bool with_free = true) {
    tavro_transport t{};
    t.size = sizeof t;
    t.ctx = this;
    t.send = &ByteHost::send;
    t.free = with_free ? &ByteHost::release : nullptr;
    return t;
  }

  std::vector<ByteCall> calls() const {
    std::lock_guard<std::mutex> g(m_);
    return calls_;
  }
  size_t live() const {
    std::lock_guard<std::mutex> g(m_);
    return live_.size();
  }
  int handed() const {
    std::lock_guard<std::mutex> g(m_);
    return handed_;
  }
  int bad_releases() const {
    std::lock_guard<std::mutex> g(m_);
    return bad_;
  }
  // Called with free NULL: the library released through free(); forget the
  // pointers without touching them.
  void forget_live() {
    std::lock_guard<std::mutex> g(m_);
    live_.clear();
  }

private:
  inline static const std::string kAny = std::string("\x01any", 4);

  char *hand(const std::string &s) {
    char *p = static_cast<char *>(std::malloc(s.size() + 1));
    std::memcpy(p, s.data(), s.size());
    p[s.size()] = '\0';
    ++handed_;
    live_.insert(p);
    return p;
  }
  int serve(const tavro_http_request *req, tavro_http_response *resp) {
    std::lock_guard<std::mutex> g(m_);
    ByteCall c;
    c.request_size = req->size;
    c.response_size = resp->size;
    c.method = req->method ? req->method : "";
    c.url = req->url ? req->url : "";
    for (const char *const *h = req->headers; h && *h; ++h) c.headers.push_back(*h);
    c.content_type_null = !req->content_type;
    if (req->content_type) c.content_type = req->content_type;
    c.body_null = !req->body;
    if (req->body) c.body.assign(static_cast<const char *>(req->body), req->body_len);
    c.file_field_null = !req->file_field;
    if (req->file_field) c.file_field = req->file_field;
    if (req->file_name) c.file_name = req->file_name;
    calls_.push_back(c);
    auto it = table_.find({c.method, c.url, c.body});
    if (it == table_.end()) it = table_.find({c.method, c.url, kAny});
    Answer a = it == table_.end() ? Answer{0, 404, std::string("not found"), {}, {}} : it->second;
    if (a.body) {
      resp->body = hand(*a.body);
      resp->body_len = a.body->size();
    }
    if (a.location) resp->location = hand(*a.location);
    if (a.error) resp->error = hand(*a.error);
    resp->status = a.status;
    return a.rc;
  }
  static int send(void *ctx, const tavro_http_request *req, tavro_http_response *resp) {
    return static_cast<ByteHost *>(ctx)->serve(req, resp);
  }
  static void release(void *ctx, void *p) {
    ByteHost *h = static_cast<ByteHost *>(ctx);
    std::lock_guard<std::mutex> g(h->m_);
    if (!h->live_.erase(p)) ++h->bad_;
    std::free(p);
  }

  mutable std::mutex m_;
  std::map<std::tuple<std::string, std::string, std::string>, Answer> table_;
  std::vector<ByteCall> calls_;
  std::set<void *> live_;
  int handed_ = 0, bad_ = 0;
};

} // namespace tt
