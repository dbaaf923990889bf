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
  bool verbose = false;

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
// names the account; -1 when ready, else the exit status.
int open_account(Session &s, const Parsed &p);

// Reports a failed operation; returns its exit status.
int failed(const Session &s, const Outcome &o);

// With the fake transport and -v: how many requests it answered, and the last.
void after_fake_call(const Session &s);

} // namespace tavro_cli
