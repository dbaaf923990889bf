// SPDX-License-Identifier: MIT
// The account's settings: made for a key, their key read by the library's
// own rules, and the settings file: where it is looked for, and what reading
// one checks before the library sees it (the byte where its JSON goes wrong,
// a key that is no string, near misses of the keys' names, other readers).
// What the settings mean is left to the library's reader (tavro_input.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavro_cli {

// The account settings for an API key: {"APIKey":"<key>"}.
std::string settings_for_key(const std::string &key);

// The API key the library reads from settings (tavro_cfg_parse's rules:
// "APIKey", else "ClientSecret", trimmed), or "" when they give none or
// the library would refuse them.
std::string api_key_of(const std::string &settings);

// The library's APIRoot for an --api-root URL in its documented form, the
// API's version-4 root ("http://127.0.0.1:8080/v4", a trailing '/' allowed):
// the part before "/v4". "" when the URL does not end in "/v4".
std::string api_root_setting(const std::string &v4_root);

// The settings with "APIRoot" set to root (any APIRoot of their own
// replaced, every other member kept as it was); the settings unchanged when
// they are no JSON object.
std::string settings_with_api_root(const std::string &settings, const std::string &root);

// What reading a settings file found: the text for the library (a leading
// UTF-8 byte order mark removed), or an exit status and a message naming
// the file (and the byte where its JSON goes wrong); warnings either way.
struct SettingsFile {
  std::string text;
  int status = -1; // -1: read and usable
  std::string message;
  std::vector<std::string> warnings;
};

SettingsFile read_settings_file(const std::string &path);

// settings with the integer member key set to value (replacing one there),
// as compact JSON; the settings as they are when they are no JSON object.
std::string with_number(const std::string &settings, const char *key, int64_t value);

// Where the settings are looked for when nothing else names the account:
// $XDG_CONFIG_HOME/tavro/settings.json, else ~/.config/tavro/settings.json;
// "" when neither variable is set.
std::string default_settings_path();

} // namespace tavro_cli
