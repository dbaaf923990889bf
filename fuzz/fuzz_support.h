// SPDX-License-Identifier: MIT
// What the fuzz targets share: a checked-invariant macro that stops the run
// with a message, NUL-terminated copies of the input, a splitter into
// NUL-separated parts, JSON checks made with yyjson, and the API-key test.
#pragma once

#include "tavro.h"
#include "tavro_links.h"   // tavro_clock_use
#include "tavro_service.h" // TAVRO_ERR_SIZE

#include <yyjson.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

// A broken invariant ends the run as a crash, with the reason on stderr, so
// that libFuzzer keeps the input that caused it.
#define FUZZ_CHECK(cond, ...)                                                                      \
  do {                                                                                             \
    if (!(cond)) {                                                                                 \
      std::fprintf(stderr, "invariant broken at %s:%d: %s\n  ", __FILE__, __LINE__, #cond);        \
      std::fprintf(stderr, __VA_ARGS__);                                                           \
      std::fputc('\n', stderr);                                                                    \
      std::abort();                                                                                \
    }                                                                                              \
  } while (0)

namespace fz {

// The input as a NUL-terminated text (an embedded NUL ends it early, as it
// would for any C text the host passes).
inline std::string text(const uint8_t *data, size_t size) {
  return std::string(reinterpret_cast<const char *>(data), size);
}

// The input cut at every NUL byte (or at every sep byte). A trailing empty
// part is kept, so "a\0" gives {"a", ""}.
inline std::vector<std::string> split(const uint8_t *data, size_t size, uint8_t sep = 0) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == sep)
      parts.emplace_back();
    else
      parts.back().push_back(static_cast<char>(data[i]));
  }
  return parts;
}

// Owns a yyjson document parsed by the harness itself (std allocator).
struct Json {
  yyjson_doc *doc = nullptr;
  Json(const char *text, size_t len, yyjson_read_flag flags = 0) {
    doc = yyjson_read(text, len, flags);
  }
  ~Json() { yyjson_doc_free(doc); }
  Json(const Json &) = delete;
  Json &operator=(const Json &) = delete;
  yyjson_val *root() const { return yyjson_doc_get_root(doc); }
};

// Standard, strict JSON: what every success result must be.
inline bool strict_json(const char *text) {
  Json j(text, std::strlen(text));
  return j.doc != nullptr;
}

// The first member named key, found by walking the object in order (the
// reading rule: the first of duplicate keys counts). Null when missing.
inline yyjson_val *first_member(yyjson_val *obj, const char *key) {
  if (!yyjson_is_obj(obj)) return nullptr;
  yyjson_obj_iter it = yyjson_obj_iter_with(obj);
  for (yyjson_val *k; (k = yyjson_obj_iter_next(&it));) {
    if (yyjson_get_len(k) == std::strlen(key) &&
        std::memcmp(yyjson_get_str(k), key, std::strlen(key)) == 0)
      return yyjson_obj_iter_get_val(k);
  }
  return nullptr;
}

// The text of a string value read as a C text (up to an embedded NUL), or
// null when it is not a string.
inline const char *c_text(yyjson_val *v) {
  return yyjson_is_str(v) ? yyjson_get_str(v) : nullptr;
}

