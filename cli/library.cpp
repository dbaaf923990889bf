// Finds and loads the shared library with dlopen and fills the export table
// with dlsym; the library stays loaded until the process ends.
#include "library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace tavro_cli {

std::string library_beside_executable() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "libtavro.so";
  std::string dir(self, static_cast<size_t>(n));
  size_t slash = dir.rfind('/');
  dir.resize(slash == std::string::npos ? 0 : slash + 1);
  return dir + "libtavro.so";
}

bool load_library(const std::string &path, Library &lib, std::string &error) {
  lib = Library{};
  // A name without a slash would be searched along the system's library
  // path; the host means a file.
  std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  lib.handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib.handle) {
    const char *why = dlerror();
    error = "cannot load " + file + ": " + (why ? why : "unknown error");
    return false;
  }
  std::string missing;
#define TAVRO_CLI_RESOLVE(name)                                                                    \
  lib.name = reinterpret_cast<decltype(&::name)>(dlsym(lib.handle, #name));                        \
  if (!lib.name) missing += missing.empty() ? #name : ", " #name;
  TAVRO_EXPORT_NAMES(TAVRO_CLI_RESOLVE)
#undef TAVRO_CLI_RESOLVE
  if (!missing.empty()) {
    error = file + " lacks " + missing;
    dlclose(lib.handle);
    lib = Library{};
    return false;
  }
  return true;
}

} // namespace tavro_cli
