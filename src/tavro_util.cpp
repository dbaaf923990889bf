// Text foundations (growable buffer, JSON and query escapes, copies, masking),
// secret redaction, the HTTP exchange over the host's transport table, the
// settings parser and the torrent sniffer. Service endpoints and result
// documents are left to the operations.
#include "tavro_util.h"

#include <array>
#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#if defined(TAVRO_FAULT_INJECTION)
#include <atomic>
// Test builds: tavro_fi_countdown > 0 counts allocations down; the one that
// brings it to zero fails. Zero or below: no failures.
std::atomic<long> tavro_fi_countdown{0};
std::atomic<long> tavro_fi_calls{0};
static bool fi_fail() {
  tavro_fi_calls.fetch_add(1, std::memory_order_relaxed);
  long v = tavro_fi_countdown.load(std::memory_order_relaxed);
  while (v > 0) {
    if (tavro_fi_countdown.compare_exchange_weak(v, v - 1, std::memory_order_relaxed))
      return v == 1;
  }
  return false;
}
#endif

// ---- Allocation -----------------------------------------------------------

void *tavro_malloc(size_t n) {
#if defined(TAVRO_FAULT_INJECTION)
  if (fi_fail()) return nullptr;
#endif
  return std::malloc(n ? n : 1);
}

void *tavro_realloc(void *p, size_t n) {
#if defined(TAVRO_FAULT_INJECTION)
  if (fi_fail()) return nullptr;
#endif
  return std::realloc(p, n ? n : 1);
}

static void *alc_malloc(void *, size_t size) {
  return tavro_malloc(size);
}
static void *alc_realloc(void *, void *ptr, size_t, size_t size) {
  return tavro_realloc(ptr, size);
}
static void alc_free(void *, void *ptr) {
  std::free(ptr);
}

const yyjson_alc tavro_json_alc = {alc_malloc, alc_realloc, alc_free, nullptr};

yyjson_doc *tavro_json_read(const char *text, size_t len) {
  if (!text) return nullptr;
  // Without the in-situ flag yyjson copies the input and never writes to it.
  return yyjson_read_opts(const_cast<char *>(text), len, 0, &tavro_json_alc, nullptr);
}

// ---- Text buffer ----------------------------------------------------------

// Grows the buffer to hold count more bytes and the NUL: to exactly that
// when exact is set, else by doubling from 256. 0, or -1 with the buffer
// unchanged.
static int grow(tavro_buf *b, uint64_t count, bool exact) {
  if (!b) return -1;
  if (count > (uint64_t)INT64_MAX - b->len - 1) return -1;
  uint64_t need = b->len + count + 1;
  if (need <= b->cap) return 0;
  uint64_t cap = need;
  if (!exact) {
    cap = b->cap ? b->cap : 256;
    while (cap < need) {
      if (cap > (uint64_t)INT64_MAX / 2) return -1;
      cap *= 2;
    }
  }
  if (cap > SIZE_MAX) return -1;
  char *p = static_cast<char *>(tavro_realloc(b->data, (size_t)cap));
  if (!p) return -1;
  b->data = p;
  b->cap = cap;
  return 0;
}

int tavro_buf_reserve(tavro_buf *b, uint64_t count) {
  return grow(b, count, false);
}

int tavro_buf_reserve_exact(tavro_buf *b, uint64_t count) {
  return grow(b, count, true);
}

int tavro_buf_add(tavro_buf *b, const void *bytes, uint64_t count) {
  if (tavro_buf_reserve(b, count)) return -1;
  if (count) std::memcpy(b->data + b->len, bytes, (size_t)count);
  b->len += count;
  b->data[b->len] = '\0';
  return 0;
}

int tavro_buf_adds(tavro_buf *b, const char *text) {
  return tavro_buf_add(b, text, text ? std::strlen(text) : 0);
}

