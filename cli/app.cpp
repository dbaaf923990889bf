// One call of an operation export, as a host makes it: a buffer of its own,
// and the per-thread copies for what does not fit.
#include "app.h"

#include "texts.h"

#include <sys/stat.h>
#include <yyjson.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace tavro_cli {
namespace {

constexpr int32_t kBuffer = 64 * 1024;

template <class Op> Outcome call(const Library &lib, Op op) {
  std::vector<char> out(kBuffer, '\0');
  Outcome o;
  o.code = op(out.data(), kBuffer);
  o.document = out.data();
  if (o.code == TAVRO_E_BUFFER && o.document.empty() && *lib.tavro_result_json()) {
    // The result did not fit: the library kept all of it for this thread.
    o.code = TAVRO_OK;
    o.result = o.document = lib.tavro_result_json();
  } else if (o.code == TAVRO_OK) {
    o.result = o.document;
  } else {
    o.message = lib.tavro_last_error();
  }
  return o;
}

// The keys the library reads in settings.
const char *const kSettingsKeys[] = {"RuntimeType", "APIKey",   "ClientSecret",
                                     "CustomName",  "ClientId", "ID"};

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

std::string text_of(yyjson_val *v) {
  return yyjson_is_str(v) ? std::string(yyjson_get_str(v), yyjson_get_len(v)) : "";
}

} // namespace

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
  if (st.st_size > (1 << 20)) return fail(kExitUsage, "settings larger than 1 MiB");
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

bool listing_entries(const std::string &json, std::vector<Entry> &entries) {
  tavro::Doc doc = read_json(json);
  yyjson_val *root = doc.root();
  if (!yyjson_is_arr(root)) return false;
  size_t i = 0, max = 0;
  yyjson_val *e = nullptr;
  yyjson_arr_foreach(root, i, max, e) {
    if (!yyjson_is_obj(e)) continue;
    Entry x;
    size_t len = 0;
    char *t = yyjson_val_write(e, YYJSON_WRITE_ALLOW_INVALID_UNICODE, &len);
    if (t) {
      x.json.assign(t, len);
      std::free(t);
    }
    x.name = text_of(yyjson_obj_get(e, "name"));
    x.path = text_of(yyjson_obj_get(e, "path"));
    yyjson_val *link = yyjson_obj_get(e, "locator");
    if (!yyjson_is_str(link)) link = yyjson_obj_get(e, "link");
    x.link = text_of(link);
    yyjson_val *size = yyjson_obj_get(e, "size");
    x.size = yyjson_is_int(size) ? yyjson_get_sint(size) : -1;
    x.folder = yyjson_get_bool(yyjson_obj_get(e, "folder"));
    entries.push_back(std::move(x));
  }
  return true;
}

std::string listing_json(const std::vector<const Entry *> &entries) {
  std::string out = "[";
  for (const Entry *e : entries) out += (out.size() > 1 ? "," : "") + e->json;
  return out + "]";
}

const Entry *pick_file(const Library &lib, const std::vector<const Entry *> &entries, int season,
                       int episode) {
  const Entry *best = nullptr;
  for (const Entry *e : entries) {
    if (e->folder || e->link.empty()) continue;
    if (episode > 0) {
      int s = 0, n = 0;
      if (lib.tavro_parse_season_episode(e->path.c_str(), &s, &n) == 1 && s == season &&
          n == episode)
        return e;
    } else if (e->size >= 0 && (!best || e->size > best->size)) {
      best = e;
    }
  }
  return best;
}

const char *code_name(int code) {
  switch (code) {
#define TAVRO_CLI_NAME(value, name, meaning)                                                       \
  case value:                                                                                      \
    return #name;
    TAVRO_RESULT_CODES(TAVRO_CLI_NAME)
#undef TAVRO_CLI_NAME
  default:
    return "unknown result code";
  }
}

Outcome do_validate(const Library &lib, const std::string &settings) {
  return call(lib,
              [&](char *out, int32_t n) { return lib.tavro_validate(settings.c_str(), out, n); });
}

Outcome do_list(const Library &lib, const std::string &settings, const char *folder) {
  return call(
      lib, [&](char *out, int32_t n) { return lib.tavro_list(settings.c_str(), folder, out, n); });
}

Outcome do_stream(const Library &lib, const std::string &settings, const std::string &entry) {
  return call(lib, [&](char *out, int32_t n) {
    return lib.tavro_stream_url(settings.c_str(), entry.c_str(), out, n);
  });
}

Outcome do_download(const Library &lib, const std::string &settings, const std::string &request) {
  return call(lib, [&](char *out, int32_t n) {
    return lib.tavro_download(settings.c_str(), request.c_str(), out, n);
  });
}

} // namespace tavro_cli
