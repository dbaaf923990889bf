// SPDX-License-Identifier: MIT
// Loads libtavro at run time and resolves every export by name, as a host
// does: the command-line host does not link libtavro, and the library stays
// loaded until the process ends.
#pragma once

#include "tavro.h"

#include <string>

namespace tavro_cli {

struct Library {
#define TAVRO_CLI_FIELD(name) decltype(&::name) name = nullptr;
  TAVRO_EXPORT_NAMES(TAVRO_CLI_FIELD)
#undef TAVRO_CLI_FIELD
  void *handle = nullptr;
};

// Loads the library and resolves every export. With a path (--lib), that
// file only. Without one, the first that loads of: libtavro.so.1 and
// libtavro.so beside the executable, then in ../lib*/ (and one multiarch
// folder below it) relative to the executable, so an installed tree works
// without LD_LIBRARY_PATH, then libtavro.so.1 through the dynamic loader's
// own search. On failure returns false with a one-line reason in error (for
// a search, every place looked in and why it failed); lib is then unusable.
bool load_library(const std::string &path, Library &lib, std::string &error);

} // namespace tavro_cli
