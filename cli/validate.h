// SPDX-License-Identifier: MIT
// tavro validate: the account checked with one request, told for people
// on a terminal (with what the service's account answer says) and as the
// library's JSON elsewhere.
#pragma once

#include "session.h"

namespace tavro_cli {

int run_validate(Session &s, const Parsed &p);

} // namespace tavro_cli
