// SPDX-License-Identifier: MIT
// One HTTP exchange over the host's transport: the text table (tavro_io)
// or the byte transport (tavro_transport). Every text a transport hands
// back is released here, on every path, and a failure becomes one message
// line that quotes the request URL redacted. Judging the answer beyond its
// status is the caller's business.
#pragma once

#include "tavro.h"

#include <cstddef>
#include <cstdint>

// The zero bytes after an answer's body: its NUL and the room yyjson wants
// to parse the body in place.
#define TAVRO_BODY_PADDING 4

// An answer, owned by the library: the body as a copy (body_len bytes, then
// TAVRO_BODY_PADDING zero bytes), and a byte transport's unfollowed
// redirect. Released with tavro_resp_free, on the thread that made it.
struct tavro_resp {
  int32_t status;
  char *body; // a block this thread keeps between calls (tavro_keep)
  size_t body_len;
  size_t body_cap; // the size of body's block
  char *location;  // or null
};

// Text table. GET (body null) or multipart POST of a torrent (body given,
// TAVRO_MULTIPART_TYPE). 0, or -1 with the message "GET|POST <redacted url>:
// <first line of the error>" (or "no transport", or the URL limit's).
int tavro_http(const tavro_io *io, const char *url, const char *body, tavro_resp *resp, char *err,
               size_t err_size);
// Text table, form POST: content type null means TAVRO_FORM_TYPE, body null
// means "". As above.
int tavro_http_post(const tavro_io *io, const char *url, const char *content_type, const char *body,
                    tavro_resp *resp, char *err, size_t err_size);
// Byte transport: the request as given (its size is set here). On success
// resp holds a copy of the body, body_len bytes and a NUL after them, and of
// the Location; 0. Otherwise -1 with the message "<method> <redacted url>:
// <first line of the error>".
int tavro_send(const tavro_transport *t, tavro_http_request *req, tavro_resp *resp, char *err,
               size_t err_size);
void tavro_resp_free(tavro_resp *resp);

// The result code of an HTTP status: TAVRO_OK for 2xx, TAVRO_E_AUTH for 401
// and 403, TAVRO_E_LIMIT for 429, TAVRO_E_NOT_FOUND for 404,
// TAVRO_E_TRANSPORT for 5xx, TAVRO_E_FAILED otherwise.
int tavro_map_status(int32_t status);
// The first non-blank line of text, cut to size - 1 characters.
void tavro_body_line(const char *text, char *out, size_t size);

namespace tavro {

// Owns a tavro_resp.
class Resp {
public:
  Resp() = default;
  ~Resp() { tavro_resp_free(&r_); }
  Resp(const Resp &) = delete;
  Resp &operator=(const Resp &) = delete;
  tavro_resp *get() { return &r_; }
  tavro_resp *operator->() { return &r_; }

private:
  tavro_resp r_{};
};

} // namespace tavro