// The result code of one of the service's error codes, by the rules
// written out once more as a plain chain: the first match wins.
inline int expected_code(const char *code) {
  std::string_view c(code ? code : "");
  if (c == "AUTH_MAX_TOKENS") return TAVRO_E_LIMIT;
  if (c.substr(0, 5) == "AUTH_") return TAVRO_E_AUTH;
  if (c.substr(0, 22) == "MAGNET_MUST_BE_PREMIUM") return TAVRO_E_LIMIT;
  if (c == "FREE_ACCOUNT_LIMIT_REACHED") return TAVRO_E_LIMIT;
  if (c.substr(0, 14) == "MAGNET_INVALID") return TAVRO_E_NOT_FOUND;
  if (c == "LINK_HOST_NOT_SUPPORTED" || c == "LINK_NOT_SUPPORTED" || c == "BAD_LINK")
    return TAVRO_E_NOT_FOUND;
  if (c == "STREAM_INVALID_GEN_ID" || c == "STREAM_INVALID_STREAM_ID" || c == "DELAYED_INVALID_ID")
    return TAVRO_E_NOT_FOUND;
  if (c == "USER_LINK_MISSING" || c == "USER_LINK_INVALID") return TAVRO_E_ARG;
  for (std::string_view limit :
       {"MUST_BE_PREMIUM", "FREE_TRIAL_LIMIT_REACHED", "LINK_HOST_LIMIT_REACHED",
        "LINK_TOO_MANY_DOWNLOADS", "MAGNET_TOO_MANY_ACTIVE", "MAGNET_TOO_MANY", "MAGNET_TOO_LARGE",
        "MAGNET_MAGNET_TOO_BIG", "INSUFFICIENT_BALANCE"})
    if (c == limit) return TAVRO_E_LIMIT;
  if (c == "LINK_DOWN" || c == "MAGNET_LINKS_REMOVED") return TAVRO_E_NOT_FOUND;
  if (c == "MAINTENANCE" || c == "LINK_HOST_UNAVAILABLE" || c == "LINK_TEMPORARY_UNAVAILABLE" ||
      c == "LINK_HOST_FULL")
    return TAVRO_E_TRANSPORT;
  if (c == "NO_SERVER") return TAVRO_E_AUTH;
  if (c == "PIN_EXPIRED" || c == "PIN_INVALID") return TAVRO_E_AUTH;
  if (c == "ALREADY_SENT") return TAVRO_E_LIMIT;
  return TAVRO_E_FAILED;
}

// A service message as the library shows it: without HTML tags, a tag
// running from a '<' followed by a letter, "/" and a letter, or "!", to the
// next '>'; a '<' with no '>' anywhere after it is kept.
inline std::string without_tags(const std::string &text) {
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char next = i + 1 < text.size() ? text[i + 1] : '\0';
    char after = i + 2 < text.size() ? text[i + 2] : '\0';
    bool opens = text[i] == '<' && (letter(next) || (next == '/' && letter(after)) || next == '!');
    size_t end = opens ? text.find('>', i) : std::string::npos;
    if (end != std::string::npos) {
      i = end;
      continue;
    }
    out += text[i];
  }
  return out;
}

// What the library reports for the service's error value (an object with a
// code and a message, or anything else): the code and the message, cut to
// an error buffer of err_size bytes.
struct ServiceError {
  int code;
  std::string message;
};
inline ServiceError service_error(yyjson_val *error, size_t err_size) {
  const char *code = yyjson_is_obj(error) ? c_text(first_member(error, "code")) : nullptr;
  const char *message = yyjson_is_obj(error) ? c_text(first_member(error, "message")) : nullptr;
  std::string shown = without_tags(message ? message : "");
  std::string text = std::string("AllDebrid error ") + (code && *code ? code : "(no code)") + ": " +
                     (!shown.empty() ? shown : "(no message)");
  return {expected_code(code), text.substr(0, err_size - 1)};
}

// The error object of an answer's item, or null when the item holds none:
// an unknown magnet id, a refused magnet or file.
inline yyjson_val *item_error(yyjson_val *item) {
  yyjson_val *error = first_member(item, "error");
  return yyjson_is_obj(error) ? error : nullptr;
}

// The wait for a delayed link on a clock that moves only when the wait
// sleeps, installed on this thread while the holder lives: no target
// sleeps, and slept tells how long the wait would have taken.
class NoSleepClock {
public:
  int64_t slept = 0;
  NoSleepClock() { tavro_clock_use(&table_); }
  ~NoSleepClock() { tavro_clock_use(nullptr); }
  NoSleepClock(const NoSleepClock &) = delete;
  NoSleepClock &operator=(const NoSleepClock &) = delete;

private:
  tavro_clock table_{this, [](void *c) { return static_cast<NoSleepClock *>(c)->slept; },
                     [](void *c, int64_t ms) { static_cast<NoSleepClock *>(c)->slept += ms; }};
};

// An integer value that fits 64 bits, as the link readers take one.
inline bool int64_value(yyjson_val *v, int64_t *out) {
  if (yyjson_is_sint(v)) return *out = yyjson_get_sint(v), true;
  if (yyjson_is_uint(v) && yyjson_get_uint(v) <= (uint64_t)INT64_MAX)
    return *out = (int64_t)yyjson_get_uint(v), true;
  return false;
}

// True when an API key, as the library parses it from settings, must be
// masked wherever it would appear: longer than three characters, and not
// holding the mask character itself (a key such as "a***" can reappear
// out of its own mask, by the masking rule).
inline bool maskable_key(const char *key) {
  return key && std::strlen(key) > 3 && !std::strchr(key, '*');
}

} // namespace fz
