// SPDX-License-Identifier: MIT
// The host's JSON: settings, download requests and listing entries.
#include "tavro_input.h"

#include "tavro_service.h"
#include "tavro_text.h"

#include <cinttypes>
#include <cstdio>
#include <cstdint>
#include <cstring>

// ---- Settings -------------------------------------------------------------

static bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// A heap copy without surrounding blanks; null when nothing remains.
static char *trimdup(const char *text) {
  if (!text) return nullptr;
  while (blank(*text)) ++text;
  size_t n = std::strlen(text);
  while (n && blank(text[n - 1])) --n;
  return n ? tavro_strndup(text, n) : nullptr;
}

// The first member named key read as text: strings as they are, integers in
// decimal, true/false as words; anything else is absent. Numbers are written
// into scratch.
static const char *sval(yyjson_val *obj, const char *key, char (&scratch)[256]) {
  yyjson_val *v = yyjson_obj_get(obj, key);
  if (yyjson_is_str(v)) return yyjson_get_str(v);
  if (yyjson_is_uint(v)) {
    std::snprintf(scratch, sizeof scratch, "%" PRIu64, yyjson_get_uint(v));
    return scratch;
  }
  if (yyjson_is_sint(v)) {
    std::snprintf(scratch, sizeof scratch, "%" PRId64, yyjson_get_sint(v));
    return scratch;
  }
  if (yyjson_is_bool(v)) return yyjson_get_bool(v) ? "true" : "false";
  return nullptr;
}

// Whether text holds anything but blanks.
static bool has_text(const char *text) {
  if (!text) return false;
  while (blank(*text)) ++text;
  return *text != '\0';
}

// The trimmed text of the first key that gives one, else null.
static char *trimmed(yyjson_val *obj, const char *first, const char *second) {
  char scratch[256];
  char *v = trimdup(sval(obj, first, scratch));
  if (!v && second) v = trimdup(sval(obj, second, scratch));
  return v;
}

// An integer setting: a JSON integer, or a string of decimal digits with
// blanks around them allowed. 1 with *out set when it is one from lo to hi,
// 0 when the member is missing, null or a blank string, -1 otherwise.
static int int_setting(yyjson_val *obj, const char *key, int64_t lo, int64_t hi, int64_t *out) {
  yyjson_val *v = yyjson_obj_get(obj, key);
  if (!v || yyjson_is_null(v)) return 0;
  int64_t n = 0;
  if (yyjson_is_sint(v)) {
    n = yyjson_get_sint(v);
  } else if (yyjson_is_uint(v)) {
    if (yyjson_get_uint(v) > (uint64_t)hi) return -1;
    n = (int64_t)yyjson_get_uint(v);
  } else if (yyjson_is_str(v)) {
    const char *t = yyjson_get_str(v);
    size_t len = yyjson_get_len(v), i = 0;
    while (i < len && blank(t[i])) ++i;
    while (len > i && blank(t[len - 1])) --len;
    if (i == len) return 0;
    for (; i < len; ++i) {
      if (t[i] < '0' || t[i] > '9') return -1;
      // Past hi already: no need to read further digits.
      if (n > (hi - (t[i] - '0')) / 10) return -1;
      n = n * 10 + (t[i] - '0');
    }
  } else {
    return -1;
  }
  if (n < lo || n > hi) return -1;
  *out = n;
  return 1;
}

void tavro_cfg_free(tavro_cfg *cfg) {
  std::free(cfg->api_key);
  std::free(cfg->client);
  std::free(cfg->id);
  std::free(cfg->api_root);
  *cfg = tavro_cfg{};
}

// ---- The API root ---------------------------------------------------------

