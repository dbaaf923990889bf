// SPDX-License-Identifier: MIT
// The slot of a built-in network transport. The library never opens a
// connection itself: hosts install their own transport with tavro_set_io.
#include "tavro_io_curl.h"

const tavro_io *tavro_io_curl(void) {
  return nullptr;
}
