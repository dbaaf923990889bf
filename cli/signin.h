// SPDX-License-Identifier: MIT
// tavro login, logout and approve: signing in with a PIN (the key stored in
// the settings file), signing out, and waiting for the approval of a key
// the service blocked from a new place. The settings file is the one the
// command reads: --settings FILE, else the default path.
#pragma once

#include "session.h"

namespace tavro_cli {

int run_login(Session &s, const Parsed &p);
int run_logout(Session &s, const Parsed &p);
int run_approve(Session &s, const Parsed &p);

} // namespace tavro_cli
