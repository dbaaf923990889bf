// SPDX-License-Identifier: MIT
// The JSON a host hands in: the account settings of every operation, the
// request of a download, and a listing entry to stream. Each reader turns
// it into a plain record or fails with TAVRO_E_ARG (or the code it names)
// and a message.
#pragma once

#include <cstddef>
#include <cstdint>

// The settings of one call: trimmed texts, null when absent or blank.
struct tavro_cfg {
  char *api_key; // "APIKey", else "ClientSecret"
  char *client;  // "CustomName", else "ClientId"
  char *id;      // "ID"
  // "APIRoot": what replaces TAVRO_API_ORIGIN in every request of the call
  // (no trailing '/'); null for the service itself.
  char *api_root = nullptr;
};

// Checks an APIRoot: an absolute https:// URL, or an http:// one whose host
// is loopback (127.0.0.0/8 as four decimal numbers, localhost, [::1]);
// with a host name or address, an optional port and an optional path, and
// no '@' (user-info), query, fragment, backslash, blank or control character.
// 0 with the root (trailing '/' removed) copied to the heap in *root, or
// TAVRO_E_ARG with the message written.
int tavro_api_root_check(const char *text, char **root, char *err, size_t err_size);

// Reads the settings (at most TAVRO_SETTINGS_MAX bytes, a JSON object whose
// "RuntimeType", when given and not empty, is TAVRO_RUNTIME_TYPE). Strings
// are taken as they are, integers in decimal, true/false as words. With
// require_key, settings without a key fail with "APIKey is empty". An
// "APIRoot" that is not a string or fails tavro_api_root_check is
// TAVRO_E_ARG. 0, or a result code with the message written and cfg empty.
int tavro_cfg_parse(const char *settings, int require_key, tavro_cfg *cfg, char *err,
                    size_t err_size);
void tavro_cfg_free(tavro_cfg *cfg);

// The parsed download request.
struct tavro_dlcfg {
  char *link; // "Link": not empty, at most TAVRO_LINK_MAX bytes
  int full_season;
  int32_t season;  // the low 32 bits of an integer, else 0
  int32_t episode; // the same
  int keep_instant_only;
};

int tavro_dlcfg_parse(const char *text, tavro_dlcfg *cfg, char *err, size_t err_size);
void tavro_dlcfg_free(tavro_dlcfg *cfg);

// The link to unlock from a host's entry: its "locator", else "link", else
// "path" (a heap copy): the first non-empty string of the three.
int tavro_entry_link(const char *entry, char **link, char *err, size_t err_size);
