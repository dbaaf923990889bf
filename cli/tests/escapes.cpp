// SPDX-License-Identifier: MIT
// The escapes of a printed path are reversible: read_locator(locator_text(x))
// is x for every byte string x, bytes that are not UTF-8 included (which the
// library never lets reach a table, so the end-to-end tests cannot show it),
// and what is printed holds no byte a terminal would act on and no blank at
// either end.
#include "texts.h"

#include <cstdio>
#include <random>
#include <string>

using tavro_cli::locator_text;
using tavro_cli::read_locator;

namespace {

int failures = 0;

void check(const std::string &text, const char *what) {
  std::string shown = locator_text(text), back;
  bool ok = read_locator(shown, back) && back == text;
  for (unsigned char c : shown) ok = ok && c >= 0x20 && c != 0x7F;
  ok = ok && (shown.empty() || (shown.front() != ' ' && shown.back() != ' '));
  if (!ok && ++failures <= 10) {
    std::printf("FAIL (%s):", what);
    for (unsigned char c : text) std::printf(" %02X", c);
    std::printf("\n  printed as \"%s\"\n", shown.c_str());
  }
}

} // namespace

int main() {
  // Pieces that matter: controls, the escape letters after a backslash,
  // bidirectional controls and separators, C1 controls, wide and combining
  // characters, and bytes that are no UTF-8 (lone continuation bytes, a cut
  // sequence, overlong forms, surrogates, values past Unicode).
  const std::string pieces[] = {
      "\\",
      "t",
      "n",
      "r",
      "e",
      "x",
      "u",
      "0",
      "4",
      "F",
      "a",
      " ",
      "  ",
      "/",
      "\t",
      "\n",
      "\r",
      "\x1B",
      "\x01",
      "\x7F",
      "\xC2\x85",
      "\xC2\x9B",
      "\xE2\x80\xAE",
      "\xE2\x81\xA6",
      "\xE2\x80\x8F",
      "\xD8\x9C",
      "\xE2\x80\xA8",
      "\xE6\x9D\xB1",
      "\xF0\x9F\x8E\xAC",
      "e\xCC\x81",
      "\x80",
      "\xBF",
      "\xC3",
      "\xE6\x9D",
      "\xC0\xAF",
      "\xED\xA0\x80",
      "\xF4\x90\x80\x80",
      "\xFF",
      "\xFE",
      "\\x41",
      "\\u0042",
      "\\\\",
      "\xE2\x86\x93",
  };
  constexpr size_t kPieces = sizeof pieces / sizeof pieces[0];
  for (size_t i = 0; i < kPieces; ++i)
    for (size_t j = 0; j < kPieces; ++j) check(pieces[i] + pieces[j], "two pieces");
  std::mt19937 random(20241210);
  for (int n = 0; n < 200000; ++n) {
    std::string text;
    size_t length = random() % 12;
    for (size_t k = 0; k < length; ++k) text += pieces[random() % kPieces];
    check(text, "pieces");
    std::string bytes(random() % 16, '\0');
    for (char &c : bytes) c = static_cast<char>(random() % 256);
    check(bytes, "bytes");
  }
  // Every single byte, and what is not a printed path is not read as one.
  for (int b = 0; b < 256; ++b) check(std::string(1, static_cast<char>(b)), "one byte");
  std::string out;
  for (const char *bad : {"\\", "\\q", "\\x4", "\\xG0", "\\u12", "\\uD800", "a\\"})
    if (read_locator(bad, out) && ++failures)
      std::printf("FAIL: \"%s\" read as a printed path\n", bad);
  if (failures) {
    std::printf("%d failures\n", failures);
    return 1;
  }
  std::printf("every text printed as a path reads back the same\n");
  return 0;
}