static bool ascii_lower_is(const char *text, size_t n, const char *lower) {
  if (std::strlen(lower) != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

static bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// 127.0.0.0/8 written as four decimal numbers of 0 to 255, without leading
// zeros.
static bool loopback_v4(const char *host, size_t n) {
  int parts = 0;
  size_t i = 0;
  unsigned first = 0;
  while (parts < 4) {
    size_t start = i;
    unsigned v = 0;
    while (i < n && is_digit(host[i]) && i - start < 3) v = v * 10 + (unsigned)(host[i++] - '0');
    // No leading zero: some resolvers read "010" as octal.
    if (i == start || v > 255 || (i < n && is_digit(host[i])) ||
        (i - start > 1 && host[start] == '0'))
      return false;
    if (parts == 0) first = v;
    ++parts;
    if (parts < 4) {
      if (i >= n || host[i] != '.') return false;
      ++i;
    }
  }
  return i == n && first == 127;
}

// A host name of letters, digits, '-' and '.', or an IPv6 literal in
// brackets of hex digits, ':' and '.'.
static bool host_chars(const char *host, size_t n) {
  if (n == 0) return false;
  if (host[0] == '[') {
    if (n < 3 || host[n - 1] != ']') return false;
    for (size_t i = 1; i + 1 < n; ++i) {
      char c = host[i];
      if (!is_digit(c) && !(c >= 'a' && c <= 'f') && !(c >= 'A' && c <= 'F') && c != ':' &&
          c != '.')
        return false;
    }
    return true;
  }
  for (size_t i = 0; i < n; ++i) {
    char c = host[i];
    if (!is_digit(c) && !(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z') && c != '-' && c != '.')
      return false;
  }
  return host[0] != '.' && host[0] != '-';
}

int tavro_api_root_check(const char *text, char **root, char *err, size_t err_size) {
  *root = nullptr;
  static constexpr char kWhat[] =
      "APIRoot must be an https:// URL, or http:// to 127.0.0.1, localhost or [::1]";
  size_t len = std::strlen(text);
  if (len > TAVRO_API_ROOT_MAX)
    return tavro_fail(err, err_size, TAVRO_E_ARG, "APIRoot is longer than %u bytes",
                      (unsigned)TAVRO_API_ROOT_MAX);
  for (size_t i = 0; i < len; ++i) {
    unsigned char c = (unsigned char)text[i];
    if (c <= ' ' || c >= 0x7F || c == '\\')
      return tavro_fail(err, err_size, TAVRO_E_ARG,
                        "APIRoot \"%s\" holds a blank, a control character, a backslash or a "
                        "byte outside ASCII",
                        text);
  }
  const char *colon = std::strstr(text, "://");
  bool https = colon && ascii_lower_is(text, (size_t)(colon - text), "https");
  bool http = colon && ascii_lower_is(text, (size_t)(colon - text), "http");
  if (!https && !http) return tavro_fail(err, err_size, TAVRO_E_ARG, "%s, not \"%s\"", kWhat, text);
  const char *authority = colon + 3;
  size_t auth_n = std::strcspn(authority, "/?#");
  const char *rest = authority + auth_n;
  if (std::strpbrk(rest, "?#"))
    return tavro_fail(err, err_size, TAVRO_E_ARG,
                      "APIRoot \"%s\" holds a query or a fragment; give the root alone", text);
  // No '@' anywhere: user-info before a host, and nothing a URL reader
  // could take for it.
  if (std::strchr(text, '@'))
    return tavro_fail(err, err_size, TAVRO_E_ARG, "APIRoot \"%s\" holds user-info (an '@')", text);
  // The host, then an optional :port.
  size_t host_n = auth_n;
  if (auth_n && authority[0] == '[') {
    const char *close = static_cast<const char *>(std::memchr(authority, ']', auth_n));
    host_n = close ? (size_t)(close - authority) + 1 : auth_n;
  } else if (const char *c = static_cast<const char *>(std::memchr(authority, ':', auth_n))) {
    host_n = (size_t)(c - authority);
  }
  if (!host_chars(authority, host_n))
    return tavro_fail(err, err_size, TAVRO_E_ARG, "APIRoot \"%s\" names no host", text);
  if (host_n < auth_n) {
    const char *port = authority + host_n;
    size_t port_n = auth_n - host_n;
    unsigned v = 0;
    bool ok = port[0] == ':' && port_n >= 2 && port_n <= 6;
    for (size_t i = 1; ok && i < port_n; ++i) {
      ok = is_digit(port[i]);
      v = v * 10 + (unsigned)(port[i] - '0');
    }
    if (!ok || v == 0 || v > 65535)
      return tavro_fail(err, err_size, TAVRO_E_ARG, "APIRoot \"%s\" has a bad port", text);
  }
  if (http && !loopback_v4(authority, host_n) && !ascii_lower_is(authority, host_n, "localhost") &&
      !ascii_lower_is(authority, host_n, "[::1]"))
    return tavro_fail(err, err_size, TAVRO_E_ARG,
                      "APIRoot \"%s\" is http:// to a host that is not loopback: %s", text, kWhat);
  while (len && text[len - 1] == '/') --len;
  *root = tavro_strndup(text, len);
  if (!*root) return tavro_fail(err, err_size, TAVRO_E_FAILED, "out of memory");
  return 0;
}

int tavro_cfg_parse(const char *settings, int require_key, tavro_cfg *cfg, char *err,
                    size_t err_size) {
  *cfg = tavro_cfg{};
  if (!settings) return tavro_fail(err, err_size, TAVRO_E_ARG, "settings are NULL");
  size_t len = strnlen(settings, TAVRO_SETTINGS_MAX + 1);
  if (len > TAVRO_SETTINGS_MAX)
    return tavro_fail(err, err_size, TAVRO_E_ARG, "settings are larger than 1 MiB");
  tavro::Doc doc(tavro_json_read(settings, len));
  yyjson_val *root = doc.root();
  if (!yyjson_is_obj(root))
    return tavro_fail(err, err_size, TAVRO_E_ARG, "settings are not a JSON object");
  char scratch[256];
  const char *type = sval(root, "RuntimeType", scratch);
  if (type && *type && std::strcmp(type, TAVRO_RUNTIME_TYPE) != 0)
    return tavro_fail(err, err_size, TAVRO_E_ARG,
                      "RuntimeType is \"%s\", this handler is \"" TAVRO_RUNTIME_TYPE "\"", type);
  int64_t max_quality = 0, delayed_wait = TAVRO_DELAYED_WAIT_DEFAULT;
  if (int_setting(root, "MaxQuality", 1, INT64_MAX, &max_quality) < 0)
    return tavro_fail(err, err_size, TAVRO_E_ARG, "MaxQuality is not a positive integer");
  if (int_setting(root, "DelayedWait", 0, TAVRO_DELAYED_WAIT_MAX, &delayed_wait) < 0)
    return tavro_fail(err, err_size, TAVRO_E_ARG,
                      "DelayedWait is not a number of seconds from 0 to %d",
                      TAVRO_DELAYED_WAIT_MAX);
  cfg->max_quality = max_quality;
  cfg->delayed_wait = (int32_t)delayed_wait;
  cfg->api_key = trimmed(root, "APIKey", "ClientSecret");
  if (!cfg->api_key)
    cfg->key_lost =
        has_text(sval(root, "APIKey", scratch)) || has_text(sval(root, "ClientSecret", scratch));
  cfg->client = trimmed(root, "CustomName", "ClientId");
  cfg->id = trimmed(root, "ID", nullptr);
  yyjson_val *api_root = yyjson_obj_get(root, "APIRoot");
  int code = 0;
  if (api_root && !yyjson_is_null(api_root)) {
    // A string, else nothing: the request would go elsewhere than asked.
    tavro::Text given(yyjson_is_str(api_root) ? trimdup(yyjson_get_str(api_root)) : nullptr);
    if (!yyjson_is_str(api_root))
      code = tavro_fail(err, err_size, TAVRO_E_ARG, "APIRoot is not a string");
    else if (given.get())
      code = tavro_api_root_check(given.get(), &cfg->api_root, err, err_size);
  }
  doc.reset();
  if (code) {
    tavro_cfg_free(cfg);
    return code;
  }
  if (require_key && !cfg->api_key) {
    tavro_cfg_free(cfg);
    return tavro_fail(err, err_size, TAVRO_E_ARG, "APIKey is empty");
  }
  return 0;
}

// ---- Download requests ----------------------------------------------------

void tavro_dlcfg_free(tavro_dlcfg *cfg) {
  std::free(cfg->link);
  *cfg = tavro_dlcfg{};
}

// The low 32 bits of an integer member as a signed int; 0 when not an integer.
static int32_t low32(yyjson_val *v) {
  if (!yyjson_is_int(v)) return 0;
  return (int32_t)(uint32_t)(yyjson_is_uint(v) ? yyjson_get_uint(v) : (uint64_t)yyjson_get_sint(v));
}

int tavro_dlcfg_parse(const char *text, tavro_dlcfg *cfg, char *err, size_t err_size) {
  *cfg = tavro_dlcfg{};
  tavro::Doc doc(text ? tavro_json_read(text, std::strlen(text)) : nullptr);
  yyjson_val *root = doc.root();
  if (!yyjson_is_obj(root))
    return tavro_fail(err, err_size, TAVRO_E_ARG, "config is not a JSON object");
  // The link is a C text: an escaped NUL ends it, so one that begins with
  // it is empty and counts as missing.
  const char *link = yyjson_get_str(yyjson_obj_get(root, "Link"));
  if (link && *link) cfg->link = tavro_strdup(link);
  cfg->full_season = yyjson_is_true(yyjson_obj_get(root, "FullSeason"));
  cfg->season = low32(yyjson_obj_get(root, "Season"));
  cfg->episode = low32(yyjson_obj_get(root, "Episode"));
  cfg->keep_instant_only = yyjson_is_true(yyjson_obj_get(root, "KeepInstantOnly"));
  doc.reset();
  if (!cfg->link) return tavro_fail(err, err_size, TAVRO_E_ARG, "config has no Link");
  if (std::strlen(cfg->link) > TAVRO_LINK_MAX) {
    tavro_dlcfg_free(cfg);
    return tavro_fail(err, err_size, TAVRO_E_ARG, "Link longer than 3 KiB");
  }
  return 0;
}

// ---- Change requests ------------------------------------------------------

// A magnet's locator "m<digits>" as its id; false for anything else, an id
// past the 64-bit range included.
static bool magnet_locator(const char *text, int64_t *id) {
  if (!text || text[0] != 'm' || !text[1]) return false;
  int64_t v = 0;
  for (const char *p = text + 1; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    int digit = *p - '0';
    if (v > (INT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *id = v;
  return true;
}

void tavro_change_free(tavro_change_req *req) {
  std::free(req->link);
  *req = tavro_change_req{};
}

int tavro_change_parse(const char *text, tavro_change_req *req, char *err, size_t err_size) {
  *req = tavro_change_req{};
  tavro::Doc doc(text ? tavro_json_read(text, std::strlen(text)) : nullptr);
  yyjson_val *root = doc.root();
  if (!yyjson_is_obj(root))
    return tavro_fail(err, err_size, TAVRO_E_ARG, "change request is not a JSON object");
  yyjson_val *action = yyjson_obj_get(root, "Action");
  yyjson_val *magnet = yyjson_obj_get(root, "Magnet");
  yyjson_val *link = yyjson_obj_get(root, "Link");
  bool is_delete = yyjson_equals_str(action, "delete");
  // A delete is a magnet's when it names one, else a saved link's.
  bool of_link = yyjson_equals_str(action, "save") || (is_delete && !magnet && link);
  if (is_delete && magnet && link)
    return tavro_fail(err, err_size, TAVRO_E_ARG,
                      "change request names both a Magnet and a Link: give one");
  if (of_link) {
    req->action = is_delete ? tavro_change_action::delete_link : tavro_change_action::save_link;
    req->action_name = is_delete ? "delete" : "save";
    // A C text, as a download's Link: an escaped NUL ends it.
    const char *text_link = yyjson_get_str(link);
    if (!text_link || !*text_link) {
      *req = tavro_change_req{};
      return tavro_fail(err, err_size, TAVRO_E_ARG, "change request has no Link");
    }
    if (std::strlen(text_link) > TAVRO_LINK_MAX) {
      *req = tavro_change_req{};
      return tavro_fail(err, err_size, TAVRO_E_ARG, "Link longer than 3 KiB");
    }
    req->link = tavro_strdup(text_link);
    if (!req->link) {
      *req = tavro_change_req{};
      return tavro_fail(err, err_size, TAVRO_E_FAILED, "out of memory");
    }
    return 0;
  }
  if (is_delete) {
    req->action = tavro_change_action::delete_magnet;
    req->action_name = "delete";
  } else if (yyjson_equals_str(action, "restart")) {
    req->action = tavro_change_action::restart_magnet;
    req->action_name = "restart";
  } else {
    return tavro_fail(err, err_size, TAVRO_E_ARG,
                      "change request's Action is not \"delete\", \"restart\" or \"save\"");
  }
  if (!magnet_locator(yyjson_get_str(magnet), &req->magnet_id)) {
    *req = tavro_change_req{};
    return tavro_fail(err, err_size, TAVRO_E_ARG,
                      "change request's Magnet is not \"m\" and the magnet's id");
  }
  return 0;
}

// ---- Listing entries ------------------------------------------------------

// A string member with at least one character, or null.
static const char *nonempty_str_member(yyjson_val *obj, const char *key) {
  const char *s = yyjson_get_str(yyjson_obj_get(obj, key));
  return s && s[0] != '\0' ? s : nullptr;
}

int tavro_entry_link(const char *entry, char **link, char *err, size_t err_size) {
  *link = nullptr;
  tavro::Doc doc(entry ? tavro_json_read(entry, std::strlen(entry)) : nullptr);
  yyjson_val *root = doc.root();
  if (!yyjson_is_obj(root)) {
    return tavro_fail(err, err_size, TAVRO_E_ARG, "entry is not a JSON object");
  }
  // The first non-empty string of the three wins; empty or other types are
  // passed over as if missing.
  const char *chosen = nullptr;
  for (const char *key : {"locator", "link", "path"}) {
    chosen = nonempty_str_member(root, key);
    if (chosen) break;
  }
  if (!chosen) {
    return tavro_fail(err, err_size, TAVRO_E_NOT_FOUND, "entry has no locator/link/path");
  }
  *link = tavro_strdup(chosen);
  if (!*link) return tavro_fail(err, err_size, TAVRO_E_FAILED, "out of memory");
  return TAVRO_OK;
}
