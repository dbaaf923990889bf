// The libcurl transport of the command-line host. Redirects are followed by
// hand, one hop at a time, so that a Location naming a magnet: link can be
// handed back as the body (the library treats a body beginning with
// "magnet:?" as the link's magnet) instead of being followed.
#include "curl_io.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <strings.h>

namespace tavro_cli {
namespace {

constexpr size_t kMaxBody = size_t{64} << 20; // answers larger than 64 MiB are refused

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
  bool too_large = false;
};

size_t on_body(char *data, size_t size, size_t count, void *user) {
  auto *c = static_cast<Collected *>(user);
  size_t n = size * count;
  if (c->body.size() + n > kMaxBody) {
    c->too_large = true;
    return 0; // aborts the transfer with CURLE_WRITE_ERROR
  }
  c->body.append(data, n);
  return n;
}

bool starts_with_ci(const std::string &text, const char *prefix) {
  size_t n = std::strlen(prefix);
  return text.size() >= n && strncasecmp(text.c_str(), prefix, n) == 0;
}

size_t on_header(char *data, size_t size, size_t count, void *user) {
  auto *c = static_cast<Collected *>(user);
  size_t n = size * count;
  std::string line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (starts_with_ci(line, "HTTP/")) {
    c->location.clear(); // a new response (after 100 Continue, say) starts
  } else if (starts_with_ci(line, "location:")) {
    size_t i = 9;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    c->location = line.substr(i);
  }
  return n;
}

struct SlistDeleter {
  void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};
struct MimeDeleter {
  void operator()(curl_mime *m) const { curl_mime_free(m); }
};

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

void t_free(void *, void *text) {
  std::free(text);
}

} // namespace

CurlGlobal::CurlGlobal() : ok_(curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK) {}

CurlGlobal::~CurlGlobal() {
  if (ok_) curl_global_cleanup();
}

CurlTransport::CurlTransport(CurlOptions options) : options_(std::move(options)) {
  while (!options_.api_root_to.empty() && options_.api_root_to.back() == '/')
    options_.api_root_to.pop_back();
}

CurlTransport::~CurlTransport() {
  for (void *h : pool_) curl_easy_cleanup(static_cast<CURL *>(h));
}

tavro_io CurlTransport::table() {
  return tavro_io{this, t_get, t_post, t_free};
}

std::string CurlTransport::target(const std::string &url) const {
  const std::string &root = options_.api_root;
  if (options_.api_root_to.empty() || root.empty() || url.compare(0, root.size(), root) != 0)
    return url;
  // Only a whole path segment of the root counts: .../v4 but not .../v4x.
  if (url.size() > root.size() && url[root.size()] != '/' && url[root.size()] != '?' &&
      url[root.size()] != '#')
    return url;
  return options_.api_root_to + url.substr(root.size());
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
  auto fail = [&](const std::string &why) {
    *error = heap_copy(why);
    return -1;
  };
  if (!url_in) return fail("no URL");

  CURL *h = static_cast<CURL *>(acquire());
  if (!h) return fail("cannot start a libcurl session");
  struct Back { // the handle goes back to the pool on every path
    CurlTransport *t;
    CURL *h;
    ~Back() { t->release(h); }
  } back{this, h};

  std::string url = target(url_in);
  bool post = body != nullptr;
  bool multipart = post && content_type && starts_with_ci(content_type, "multipart/form-data");
  const char *method = post ? "POST" : "GET";

  for (int hop = 0;; ++hop) {
    curl_easy_reset(h);
    char errbuf[CURL_ERROR_SIZE] = "";
    Collected got;
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
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &got);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &got);

    if (post) {
      curl_slist *l = curl_slist_append(nullptr, "Expect:");
      if (multipart) {
        // One file part, as the service expects a torrent upload.
        mime.reset(curl_mime_init(h));
        curl_mimepart *part = mime ? curl_mime_addpart(mime.get()) : nullptr;
        if (!part || curl_mime_name(part, "files[]") != CURLE_OK ||
            curl_mime_filename(part, "upload.torrent") != CURLE_OK ||
            curl_mime_type(part, "application/x-bittorrent") != CURLE_OK ||
            curl_mime_data(part, body, CURL_ZERO_TERMINATED) != CURLE_OK) {
          curl_slist_free_all(l);
          return fail("cannot build the multipart body");
        }
        curl_easy_setopt(h, CURLOPT_MIMEPOST, mime.get());
      } else {
        std::string type = std::string("Content-Type: ") +
                           (content_type ? content_type : "application/x-www-form-urlencoded");
        if (l) l = curl_slist_append(l, type.c_str());
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(strlen(body)));
      }
      if (!l) return fail("out of memory");
      headers.reset(l);
      curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    }

    CURLcode rc = curl_easy_perform(h);
    if (options_.verbose) std::fprintf(stderr, "tavro: %s %s", method, shown(url).c_str());
    if (rc != CURLE_OK) {
      std::string why = got.too_large ? "response larger than 64 MiB"
                        : errbuf[0]   ? errbuf
                                      : curl_easy_strerror(rc);
      if (options_.verbose) std::fprintf(stderr, " -> %s\n", shown(why).c_str());
      return fail(why);
    }
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    if (options_.verbose) std::fprintf(stderr, " -> HTTP %ld, %zu bytes\n", code, got.body.size());

    if (is_redirect(code) && !got.location.empty()) {
      if (starts_with_ci(got.location, "magnet:")) {
        // The link answers with a magnet: hand it back as the body.
        *out_body = heap_copy(got.location);
        if (!*out_body) return fail("out of memory");
        *status = static_cast<int32_t>(code);
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
          body = nullptr;
          method = "GET";
        }
        continue;
      }
    }
    *out_body = heap_copy(got.body);
    if (!*out_body) return fail("out of memory");
    *status = static_cast<int32_t>(code);
    return 0;
  }
}

} // namespace tavro_cli
