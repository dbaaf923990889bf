// Text foundations, secret redaction, the HTTP exchange over a transport
// table, the settings parser and the torrent sniffer: the pieces every other
// module builds on. Nothing here knows the service's endpoints.
#pragma once

#include "tavro.h"

#include <yyjson.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// ---- Allocation -----------------------------------------------------------

// Every heap block of the library comes from these (and is released with
// std::free), so a test build can make any one of them fail.
void *tavro_malloc(size_t n);
void *tavro_realloc(void *p, size_t n);

#if defined(TAVRO_FAULT_INJECTION)
#include <atomic>
// Test builds only: when tavro_fi_countdown is N > 0, the Nth allocation from
// now fails; tavro_fi_calls counts every allocation made.
extern std::atomic<long> tavro_fi_countdown;
extern std::atomic<long> tavro_fi_calls;
#endif

// The allocator handed to yyjson for every document the library parses or
// writes; it goes through tavro_malloc and tavro_realloc.
extern const yyjson_alc tavro_json_alc;

// Strict parse of exactly len bytes (no comments, no trailing commas, valid
// UTF-8, nothing after the value). Null on any failure.
yyjson_doc *tavro_json_read(const char *text, size_t len);

// ---- Text buffer ----------------------------------------------------------

// Growable NUL-terminated text. All-zero is empty and valid.
struct tavro_buf {
  char *data;
  uint64_t len;
  uint64_t cap;
};

