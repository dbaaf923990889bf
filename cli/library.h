// Loads libtavro.so at run time and resolves every export by name, as a host
// does: the command-line host links nothing of the library.
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

// The library file next to the running executable.
std::string library_beside_executable();

// Loads the library at path and resolves every export. On failure returns
// false with a one-line reason in error; lib is then unusable.
bool load_library(const std::string &path, Library &lib, std::string &error);

} // namespace tavro_cli
