// SPDX-License-Identifier: MIT
// Opening the account, and reporting what an operation answered.
#include "session.h"

#include "settings.h"
#include "tavro_input.h"
#include "tavro_service.h"
#include "texts.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace tavro_cli {
namespace {

// Where the service hands out API keys.
constexpr const char *kKeyPage = "https://alldebrid.com/apikeys/";

// The settings of a file, its warnings said; -1 when usable, else the
// exit status.
int settings_from(Session &s, const std::string &path) {
  SettingsFile f = read_settings_file(path);
  for (const auto &w : f.warnings) std::fprintf(stderr, "tavro: %s\n", w.c_str());
  if (f.status >= 0) {
    std::fprintf(stderr, "tavro: %s\n", f.message.c_str());
    return f.status;
  }
  s.settings = f.text;
  return -1;
}

// The library quotes URLs on the root in use, and names an APIRoot in its
// status messages; the service's own root is named here.
std::string with_servers(const Session &s, const std::string &message) {
  if (!s.transport) return message;
  std::string out = message;
  if (out.find("://") == std::string::npos && out.find(" answered HTTP ") != std::string::npos) {
    std::string root = s.lib.tavro_base_url();
    out += " (" + root.substr(0, root.find('/', root.find("://") + 3)) + ")";
  }
  // The library judged the body of a web link; its status tells more.
  std::string url;
  int32_t status = s.transport->last_web_status(&url);
  if (out.find("Link is not a magnet") != std::string::npos && status &&
      (status < 200 || status > 299))
    out += ": GET " + url + " answered HTTP " + std::to_string(status);
  return out;
}

std::string key_from_text(const Session &s) {
  switch (s.key_from) {
  case Session::KeyFrom::option:
    return "--api-key";
  case Session::KeyFrom::env:
    return "$TAVRO_API_KEY";
  case Session::KeyFrom::file:
    return "the settings file " + s.key_file + (s.key_given ? " (--settings)" : "");
  case Session::KeyFrom::scenario:
    return "the scenario " + s.key_file;
  default:
    return "";
  }
}

// Whether a settings file holds a key, read without a word said.
bool file_holds_key(const std::string &path) {
  SettingsFile f = read_settings_file(path);
  return f.status < 0 && !api_key_of(f.text).empty();
}

} // namespace

int open_account(Session &s, const Parsed &p, bool optional) {
  std::string error;
  if (p.given & kFake) {
    std::string text;
    s.scenario.emplace();
    // The scenario is a file the command line names: what is wrong with it
    // is a usage error.
    if (!read_file(p.fake, text, error) || !parse_scenario(text, *s.scenario, error)) {
      std::fprintf(stderr, "tavro: %s\n", terminal_text(p.fake + ": " + error).c_str());
      return kExitUsage;
    }
  }
  std::string file = default_settings_path();
  s.key_given = p.given & (kSettings | kApiKey);
  if (p.given & kSettings) {
    if (int rc = settings_from(s, p.settings_file); rc >= 0) return rc;
    s.key_from = Session::KeyFrom::file;
    s.key_file = p.settings_file;
  } else if (p.given & kApiKey) {
    s.settings = settings_for_key(p.api_key);
    s.key_from = Session::KeyFrom::option;
  } else if (s.scenario) {
    s.settings = s.scenario->settings.value_or(settings_for_key("fake-key"));
    s.key_from = Session::KeyFrom::scenario;
    s.key_file = p.fake;
  } else if (const char *env = std::getenv("TAVRO_API_KEY"); env && *env) {
    s.settings = settings_for_key(env);
    s.key_from = Session::KeyFrom::env;
  } else if (!file.empty() && access(file.c_str(), F_OK) == 0) {
    if (int rc = settings_from(s, file); rc >= 0) return rc;
    s.key_from = Session::KeyFrom::file;
    s.key_file = file;
  } else if (optional) {
    s.settings = settings_for_key("none");
  } else {
    return usage_error(p.command,
                       "no account: set TAVRO_API_KEY, write {\"APIKey\":\"...\"} to " +
                           (file.empty() ? std::string("~/.config/tavro/settings.json") : file) +
                           ", run `tavro login`, or give --settings FILE");
  }
  // The settings as the library will read them, before any request.
  if (s.settings.size() > TAVRO_SETTINGS_MAX) {
    bool key = s.key_from == Session::KeyFrom::option || s.key_from == Session::KeyFrom::env;
    std::fprintf(stderr,
                 "tavro: %s: the settings%s are %zu bytes; settings are at most %u MiB (%u "
                 "bytes)\n",
                 key_from_text(s).c_str(), key ? " made of the key" : "", s.settings.size(),
                 TAVRO_SETTINGS_MAX >> 20, TAVRO_SETTINGS_MAX);
    return kExitUsage;
  }
  tavro_cfg cfg{};
  char why[TAVRO_ERR_SIZE] = "";
  if (tavro_cfg_parse(s.settings.c_str(), 1, &cfg, why, sizeof why) != 0) {
    std::string where = key_from_text(s);
    std::fprintf(stderr, "tavro: %s%s%s\n", where.c_str(), where.empty() ? "" : ": ",
                 terminal_text(why).c_str());
    return kExitUsage;
  }
  tavro_cfg_free(&cfg);
  return open_transport(s, p);
}

