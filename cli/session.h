// SPDX-License-Identifier: MIT
// What a command works with: the loaded library, the output style, the
// account's settings and the transport installed for them (libcurl, or the
// library's fake one filled from a scenario). main sets one up and hands it
// to the command; the commands that use the account open it, and report a
// failed operation through it.
#pragma once

#include "app.h"
#include "curl_io.h"
#include "options.h"
#include "output.h"
#include "scenario.h"

#include <memory>
#include <optional>
#include <string>

namespace tavro_cli {

struct Session {
  Library lib;
  Style style;
  std::string settings;
  std::optional<CurlGlobal> curl;
  std::unique_ptr<CurlTransport> transport;
  std::optional<Scenario> scenario;
  bool fake = false;
  int verbose = 0; // -v: each request; -vv: and its answer's headers

  // Where the account's key came from: "--api-key", "$TAVRO_API_KEY", the
  // settings file's path, the scenario's; "" when no account was needed.
  enum class KeyFrom { none, option, env, file, scenario };
  KeyFrom key_from = KeyFrom::none;
  std::string key_file;   // the settings file or scenario the key came from
  bool key_given = false; // by --api-key or --settings: before $TAVRO_API_KEY

  // A local torrent file given to add, and the file:// URL it goes by.
  std::string local_file, local_url;

  Session() = default;
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;
  ~Session() {
    if (lib.handle && transport) lib.tavro_set_transport(nullptr);
  }
};

// Settings and transport for the four operations, as the command line
// names the account; -1 when ready, else the exit status. The settings are
// checked as the library reads them before any request: what is wrong with
// them is a usage error. With optional, no account at all is no error (the
// root listing needs none).
int open_account(Session &s, const Parsed &p, bool optional = false);

// The transport alone (the fake filled from --fake's scenario, or
// libcurl), for commands that bring their own settings; s.settings as they
// are. -1 when ready, else the exit status.
int open_transport(Session &s, const Parsed &p);

// What a command answered AUTH_BLOCKED adds after the message.
inline constexpr const char *kBlockedHint =
    "approve the new sign-in from the e-mail the service sent, then run the command again, or "
    "run `tavro approve` to wait for it here";

// Reports a failed operation (with the hint above when the service blocked
// the key; else a refused key is traced to where it came from, and to where
// a valid one is found); returns its exit status.
int failed(const Session &s, const Outcome &o);

// With the fake transport and -v: how many requests it answered, and the last.
void after_fake_call(const Session &s);

} // namespace tavro_cli
