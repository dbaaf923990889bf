// SPDX-License-Identifier: MIT
// The QR code and the large PIN.
#include "qr.h"

#include <qrencode.h>

#include <cctype>
#include <cstring>
#include <memory>

namespace tavro_cli {
namespace {

// The quiet zone around a QR code: four modules, as the standard asks.
constexpr int kQuiet = 4;

// Black on white, then the terminal's own colours again.
constexpr const char *kDarkOnLight = "\x1b[30;107m";
constexpr const char *kReset = "\x1b[0m";

// A 5x5 glyph per character, row by row ('#' is ink).
struct Glyph {
  char c;
  const char *rows; // 25 characters
};

constexpr Glyph kFont[] = {
    {'A', " ### #   #######   ##   #"}, {'B', "#### #   ##### #   ##### "},
    {'C', " #####    #    #     ####"}, {'D', "#### #   ##   ##   ##### "},
    {'E', "######    #### #    #####"}, {'F', "######    #### #    #    "},
    {'G', " #####    #  ###   # ####"}, {'H', "#   ##   #######   ##   #"},
    {'I', "#####  #    #    #  #####"}, {'J', "    #    #    ##   # ### "},
    {'K', "#   ##  # ###  #  # #   #"}, {'L', "#    #    #    #    #####"},
    {'M', "#   ### ### # ##   ##   #"}, {'N', "#   ###  ## # ##  ###   #"},
    {'O', " ### #   ##   ##   # ### "}, {'P', "#### #   ##### #    #    "},
    {'Q', " ### #   ## # ##  #  ## #"}, {'R', "#### #   ##### #  # #   #"},
    {'S', " #####     ###     ##### "}, {'T', "#####  #    #    #    #  "},
    {'U', "#   ##   ##   ##   # ### "}, {'V', "#   ##   ##   # # #   #  "},
    {'W', "#   ##   ## # ### ###   #"}, {'X', "#   # # #   #   # # #   #"},
    {'Y', "#   # # #   #    #    #  "}, {'Z', "#####   #   #   #   #####"},
    {'0', " ### #  ### # ###  # ### "}, {'1', "  #   ##    #    #   ### "},
    {'2', " ### #   #  ##  #   #####"}, {'3', "####     # ###     ##### "},
    {'4', "#   ##   ######    #    #"}, {'5', "######    ####     ##### "},
    {'6', " #####    #### #   # ### "}, {'7', "#####    #   #   #    #  "},
    {'8', " ### #   # ### #   # ### "}, {'9', " ### #   # ####    ##### "},
};

const char *glyph(char c) {
  char up = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const Glyph &g : kFont)
    if (g.c == up && std::strlen(g.rows) == 25) return g.rows;
  return nullptr;
}

} // namespace

std::string qr_lines(const std::string &text) {
  std::unique_ptr<QRcode, void (*)(QRcode *)> code(
      QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_L, QR_MODE_8, 1), QRcode_free);
  if (!code) return "";
  int width = code->width, size = width + 2 * kQuiet;
  // Whether the module at (x, y) of the whole picture, quiet zone included,
  // is dark.
  auto dark = [&](int x, int y) {
    x -= kQuiet;
    y -= kQuiet;
    if (x < 0 || y < 0 || x >= width || y >= width) return false;
    return (code->data[y * width + x] & 1) != 0;
  };
  std::string out;
  for (int y = 0; y < size; y += 2) {
    out += kDarkOnLight;
    for (int x = 0; x < size; ++x) {
      bool top = dark(x, y), bottom = y + 1 < size && dark(x, y + 1);
      out += top && bottom ? "\u2588" : top ? "\u2580" : bottom ? "\u2584" : " ";
    }
    out += kReset;
    out += "\n";
  }
  return out;
}

std::string large_text(const std::string &text) {
  std::string out;
  for (int row = 0; row < 5; ++row) {
    std::string line;
    for (char c : text) {
      const char *g = glyph(c);
      if (!line.empty()) line += "  ";
      if (!g) {
        line += row == 2 ? std::string(1, c) + "    " : "     ";
        continue;
      }
      for (int col = 0; col < 5; ++col) line += g[row * 5 + col] == '#' ? "\u2588" : " ";
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  return out;
}

} // namespace tavro_cli
