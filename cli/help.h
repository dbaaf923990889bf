// SPDX-License-Identifier: MIT
// tavro --help and tavro COMMAND --help: the commands and the global
// options, the account, and the exit statuses (one per result code of the
// library, named as tavro.h names it); or a command's usage, its own options
// and the global ones that apply to it. Lines are wrapped to 80 columns.
#pragma once

#include "options.h"

#include <cstdio>
#include <span>

namespace tavro_cli {

void print_general_help(std::FILE *out, std::span<const CommandRow> commands);
void print_command_help(std::FILE *out, const CommandRow &c);

} // namespace tavro_cli
