// SPDX-License-Identifier: MIT
// Text: a growable NUL-terminated buffer with every append whole or not at
// all, JSON string literals and percent-encoded query and form parameters
// written into it, decimal digits without printf, and heap copies.
#pragma once

#include "tavro_base.h"

#include <array>
#include <cstddef>
#include <cstdint>

// Growable NUL-terminated text. All-zero is empty and valid. A buffer may
// start on memory it does not own (tavro_buf_lend): it is written there
// while the text fits, and moved to the heap when it grows past it. The
// lent memory is handed back zeroed where the text was written (when the
// text moves, and by tavro_buf_free), unless the text is left there on
// purpose (tavro_buf_keep_lent).
struct tavro_buf {
  char *data;
  uint64_t len;
  uint64_t cap;
  bool borrowed; // data is the lender's, not a heap block
};

// Starts the empty buffer b on area, cap bytes (at least 1) that the
// caller owns and keeps valid while b is in use; area[0] becomes NUL.
void tavro_buf_lend(tavro_buf *b, char *area, uint64_t cap);
// Leaves b's text in the memory lent to it, and b empty.
void tavro_buf_keep_lent(tavro_buf *b);

// The appends return 0, or -1 when memory runs out; a failed append leaves
// the buffer as it was.
[[nodiscard]] int tavro_buf_add(tavro_buf *b, const void *bytes, uint64_t count);
[[nodiscard]] int tavro_buf_adds(tavro_buf *b, const char *text);
// Makes room for count more bytes and the NUL, growing by doubling from 256.
// Checked here, inline: only a growth makes a call.
[[nodiscard]] int tavro_buf_grow(tavro_buf *b, uint64_t count);
[[nodiscard]] inline int tavro_buf_reserve(tavro_buf *b, uint64_t count) {
  if (b && count < b->cap - b->len) return 0;
  return tavro_buf_grow(b, count);
}
// The same, growing to exactly that room: for a text whose final length is
// known, so that it takes no more than it needs.
[[nodiscard]] int tavro_buf_reserve_exact(tavro_buf *b, uint64_t count);
// The decimal digits of v, as "%lld" writes them.
[[nodiscard]] int tavro_buf_addi(tavro_buf *b, int64_t v);
[[nodiscard]] int tavro_buf_addf(tavro_buf *b, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// A JSON string literal with escapes, or the word null for a null text.
[[nodiscard]] int tavro_buf_json_str(tavro_buf *b, const char *text);
// "?key=value" or "&key=value" (after a '?' already in the buffer), the
// value percent-encoded: every byte but the unreserved ones as %XX.
[[nodiscard]] int tavro_buf_query(tavro_buf *b, const char *key, const char *value);
// A form field: "key=value" (with "&" before it unless the buffer is
// empty), the value encoded as tavro_buf_query does.
[[nodiscard]] int tavro_buf_form(tavro_buf *b, const char *key, const char *value);
void tavro_buf_free(tavro_buf *b);
// Hands over the text (a heap block, released with std::free), its spare
// room given back when there is much of it; the buffer is empty afterwards.
// Null when nothing was ever appended. A text still on lent memory is
// handed over as a heap copy (null when memory runs out).
char *tavro_buf_release(tavro_buf *b);

// The number of characters of v's decimal digits, the sign included.
size_t tavro_int_len(int64_t v);
// Writes those digits at w, which has room for tavro_int_len(v) bytes;
// returns the end. Writes no NUL.
char *tavro_int_write(char *w, int64_t v);

// The length of n bytes of text escaped for a JSON string, without quotes.
uint64_t tavro_json_chars_size(const char *text, size_t n);
// The same for text as a C text of at most *n bytes: it ends at its first
// NUL byte, and *n becomes its length. One pass over the bytes, for a text
// whose length is known only as a bound (a JSON value that may hold an
// escaped NUL).
uint64_t tavro_json_chars_measure(const char *text, size_t *n);
// Writes those characters at w, which has room for size bytes (the length
// tavro_json_chars_size or tavro_json_chars_measure gave); returns the end.
// Writes no NUL.
char *tavro_json_chars_write(char *w, const char *text, size_t n, uint64_t size);
// The room tavro_json_chars_copy may take for a text of n bytes: the
// longest escape, six bytes, for each byte.
constexpr uint64_t tavro_json_chars_room(uint64_t n) {
  return 6 * n;
}
// Writes the escaped characters of text, a C text of at most *n bytes, at
// w, in one pass; *n becomes the text's length, and the end is returned.
// It writes exactly as many bytes as tavro_json_chars_measure counts, and
// no NUL: w needs room for that many (tavro_json_chars_room of the bound
// is always enough).
char *tavro_json_chars_copy(char *w, const char *text, size_t *n);
// The length of the JSON string literal of n bytes of text, quotes included.
uint64_t tavro_json_str_size(const char *text, size_t n);
// Writes that literal at w, which has room for size bytes (the length
// tavro_json_str_size gave); returns the end. Writes no NUL.
char *tavro_json_str_write(char *w, const char *text, size_t n, uint64_t size);

// The bytes a query or form value keeps as they are (RFC 3986's unreserved
// characters); every other byte is written as %XX, with upper-case digits.
inline constexpr std::array<bool, 256> kTavroUnreserved = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c)
    t[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
  return t;
}();

// Heap copies (tavro_malloc); null for a null source or exhausted memory.
char *tavro_strdup(const char *text);
char *tavro_strndup(const char *bytes, size_t count);

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

} // namespace tavro
