// SPDX-License-Identifier: MIT
// Following and changing one magnet of the account, and the saved links:
// tavro wait (and add --wait), tavro rm, tavro restart and tavro save.
#pragma once

#include "session.h"

#include <cstdint>

namespace tavro_cli {

// Follows magnet id until it is ready (then prints what add prints for a
// ready magnet), failed, or the wait ends; returns the exit status.
int wait_for_magnet(Session &s, const Parsed &p, int64_t id);

int run_wait(Session &s, const Parsed &p);
int run_rm(Session &s, const Parsed &p);
int run_save(Session &s, const Parsed &p);
int run_restart(Session &s, const Parsed &p);

} // namespace tavro_cli
