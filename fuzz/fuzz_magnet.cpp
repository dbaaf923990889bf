// SPDX-License-Identifier: MIT
// The magnet link test, compared with the rule written out step by step.
#include "fuzz_support.h"
#include "tavro_recognise.h"

namespace {

bool is_hex(char c) {
  return std::strchr("0123456789abcdefABCDEF", c) && c;
}
bool is_base32(char c) {
  return c && std::strchr("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz234567", c);
}

int expected(const std::string &s) {
  if (s.compare(0, 8, "magnet:?") != 0) return 0;
  size_t at = s.find("xt=urn:btih:");
  if (at == std::string::npos) return 0;
  std::string hash = s.substr(at + 12);
  hash = hash.substr(0, hash.find('&'));
  bool (*ok)(char) = hash.size() == 40 ? is_hex : hash.size() == 32 ? is_base32 : nullptr;
  if (!ok) return 0;
  for (char c : hash)
    if (!ok(c)) return 0;
  return 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text = fz::text(data, size);
  std::string c_text = text.c_str(); // what a C caller's text holds
  int got = tavro_link_is_magnet(text.c_str());
  FUZZ_CHECK(got == expected(c_text), "got %d for %s", got, c_text.c_str());
  FUZZ_CHECK(tavro_is_magnet_link(text.c_str()) == got, "export differs");
  return 0;
}
