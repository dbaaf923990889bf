// SPDX-License-Identifier: MIT
// The text buffer, escapes and copies.
#include "tavro_text.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

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
  if (b->borrowed) {
    // The text leaves the lent memory for a heap block of its own, and
    // nothing of it stays behind there.
    char *p = static_cast<char *>(tavro_malloc((size_t)cap));
    if (!p) return -1;
    std::memcpy(p, b->data, (size_t)b->len + 1);
    std::memset(b->data, 0, (size_t)b->len + 1);
    b->data = p;
    b->cap = cap;
    b->borrowed = false;
    return 0;
  }
  char *p = static_cast<char *>(tavro_realloc(b->data, (size_t)cap));
  if (!p) return -1;
  b->data = p;
  b->cap = cap;
  return 0;
}

void tavro_buf_lend(tavro_buf *b, char *area, uint64_t cap) {
  area[0] = '\0';
  *b = tavro_buf{area, 0, cap, true};
}

int tavro_buf_grow(tavro_buf *b, uint64_t count) {
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

size_t tavro_int_len(int64_t v) {
  static constexpr uint64_t kPowers[20] = {1,
                                           10,
                                           100,
                                           1000,
                                           10000,
                                           100000,
                                           1000000,
                                           10000000,
                                           100000000,
                                           1000000000,
                                           10000000000ull,
                                           100000000000ull,
                                           1000000000000ull,
                                           10000000000000ull,
                                           100000000000000ull,
                                           1000000000000000ull,
                                           10000000000000000ull,
                                           100000000000000000ull,
                                           1000000000000000000ull,
                                           10000000000000000000ull};
  uint64_t u = v < 0 ? 0 - (uint64_t)v : (uint64_t)v;
  // The digits of 2^(bits-1) .. 2^bits - 1 are d or d + 1, d = bits * log10(2).
  unsigned bits = 64 - (unsigned)__builtin_clzll(u | 1);
  size_t d = (bits * 1233) >> 12;
  return (v < 0) + d + ((u | 1) >= kPowers[d]); // 0 has one digit too
}

char *tavro_int_write(char *w, int64_t v) {
  // Two digits a step, from a table of the hundred pairs, from the end;
  // eight at a time in 32-bit steps, which are cheaper than 64-bit ones.
  static constexpr char pairs[] = "00010203040506070809101112131415161718192021222324"
                                  "25262728293031323334353637383940414243444546474849"
                                  "50515253545556575859606162636465666768697071727374"
                                  "75767778798081828384858687888990919293949596979899";
  char *end = w + tavro_int_len(v), *p = end;
  uint64_t u = v < 0 ? 0 - (uint64_t)v : (uint64_t)v;
  while (u >= 100000000) {
    auto low = (uint32_t)(u % 100000000);
    u /= 100000000;
    for (int k = 0; k < 4; ++k, low /= 100) {
      p -= 2;
      std::memcpy(p, pairs + 2 * (low % 100), 2);
    }
  }
  auto x = (uint32_t)u;
  while (x >= 100) {
    p -= 2;
    std::memcpy(p, pairs + 2 * (x % 100), 2);
    x /= 100;
  }
  if (x >= 10) {
    p -= 2;
    std::memcpy(p, pairs + 2 * x, 2);
  } else {
    *--p = (char)('0' + x);
  }
  if (v < 0) *--p = '-';
  return end;
}

int tavro_buf_addi(tavro_buf *b, int64_t v) {
  size_t n = tavro_int_len(v);
  if (tavro_buf_reserve(b, n)) return -1;
  *tavro_int_write(b->data + b->len, v) = '\0';
  b->len += n;
  return 0;
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

// The number of extra bytes *n bytes of text take when escaped. As a C text
// (c_text), the text ends at its first NUL byte, and *n becomes the length
// up to it. Blocks without anything to escape, the usual case for names and
// links, cost one test each: sixteen bytes at a time with SSE2, eight with
// plain words elsewhere; only a block with a hit is read byte by byte, and
// a NUL is such a hit.
template <bool c_text>
static uint64_t counted_bytes(const unsigned char *s, size_t i, size_t end, size_t *n,
                              uint64_t *extra, bool *ended) {
  for (; i < end; ++i) {
    if (c_text && s[i] == 0) {
      *n = i;
      *ended = true;
      return *extra;
    }
    *extra += kJsonExtra[s[i]];
  }
  return *extra;
}

#if defined(__SSE2__) || defined(_M_X64)
static inline unsigned escape_hits(const unsigned char *at) {
  const __m128i top_control = _mm_set1_epi8(0x1f), quote = _mm_set1_epi8('"'),
                backslash = _mm_set1_epi8('\\'), del = _mm_set1_epi8(0x7f);
  __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
  // Unsigned x <= 0x1f exactly where max(x, 0x1f) == 0x1f.
  __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(x, top_control), top_control),
                                          _mm_cmpeq_epi8(x, quote)),
                             _mm_or_si128(_mm_cmpeq_epi8(x, backslash), _mm_cmpeq_epi8(x, del)));
  return (unsigned)_mm_movemask_epi8(hit);
}

