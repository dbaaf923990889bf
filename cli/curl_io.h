// SPDX-License-Identifier: MIT
// The command-line host's own transport: the library's two tables (the
// byte transport it installs, and the text table) over libcurl, with TLS
// verification, time-outs, redirects, torrent uploads framed as one
// multipart file part. Redirects
// are followed by hand, one hop at a time, so that a Location naming a
// magnet: link is handed back as the answer (the text table's body, the
// byte transport's location; the library treats a body beginning with
// "magnet:?" as the link's magnet) instead of being followed.
#pragma once

#include "tavro.h"

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace tavro_cli {

struct CurlOptions {
  // The version-4 API root the library's requests go to (tavro_base_url,
  // or the one on the settings' APIRoot): requests under its origin are the
  // service's, all others web links.
  std::string api_root;
  long connect_timeout_ms = 10000;
  long timeout_ms = 60000;
  int max_redirects = 10;
  size_t max_body = size_t{64} << 20; // larger answers are refused
  // HTTP 429 and 503 are asked again this many times, after Retry-After
  // (when it asks for at most max_retry_wait_ms) or 1, 2, 4... seconds.
  int retries = 3;
  long retry_base_ms = 1000;
  long max_retry_wait_ms = 60000;
  // 1: a line per request on standard error (method, URL, status, size,
  // time) and the request's headers; 2: also the answer's headers.
  int verbose = 0;
  const char *(*redact)(const char *) = nullptr; // tavro_redact, for every URL shown
  std::string user_agent = "tavro";
  // A local file the user named: a GET of exactly local_url answers with
  // its bytes, and an upload of those bytes goes under the file's own name.
  // Empty: none.
  std::string local_url, local_file;
};

// libcurl's process-wide set-up; construct one on the main thread before any
// transport is used, and keep it until every transport is gone.
class CurlGlobal {
public:
  CurlGlobal();
  ~CurlGlobal();
  CurlGlobal(const CurlGlobal &) = delete;
  CurlGlobal &operator=(const CurlGlobal &) = delete;
  bool ok() const { return ok_; }

private:
  bool ok_;
};

// The transport. table() is what tavro_set_io takes; its functions may be
// called from several threads at once (each call borrows an easy handle from
// a pool, so connections are reused). The object must outlive every call.
class CurlTransport {
public:
  explicit CurlTransport(CurlOptions options);
  ~CurlTransport();
  CurlTransport(const CurlTransport &) = delete;
  CurlTransport &operator=(const CurlTransport &) = delete;

  tavro_io table();
  // The byte transport (tavro_set_transport): bodies with their lengths,
  // the request's header lines, a redirect to a magnet as its Location.
  tavro_transport bytes_table();

  // One exchange with the table's contract: 0 with a malloc'd body and the
  // HTTP status, or -1 with a malloc'd one-line error text.
  int exchange(const char *url, const char *body, const char *content_type, char **out_body,
               int32_t *status, char **error);

  // One exchange of the byte table's contract.
  int send(const tavro_http_request *req, tavro_http_response *resp);

  // The body of the last answer to the account check (<api_root>/user), or
  // "" when there was none.
  std::string account_answer();

  // The HTTP status and the shown URL of the last answer to a URL outside
  // the API root (a web link being added); status 0 when there was none.
  int32_t last_web_status(std::string *url);

  // The body of the last answer to <api_root>/user/<folder> ("links" or
  // "history"), or "" when there was none.
  std::string saved_answer(const std::string &folder);

  // What the last poll of a link being prepared (<api_root>/link/delayed)
  // answered while the service was still at it: its time_left estimate in
  // seconds and when that answer came. seen is false when no poll has
  // said so.
  struct Preparing {
    bool seen = false;
    long time_left = 0;
    std::chrono::steady_clock::time_point at;
  };
  Preparing preparing();

private:
  struct Request {
    std::string url, body, content_type, part_name, part_file;
    std::vector<std::string> headers;
    bool post = false, multipart = false;
  };
  struct Response {
    int32_t status = 0;
    std::string body, location, error;
  };
  int perform(const Request &req, Response &got);
  int perform_once(const Request &req, Response &got, std::string &retry_after);
  void note(const Request &req, const Response &got); // what account_answer() and
                                                      // last_web_status() tell
  int read_local(const std::string &url, Response &got);
  void *acquire();
  void release(void *handle);
  std::string shown(const std::string &url) const;

  CurlOptions options_;
  std::mutex pool_lock_;
  std::vector<void *> pool_;
  std::mutex seen_lock_; // guards what was seen of the answers, below
  std::string account_answer_;
  int32_t web_status_ = 0;
  std::string web_url_;
  std::string local_bytes_; // what was read of the local file
  std::string saved_links_, saved_history_;
  Preparing preparing_;
};

} // namespace tavro_cli
