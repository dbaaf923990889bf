// SPDX-License-Identifier: MIT
// The slot of the built-in network transport.
#pragma once

#include "tavro.h"

// Null: this library carries no network transport of its own.
const tavro_io *tavro_io_curl(void);
