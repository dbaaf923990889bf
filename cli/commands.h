// SPDX-License-Identifier: MIT
// The commands of tavro: each one's name, arguments, help texts, the
// options it takes and the function that runs it.
#pragma once

#include "options.h"

#include <span>

namespace tavro_cli {

// Every command, in the order the help lists them.
std::span<const CommandRow> commands();

} // namespace tavro_cli
