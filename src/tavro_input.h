// SPDX-License-Identifier: MIT
// The JSON a host hands in: the account settings of every operation, the
// request of a download, and a listing entry to stream. Each reader turns
// it into a plain record or fails with TAVRO_E_ARG (or the code it names)
// and a message.
#pragma once

#include "tavro_service.h"

#include <cstddef>
#include <cstdint>

// The settings of one call: trimmed texts, null when absent or blank, and
// two numbers of the stream.
struct tavro_cfg {
  char *api_key; // "APIKey", else "ClientSecret"
  char *client;  // "CustomName", else "ClientId"
  char *id;      // "ID"
  // The settings hold a key whose copy failed (memory ran out): api_key is
  // null, yet a request must not go without the key.
  bool key_lost = false;
  // "MaxQuality": the highest quality (a video height) a stream of several
  // qualities is chosen at; 0 when the settings set no cap.
  int64_t max_quality = 0;
  // "DelayedWait": the seconds a stream waits for a link the service takes
  // time to prepare, 0 to TAVRO_DELAYED_WAIT_MAX; the default when the
  // settings give none.
  int32_t delayed_wait = TAVRO_DELAYED_WAIT_DEFAULT;
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
// are taken as they are, integers in decimal, true/false as words. The two
// numbers are a JSON integer or a string of decimal digits (blanks around
// them allowed); null or a blank string is no value. A MaxQuality that is
// not a positive integer, or a DelayedWait outside 0 to
// TAVRO_DELAYED_WAIT_MAX, fails with TAVRO_E_ARG, and so does an "APIRoot"
// that is not a string or fails tavro_api_root_check. With require_key,
// settings without a key fail with "APIKey is empty". 0, or a result code
// with the message written and cfg empty.
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

// The parsed change request: {"Action":"delete"|"restart","Magnet":"m<id>"}
// for a magnet, {"Action":"save"|"delete","Link":"..."} for a saved link.
enum class tavro_change_action { delete_magnet, restart_magnet, save_link, delete_link };

struct tavro_change_req {
  tavro_change_action action;
  const char *action_name; // "delete", "restart" or "save": a constant
  int64_t magnet_id;       // the digits after the "m", at most INT64_MAX
  char *link;              // a link's action: not empty, at most TAVRO_LINK_MAX bytes
};

// 0, or TAVRO_E_ARG with the message written: not a JSON object, an Action
// other than those above, a magnet's action without a Magnet that is "m"
// and decimal digits, a link's action without a Link, or a delete that
// names both. On failure req is empty.
int tavro_change_parse(const char *text, tavro_change_req *req, char *err, size_t err_size);
void tavro_change_free(tavro_change_req *req);

// The link to unlock from a host's entry: its "locator", else "link", else
// "path" (a heap copy): the first non-empty string of the three.
int tavro_entry_link(const char *entry, char **link, char *err, size_t err_size);
