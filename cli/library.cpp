// SPDX-License-Identifier: MIT
// The library found, loaded with dlopen and its exports resolved with dlsym.
#include "library.h"

#include <dlfcn.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <vector>

namespace tavro_cli {

namespace {

constexpr const char *kSoname = "libtavro.so.1";

// The folder of the running executable, with its trailing slash, or "".
std::string executable_dir() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  std::string dir(self, static_cast<size_t>(n));
  size_t slash = dir.rfind('/');
  dir.resize(slash == std::string::npos ? 0 : slash + 1);
  return dir;
}

bool is_file(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Files matching pattern, sorted (glob's own order), none when it fails.
std::vector<std::string> matches(const std::string &pattern) {
  std::vector<std::string> found;
  glob_t g{};
  if (glob(pattern.c_str(), 0, nullptr, &g) == 0)
    for (size_t i = 0; i < g.gl_pathc; ++i) found.emplace_back(g.gl_pathv[i]);
  globfree(&g);
  return found;
}

// The files to try, in order, when no --lib names one.
std::vector<std::string> candidates() {
  std::vector<std::string> files;
  std::string dir = executable_dir();
  if (dir.empty()) return files;
  files.push_back(dir + kSoname);
  files.push_back(dir + "libtavro.so");
  for (const char *pattern : {"../lib*/", "../lib*/*/"})
    for (const std::string &d : matches(dir + pattern))
      for (const char *name : {kSoname, "libtavro.so"}) files.push_back(d + name);
  return files;
}

// dlopen and dlsym of every export; name is what dlopen is given.
bool open_and_resolve(const std::string &name, Library &lib, std::string &error) {
  lib = Library{};
  lib.handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib.handle) {
    const char *why = dlerror();
    error = why ? why : "unknown error";
    return false;
  }
  std::string missing;
#define TAVRO_CLI_RESOLVE(fn)                                                                      \
  lib.fn = reinterpret_cast<decltype(&::fn)>(dlsym(lib.handle, #fn));                              \
  if (!lib.fn) missing += missing.empty() ? #fn : ", " #fn;
  TAVRO_EXPORT_NAMES(TAVRO_CLI_RESOLVE)
#undef TAVRO_CLI_RESOLVE
  if (!missing.empty()) {
    error = "it lacks " + missing;
    dlclose(lib.handle);
    lib = Library{};
    return false;
  }
  return true;
}

} // namespace

bool load_library(const std::string &path, Library &lib, std::string &error) {
  std::string why;
  if (!path.empty()) {
    // A name without a slash would be searched along the system's library
    // path; the user means a file.
    std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    if (open_and_resolve(file, lib, why)) return true;
    error = "cannot load " + file + ": " + why;
    return false;
  }
  std::string failed;
  for (const std::string &file : candidates()) {
    if (!is_file(file)) continue;
    if (open_and_resolve(file, lib, why)) return true;
    failed += (failed.empty() ? "; found but could not load " : ", ") + file + " (" + why + ")";
  }
  if (open_and_resolve(kSoname, lib, why)) return true;
  // One line, as every message of tavro: where it looked, what failed, and
  // the way out.
  std::string dir = executable_dir();
  std::string places = dir.empty() ? std::string("the executable's folder (unknown)")
                                   : dir + ", " + dir + "../lib*/, " + dir + "../lib*/*/";
  error = std::string("cannot find the tavro library: no ") + kSoname + " or libtavro.so in " +
          places + ", and the dynamic loader found none (" + why + ")" + failed +
          "; name the library with --lib FILE";
  return false;
}

} // namespace tavro_cli
