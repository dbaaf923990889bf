// SPDX-License-Identifier: MIT
// The settings parser: any host text gives the record or one of the
// settings failures, and a failure leaves nothing allocated. An APIRoot that
// is taken is an http(s) root without user-info, query, fragment, blank or
// trailing '/', and an http:// one names a loopback host.
#include "fuzz_support.h"
#include "tavro_input.h"

#include <cctype>

namespace {

constexpr const char *kMessages[] = {"settings are NULL",
                                     "settings are larger than 1 MiB",
                                     "settings are not a JSON object",
                                     "APIKey is empty",
                                     "MaxQuality is not a positive integer",
                                     "DelayedWait is not a number of seconds from 0 to 600"};

bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// A field is null, or a non-empty text without surrounding blanks.
bool trimmed(const char *v) {
  if (!v) return true;
  size_t n = std::strlen(v);
  return n > 0 && !blank(v[0]) && !blank(v[n - 1]);
}

bool known_failure(const char *err) {
  for (const char *m : kMessages)
    if (std::strcmp(err, m) == 0) return true;
  if (std::strncmp(err, "APIRoot ", 8) == 0) return true;
  return std::strncmp(err, "RuntimeType is \"", 16) == 0 &&
         std::strstr(err, "\", this handler is \"ALLDEBRID\"") != nullptr;
}

bool starts_ci(const char *text, const char *lower) {
  for (; *lower; ++text, ++lower)
    if (std::tolower((unsigned char)*text) != *lower) return false;
  return true;
}

// What a taken APIRoot looks like.
bool root_ok(const char *root) {
  if (!root) return true;
  size_t n = std::strlen(root);
  if (n == 0 || root[n - 1] == '/' || std::strpbrk(root, "@?#\\ \t\r\n")) return false;
  if (starts_ci(root, "https://")) return n > 8;
  if (!starts_ci(root, "http://")) return false;
  const char *host = root + 7;
  for (const char *loopback : {"127.", "localhost", "[::1]"}) {
    size_t k = std::strlen(loopback);
    if (!starts_ci(host, loopback)) continue;
    if (loopback[0] == '1') return true; // four numbers, the first 127
    char after = host[k];
    return after == '\0' || after == ':' || after == '/';
  }
  return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string settings = fz::text(data, size);
  for (int require_key : {1, 0}) {
    tavro_cfg cfg{};
    char err[TAVRO_ERR_SIZE] = {};
    int rc = tavro_cfg_parse(settings.c_str(), require_key, &cfg, err, sizeof err);
    if (rc == 0) {
      FUZZ_CHECK(err[0] == '\0', "success with a message: %s", err);
      FUZZ_CHECK(!require_key || cfg.api_key, "success without a key");
      FUZZ_CHECK(trimmed(cfg.api_key) && trimmed(cfg.client) && trimmed(cfg.id), "untrimmed field");
      FUZZ_CHECK(cfg.max_quality >= 0 && cfg.delayed_wait >= 0 &&
                     cfg.delayed_wait <= TAVRO_DELAYED_WAIT_MAX,
                 "numbers %lld, %d", (long long)cfg.max_quality, cfg.delayed_wait);
      FUZZ_CHECK(root_ok(cfg.api_root), "APIRoot taken: %s", cfg.api_root);
    } else {
      FUZZ_CHECK(rc == TAVRO_E_ARG, "code %d", rc);
      FUZZ_CHECK(!cfg.api_key && !cfg.client && !cfg.id && !cfg.max_quality && !cfg.api_root &&
                     cfg.delayed_wait == TAVRO_DELAYED_WAIT_DEFAULT,
                 "failure left fields set");
      FUZZ_CHECK(known_failure(err), "unknown message: %s", err);
      // Only the key check depends on require_key.
      FUZZ_CHECK(require_key || std::strcmp(err, "APIKey is empty") != 0, "key required");
    }
    tavro_cfg_free(&cfg);
  }
  return 0;
}
