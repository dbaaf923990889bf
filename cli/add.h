// SPDX-License-Identifier: MIT
// tavro add: a magnet link, a web link (answering with a magnet or a
// torrent file) or a local torrent file added to the account, with
// --allow-writes only; the pick of a season pack's episode, the direct URL
// when the service holds it already, and exit status 1 when add did less
// than asked.
#pragma once

#include "session.h"

namespace tavro_cli {

int run_add(Session &s, const Parsed &p);

} // namespace tavro_cli
