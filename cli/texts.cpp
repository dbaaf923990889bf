// JSON through yyjson, query encoding, sizes and widths for the
// command-line host.
#include "texts.h"

#include <yyjson.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

namespace tavro_cli {
namespace {

struct DocDeleter {
  void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
using Doc = std::unique_ptr<yyjson_doc, DocDeleter>;

Doc read_json(const std::string &text) {
  return Doc(yyjson_read(text.data(), text.size(), 0));
}

std::string written(char *text, size_t len) {
  if (!text) return {};
  std::string s(text, len);
  std::free(text);
  return s;
}

std::string trimmed(const std::string &s) {
  const char *blanks = " \t\r\n";
  size_t b = s.find_first_not_of(blanks);
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

// A member read as the library reads settings values.
std::string settings_text(yyjson_val *root, const char *key) {
  yyjson_val *v = yyjson_obj_get(root, key);
  if (yyjson_is_str(v)) return trimmed(yyjson_get_str(v));
  if (yyjson_is_sint(v)) return std::to_string(yyjson_get_sint(v));
  if (yyjson_is_uint(v)) return std::to_string(yyjson_get_uint(v));
  if (yyjson_is_bool(v)) return yyjson_get_bool(v) ? "true" : "false";
  return {};
}

} // namespace

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

std::string settings_for_key(const std::string &key) {
  JsonObject o;
  o.str("APIKey", key);
  return o.text();
}

std::string api_key_of(const std::string &settings) {
  Doc doc = read_json(settings);
  yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  if (!yyjson_is_obj(root)) return {};
  std::string key = settings_text(root, "APIKey");
  return key.empty() ? settings_text(root, "ClientSecret") : key;
}

std::string pretty_json(const std::string &text) {
  Doc doc = read_json(text);
  if (!doc) return text;
  size_t len = 0;
  char *t = yyjson_write(doc.get(),
                         YYJSON_WRITE_PRETTY_TWO_SPACES | YYJSON_WRITE_ALLOW_INVALID_UNICODE, &len);
  return t ? written(t, len) : text;
}

std::optional<std::string> string_member(const std::string &json, const char *key) {
  Doc doc = read_json(json);
  yyjson_val *v = doc ? yyjson_obj_get(yyjson_doc_get_root(doc.get()), key) : nullptr;
  if (!yyjson_is_str(v)) return std::nullopt;
  return std::string(yyjson_get_str(v), yyjson_get_len(v));
}

std::string query_encode(const std::string &value) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : value) {
    bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                c == '-' || c == '.' || c == '_' || c == '~';
    if (keep) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
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

size_t display_width(const std::string &text) {
  size_t w = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++w; // count every byte that starts a sequence
  return w;
}

} // namespace tavro_cli
