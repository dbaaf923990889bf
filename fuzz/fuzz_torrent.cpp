// SPDX-License-Identifier: MIT
// Torrent sniffing over exactly the given bytes (ASan catches any read past
// them), compared with a plain search for the four keys.
#include "fuzz_support.h"
#include "tavro_recognise.h"

#include <algorithm>

namespace {

bool holds(std::string_view s, std::string_view key) {
  return std::search(s.begin(), s.end(), key.begin(), key.end()) != s.end();
}

int expected(std::string_view s) {
  if (s.size() < 16 || s[0] != 'd') return 0;
  bool info = holds(s, "4:info");
  return info && (holds(s, "8:announce") || (holds(s, "4:path") && holds(s, "6:length")));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // A copy of exactly size bytes on the heap, so that one byte too far is a
  // reported overflow.
  std::vector<char> bytes(data, data + size);
  std::string_view s(bytes.data(), bytes.size());
  int got = tavro_sniff_torrent(bytes.data(), bytes.size());
  FUZZ_CHECK(got == expected(s), "got %d", got);
  FUZZ_CHECK(tavro_is_torrent_file(bytes.data(), bytes.size()) == got, "export differs");
  // Every shorter prefix is judged on its own bytes only.
  if (size) {
    int shorter = tavro_sniff_torrent(bytes.data(), bytes.size() - 1);
    FUZZ_CHECK(shorter == expected(s.substr(0, size - 1)), "prefix gives %d", shorter);
  }
  return 0;
}
