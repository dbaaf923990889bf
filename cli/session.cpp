// SPDX-License-Identifier: MIT
// Opening the account, and reporting what an operation answered.
#include "session.h"

#include "settings.h"
#include "texts.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace tavro_cli {
namespace {

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

} // namespace

int open_account(Session &s, const Parsed &p) {
  std::string error;
  if (p.given & kFake) {
    std::string text;
    s.scenario.emplace();
    if (!read_file(p.fake, text, error) || !parse_scenario(text, *s.scenario, error))
      return host_error(p.fake + ": " + error);
  }
  if (p.given & kSettings) {
    if (int rc = settings_from(s, p.settings_file); rc >= 0) return rc;
  } else if (p.given & kApiKey) {
    s.settings = settings_for_key(p.api_key);
  } else if (s.scenario) {
    s.settings = s.scenario->settings.value_or(settings_for_key("fake-key"));
  } else if (const char *env = std::getenv("TAVRO_API_KEY"); env && *env) {
    s.settings = settings_for_key(env);
  } else if (std::string file = default_settings_path();
             !file.empty() && access(file.c_str(), F_OK) == 0) {
    if (int rc = settings_from(s, file); rc >= 0) return rc;
  } else {
    return usage_error(p.command,
                       "no account: set TAVRO_API_KEY, write {\"APIKey\":\"...\"} to " +
                           (file.empty() ? std::string("~/.config/tavro/settings.json") : file) +
                           ", or give --settings FILE");
  }
  s.verbose = p.given & kVerbose;
  if (s.scenario) {
    // The scenario answers for its own account: another key is another
    // account, which the fake transport does not know (or refuses).
    std::string key = api_key_of(s.scenario->settings.value_or(s.settings));
    if (!install_scenario(s.lib, *s.scenario, key, error)) return host_error(p.fake + ": " + error);
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
  return exit_for(o.code);
}

void after_fake_call(const Session &s) {
  if (s.fake && s.verbose)
    std::fprintf(stderr, "tavro: the fake transport answered %d requests; the last was %s\n",
                 s.lib.tavro_fake_calls(nullptr, nullptr),
                 s.lib.tavro_redact(s.lib.tavro_fake_last_url()));
}

} // namespace tavro_cli