int open_transport(Session &s, const Parsed &p) {
  std::string error;
  if ((p.given & kFake) && !s.scenario) {
    std::string text;
    s.scenario.emplace();
    if (!read_file(p.fake, text, error) || !parse_scenario(text, *s.scenario, error))
      return host_error(p.fake + ": " + error);
  }
  s.verbose = p.verbose;
  if (s.scenario) {
    // The scenario answers for its own account: another key is another
    // account, which the fake transport does not know (or refuses).
    std::string key = api_key_of(s.scenario->settings.value_or(s.settings));
    if (!install_scenario(s.lib, *s.scenario, key, error)) {
      std::fprintf(stderr, "tavro: %s\n", terminal_text(p.fake + ": " + error).c_str());
      return kExitUsage;
    }
    s.lib.tavro_use_fake();
    s.fake = true;
    return -1;
  }
  s.curl.emplace();
  if (!s.curl->ok()) return host_error("libcurl cannot be initialised");
  CurlOptions o;
  o.api_root = s.lib.tavro_base_url();
  if (p.given & kApiRoot) {
    // The library sends every request to the root it is given; the part
    // before /v4 is its APIRoot.
    std::string root = api_root_setting(p.api_root);
    s.settings = settings_with_api_root(s.settings, root);
    o.api_root = root + "/v4";
  }
  o.timeout_ms = static_cast<long>(p.timeout * 1000);
  o.connect_timeout_ms = static_cast<long>(p.connect_timeout * 1000);
  o.max_body = p.max_body;
  o.verbose = s.verbose;
  o.redact = s.lib.tavro_redact;
  o.user_agent = std::string("tavro/") + s.lib.tavro_version();
  o.local_url = s.local_url;
  o.local_file = s.local_file;
  s.transport = std::make_unique<CurlTransport>(o);
  // The byte transport: whole torrents, and the key in a header.
  tavro_transport table = s.transport->bytes_table();
  if (s.lib.tavro_set_transport(&table) != TAVRO_OK)
    return host_error("the library refused the transport");
  return -1;
}

int failed(const Session &s, const Outcome &o) {
  std::string message = o.message.empty() ? code_name(o.code) : with_servers(s, o.message);
  if (s.fake && message.find(" answered HTTP 404") != std::string::npos)
    message += " (the fake transport holds no answer for it)";
  // The service's own words are in it: never raw control characters.
  std::fprintf(stderr, "tavro: %s\n", terminal_text(message).c_str());
  // The service blocked the key from this place and e-mailed the account:
  // the error document hands over the approval's token. The key itself is
  // good, so where it came from is no matter.
  if (string_member(o.document, "verification")) {
    std::fprintf(stderr, "tavro: %s\n", kBlockedHint);
  } else if (o.code == TAVRO_E_AUTH && s.key_from != Session::KeyFrom::none) {
    // Which key was refused, and which others it stood in front of.
    std::vector<std::string> others;
    if (s.key_given)
      if (const char *env = std::getenv("TAVRO_API_KEY"); env && *env)
        others.push_back("$TAVRO_API_KEY");
    std::string file = default_settings_path();
    if (s.key_from != Session::KeyFrom::scenario && !file.empty() && s.key_file != file &&
        access(file.c_str(), F_OK) == 0 && file_holds_key(file))
      others.push_back("the settings file " + file);
    std::string line = "tavro: the key came from " + key_from_text(s);
    for (size_t i = 0; i < others.size(); ++i)
      line += (i == 0 ? ", which overrides " : " and ") + others[i];
    if (!others.empty())
      line += others.size() == 1 ? " (it holds a key too)" : " (they hold keys too)";
    std::fprintf(stderr, "%s\n", terminal_text(line).c_str());
    std::fprintf(stderr,
                 "tavro: get a valid key with `tavro login`, or from the service's key "
                 "page %s\n",
                 kKeyPage);
  }
  return exit_for(o.code);
}

void after_fake_call(const Session &s) {
  if (s.fake && s.verbose)
    std::fprintf(stderr, "tavro: the fake transport answered %d requests; the last was %s\n",
                 s.lib.tavro_fake_calls(nullptr, nullptr),
                 s.lib.tavro_redact(s.lib.tavro_fake_last_url()));
}

} // namespace tavro_cli
