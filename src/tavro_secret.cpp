// SPDX-License-Identifier: MIT
// Masking of the API key in messages, and redaction of URLs.
#include "tavro_secret.h"

#include "tavro_text.h"

#include <algorithm>
#include <cstring>
#include <string_view>

// ---- Masking --------------------------------------------------------------

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
    if (kTavroUnreserved[c]) {
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
  for (const char *k = secret; *k && !differs; ++k) differs = !kTavroUnreserved[(unsigned char)*k];
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
      (void)tavro_buf_add(b, s.data() + pos, s.size() - pos);
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
