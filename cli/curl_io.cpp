// SPDX-License-Identifier: MIT
// The libcurl transport of the command-line host.
#include "curl_io.h"

#include "links.h"
#include "tavro_base.h"
#include "tavro_service.h"

#include <curl/curl.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>
#include <thread>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>
#include <strings.h>

namespace tavro_cli {
namespace {

char *heap_copy(const std::string &text) {
  char *p = static_cast<char *>(std::malloc(text.size() + 1));
  if (p) std::memcpy(p, text.c_str(), text.size() + 1);
  return p;
}

// What one request collects: the body and, of the last response header
// block, the Location header.
struct Collected {
  std::string body;
  std::string location;
  std::string retry_after;
  size_t max_body = 0;
  bool too_large = false;
  bool keep_headers = false;        // -vv: the answer's header lines are kept
  std::vector<std::string> headers; // of the last response
  std::string sent;                 // -v: the request's header block, as sent
};

size_t on_body(char *data, size_t size, size_t count, void *user) {
  auto *c = static_cast<Collected *>(user);
  size_t n = size * count;
  if (c->body.size() + n > c->max_body) {
    c->too_large = true;
    return 0; // aborts the transfer with CURLE_WRITE_ERROR
  }
  c->body.append(data, n);
  return n;
}

size_t on_header(char *data, size_t size, size_t count, void *user) {
  auto *c = static_cast<Collected *>(user);
  size_t n = size * count;
  std::string line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (starts_with_ci(line, "HTTP/")) {
    c->location.clear(); // a new response (after 100 Continue, say) starts
    c->retry_after.clear();
    c->headers.clear();
    return n;
  }
  if (c->keep_headers && !line.empty()) c->headers.push_back(line);
  if (starts_with_ci(line, "retry-after:")) {
    size_t i = 12;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    c->retry_after = line.substr(i);
  } else if (starts_with_ci(line, "location:")) {
    size_t i = 9;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    c->location = line.substr(i);
  }
  return n;
}

// libcurl's account of the exchange: only the header block it sent is kept.
int on_debug(CURL *, curl_infotype type, char *data, size_t size, void *user) {
  if (type == CURLINFO_HEADER_OUT) static_cast<Collected *>(user)->sent.append(data, size);
  return 0;
}

// A header line as -v shows it: the key of an Authorization header never.
std::string shown_header(const std::string &line) {
  if (!starts_with_ci(line, "authorization:")) return line;
  size_t at = line.find_first_not_of(" \t", 14);
  size_t blank = at == std::string::npos ? at : line.find(' ', at);
  std::string scheme = blank == std::string::npos ? "" : line.substr(at, blank - at) + " ";
  return line.substr(0, 14) + " " + scheme + "<redacted>";
}

struct SlistDeleter {
  void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};
struct MimeDeleter {
  void operator()(curl_mime *m) const { curl_mime_free(m); }
};

// Whether a prefix of url ending at n is a whole path segment: .../v4 but not
// .../v4x.
bool segment_ends(const std::string &url, size_t n) {
  return url.size() == n || url[n] == '/' || url[n] == '?' || url[n] == '#';
}

// "64 MiB", "1536 bytes": a size limit as the user gave it.
std::string size_text(size_t bytes) {
  if (bytes >= (size_t{1} << 20) && bytes % (size_t{1} << 20) == 0)
    return std::to_string(bytes >> 20) + " MiB";
  if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
}

// The wait a Retry-After value asks for, in milliseconds: delta-seconds or
// an HTTP date; -1 when it is neither.
long retry_after_ms(const std::string &value) {
  if (value.empty()) return -1;
  if (value.find_first_not_of("0123456789") == std::string::npos)
    return value.size() > 6 ? LONG_MAX : std::stol(value) * 1000;
  time_t when = curl_getdate(value.c_str(), nullptr);
  if (when < 0) return -1;
  time_t now = std::time(nullptr);
  return when <= now ? 0 : static_cast<long>(when - now) * 1000;
}

bool is_redirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The transport table's three functions; ctx is the CurlTransport.
int t_get(void *ctx, const char *url, char **body, int32_t *status, char **error) {
  return static_cast<CurlTransport *>(ctx)->exchange(url, nullptr, nullptr, body, status, error);
}

int t_post(void *ctx, const char *url, const char *body, const char *content_type, char **out,
           int32_t *status, char **error) {
  return static_cast<CurlTransport *>(ctx)->exchange(url, body ? body : "", content_type, out,
                                                     status, error);
}

int t_send(void *ctx, const tavro_http_request *req, tavro_http_response *resp) {
  return static_cast<CurlTransport *>(ctx)->send(req, resp);
}

void t_free(void *, void *text) {
  std::free(text);
}

} // namespace

CurlGlobal::CurlGlobal() : ok_(curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK) {}

CurlGlobal::~CurlGlobal() {
  if (ok_) curl_global_cleanup();
}

CurlTransport::CurlTransport(CurlOptions options) : options_(std::move(options)) {}

CurlTransport::~CurlTransport() {
  for (void *h : pool_) curl_easy_cleanup(static_cast<CURL *>(h));
}

tavro_io CurlTransport::table() {
  return tavro_io{this, t_get, t_post, t_free};
}

tavro_transport CurlTransport::bytes_table() {
  tavro_transport t{};
  t.size = sizeof t;
  t.ctx = this;
  t.send = t_send;
  t.free = t_free;
  return t;
}

std::string CurlTransport::shown(const std::string &url) const {
  if (options_.redact) return options_.redact(url.c_str());
  // Without the library's redaction nothing of the URL is shown.
  return "(url)";
}

void *CurlTransport::acquire() {
  {
    std::lock_guard<std::mutex> g(pool_lock_);
    if (!pool_.empty()) {
      void *h = pool_.back();
      pool_.pop_back();
      return h;
    }
  }
  return curl_easy_init();
}

void CurlTransport::release(void *handle) {
  std::lock_guard<std::mutex> g(pool_lock_);
  pool_.push_back(handle);
}

int CurlTransport::exchange(const char *url_in, const char *body, const char *content_type,
                            char **out_body, int32_t *status, char **error) {
  *out_body = nullptr;
  *status = 0;
  *error = nullptr;
  Request req;
  if (url_in) req.url = url_in;
  req.post = body != nullptr;
  if (body) req.body.assign(body);
  if (content_type) req.content_type = content_type;
  // The text table's torrent upload: one file part, framed here as the
  // library frames it through a byte transport.
  req.multipart = req.post && content_type && starts_with_ci(content_type, "multipart/form-data");
  if (req.multipart) {
    req.part_name = TAVRO_UPLOAD_FIELD;
    req.part_file = TAVRO_UPLOAD_NAME;
    req.content_type = TAVRO_TORRENT_TYPE;
  }
  Response got;
  if (!url_in) got.error = "no URL";
  int rc = url_in ? perform(req, got) : -1;
  if (rc != 0) {
    *error = heap_copy(got.error);
    return -1;
  }
  // A redirect to a magnet is the body of the text table.
  *out_body = heap_copy(got.location.empty() ? got.body : got.location);
  if (!*out_body) {
    *error = heap_copy("out of memory");
    return -1;
  }
  *status = got.status;
  return 0;
}

int CurlTransport::send(const tavro_http_request *r, tavro_http_response *resp) {
  auto fail = [&](const std::string &why) {
    resp->error = heap_copy(why);
    return -1;
  };
  if (!r || !r->url || !r->method) return fail("no URL");
  // Only the members this build knows, and only within the request's size.
  if (r->size < offsetof(tavro_http_request, file_name) + sizeof r->file_name)
    return fail("request from an unknown library version");
  Request req;
  req.url = r->url;
  req.post = std::strcmp(r->method, "POST") == 0;
  if (r->body && r->body_len) req.body.assign(static_cast<const char *>(r->body), r->body_len);
  if (r->content_type) req.content_type = r->content_type;
  for (const char *const *h = r->headers; h && *h; ++h) req.headers.push_back(*h);
  if (r->file_field) {
    req.multipart = true;
    req.part_name = r->file_field;
    req.part_file = r->file_name ? r->file_name : "upload";
    // The local torrent the user named goes under its own name.
    std::lock_guard<std::mutex> g(seen_lock_);
    if (!options_.local_file.empty() && !local_bytes_.empty() && req.body == local_bytes_)
      req.part_file = options_.local_file.substr(options_.local_file.rfind('/') + 1);
  }
  Response got;
  if (perform(req, got) != 0) return fail(got.error);
  resp->status = got.status;
  if (!got.location.empty()) {
    resp->location = heap_copy(got.location);
    if (!resp->location) return fail("out of memory");
  }
  if (!got.body.empty()) {
    resp->body = static_cast<char *>(std::malloc(got.body.size()));
    if (!resp->body) return fail("out of memory");
    std::memcpy(resp->body, got.body.data(), got.body.size());
    resp->body_len = got.body.size();
  }
  return 0;
}

std::string CurlTransport::account_answer() {
  std::lock_guard<std::mutex> g(seen_lock_);
  return account_answer_;
}

int32_t CurlTransport::last_web_status(std::string *url) {
  std::lock_guard<std::mutex> g(seen_lock_);
  if (url) *url = web_url_;
  return web_status_;
}

std::string CurlTransport::saved_answer(const std::string &folder) {
  std::lock_guard<std::mutex> g(seen_lock_);
  return folder == "history" ? saved_history_ : saved_links_;
}

CurlTransport::Preparing CurlTransport::preparing() {
  std::lock_guard<std::mutex> g(seen_lock_);
  return preparing_;
}

int CurlTransport::read_local(const std::string &url, Response &got) {
  if (options_.verbose) std::fprintf(stderr, "tavro: GET %s (the local file)", shown(url).c_str());
  std::ifstream f(options_.local_file, std::ios::binary);
  std::ostringstream text;
  if (f) text << f.rdbuf();
  if (!f || f.bad()) {
    got.error = "cannot read " + options_.local_file + ": " + std::strerror(errno);
    if (options_.verbose) std::fprintf(stderr, " -> %s\n", got.error.c_str());
    return -1;
  }
  got.body = text.str();
  if (got.body.size() > options_.max_body) {
    got.error =
        options_.local_file + " is larger than " + size_text(options_.max_body) + " (--max-body)";
    return -1;
  }
  got.status = 200;
  if (options_.verbose) std::fprintf(stderr, " -> %zu bytes\n", got.body.size());
  std::lock_guard<std::mutex> g(seen_lock_);
  local_bytes_ = got.body;
  return 0;
}

void CurlTransport::note(const Request &in, const Response &got) {
  // The service's requests are under a version of the API beside the root
  // ("<base>/v4/...", "<base>/v4.1/..."); anything else is a web link, even
  // on the same server.
  const std::string &root = options_.api_root;
  size_t slash = root.rfind('/');
  bool api = !root.empty() && slash != std::string::npos &&
             in.url.compare(0, slash + 2, root, 0, slash + 2) == 0 && in.url.size() > slash + 2 &&
             in.url[slash + 2] >= '0' && in.url[slash + 2] <= '9';
  std::lock_guard<std::mutex> g(seen_lock_);
  if (api && in.url.compare(0, root.size() + 5, root + "/user") == 0 &&
      segment_ends(in.url, root.size() + 5))
    account_answer_ = got.body;
  if (!api) {
    web_status_ = got.status;
    web_url_ = shown(in.url);
  }
  auto is = [&](const char *path) {
    size_t n = root.size() + std::strlen(path);
    return api && in.url.compare(0, n, root + path) == 0 && segment_ends(in.url, n);
  };
  if (is("/user/links")) saved_links_ = got.body;
  if (is("/user/history")) saved_history_ = got.body;
  if (is("/link/delayed")) {
    // {"status":"success","data":{"status":1,"time_left":45}} while the
    // service prepares the link.
    tavro::Doc doc(yyjson_read(got.body.data(), got.body.size(), 0));
    yyjson_val *data = yyjson_obj_get(doc.root(), "data");
    yyjson_val *left = yyjson_obj_get(data, "time_left");
    preparing_.seen = yyjson_get_int(yyjson_obj_get(data, "status")) == 1 && yyjson_is_int(left);
    if (preparing_.seen) {
      preparing_.time_left = static_cast<long>(yyjson_get_sint(left));
      preparing_.at = std::chrono::steady_clock::now();
    }
  }
}

int CurlTransport::perform(const Request &in, Response &got) {
  for (int attempt = 0;; ++attempt) {
    got = Response{};
    std::string retry_after;
    if (perform_once(in, got, retry_after) != 0) return -1;
    bool busy = got.status == 429 || got.status == 503;
    long wait = retry_after_ms(retry_after);
    if (wait < 0) wait = options_.retry_base_ms << attempt;
    if (busy && attempt < options_.retries && wait > options_.max_retry_wait_ms &&
        options_.verbose) {
      bool seconds = retry_after.find_first_not_of("0123456789") == std::string::npos;
      std::fprintf(stderr, "tavro: HTTP %d asks to wait %s%s: not retried\n", got.status,
                   seconds ? "" : "until ", (retry_after + (seconds ? " s" : "")).c_str());
    }
    if (!busy || attempt >= options_.retries || wait > options_.max_retry_wait_ms) {
      note(in, got);
      return 0;
    }
    if (options_.verbose)
      std::fprintf(stderr, "tavro: HTTP %d: asking again in %.1f s (retry %d of %d)\n", got.status,
                   static_cast<double>(wait) / 1000, attempt + 1, options_.retries);
    std::this_thread::sleep_for(std::chrono::milliseconds(wait));
  }
}

int CurlTransport::perform_once(const Request &in, Response &got, std::string &retry_after) {
  auto fail = [&](const std::string &why) {
    got.error = why;
    return -1;
  };
  // The one local file the user named, by the URL it was given as.
  if (!in.post && !options_.local_url.empty() && in.url == options_.local_url)
    return read_local(in.url, got);

  CURL *h = static_cast<CURL *>(acquire());
  if (!h) return fail("cannot start a libcurl session");
  struct Back { // the handle goes back to the pool on every path
    CurlTransport *t;
    CURL *h;
    ~Back() { t->release(h); }
  } back{this, h};

  std::string url = in.url;
  bool post = in.post;
  bool multipart = in.multipart && post;
  const char *method = post ? "POST" : "GET";

  for (int hop = 0;; ++hop) {
    curl_easy_reset(h);
    char errbuf[CURL_ERROR_SIZE] = "";
    Collected c;
    c.max_body = options_.max_body;
    std::unique_ptr<curl_slist, SlistDeleter> headers;
    std::unique_ptr<curl_mime, MimeDeleter> mime;

    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L); // required for time-outs in threads
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, options_.connect_timeout_ms);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, options_.timeout_ms);
    curl_easy_setopt(h, CURLOPT_USERAGENT, options_.user_agent.c_str());
    curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options_.max_body));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &c);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &c);
    if (options_.verbose) {
      // What was sent, for -v: libcurl's debug account, kept to the headers.
      curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, on_debug);
      curl_easy_setopt(h, CURLOPT_DEBUGDATA, &c);
      curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
      c.keep_headers = options_.verbose >= 2;
    }

    // The request's own header lines (the key's) go to the service's
    // host only: never along a redirect to another one.
    curl_slist *l = nullptr;
    bool same_host = hop == 0;
    if (same_host)
      for (const std::string &line : in.headers) {
        curl_slist *next = curl_slist_append(l, line.c_str());
        if (!next) {
          curl_slist_free_all(l);
          return fail("out of memory");
        }
        l = next;
      }
    if (post) {
      curl_slist *next = curl_slist_append(l, "Expect:");
      if (!next) {
        curl_slist_free_all(l);
        return fail("out of memory");
      }
      l = next;
      if (multipart) {
        // One file part, as the service expects a torrent upload.
        mime.reset(curl_mime_init(h));
        curl_mimepart *part = mime ? curl_mime_addpart(mime.get()) : nullptr;
        if (!part || curl_mime_name(part, in.part_name.c_str()) != CURLE_OK ||
            curl_mime_filename(part, in.part_file.c_str()) != CURLE_OK ||
            curl_mime_type(part, in.content_type.empty() ? "application/octet-stream"
                                                         : in.content_type.c_str()) != CURLE_OK ||
            curl_mime_data(part, in.body.data(), in.body.size()) != CURLE_OK) {
          curl_slist_free_all(l);
          return fail("cannot build the multipart body");
        }
        curl_easy_setopt(h, CURLOPT_MIMEPOST, mime.get());
      } else {
        std::string type =
            "Content-Type: " + (in.content_type.empty() ? std::string("application/x-www-form-"
                                                                      "urlencoded")
                                                        : in.content_type);
        next = curl_slist_append(l, type.c_str());
        if (!next) {
          curl_slist_free_all(l);
          return fail("out of memory");
        }
        l = next;
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, in.body.data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(in.body.size()));
      }
    }
    headers.reset(l);
    if (l) curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());

    auto started = std::chrono::steady_clock::now();
    CURLcode rc = curl_easy_perform(h);
    long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - started)
                                    .count());
    long code = 0;
    if (rc == CURLE_OK) curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    std::string why;
    if (rc != CURLE_OK)
      why = c.too_large || rc == CURLE_FILESIZE_EXCEEDED
                ? "the answer is larger than " + size_text(options_.max_body) + " (--max-body)"
            : errbuf[0] ? errbuf
                        : curl_easy_strerror(rc);
    if (options_.verbose) {
      // One write, so that the lines of requests on other threads do not
      // run into these.
      std::string text = "tavro: " + std::string(method) + " " + shown(url) + " -> ";
      text += rc != CURLE_OK ? shown(why)
                             : "HTTP " + std::to_string(code) + ", " +
                                   std::to_string(c.body.size()) + " bytes";
      text += ", " + std::to_string(ms) + " ms\n";
      std::istringstream sent(c.sent);
      std::string line;
      for (bool first = true; std::getline(sent, line); first = false) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!first && !line.empty()) text += "tavro:   > " + shown_header(line) + "\n";
      }
      for (const std::string &l : c.headers) text += "tavro:   < " + shown(l) + "\n";
      std::fputs(text.c_str(), stderr);
    }
    if (rc != CURLE_OK) return fail(why);

    if (is_redirect(code) && !c.location.empty()) {
      if (starts_with_ci(c.location, "magnet:")) {
        // The link answers with a magnet: hand it back as the Location.
        got.location = c.location;
        got.status = static_cast<int32_t>(code);
        return 0;
      }
      char *next = nullptr;
      curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &next);
      if (next) {
        if (hop >= options_.max_redirects)
          return fail("more than " + std::to_string(options_.max_redirects) + " redirects");
        url = next;
        // As browsers do: 303, and 301/302 after a POST, go on as a GET.
        if (code == 303 || (post && (code == 301 || code == 302))) {
          post = false;
          multipart = false;
          method = "GET";
        }
        continue;
      }
    }
    got.body = std::move(c.body);
    got.status = static_cast<int32_t>(code);
    retry_after = c.retry_after;
    return 0;
  }
}

} // namespace tavro_cli