int tavro_buf_addf(tavro_buf *b, const char *fmt, ...) {
  char local[512];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(local, sizeof local, fmt, ap);
  va_end(ap);
  if (n < 0) return -1;
  if ((size_t)n < sizeof local) return tavro_buf_add(b, local, (uint64_t)n);
  tavro::Text heap(static_cast<char *>(tavro_malloc((size_t)n + 1)));
  if (!heap.get()) return -1;
  va_start(ap, fmt);
  int m = std::vsnprintf(heap.get(), (size_t)n + 1, fmt, ap);
  va_end(ap);
  if (m != n) return -1;
  return tavro_buf_add(b, heap.get(), (uint64_t)n);
}

char *tavro_int_digits(char (&area)[24], int64_t v) {
  // Two digits a step, from a table of the hundred pairs.
  static constexpr char pairs[] = "00010203040506070809101112131415161718192021222324"
                                  "25262728293031323334353637383940414243444546474849"
                                  "50515253545556575859606162636465666768697071727374"
                                  "75767778798081828384858687888990919293949596979899";
  char *p = area + sizeof area;
  uint64_t u = v < 0 ? 0 - (uint64_t)v : (uint64_t)v;
  while (u >= 100) {
    unsigned pair = (unsigned)(u % 100);
    u /= 100;
    p -= 2;
    std::memcpy(p, pairs + 2 * pair, 2);
  }
  if (u >= 10) {
    p -= 2;
    std::memcpy(p, pairs + 2 * u, 2);
  } else {
    *--p = (char)('0' + u);
  }
  if (v < 0) *--p = '-';
  return p;
}

int tavro_buf_addi(tavro_buf *b, int64_t v) {
  char area[24];
  char *p = tavro_int_digits(area, v);
  return tavro_buf_add(b, p, (uint64_t)(area + sizeof area - p));
}

// Extra bytes that each byte takes inside a JSON string literal: 0 when it is
// written as it is, 1 for the two-character escapes, 5 for \u00XX.
static constexpr std::array<uint8_t, 256> kJsonExtra = [] {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 5;
  t[0x7f] = 5;
  t['"'] = t['\\'] = t['\t'] = t['\n'] = t['\r'] = 1;
  return t;
}();

// The number of extra bytes n bytes of text take when escaped. Blocks
// without anything to escape, the usual case for names and links, cost one
// test each: sixteen bytes at a time with SSE2, eight with plain words
// elsewhere.
#if defined(__SSE2__) || defined(_M_X64)
static uint64_t json_extra(const unsigned char *s, size_t n) {
  const __m128i top_control = _mm_set1_epi8(0x1f), quote = _mm_set1_epi8('"'),
                backslash = _mm_set1_epi8('\\'), del = _mm_set1_epi8(0x7f);
  uint64_t extra = 0;
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
    // Unsigned x <= 0x1f exactly where max(x, 0x1f) == 0x1f.
    __m128i hit =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(x, top_control), top_control),
                                  _mm_cmpeq_epi8(x, quote)),
                     _mm_or_si128(_mm_cmpeq_epi8(x, backslash), _mm_cmpeq_epi8(x, del)));
    if (_mm_movemask_epi8(hit) == 0) continue;
    for (size_t k = 0; k < 16; ++k) extra += kJsonExtra[s[i + k]];
  }
  if (i < n && n >= 16) {
    // The last partial block: the sixteen bytes that end the text, of which
    // those already counted are masked off.
    const unsigned char *last = s + n - 16;
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(last));
    __m128i hit =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(x, top_control), top_control),
                                  _mm_cmpeq_epi8(x, quote)),
                     _mm_or_si128(_mm_cmpeq_epi8(x, backslash), _mm_cmpeq_epi8(x, del)));
    unsigned fresh = (unsigned)_mm_movemask_epi8(hit) >> (16 - (n - i));
    if (fresh == 0) return extra;
  }
  for (; i < n; ++i) extra += kJsonExtra[s[i]];
  return extra;
}
#else
// True when none of the eight bytes of w needs an escape: no byte below
// 0x20, no '"', no backslash, no 0x7f. Each test is the classic "some byte
// is below n / is zero" word trick; it never misses a byte.
static inline bool plain_word(uint64_t w) {
  constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
  auto has_zero = [](uint64_t x) { return (x - ones) & ~x & highs; };
  uint64_t below_space = (w - ones * 0x20) & ~w & highs;
  return (below_space | has_zero(w ^ (ones * 0x22)) | has_zero(w ^ (ones * 0x5c)) |
          has_zero(w ^ (ones * 0x7f))) == 0;
}