template <bool c_text> static uint64_t json_extra(const unsigned char *s, size_t *n) {
  uint64_t extra = 0;
  bool ended = false;
  size_t i = 0, len = *n;
  for (; i + 16 <= len; i += 16) {
    if (escape_hits(s + i) == 0) continue;
    counted_bytes<c_text>(s, i, i + 16, n, &extra, &ended);
    if (ended) return extra;
  }
  // The last partial block: the sixteen bytes that end the text, of which
  // those already counted are masked off.
  if (i < len && len >= 16 && (escape_hits(s + len - 16) >> (16 - (len - i))) == 0) return extra;
  return counted_bytes<c_text>(s, i, len, n, &extra, &ended);
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

template <bool c_text> static uint64_t json_extra(const unsigned char *s, size_t *n) {
  uint64_t extra = 0;
  bool ended = false;
  size_t i = 0, len = *n;
  for (; i + 8 <= len; i += 8) {
    uint64_t w;
    std::memcpy(&w, s + i, 8);
    if (plain_word(w)) continue;
    counted_bytes<c_text>(s, i, i + 8, n, &extra, &ended);
    if (ended) return extra;
  }
  return counted_bytes<c_text>(s, i, len, n, &extra, &ended);
}
#endif

uint64_t tavro_json_chars_size(const char *text, size_t n) {
  return n + json_extra<false>(reinterpret_cast<const unsigned char *>(text), &n);
}

uint64_t tavro_json_chars_measure(const char *text, size_t *n) {
  uint64_t extra = json_extra<true>(reinterpret_cast<const unsigned char *>(text), n);
  return *n + extra;
}

// Writes the escape of c, a byte that needs one; returns the end.
static char *put_escape(char *w, unsigned char c) {
  static constexpr char hex[] = "0123456789abcdef";
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
  return w;
}

// Copies bytes [i, end) of s to w, escaping those that need it; as a C text
// (c_text), up to the first NUL (then *n becomes its place and *ended is
// set). Returns the end.
template <bool c_text>
static char *copy_bytes(char *w, const unsigned char *s, size_t i, size_t end, size_t *n,
                        bool *ended) {
  for (; i < end; ++i) {
    unsigned char c = s[i];
    if (c_text && c == 0) {
      *n = i;
      *ended = true;
      return w;
    }
    if (kJsonExtra[c])
      w = put_escape(w, c);
    else
      *w++ = (char)c;
  }
  return w;
}

// Writes the escaped characters of *n bytes of s at w, as copy_bytes does,
// in one pass; returns the end.
template <bool c_text> static char *escaped_copy(char *w, const unsigned char *s, size_t *n) {
  size_t i = 0, len = *n;
  bool ended = false;
#if defined(__SSE2__) || defined(_M_X64)
  // Sixteen bytes at a time while nothing needs an escape; a block with a
  // hit is copied byte by byte.
  bool last_clean = false;
  for (; i + 16 <= len; i += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
    if (escape_hits(s + i) == 0) {
      _mm_storeu_si128(reinterpret_cast<__m128i *>(w), x);
      w += 16;
      last_clean = true;
      continue;
    }
    w = copy_bytes<c_text>(w, s, i, i + 16, n, &ended);
    if (ended) return w;
    last_clean = false;
  }
  // The tail, when the block before it went across as it was: the sixteen
  // bytes that end the text, stored over the end of that block's copy.
  size_t rest = len - i;
  if (rest && last_clean && (escape_hits(s + len - 16) >> (16 - rest)) == 0) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + len - 16));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(w + rest - 16), x);
    return w + rest;
  }
#endif
  return copy_bytes<c_text>(w, s, i, len, n, &ended);
}

char *tavro_json_chars_write(char *w, const char *text, size_t n, uint64_t size) {
  const auto *s = reinterpret_cast<const unsigned char *>(text);
  if (size == n) {
    std::memcpy(w, s, n);
    return w + n;
  }
  return escaped_copy<false>(w, s, &n);
}

char *tavro_json_chars_copy(char *w, const char *text, size_t *n) {
  return escaped_copy<true>(w, reinterpret_cast<const unsigned char *>(text), n);
}

uint64_t tavro_json_str_size(const char *text, size_t n) {
  return tavro_json_chars_size(text, n) + 2;
}

char *tavro_json_str_write(char *w, const char *text, size_t n, uint64_t size) {
  *w++ = '"';
  w = tavro_json_chars_write(w, text, n, size - 2);
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
    if (kTavroUnreserved[c]) {
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
  if (b->borrowed)
    std::memset(b->data, 0, (size_t)b->len + 1);
  else
    std::free(b->data);
  *b = tavro_buf{};
}

void tavro_buf_keep_lent(tavro_buf *b) {
  *b = tavro_buf{};
}

char *tavro_buf_release(tavro_buf *b) {
  if (b->borrowed) {
    char *copy = tavro_strndup(b->data, (size_t)b->len);
    *b = tavro_buf{};
    return copy;
  }
  char *text = b->data;
  // A shrinking realloc that fails leaves the block as it was.
  if (text && b->cap - b->len - 1 > 4096) {
    if (void *shrunk = tavro_realloc(text, (size_t)b->len + 1)) text = static_cast<char *>(shrunk);
  }
  *b = tavro_buf{};
  return text;
}

// ---- Copies -------------------------------------------------------------

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
