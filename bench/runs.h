// SPDX-License-Identifier: MIT
// What the program registers with Google Benchmark: the table's cases, the
// two-thread runs and the peak-heap run.
#pragma once

namespace bench {

void register_cases();
void register_two_threads();
void register_memory();

} // namespace bench