static uint64_t json_extra(const unsigned char *s, size_t n) {
  uint64_t extra = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, s + i, 8);
    if (plain_word(w)) continue;
    for (size_t k = 0; k < 8; ++k) extra += kJsonExtra[s[i + k]];
  }
  for (; i < n; ++i) extra += kJsonExtra[s[i]];
  return extra;
}
#endif

uint64_t tavro_json_str_size(const char *text, size_t n) {
  return n + json_extra(reinterpret_cast<const unsigned char *>(text), n) + 2;
}

char *tavro_json_str_write(char *w, const char *text, size_t n, uint64_t size) {
  const auto *s = reinterpret_cast<const unsigned char *>(text);
  *w++ = '"';
  if (size == n + 2) {
    std::memcpy(w, s, n);
    w += n;
  } else {
    static constexpr char hex[] = "0123456789abcdef";
    const unsigned char *run = s;
    for (const unsigned char *p = s; p < s + n; ++p) {
      unsigned char c = *p;
      if (!kJsonExtra[c]) continue;
      std::memcpy(w, run, (size_t)(p - run));
      w += p - run;
      run = p + 1;
      *w++ = '\\';
      switch (c) {
      case '"':
      case '\\':
        *w++ = (char)c;
        break;
      case '\t':
        *w++ = 't';
        break;
      case '\n':
        *w++ = 'n';
        break;
      case '\r':
        *w++ = 'r';
        break;
      default:
        std::memcpy(w, "u00", 3);
        w[3] = hex[c >> 4];
        w[4] = hex[c & 15];
        w += 5;
      }
    }
    std::memcpy(w, run, (size_t)(s + n - run));
    w += s + n - run;
  }
  *w++ = '"';
  return w;
}

int tavro_buf_json_str(tavro_buf *b, const char *text) {
  if (!text) return tavro_buf_add(b, "null", 4);
  size_t n = std::strlen(text);
  uint64_t size = tavro_json_str_size(text, n);
  // The whole literal in one reservation: it is appended whole or not at all.
  if (tavro_buf_reserve(b, size)) return -1;
  char *w = tavro_json_str_write(b->data + b->len, text, n, size);
  *w = '\0';
  b->len = (uint64_t)(w - b->data);
  return 0;
}

// The bytes a query value keeps as they are; every other byte is %XX.
static constexpr std::array<bool, 256> kUnreserved = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c)
    t[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
  return t;
}();

// Appends sep (none when it is NUL), the key unchanged, '=' and the value
// percent-encoded; whole or not at all.
static int add_param(tavro_buf *b, char sep, const char *key, const char *value) {
  if (!b) return -1;
  size_t vlen = value ? std::strlen(value) : 0;
  size_t klen = key ? std::strlen(key) : 0;
  if (vlen > (SIZE_MAX - 1) / 3 || klen > SIZE_MAX - 2 - 3 * vlen) return -1;
  // Room for the separator, the key, '=' and the value with every byte
  // encoded, so that the parameter is appended whole or not at all.
  if (tavro_buf_reserve(b, 2 + (uint64_t)klen + 3 * (uint64_t)vlen)) return -1;
  static constexpr char hex[] = "0123456789ABCDEF";
  char *w = b->data + b->len;
  if (sep) *w++ = sep;
  if (klen) std::memcpy(w, key, klen);
  w += klen;
  *w++ = '=';
  for (size_t i = 0; i < vlen; ++i) {
    unsigned char c = (unsigned char)value[i];
    if (kUnreserved[c]) {
      *w++ = (char)c;
    } else {
      w[0] = '%';
      w[1] = hex[c >> 4];
      w[2] = hex[c & 15];
      w += 3;
    }
  }
  *w = '\0';
  b->len = (uint64_t)(w - b->data);
  return 0;
}

