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
#include <sstream>

namespace tavro_cli {
namespace {

// The keys the library reads in settings.
const char *const kSettingsKeys[] = {"RuntimeType", "APIKey", "ClientSecret", "CustomName",
                                     "ClientId",    "ID",     "APIRoot"};

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
  SettingsFile f;
  auto fail = [&](int status, const std::string &message) {
    f.status = status;
    f.message = path + ": " + message;
    return f;
  };
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return fail(kExitHost, std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return fail(kExitHost, "is a directory, not a settings file");
  if (!S_ISREG(st.st_mode)) return fail(kExitHost, "is not a regular file");
  if (st.st_size > TAVRO_SETTINGS_MAX) return fail(kExitUsage, "settings larger than 1 MiB");
  if (st.st_mode & (S_IRGRP | S_IROTH))
    f.warnings.push_back("warning: " + path +
                         " can be read by other users, and it holds the API key "
                         "(chmod 600 " +
                         path + ")");
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  if (!in || in.bad()) return fail(kExitHost, std::strerror(errno));
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
    return fail(kExitUsage, "not JSON at byte " + std::to_string(at) + " (line " +
                                std::to_string(line) + ", column " + std::to_string(column) +
                                "): " + (err.msg ? err.msg : "unreadable"));
  }
  yyjson_val *root = doc.root();
  if (!yyjson_is_obj(root))
    return fail(kExitUsage, std::string("the settings are ") + type_name(root) +
                                ", not a JSON object such as {\"APIKey\":\"...\"}");
  bool has_key = false;
  for (const char *k : {"APIKey", "ClientSecret"}) {
    yyjson_val *v = yyjson_obj_get(root, k);
    if (!v) continue;
    if (!yyjson_is_str(v))
      return fail(kExitUsage, std::string("\"") + k + "\" is " + type_name(v) +
                                  "; the API key is a string: {\"" + k + "\":\"...\"}");
    has_key = true;
  }
  size_t i = 0, max = 0;
  yyjson_val *key = nullptr, *value = nullptr;
  yyjson_obj_foreach(root, i, max, key, value) {
    std::string name = text_of(key);
    bool known = false;
    for (const char *k : kSettingsKeys) known = known || name == k;
    if (known) continue;
    for (const char *k : kSettingsKeys) {
      if (folded(name) != folded(k) && edit_distance(folded(name), folded(k)) > 1) continue;
      std::string hint = "\"" + name + "\" is not a setting; did you mean " + k + "?";
      bool key_setting = std::strcmp(k, "APIKey") == 0 || std::strcmp(k, "ClientSecret") == 0;
      if (key_setting && !has_key) return fail(kExitUsage, hint);
      f.warnings.push_back("warning: " + path + ": " + hint);
      break;
    }
  }
  return f;
}

std::string default_settings_path() {
  const char *xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + "/tavro/settings.json";
  const char *home = std::getenv("HOME");
  if (home && *home) return std::string(home) + "/.config/tavro/settings.json";
  return "";
}

} // namespace tavro_cli
