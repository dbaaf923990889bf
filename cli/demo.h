// SPDX-License-Identifier: MIT
// tavro demo: the library's fake transport filled with the embedded demo
// account, and every operation run in turn, each step printed with the
// command that does the same and the result code it gave.
#pragma once

#include "session.h"

namespace tavro_cli {

int run_demo(Session &s, const Parsed &p);

// The scenario text of the demo (cli/demo.json, embedded at build time).
extern const char *const kDemoScenario;

} // namespace tavro_cli
