// SPDX-License-Identifier: MIT
// Settings files, read and checked.
#include "settings.h"

#include "app.h"
#include "tavro_input.h"
#include "tavro_service.h"
#include "texts.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>

namespace tavro_cli {
namespace {

// The keys the library reads in settings.
const char *const kSettingsKeys[] = {"RuntimeType", "APIKey",      "ClientSecret",
                                     "CustomName",  "ClientId",    "ID",
                                     "MaxQuality",  "DelayedWait", "APIRoot"};

// A key as people might misspell it: lower case, without '_', '-', ' '.
std::string folded(const std::string &key) {
  std::string out;
  for (unsigned char c : key)
    if (c != '_' && c != '-' && c != ' ') out += static_cast<char>(std::tolower(c));
  return out;
}

const char *type_name(yyjson_val *v) {
  switch (yyjson_get_type(v)) {
  case YYJSON_TYPE_NULL:
    return "null";
  case YYJSON_TYPE_BOOL:
    return "true or false";
  case YYJSON_TYPE_NUM:
    return "a number";
  case YYJSON_TYPE_STR:
    return "a string";
  case YYJSON_TYPE_ARR:
    return "an array";
  case YYJSON_TYPE_OBJ:
    return "an object";
  default:
    return "not JSON";
  }
}

} // namespace

std::string settings_for_key(const std::string &key) {
  JsonObject o;
  o.str("APIKey", key);
  return o.text();
}

std::string api_key_of(const std::string &settings) {
  tavro_cfg cfg{};
  char err[TAVRO_ERR_SIZE];
  if (tavro_cfg_parse(settings.c_str(), 0, &cfg, err, sizeof err) != 0) return "";
  tavro::Owned<tavro_cfg, tavro_cfg_free> held(&cfg);
  return cfg.api_key ? cfg.api_key : "";
}

std::string api_root_setting(const std::string &v4_root) {
  std::string root = v4_root;
  while (!root.empty() && root.back() == '/') root.pop_back();
  static constexpr char kV4[] = "/v4";
  if (root.size() <= sizeof kV4 - 1 || root.compare(root.size() - 3, 3, kV4) != 0) return "";
  root.resize(root.size() - 3);
  return root;
}

std::string settings_with_api_root(const std::string &settings, const std::string &root) {
  tavro::Doc doc(yyjson_read(settings.data(), settings.size(), 0));
  if (!yyjson_is_obj(doc.root())) return settings;
  yyjson_mut_doc *m = yyjson_doc_mut_copy(doc.get(), nullptr);
  if (!m) return settings;
  yyjson_mut_val *obj = yyjson_mut_doc_get_root(m);
  while (yyjson_mut_obj_remove_key(obj, "APIRoot")) {
  }
  std::string out = settings;
  if (yyjson_mut_obj_add_strncpy(m, obj, "APIRoot", root.data(), root.size())) {
    size_t len = 0;
    if (char *text = yyjson_mut_write(m, 0, &len)) {
      out.assign(text, len);
      std::free(text);
    }
  }
  yyjson_mut_doc_free(m);
  return out;
}

SettingsFile read_settings_file(const std::string &path) {
  // Everything wrong with the file is a usage error, found before any
  // request: missing, unreadable, too large, not JSON, members of the
  // wrong kind.
  SettingsFile f;
  auto fail = [&](const std::string &message) {
    f.status = kExitUsage;
    f.message = path + ": " + message;
    return f;
  };
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return fail(std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return fail("is a directory, not a settings file");
  if (!S_ISREG(st.st_mode)) return fail("is not a regular file");
  if (st.st_size > TAVRO_SETTINGS_MAX)
    return fail("is " + std::to_string(st.st_size) + " bytes; a settings file is at most " +
                std::to_string(TAVRO_SETTINGS_MAX >> 20) + " MiB (" +
                std::to_string(TAVRO_SETTINGS_MAX) + " bytes)");
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  if (!in || in.bad()) return fail(std::strerror(errno));
  f.text = text.str();
  size_t skipped = 0;
  if (f.text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    f.text.erase(0, 3); // a byte order mark, as some editors write
    skipped = 3;
  }
  yyjson_read_err err{};
  tavro::Doc doc(yyjson_read_opts(f.text.data(), f.text.size(), 0, nullptr, &err));
  if (!doc.get()) {
    size_t at = err.pos + skipped, line = 1, column = 1;
    for (size_t i = skipped; i < at && i - skipped < f.text.size(); ++i) {
      if (f.text[i - skipped] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    return fail("not JSON at byte " + std::to_string(at) + " (line " + std::to_string(line) +
                ", column " + std::to_string(column) + "): " + (err.msg ? err.msg : "unreadable"));
  }
  yyjson_val *root = doc.root();
  if (!yyjson_is_obj(root))
    return fail(std::string("the settings are ") + type_name(root) +
                ", not a JSON object such as {\"APIKey\":\"...\"}");
  bool has_key = false;
  for (const char *k : kSettingsKeys) {
    yyjson_val *v = yyjson_obj_get(root, k);
    if (!v) continue;
    bool key_setting = std::strcmp(k, "APIKey") == 0 || std::strcmp(k, "ClientSecret") == 0;
    if (key_setting && !yyjson_is_str(v))
      return fail(std::string("\"") + k + "\" is " + type_name(v) +
                  "; the API key is a string: {\"" + k + "\":\"...\"}");
    // The library reads a setting from a string, an integer or true/false,
    // and would pass over anything else as if it were not there.
    if (!yyjson_is_str(v) && !yyjson_is_int(v) && !yyjson_is_bool(v))
      return fail(std::string("\"") + k + "\" is " +
                  (yyjson_is_real(v) ? "a number with a fraction" : type_name(v)) +
                  "; a setting is a string: {\"" + k + "\":\"...\"}");
    if (key_setting &&
        std::string(yyjson_get_str(v)).find_first_not_of(" \t\r\n") != std::string::npos)
      has_key = true;
  }
  // The API key is in it: no one else should read it.
  if (has_key && (st.st_mode & (S_IRGRP | S_IROTH)))
    f.warnings.push_back("warning: " + path +
                         " can be read by other users, and it holds the API key "
                         "(chmod 600 " +
                         path + ")");
  size_t i = 0, max = 0;
  yyjson_val *key = nullptr, *value = nullptr;
  yyjson_obj_foreach(root, i, max, key, value) {
    std::string name = text_of(key);
    bool known = false;
    for (const char *k : kSettingsKeys) known = known || name == k;
    if (known) continue;
    const char *near = nullptr;
    for (const char *k : kSettingsKeys)
      if (folded(name) == folded(k) || edit_distance(folded(name), folded(k)) <= 1) {
        near = k;
        break;
      }
    if (!near) {
      std::string all;
      for (const char *k : kSettingsKeys) all += std::string(all.empty() ? "" : ", ") + k;
      f.warnings.push_back("warning: " + path + ": \"" + terminal_text(name) +
                           "\" is not a setting, and is left out (the settings are " + all + ")");
      continue;
    }
    std::string hint = std::string(1, '"');
    hint += terminal_text(name) + "\" is not a setting; did you mean " + near + "?";
    bool key_setting = std::strcmp(near, "APIKey") == 0 || std::strcmp(near, "ClientSecret") == 0;
    if (key_setting && !has_key) return fail(hint);
    f.warnings.push_back("warning: " + path + ": " + hint);
  }
  return f;
}

std::string with_number(const std::string &settings, const char *key, int64_t value) {
  tavro::Doc doc = read_json(settings);
  if (!yyjson_is_obj(doc.root())) return settings;
  yyjson_mut_doc *m = yyjson_doc_mut_copy(doc.get(), nullptr);
  if (!m) throw std::bad_alloc();
  yyjson_mut_val *root = yyjson_mut_doc_get_root(m);
  while (yyjson_mut_obj_remove_key(root, key)) {
  }
  yyjson_mut_obj_add_int(m, root, key, value);
  size_t len = 0;
  char *text = yyjson_mut_write(m, YYJSON_WRITE_ALLOW_INVALID_UNICODE, &len);
  yyjson_mut_doc_free(m);
  if (!text) throw std::bad_alloc();
  std::string out(text, len);
  std::free(text);
  return out;
}

std::string default_settings_path() {
  const char *xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + "/tavro/settings.json";
  const char *home = std::getenv("HOME");
  if (home && *home) return std::string(home) + "/.config/tavro/settings.json";
  return "";
}

} // namespace tavro_cli
