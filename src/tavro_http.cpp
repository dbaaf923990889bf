// SPDX-License-Identifier: MIT
// The exchange of one request over the host's tables.
#include "tavro_http.h"

#include "tavro_keep.h"
#include "tavro_secret.h"
#include "tavro_service.h"
#include "tavro_text.h"

#include <cstdint>
#include <cstring>

static constexpr char kUrlTooLong[] = "request URL longer than 8 KiB";

// A copy of n bytes with a NUL and three more zero bytes after them (the
// room yyjson wants after a text it parses in place), in a block this
// thread keeps between calls; *cap receives the block's size.
static char *padded_copy(const char *bytes, size_t n, size_t *cap) {
  if (n > SIZE_MAX - TAVRO_BODY_PADDING) return nullptr;
  char *p = static_cast<char *>(tavro_keep_take(n + TAVRO_BODY_PADDING, cap));
  if (!p) return nullptr;
  if (n) std::memcpy(p, bytes, n);
  std::memset(p + n, 0, TAVRO_BODY_PADDING);
  return p;
}

// A URL that no request may carry: missing, or past the limit.
static bool url_too_long(const char *url) {
  return !url || strnlen(url, TAVRO_URL_MAX + 1) > TAVRO_URL_MAX;
}

void tavro_body_line(const char *text, char *out, size_t size) {
  if (!out || !size) return;
  out[0] = '\0';
  if (!text) return;
  while (*text == ' ' || *text == '\t' || *text == '\r' || *text == '\n') ++text;
  size_t n = 0;
  while (n + 1 < size && text[n] && text[n] != '\r' && text[n] != '\n') {
    out[n] = text[n];
    ++n;
  }
  out[n] = '\0';
}

int tavro_map_status(int32_t status) {
  if (status >= 200 && status <= 299) return TAVRO_OK;
  if (status == 401 || status == 403) return TAVRO_E_AUTH;
  if (status == 429) return TAVRO_E_LIMIT;
  if (status >= 500 && status <= 599) return TAVRO_E_TRANSPORT;
  if (status == 404) return TAVRO_E_NOT_FOUND;
  return TAVRO_E_FAILED;
}

void tavro_resp_free(tavro_resp *resp) {
  tavro_keep_give(resp->body, resp->body_cap);
  std::free(resp->location);
  *resp = tavro_resp{};
}

// Releases a text a transport handed back, through its free or, when it
// has none, the C library's (either table: tavro_io or tavro_transport).
template <class Table> static void io_release(const Table *io, char *text) {
  if (!text) return;
  if (io->free)
    io->free(io->ctx, text);
  else
    std::free(text);
}

// The message of a failed exchange: "<method> <redacted url>: <the first
// line of the transport's error>". Written before the error text is
// released.
static int exchange_failed(const char *method, const char *url, const char *error, char *err,
                           size_t err_size) {
  char shown[TAVRO_SHOWN_URL_SIZE];
  tavro_redact_into(url, shown, sizeof shown);
  char line[TAVRO_QUOTED_LINE_SIZE];
  tavro_body_line(error ? error : "transport failure", line, sizeof line);
  return tavro_fail(err, err_size, -1, "%s %s: %s", method, shown, line);
}

// Takes over what one transport call handed back: on success the body is
// copied into resp, on failure the message is written. The transport's
// strings are released on every path.
static int exchange_end(const tavro_io *io, int rc, char *body, int32_t status, char *error,
                        const char *method, const char *url, tavro_resp *resp, char *err,
                        size_t err_size) {
  if (rc == 0 && body) {
    io_release(io, error);
    size_t n = 0, cap = 0;
    if (io->free && tavro_keep_claim(body, io->free, &cap, &n)) {
      // The library's own fake answered in a padded block of this thread's,
      // which its release would only free: taken as it stands instead.
      resp->body = body;
      resp->body_len = n;
      resp->body_cap = cap;
      resp->status = status;
      return 0;
    }
    n = std::strlen(body);
    char *copy = padded_copy(body, n, &cap);
    io_release(io, body);
    if (!copy) return tavro_fail(err, err_size, -1, "out of memory");
    resp->body = copy;
    resp->body_len = n;
    resp->body_cap = cap;
    resp->status = status;
    return 0;
  }
  int failed = exchange_failed(method, url, error, err, err_size);
  io_release(io, body);
  io_release(io, error);
  return failed;
}

int tavro_http(const tavro_io *io, const char *url, const char *body, tavro_resp *resp, char *err,
               size_t err_size) {
  *resp = tavro_resp{};
  if (!io || !io->get || !io->post) return tavro_fail(err, err_size, -1, "no transport");
  if (url_too_long(url)) return tavro_fail(err, err_size, -1, kUrlTooLong);
  char *out = nullptr, *error = nullptr;
  int32_t status = 0;
  int rc = body ? io->post(io->ctx, url, body, TAVRO_MULTIPART_TYPE, &out, &status, &error)
                : io->get(io->ctx, url, &out, &status, &error);
  return exchange_end(io, rc, out, status, error, body ? "POST" : "GET", url, resp, err, err_size);
}

int tavro_http_post(const tavro_io *io, const char *url, const char *content_type, const char *body,
                    tavro_resp *resp, char *err, size_t err_size) {
  *resp = tavro_resp{};
  if (!io || !io->post) return tavro_fail(err, err_size, -1, "no transport");
  if (url_too_long(url)) return tavro_fail(err, err_size, -1, kUrlTooLong);
  char *out = nullptr, *error = nullptr;
  int32_t status = 0;
  int rc = io->post(io->ctx, url, body ? body : "", content_type ? content_type : TAVRO_FORM_TYPE,
                    &out, &status, &error);
  return exchange_end(io, rc, out, status, error, "POST", url, resp, err, err_size);
}

int tavro_send(const tavro_transport *t, tavro_http_request *req, tavro_resp *resp, char *err,
               size_t err_size) {
  *resp = tavro_resp{};
  if (!t || !t->send) return tavro_fail(err, err_size, -1, "no transport");
  if (url_too_long(req->url)) return tavro_fail(err, err_size, -1, kUrlTooLong);
  req->size = sizeof *req;
  tavro_http_response got{};
  got.size = sizeof got;
  int rc = t->send(t->ctx, req, &got);
  if (rc == 0) {
    io_release(t, got.error);
    // An empty body may come back as null.
    size_t n = got.body ? got.body_len : 0;
    size_t cap = 0;
    char *copy = padded_copy(got.body ? got.body : "", n, &cap);
    char *location = got.location ? tavro_strdup(got.location) : nullptr;
    io_release(t, got.body);
    io_release(t, got.location);
    if (!copy || (got.location && !location)) {
      tavro_keep_give(copy, cap);
      std::free(location);
      return tavro_fail(err, err_size, -1, "out of memory");
    }
    resp->body = copy;
    resp->body_len = n;
    resp->body_cap = cap;
    resp->location = location;
    resp->status = got.status;
    return 0;
  }
  int failed = exchange_failed(req->method, req->url, got.error, err, err_size);
  io_release(t, got.body);
  io_release(t, got.location);
  io_release(t, got.error);
  return failed;
}