int tavro_buf_query(tavro_buf *b, const char *key, const char *value) {
  if (!b) return -1;
  bool has_query = b->data && std::memchr(b->data, '?', (size_t)b->len);
  return add_param(b, has_query ? '&' : '?', key, value);
}

int tavro_buf_form(tavro_buf *b, const char *key, const char *value) {
  if (!b) return -1;
  return add_param(b, b->len ? '&' : '\0', key, value);
}

void tavro_buf_free(tavro_buf *b) {
  std::free(b->data);
  b->data = nullptr;
  b->len = 0;
  b->cap = 0;
}

char *tavro_buf_release(tavro_buf *b) {
  char *text = b->data;
  // A shrinking realloc that fails leaves the block as it was.
  if (text && b->cap - b->len - 1 > 4096) {
    if (void *shrunk = tavro_realloc(text, (size_t)b->len + 1)) text = static_cast<char *>(shrunk);
  }
  *b = tavro_buf{};
  return text;
}

// ---- Copies and masking ---------------------------------------------------

char *tavro_strndup(const char *bytes, size_t count) {
  if (!bytes || count == SIZE_MAX) return nullptr;
  char *p = static_cast<char *>(tavro_malloc(count + 1));
  if (!p) return nullptr;
  if (count) std::memcpy(p, bytes, count);
  p[count] = '\0';
  return p;
}

char *tavro_strdup(const char *text) {
  return text ? tavro_strndup(text, std::strlen(text)) : nullptr;
}

static bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// A heap copy without surrounding blanks; null when nothing remains.
static char *trimdup(const char *text) {
  if (!text) return nullptr;
  while (blank(*text)) ++text;
  size_t n = std::strlen(text);
  while (n && blank(text[n - 1])) --n;
  return n ? tavro_strndup(text, n) : nullptr;
}

void tavro_scrub(char *text, const char *secret) {
  if (!text || !secret) return;
  size_t n = std::strlen(secret);
  if (n <= 3) return;
  for (char *p = std::strstr(text, secret); p; p = std::strstr(p, secret)) {
    std::memset(p, '*', n);
    p += n;
  }
}

// Length of the percent-encoded secret when text begins with it, else 0.
static size_t encoded_match(const char *text, const char *secret) {
  static constexpr char hex[] = "0123456789ABCDEF";
  size_t n = 0;
  for (const char *k = secret; *k; ++k) {
    unsigned char c = (unsigned char)*k;
    if (kUnreserved[c]) {
      if (text[n] != (char)c) return 0;
      ++n;
    } else {
      if (text[n] != '%' || text[n + 1] != hex[c >> 4] || text[n + 2] != hex[c & 15]) return 0;
      n += 3;
    }
  }
  return n;
}

void tavro_scrub_encoded(char *text, const char *secret) {
  if (!text || !secret || std::strlen(secret) <= 3) return;
  bool differs = false;
  for (const char *k = secret; *k && !differs; ++k) differs = !kUnreserved[(unsigned char)*k];
  if (!differs) return;
  for (char *p = text; *p;) {
    size_t n = encoded_match(p, secret);
    if (n) {
      std::memset(p, '*', n);
      p += n;
    } else {
      ++p;
    }
  }
}

void tavro_scrub_cut(char *text, const char *secret) {
  if (!text || !secret) return;
  size_t n = std::strlen(text), k = std::strlen(secret);
  if (k <= 3) return;
  for (size_t m = std::min(n, k - 1); m >= 4; --m) {
    if (std::memcmp(text + n - m, secret, m) == 0) {
      std::memset(text + n - m, '*', m);
      return;
    }
  }
}

// ---- Failing --------------------------------------------------------------

