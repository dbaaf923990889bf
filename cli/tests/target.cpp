// SPDX-License-Identifier: MIT
// Where --api-root sends the library: the part of the documented form (a
// URL ending in /v4) before /v4 becomes the settings' APIRoot, which the
// library's own settings reader then takes; the library builds every URL
// on it (tests/abi_root.cpp), so the command rewrites none.
#include "settings.h"
#include "tavro_input.h"
#include "tavro_service.h"

#include <cstdio>
#include <string>

int main() {
  int failures = 0;
  auto fail = [&](const std::string &what) {
    ++failures;
    std::fprintf(stderr, "%s\n", what.c_str());
  };

  struct Root {
    const char *given, *setting; // "" : not the documented form
  } roots[] = {
      {"http://127.0.0.1:81/v4", "http://127.0.0.1:81"},
      {"http://127.0.0.1:81/v4/", "http://127.0.0.1:81"},
      {"https://h.test/proxy/v4", "https://h.test/proxy"},
      {"http://[::1]:8080/v4//", "http://[::1]:8080"},
      {"http://localhost/api/v4", "http://localhost/api"},
      // Not ending in the version-4 segment.
      {"http://h.test", ""},
      {"http://h.test/", ""},
      {"http://h.test/v4.1", ""},
      {"http://h.test/v4x", ""},
      {"http://h.test/xv4", ""},
      {"/v4", ""},
      {"", ""},
  };
  for (const Root &r : roots) {
    std::string got = tavro_cli::api_root_setting(r.given);
    if (got != r.setting)
      fail(std::string(r.given) + ": APIRoot \"" + got + "\", not \"" + r.setting + "\"");
  }

  struct Merge {
    const char *name, *settings, *root, *key, *client;
  } merges[] = {
      {"a key alone", R"({"APIKey":"K"})", "http://127.0.0.1:81", "K", nullptr},
      {"every other member kept", R"({"APIKey":"K","CustomName":"app","ID":"7"})",
       "https://h.test/proxy", "K", "app"},
      {"the file's own APIRoot replaced", R"({"APIRoot":"https://elsewhere.test","APIKey":"K"})",
       "http://localhost", "K", nullptr},
      {"a doubled APIRoot replaced", R"({"APIRoot":"x","APIKey":"K","APIRoot":"y"})",
       "http://localhost", "K", nullptr},
  };
  for (const Merge &m : merges) {
    std::string settings = tavro_cli::settings_with_api_root(m.settings, m.root);
    tavro_cfg cfg{};
    char err[TAVRO_ERR_SIZE] = "";
    if (tavro_cfg_parse(settings.c_str(), 1, &cfg, err, sizeof err) != 0) {
      fail(std::string(m.name) + ": the library refused " + settings + ": " + err);
      continue;
    }
    if (!cfg.api_root || std::string(cfg.api_root) != m.root)
      fail(std::string(m.name) + ": APIRoot read as " + (cfg.api_root ? cfg.api_root : "none"));
    if (!cfg.api_key || std::string(cfg.api_key) != m.key)
      fail(std::string(m.name) + ": key read as " + (cfg.api_key ? cfg.api_key : "none"));
    if ((cfg.client ? std::string(cfg.client) : "") != (m.client ? m.client : ""))
      fail(std::string(m.name) + ": client read as " + (cfg.client ? cfg.client : "none"));
    tavro_cfg_free(&cfg);
  }
  // What is no JSON object is handed on as it is, for the library to refuse.
  if (tavro_cli::settings_with_api_root("[1]", "http://localhost") != "[1]")
    fail("an array was changed");

  if (failures) return 1;
  std::printf("every --api-root went to the library as its APIRoot\n");
  return 0;
}
