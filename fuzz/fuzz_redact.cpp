// SPDX-License-Identifier: MIT
// Redaction: every apikey value after '?' or '&' is gone, so is the user-info
// after a scheme, a smaller buffer gets a prefix of the same text, and the
// export agrees.
#include "fuzz_support.h"
#include "tavro_secret.h"

#include <cctype>

namespace {

std::string redact(const std::string &text, size_t out_size) {
  std::vector<char> out(out_size + 1, 'U');
  tavro_redact_into(text.c_str(), out.data(), out_size);
  FUZZ_CHECK(out_size == 0 || std::memchr(out.data(), 0, out_size), "no NUL within %zu bytes",
             out_size);
  FUZZ_CHECK(out[out_size] == 'U', "wrote past %zu bytes", out_size);
  if (out_size == 0) {
    FUZZ_CHECK(out[0] == 'U', "out_size 0 touched the buffer");
    return "";
  }
  return out.data();
}

bool lower_is(char c, char want) {
  return (c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c) == want;
}

// Each apikey= right after '?' or '&' reads "apikey=***" and ends there.
void check_no_value(const std::string &s) {
  static const char key[] = "apikey=";
  for (size_t i = 1; i + 7 <= s.size(); ++i) {
    if (s[i - 1] != '?' && s[i - 1] != '&') continue;
    bool match = true;
    for (size_t k = 0; k < 7 && match; ++k) match = lower_is(s[i + k], key[k]);
    if (!match) continue;
    FUZZ_CHECK(s.compare(i, 10, "apikey=***") == 0, "unmasked apikey at %zu: %s", i, s.c_str());
    char next = i + 10 < s.size() ? s[i + 10] : '\0';
    FUZZ_CHECK(next == '\0' || next == '&' || next == '#', "value after the mask at %zu: %s", i,
               s.c_str());
  }
}

// After a scheme ("x://", the scheme a letter and then letters, digits, '+',
// '-' or '.'), user-info up to the authority's last '@' is gone: the text
// goes on right after that '@'.
void check_user_info(const std::string &text, const std::string &out) {
  size_t sep = text.find("://");
  if (sep == std::string::npos || sep == 0 || !std::isalpha((unsigned char)text[0])) return;
  for (size_t i = 1; i < sep; ++i)
    if (!std::isalnum((unsigned char)text[i]) && !std::strchr("+-.", text[i])) return;
  size_t start = sep + 3;
  size_t end = text.find_first_of("/?#", start);
  size_t at =
      text.substr(start, end == std::string::npos ? std::string::npos : end - start).rfind('@');
  if (at == std::string::npos) return;
  FUZZ_CHECK(out.compare(0, start, text, 0, start) == 0, "scheme changed: %s", out.c_str());
  char next = text[start + at + 1];
  if (next == '\0')
    FUZZ_CHECK(out.size() == start, "user-info left: %s", out.c_str());
  else
    FUZZ_CHECK(out.size() > start && out[start] == next, "user-info left: %s", out.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  size_t small = data[0];
  std::string text = fz::text(data + 1, size - 1);
  size_t len = std::strlen(text.c_str());
  // Each replacement adds at most three characters.
  std::string full = redact(text, 4 * len + 16);
  check_no_value(full);
  check_user_info(text.c_str(), full);
  std::string cut = redact(text, small);
  FUZZ_CHECK(cut == full.substr(0, small ? small - 1 : 0), "cut differs: %s", cut.c_str());
  FUZZ_CHECK(full.substr(0, 2047) == tavro_redact(text.c_str()), "export differs");
  return 0;
}
