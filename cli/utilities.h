// SPDX-License-Identifier: MIT
// The utility commands, one export of the library each, with no account:
// tavro episode (season and episode in file names), magnet (a magnet link
// the service takes), torrent (a torrent file) and redact (URL user-info and
// apikey values removed).
#pragma once

#include "session.h"

namespace tavro_cli {

int run_episode(Session &s, const Parsed &p);
int run_magnet(Session &s, const Parsed &p);
int run_torrent(Session &s, const Parsed &p);
int run_redact(Session &s, const Parsed &p);

} // namespace tavro_cli
