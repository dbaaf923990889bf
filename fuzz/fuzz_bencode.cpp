// SPDX-License-Identifier: MIT
// The whole-torrent scan over exactly the given bytes (ASan catches any read
// past them), compared with a plain recursive reading of one bencoded value
// after another. The reference stops at a depth of its own; deeper inputs
// are only checked for what holds at any depth.
#include "fuzz_support.h"
#include "tavro_recognise.h"

namespace {

constexpr int kDepth = 2000;

struct Reader {
  std::string_view s;
  size_t at = 0;
  bool too_deep = false;

  bool digit(size_t i) const { return i < s.size() && s[i] >= '0' && s[i] <= '9'; }

  // One value from at; true when it is complete, with at past it.
  bool value(int depth) {
    if (depth > kDepth) {
      too_deep = true;
      return false;
    }
    if (at >= s.size()) return false;
    char c = s[at];
    if (c == 'd' || c == 'l') {
      // Keys are not told apart from values: any values, then 'e'.
      ++at;
      while (at < s.size() && s[at] != 'e')
        if (!value(depth + 1)) return false;
      if (at >= s.size()) return false;
      ++at;
      return true;
    }
    if (c == 'i') {
      size_t j = at + 1;
      if (j < s.size() && s[j] == '-') ++j;
      size_t first = j;
      while (digit(j)) ++j;
      if (j == first || j >= s.size() || s[j] != 'e') return false;
      at = j + 1;
      return true;
    }
    if (!digit(at)) return false;
    // A length, ':' and that many bytes.
    uint64_t n = 0;
    size_t j = at;
    while (digit(j)) {
      n = n * 10 + (uint64_t)(s[j] - '0');
      if (n > s.size()) return false;
      ++j;
    }
    if (j >= s.size() || s[j] != ':') return false;
    ++j;
    if (n > s.size() - j) return false;
    at = j + (size_t)n;
    return true;
  }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // A copy of exactly size bytes on the heap, so that one byte too far is a
  // reported overflow.
  std::vector<char> bytes(data, data + size);
  int got = tavro_bencode_whole(bytes.data(), bytes.size());
  FUZZ_CHECK(got == 0 || got == 1, "got %d", got);
  // At any depth: a whole dictionary starts with 'd', and ends with 'e'.
  if (got) FUZZ_CHECK(size >= 2 && bytes[0] == 'd', "whole without a dictionary");

  Reader r{std::string_view(bytes.data(), bytes.size())};
  bool whole = size > 0 && bytes[0] == 'd' && r.value(1);
  if (r.too_deep) return 0;
  FUZZ_CHECK(got == (int)whole, "got %d, the reading says %d", got, (int)whole);
  if (whole) {
    // The dictionary ends at r.at: the bytes after it are not looked at,
    // and it is cut by one byte fewer.
    FUZZ_CHECK(bytes[r.at - 1] == 'e', "the dictionary ends in %c", bytes[r.at - 1]);
    std::vector<char> exact(bytes.begin(), bytes.begin() + (long)r.at);
    FUZZ_CHECK(tavro_bencode_whole(exact.data(), exact.size()) == 1, "not whole at its own end");
    exact.pop_back();
    exact.shrink_to_fit();
    FUZZ_CHECK(tavro_bencode_whole(exact.data(), exact.size()) == 0, "whole without its last byte");
  }
  return 0;
}