// The appends return 0, or -1 when memory runs out; a failed append leaves
// the buffer as it was.
int tavro_buf_add(tavro_buf *b, const void *bytes, uint64_t count);
int tavro_buf_adds(tavro_buf *b, const char *text);
// Makes room for count more bytes and the NUL, growing as the appends do.
int tavro_buf_reserve(tavro_buf *b, uint64_t count);
// The same, growing to exactly that room: for a text whose final length is
// known, so that it takes no more than it needs.
int tavro_buf_reserve_exact(tavro_buf *b, uint64_t count);
// The decimal digits of v, as "%lld" writes them.
int tavro_buf_addi(tavro_buf *b, int64_t v);
// Those digits at the end of area; returns where they start.
char *tavro_int_digits(char (&area)[24], int64_t v);
int tavro_buf_addf(tavro_buf *b, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// A JSON string literal with escapes, or the word null for a null text;
// appended whole or not at all.
int tavro_buf_json_str(tavro_buf *b, const char *text);
// The length of the JSON string literal of n bytes of text, quotes included.
uint64_t tavro_json_str_size(const char *text, size_t n);
// Writes that literal at w, which has room for size bytes (the length
// tavro_json_str_size gave); returns the end. Writes no NUL.
char *tavro_json_str_write(char *w, const char *text, size_t n, uint64_t size);
// "?key=value" or "&key=value", the value percent-encoded; appended whole or
// not at all.
int tavro_buf_query(tavro_buf *b, const char *key, const char *value);
// A form field: "key=value" (with "&" before it unless the buffer is
// empty), the value encoded as tavro_buf_query does; whole or not at all.
int tavro_buf_form(tavro_buf *b, const char *key, const char *value);
void tavro_buf_free(tavro_buf *b);
// Hands over the text (a heap block, released with std::free), its spare
// room given back when there is much of it; the buffer is empty afterwards.
// Null when nothing was ever appended.
char *tavro_buf_release(tavro_buf *b);

// Heap copies (tavro_malloc); null for a null source or exhausted memory.
char *tavro_strdup(const char *text);
char *tavro_strndup(const char *bytes, size_t count);

// Overwrites every occurrence of secret (longer than 3 characters) in text
// with '*', left to right, without overlap.
void tavro_scrub(char *text, const char *secret);
// The same for the secret's percent-encoded form (as the query encoder writes
// it), when that differs from the secret; allocates nothing.
void tavro_scrub_encoded(char *text, const char *secret);
// Masks the longest beginning of secret, at least 4 characters long, that
// text ends with: what is left of a secret that a cut ran through.
void tavro_scrub_cut(char *text, const char *secret);

// ---- Failing --------------------------------------------------------------

// The one way to fail: writes the formatted message into (err, err_size), cut
// to fit and NUL-terminated, and returns code.
int tavro_fail(char *err, size_t err_size, int code, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

// ---- Redaction ------------------------------------------------------------

// Drops URL user-info and replaces every apikey= value after '?' or '&' with
// "apikey=***"; the result is cut to out_size - 1 characters.
void tavro_redact_into(const char *text, char *out, size_t out_size);

// ---- HTTP exchange --------------------------------------------------------

struct tavro_resp {
  int32_t status;
  char *body;
  size_t body_len;
  char *location; // a byte transport's unfollowed redirect, or null
};

#define TAVRO_MULTIPART_TYPE "multipart/form-data; boundary=tavrotorrent"
#define TAVRO_FORM_TYPE "application/x-www-form-urlencoded"

// GET (body null) or multipart POST (body given). 0, or -1 with a message.
int tavro_http(const tavro_io *io, const char *url, const char *body, tavro_resp *resp, char *err,
               size_t err_size);
// Form POST; content type null means the form type, body null means "".
int tavro_http_post(const tavro_io *io, const char *url, const char *content_type, const char *body,
                    tavro_resp *resp, char *err, size_t err_size);
// One exchange through a host's byte transport: the request as given (its
// size is set here). On success resp holds a copy of the body, body_len
// bytes and a NUL after them, and of the Location; 0. Otherwise -1 with the
// message "<method> <redacted url>: <first line of the error>". Every text
// the transport hands back is released before this returns.
int tavro_send(const tavro_transport *t, tavro_http_request *req, tavro_resp *resp, char *err,
               size_t err_size);
void tavro_resp_free(tavro_resp *resp);
int tavro_map_status(int32_t status);
// The first non-blank line of text, cut to size - 1 characters.
void tavro_body_line(const char *text, char *out, size_t size);

// ---- Settings -------------------------------------------------------------

#define TAVRO_SETTINGS_MAX 1048576u

struct tavro_cfg {
  char *api_key;
  char *client;
  char *id;
};

int tavro_cfg_parse(const char *settings, int require_key, tavro_cfg *cfg, char *err,
                    size_t err_size);
void tavro_cfg_free(tavro_cfg *cfg);

// ---- Torrent sniffing -----------------------------------------------------

int tavro_sniff_torrent(const void *data, size_t len);
// 1 when data begins with one complete bencoded dictionary: every string's
// length satisfied and every list and dictionary closed. A torrent that a
// text transport cut at its first NUL byte fails this.
int tavro_bencode_whole(const void *data, size_t len);

// ---- Holders --------------------------------------------------------------

namespace tavro {

// Owns a tavro_buf.
class Buf {
public:
  Buf() = default;
  ~Buf() { tavro_buf_free(&b_); }
  Buf(const Buf &) = delete;
  Buf &operator=(const Buf &) = delete;
  tavro_buf *get() { return &b_; }
  const char *c_str() const { return b_.data ? b_.data : ""; }
  uint64_t size() const { return b_.len; }

private:
  tavro_buf b_{};
};

// Owns a heap text (released with std::free).
class Text {
public:
  Text() = default;
  explicit Text(char *p) : p_(p) {}
  ~Text() { std::free(p_); }
  Text(const Text &) = delete;
  Text &operator=(const Text &) = delete;
  char *get() const { return p_; }
  char **out() { return &p_; }
  char *release() {
    char *p = p_;
    p_ = nullptr;
    return p;
  }
  void reset(char *p = nullptr) {
    std::free(p_);
    p_ = p;
  }

private:
  char *p_ = nullptr;
};

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

// Owns a yyjson document.
class Doc {
public:
  Doc() = default;
  explicit Doc(yyjson_doc *d) : d_(d) {}
  ~Doc() { yyjson_doc_free(d_); }
  Doc(const Doc &) = delete;
  Doc &operator=(const Doc &) = delete;
  yyjson_doc *get() const { return d_; }
  yyjson_doc **out() { return &d_; }
  yyjson_val *root() const { return yyjson_doc_get_root(d_); }
  void reset(yyjson_doc *d = nullptr) {
    yyjson_doc_free(d_);
    d_ = d;
  }

private:
  yyjson_doc *d_ = nullptr;
};

} // namespace tavro
