// SPDX-License-Identifier: MIT
// JSON through yyjson, sizes and widths for the command-line host.
#include "texts.h"

#include <yyjson.h>

#include <algorithm>
#include <cinttypes>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace tavro_cli {
namespace {

std::string written(char *text, size_t len) {
  if (!text) return {};
  std::string s(text, len);
  std::free(text);
  return s;
}

} // namespace

tavro::Doc read_json(const std::string &text) {
  return tavro::Doc(yyjson_read(text.data(), text.size(), 0));
}

std::string text_of(yyjson_val *v) {
  return yyjson_is_str(v) ? std::string(yyjson_get_str(v), yyjson_get_len(v)) : "";
}

JsonObject::JsonObject() {
  yyjson_mut_doc *d = yyjson_mut_doc_new(nullptr);
  if (!d) throw std::bad_alloc();
  yyjson_mut_val *r = yyjson_mut_obj(d);
  yyjson_mut_doc_set_root(d, r);
  doc_ = d;
  root_ = r;
}

JsonObject::~JsonObject() {
  yyjson_mut_doc_free(static_cast<yyjson_mut_doc *>(doc_));
}

JsonObject &JsonObject::str(const char *key, const std::string &value) {
  auto *d = static_cast<yyjson_mut_doc *>(doc_);
  yyjson_mut_obj_add(static_cast<yyjson_mut_val *>(root_), yyjson_mut_str(d, key),
                     yyjson_mut_strncpy(d, value.data(), value.size()));
  return *this;
}

JsonObject &JsonObject::num(const char *key, int64_t value) {
  auto *d = static_cast<yyjson_mut_doc *>(doc_);
  yyjson_mut_obj_add(static_cast<yyjson_mut_val *>(root_), yyjson_mut_str(d, key),
                     yyjson_mut_sint(d, value));
  return *this;
}

JsonObject &JsonObject::flag(const char *key, bool value) {
  auto *d = static_cast<yyjson_mut_doc *>(doc_);
  yyjson_mut_obj_add(static_cast<yyjson_mut_val *>(root_), yyjson_mut_str(d, key),
                     yyjson_mut_bool(d, value));
  return *this;
}

JsonObject &JsonObject::null(const char *key) {
  auto *d = static_cast<yyjson_mut_doc *>(doc_);
  yyjson_mut_obj_add(static_cast<yyjson_mut_val *>(root_), yyjson_mut_str(d, key),
                     yyjson_mut_null(d));
  return *this;
}

std::string JsonObject::text() const {
  size_t len = 0;
  char *t = yyjson_mut_write(static_cast<yyjson_mut_doc *>(doc_),
                             YYJSON_WRITE_ALLOW_INVALID_UNICODE, &len);
  if (!t) throw std::bad_alloc();
  return written(t, len);
}

std::string json_string(const std::string &text) {
  yyjson_mut_doc *d = yyjson_mut_doc_new(nullptr);
  if (!d) throw std::bad_alloc();
  yyjson_mut_doc_set_root(d, yyjson_mut_strncpy(d, text.data(), text.size()));
  size_t len = 0;
  char *t = yyjson_mut_write(d, YYJSON_WRITE_ALLOW_INVALID_UNICODE, &len);
  yyjson_mut_doc_free(d);
  if (!t) throw std::bad_alloc();
  return written(t, len);
}

std::string pretty_json(const std::string &text) {
  tavro::Doc doc = read_json(text);
  if (!doc.get()) return text;
  size_t len = 0;
  char *t = yyjson_write(doc.get(),
                         YYJSON_WRITE_PRETTY_TWO_SPACES | YYJSON_WRITE_ALLOW_INVALID_UNICODE, &len);
  return t ? written(t, len) : text;
}

std::optional<std::string> string_member(const std::string &json, const char *key) {
  tavro::Doc doc = read_json(json);
  yyjson_val *v = yyjson_obj_get(doc.root(), key);
  if (!yyjson_is_str(v)) return std::nullopt;
  return std::string(yyjson_get_str(v), yyjson_get_len(v));
}

std::optional<int64_t> int_member(const std::string &json, const char *key) {
  tavro::Doc doc = read_json(json);
  yyjson_val *v = yyjson_obj_get(doc.root(), key);
  if (!yyjson_is_int(v)) return std::nullopt;
  return yyjson_get_sint(v);
}

bool flag_member(const std::string &json, const char *key) {
  tavro::Doc doc = read_json(json);
  return yyjson_get_bool(yyjson_obj_get(doc.root(), key));
}

std::string human_size(int64_t bytes) {
  if (bytes < 0) return "-";
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static const char *units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double v = static_cast<double>(bytes) / 1024;
  int u = 0;
  while (v >= 1024 && u < 5) {
    v /= 1024;
    ++u;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", v, units[u]);
  return text;
}

namespace {

// The code point of the UTF-8 sequence at text[i] and its length, or
// length 0 when the bytes there are not well-formed UTF-8.
uint32_t decode(const std::string &text, size_t i, size_t &len) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char c = byte(i);
  len = 0;
  if (c < 0x80) {
    len = 1;
    return c;
  }
  size_t n = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (!n || i + n > text.size()) return 0;
  uint32_t cp = c & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  // Overlong forms, surrogates and values past Unicode are not UTF-8.
  static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  len = n;
  return cp;
}

bool in(uint32_t cp, const uint32_t (*ranges)[2], size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (cp >= ranges[i][0] && cp <= ranges[i][1]) return true;
  return false;
}

const uint32_t kZeroWidth[][2] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A}, {0x064B, 0x065F},
    {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},
    {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xE0100, 0xE01EF},
};