int tavro_fail(char *err, size_t err_size, int code, const char *fmt, ...) {
  if (err && err_size) {
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(err, err_size, fmt, ap);
    va_end(ap);
    if (n < 0) err[0] = '\0';
  }
  return code;
}

// ---- Redaction ------------------------------------------------------------

static bool ascii_alpha(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
static bool ascii_digit(char c) {
  return c >= '0' && c <= '9';
}

// Offset of the first "://" when it ends a scheme (a letter, then letters,
// digits, '+', '-' or '.'), else npos.
static size_t scheme_end(std::string_view s) {
  size_t pos = s.find("://");
  if (pos == std::string_view::npos || pos == 0 || !ascii_alpha(s[0]))
    return std::string_view::npos;
  for (size_t i = 1; i < pos; ++i) {
    char c = s[i];
    if (!ascii_alpha(c) && !ascii_digit(c) && c != '+' && c != '-' && c != '.')
      return std::string_view::npos;
  }
  return pos;
}

static bool starts_apikey(std::string_view s) {
  static constexpr std::string_view key = "apikey=";
  if (s.size() < key.size()) return false;
  for (size_t i = 0; i < key.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    if (c != key[i]) return false;
  }
  return true;
}

// Builds the redacted text; on exhausted memory it stops with what it has,
// which never holds a dropped or skipped secret.
static void redact_build(std::string_view s, tavro_buf *b) {
  size_t pos = 0;
  size_t sch = scheme_end(s);
  if (sch != std::string_view::npos) {
    pos = sch + 3;
    if (tavro_buf_add(b, s.data(), pos)) return;
    size_t auth_end = s.find_first_of("/?#", pos);
    if (auth_end == std::string_view::npos) auth_end = s.size();
    size_t at = s.substr(pos, auth_end - pos).rfind('@');
    if (at != std::string_view::npos) pos += at + 1;
  }
  while (pos < s.size()) {
    size_t sep = s.find_first_of("?&", pos);
    if (sep == std::string_view::npos) {
      tavro_buf_add(b, s.data() + pos, s.size() - pos);
      return;
    }
    if (tavro_buf_add(b, s.data() + pos, sep + 1 - pos)) return;
    pos = sep + 1;
    if (starts_apikey(s.substr(pos))) {
      if (tavro_buf_add(b, "apikey=***", 10)) return;
      size_t stop = s.find_first_of("&#", pos);
      pos = stop == std::string_view::npos ? s.size() : stop;
    }
  }
}

void tavro_redact_into(const char *text, char *out, size_t out_size) {
  if (!out_size) return;
  out[0] = '\0';
  if (!text) return;
  tavro::Buf b;
  redact_build(text, b.get());
  size_t n = (size_t)b.size();
  if (n > out_size - 1) n = out_size - 1;
  if (n) std::memcpy(out, b.c_str(), n);
  out[n] = '\0';
}

// ---- HTTP exchange --------------------------------------------------------

#define TAVRO_URL_MAX 8192

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
  std::free(resp->body);
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

// Takes over what one transport call handed back: on success the body is
// copied into resp, on failure the message is written. The transport's
// strings are released on every path.
static int exchange_end(const tavro_io *io, int rc, char *body, int32_t status, char *error,
                        const char *method, const char *url, tavro_resp *resp, char *err,
                        size_t err_size) {
  if (rc == 0 && body) {
    io_release(io, error);
    size_t n = std::strlen(body);
    char *copy = tavro_strndup(body, n);
    io_release(io, body);
    if (!copy) return tavro_fail(err, err_size, -1, "out of memory");
    resp->body = copy;
    resp->body_len = n;
    resp->status = status;
    return 0;
  }
  char shown[512];
  tavro_redact_into(url, shown, sizeof shown);
  char line[200];
  tavro_body_line(error ? error : "transport failure", line, sizeof line);
  io_release(io, body);
  io_release(io, error);
  if (method) return tavro_fail(err, err_size, -1, "%s %s: %s", method, shown, line);
  return tavro_fail(err, err_size, -1, "POST %s: %s", shown, line);
}

int tavro_http(const tavro_io *io, const char *url, const char *body, tavro_resp *resp, char *err,
               size_t err_size) {
  *resp = tavro_resp{};
  if (!io || !io->get || !io->post) return tavro_fail(err, err_size, -1, "no transport");
  if (!url || strnlen(url, TAVRO_URL_MAX + 1) > TAVRO_URL_MAX)
    return tavro_fail(err, err_size, -1, "request URL longer than 8 KiB");
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
  if (!url || strnlen(url, TAVRO_URL_MAX + 1) > TAVRO_URL_MAX)
    return tavro_fail(err, err_size, -1, "request URL longer than 8 KiB");
  char *out = nullptr, *error = nullptr;
  int32_t status = 0;
  int rc = io->post(io->ctx, url, body ? body : "", content_type ? content_type : TAVRO_FORM_TYPE,
                    &out, &status, &error);
  return exchange_end(io, rc, out, status, error, nullptr, url, resp, err, err_size);
}

int tavro_send(const tavro_transport *t, tavro_http_request *req, tavro_resp *resp, char *err,
               size_t err_size) {
  *resp = tavro_resp{};
  if (!t || !t->send) return tavro_fail(err, err_size, -1, "no transport");
  if (!req->url || strnlen(req->url, TAVRO_URL_MAX + 1) > TAVRO_URL_MAX)
    return tavro_fail(err, err_size, -1, "request URL longer than 8 KiB");
  req->size = sizeof *req;
  tavro_http_response got{};
  got.size = sizeof got;
  int rc = t->send(t->ctx, req, &got);
  if (rc == 0) {
    io_release(t, got.error);
    // An empty body may come back as null.
    size_t n = got.body ? got.body_len : 0;
    char *copy = tavro_strndup(got.body ? got.body : "", n);
    char *location = got.location ? tavro_strdup(got.location) : nullptr;
    io_release(t, got.body);
    io_release(t, got.location);
    if (!copy || (got.location && !location)) {
      std::free(copy);
      std::free(location);
      return tavro_fail(err, err_size, -1, "out of memory");
    }
    resp->body = copy;
    resp->body_len = n;
    resp->location = location;
    resp->status = got.status;
    return 0;
  }
  char shown[512];
  tavro_redact_into(req->url, shown, sizeof shown);
  char line[200];
  tavro_body_line(got.error ? got.error : "transport failure", line, sizeof line);
  io_release(t, got.body);
  io_release(t, got.location);
  io_release(t, got.error);
  return tavro_fail(err, err_size, -1, "%s %s: %s", req->method, shown, line);
}

// ---- Settings -------------------------------------------------------------

// The first member named key read as text: strings as they are, integers in
// decimal, true/false as words; anything else is absent. Numbers are written
// into scratch.
static const char *sval(yyjson_val *obj, const char *key, char (&scratch)[256]) {
  yyjson_val *v = yyjson_obj_get(obj, key);
  if (yyjson_is_str(v)) return yyjson_get_str(v);
  if (yyjson_is_uint(v)) {
    std::snprintf(scratch, sizeof scratch, "%" PRIu64, yyjson_get_uint(v));
    return scratch;
  }
  if (yyjson_is_sint(v)) {
    std::snprintf(scratch, sizeof scratch, "%" PRId64, yyjson_get_sint(v));
    return scratch;
  }
  if (yyjson_is_bool(v)) return yyjson_get_bool(v) ? "true" : "false";
  return nullptr;
}

// The trimmed text of the first key that gives one, else null.
static char *trimmed(yyjson_val *obj, const char *first, const char *second) {
  char scratch[256];
  char *v = trimdup(sval(obj, first, scratch));
  if (!v && second) v = trimdup(sval(obj, second, scratch));
  return v;
}

void tavro_cfg_free(tavro_cfg *cfg) {
  std::free(cfg->api_key);
  std::free(cfg->client);
  std::free(cfg->id);
  *cfg = tavro_cfg{};
}

int tavro_cfg_parse(const char *settings, int require_key, tavro_cfg *cfg, char *err,
                    size_t err_size) {
  *cfg = tavro_cfg{};
  if (!settings) return tavro_fail(err, err_size, TAVRO_E_ARG, "settings are NULL");
  size_t len = strnlen(settings, TAVRO_SETTINGS_MAX + 1);
  if (len > TAVRO_SETTINGS_MAX)
    return tavro_fail(err, err_size, TAVRO_E_ARG, "settings are larger than 1 MiB");
  tavro::Doc doc(tavro_json_read(settings, len));
  yyjson_val *root = doc.root();
  if (!yyjson_is_obj(root))
    return tavro_fail(err, err_size, TAVRO_E_ARG, "settings are not a JSON object");
  char scratch[256];
  const char *type = sval(root, "RuntimeType", scratch);
  if (type && *type && std::strcmp(type, "ALLDEBRID") != 0)
    return tavro_fail(err, err_size, TAVRO_E_ARG,
                      "RuntimeType is \"%s\", this handler is \"ALLDEBRID\"", type);
  cfg->api_key = trimmed(root, "APIKey", "ClientSecret");
  cfg->client = trimmed(root, "CustomName", "ClientId");
  cfg->id = trimmed(root, "ID", nullptr);
  doc.reset();
  if (require_key && !cfg->api_key) {
    tavro_cfg_free(cfg);
    return tavro_fail(err, err_size, TAVRO_E_ARG, "APIKey is empty");
  }
  return 0;
}

// ---- Torrent sniffing -----------------------------------------------------

int tavro_sniff_torrent(const void *data, size_t len) {
  if (!data || len < 16) return 0;
  std::string_view s(static_cast<const char *>(data), len);
  if (s[0] != 'd') return 0;
  bool info = false, announce = false, path = false, length = false;
  for (size_t i = 0; i < s.size(); ++i) {
    std::string_view rest = s.substr(i);
    if (rest.starts_with("4:info"))
      info = true;
    else if (rest.starts_with("8:announce"))
      announce = true;
    else if (rest.starts_with("4:path"))
      path = true;
    else if (rest.starts_with("6:length"))
      length = true;
    if (info && (announce || (path && length))) return 1;
  }
  return 0;
}

// One bencoded value after another, without recursion: a count of the lists
// and dictionaries still open is all the state the scan keeps, so no input
// can make it deep. Dictionary keys are not told apart from values; what
// matters here is whether every length is satisfied and every container
// closed.
int tavro_bencode_whole(const void *data, size_t len) {
  if (!data || len == 0) return 0;
  std::string_view s(static_cast<const char *>(data), len);
  if (s[0] != 'd') return 0;
  uint64_t open = 0;
  size_t i = 0;
  while (i < s.size()) {
    char c = s[i];
    if (c == 'd' || c == 'l') {
      ++open;
      ++i;
    } else if (c == 'e') {
      if (open == 0) return 0;
      ++i;
      if (--open == 0) return 1; // the outer dictionary is closed
    } else if (c == 'i') {
      size_t j = i + 1;
      if (j < s.size() && s[j] == '-') ++j;
      size_t digits = j;
      while (j < s.size() && ascii_digit(s[j])) ++j;
      if (j == digits || j >= s.size() || s[j] != 'e') return 0;
      i = j + 1;
    } else if (ascii_digit(c)) {
      // A string: its length, ':' and that many bytes, all of them present.
      uint64_t n = 0;
      size_t j = i;
      while (j < s.size() && ascii_digit(s[j])) {
        n = n * 10 + (uint64_t)(s[j] - '0');
        if (n > s.size()) return 0; // longer than all there is
        ++j;
      }
      if (j >= s.size() || s[j] != ':') return 0;
      ++j;
      if (n > s.size() - j) return 0;
      i = j + (size_t)n;
    } else {
      return 0;
    }
  }
  return 0; // the body ended with containers still open
}
