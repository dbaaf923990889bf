// SPDX-License-Identifier: MIT
// The query escape: the value comes out as unreserved bytes and uppercase
// %XX escapes only, decodes back to the text, and the separator follows the
// buffer's text.
#include "fuzz_support.h"
#include "tavro_text.h"

namespace {

bool unreserved(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

int hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> parts = fz::split(data, size);
  std::string prefix = parts.size() > 1 ? parts[0] : "";
  const std::string &value = parts.back();
  tavro::Buf b;
  FUZZ_CHECK(tavro_buf_adds(b.get(), prefix.c_str()) == 0, "prefix");
  FUZZ_CHECK(tavro_buf_query(b.get(), "k", value.c_str()) == 0, "append failed");
  std::string out = b.c_str();
  FUZZ_CHECK(out.compare(0, prefix.size(), prefix) == 0, "prefix changed");
  char sep = prefix.find('?') != std::string::npos ? '&' : '?';
  FUZZ_CHECK(out.compare(prefix.size(), 3, std::string(1, sep) + "k=") == 0, "separator: %s",
             out.c_str());
  std::string enc = out.substr(prefix.size() + 3), decoded;
  for (size_t i = 0; i < enc.size(); ++i) {
    if (unreserved(enc[i])) {
      decoded += enc[i];
      continue;
    }
    FUZZ_CHECK(enc[i] == '%' && i + 2 < enc.size() && hex(enc[i + 1]) >= 0 && hex(enc[i + 2]) >= 0,
               "bad escape at %zu: %s", i, enc.c_str());
    char c = (char)(hex(enc[i + 1]) * 16 + hex(enc[i + 2]));
    FUZZ_CHECK(!unreserved(c), "needless escape at %zu", i);
    decoded += c;
    i += 2;
  }
  FUZZ_CHECK(decoded == value, "decodes to %s", decoded.c_str());
  return 0;
}