const uint32_t kWide[][2] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2E80, 0x303E},   {0x3041, 0x33FF},
    {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xA960, 0xA97F},
    {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},
    {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF},
    {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

size_t cells_of(uint32_t cp) {
  if (in(cp, kZeroWidth, std::size(kZeroWidth))) return 0;
  return in(cp, kWide, std::size(kWide)) ? 2 : 1;
}

// Controls (C0, DEL, C1), the bidirectional controls (marks, embeddings,
// overrides, isolates) and the line and paragraph separators.
bool needs_escape(uint32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x061C || cp == 0x200E || cp == 0x200F ||
         (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069) || cp == 0x2028 ||
         cp == 0x2029;
}

// Text escaped for a terminal; as a locator (a path as ls prints it) also
// the backslash and a blank at either end.
std::string escaped(const std::string &text, bool locator);

} // namespace

std::string terminal_text(const std::string &text) {
  return escaped(text, false);
}

std::string locator_text(const std::string &text) {
  return escaped(text, true);
}

bool read_locator(const std::string &text, std::string &out) {
  out.clear();
  auto hex = [&](size_t at, size_t n, uint32_t &v) {
    if (at + n > text.size()) return false;
    v = 0;
    for (size_t k = at; k < at + n; ++k) {
      char c = text[k];
      int d = c >= '0' && c <= '9'   ? c - '0'
              : c >= 'a' && c <= 'f' ? c - 'a' + 10
              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                     : -1;
      if (d < 0) return false;
      v = v * 16 + static_cast<uint32_t>(d);
    }
    return true;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i >= text.size()) return false;
    uint32_t v = 0;
    switch (text[i]) {
    case '\\':
      out += '\\';
      break;
    case 't':
      out += '\t';
      break;
    case 'n':
      out += '\n';
      break;
    case 'r':
      out += '\r';
      break;
    case 'e':
      out += '\x1B';
      break;
    case 'x':
      if (!hex(i + 1, 2, v)) return false;
      out += static_cast<char>(v);
      i += 2;
      break;
    case 'u':
      // One character, as UTF-8; the escapes written are all below U+10000.
      if (!hex(i + 1, 4, v) || (v >= 0xD800 && v <= 0xDFFF)) return false;
      if (v < 0x80) {
        out += static_cast<char>(v);
      } else if (v < 0x800) {
        out += static_cast<char>(0xC0 | (v >> 6));
        out += static_cast<char>(0x80 | (v & 0x3F));
      } else {
        out += static_cast<char>(0xE0 | (v >> 12));
        out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (v & 0x3F));
      }
      i += 4;
      break;
    default:
      return false;
    }
  }
  return true;
}

namespace {

std::string escaped(const std::string &text, bool locator) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t len = 0;
    uint32_t cp = decode(text, i, len);
    char esc[16];
    if (!len) {
      std::snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned char>(text[i]));
      out += esc;
      ++i;
      continue;
    }
    if (needs_escape(cp)) {
      switch (cp) {
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case 0x1B:
        out += "\\e";
        break;
      default:
        std::snprintf(esc, sizeof esc, cp < 0x80 ? "\\x%02X" : "\\u%04X",
                      static_cast<unsigned>(cp));
        out += esc;
      }
    } else if (locator && cp == '\\') {
      out += "\\\\";
    } else if (locator && cp == ' ' && (i == 0 || i + 1 == text.size())) {
      out += "\\x20"; // a blank at an end would be lost, or trimmed
    } else {
      out.append(text, i, len);
    }
    i += len;
  }
  return out;
}

} // namespace

size_t display_width(const std::string &text) {
  size_t w = 0;
  for (size_t i = 0; i < text.size();) {
    size_t len = 0;
    uint32_t cp = decode(text, i, len);
    w += len ? cells_of(cp) : 1;
    i += len ? len : 1;
  }
  return w;
}

std::string fit_width(const std::string &text, size_t cells) {
  if (display_width(text) <= cells) return text;
  if (cells == 0) return "";
  std::string out;
  size_t w = 0;
  for (size_t i = 0; i < text.size();) {
    size_t len = 0;
    uint32_t cp = decode(text, i, len);
    size_t c = len ? cells_of(cp) : 1;
    if (!len) len = 1;
    if (w + c > cells - 1) break; // one cell for the ellipsis
    out.append(text, i, len);
    w += c;
    i += len;
  }
  return out + "\u2026";
}

size_t edit_distance(const std::string &a, const std::string &b) {
  // Optimal string alignment distance, on bytes.
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i)
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}

} // namespace tavro_cli
