// SPDX-License-Identifier: MIT
// Loads the shared library at run time and resolves every export by name, as
// a host does. The ABI tests call the library only through this table.
#pragma once

#include "tavro.h"

#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#ifndef TAVRO_LIB_PATH
#define TAVRO_LIB_PATH "libtavro.so"
#endif

struct TavroApi {
#define TAVRO_FIELD(name) decltype(&::name) name = nullptr;
  TAVRO_EXPORT_NAMES(TAVRO_FIELD)
#undef TAVRO_FIELD
  void *handle = nullptr;
  int missing = 0;
};

// The process-wide table, loaded on first use; a library or an export that
// cannot be found ends the test program.
inline const TavroApi &tavro_api() {
  static const TavroApi api = [] {
    TavroApi a;
#if defined(_WIN32)
    HMODULE h = LoadLibraryW(L"" TAVRO_LIB_PATH);
    a.handle = (void *)h;
#define TAVRO_RESOLVE(name)                                                                        \
  a.name = reinterpret_cast<decltype(&::name)>(h ? (void *)GetProcAddress(h, #name) : nullptr);    \
  if (!a.name) ++a.missing;
#else
    a.handle = dlopen(TAVRO_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
#define TAVRO_RESOLVE(name)                                                                        \
  a.name = reinterpret_cast<decltype(&::name)>(a.handle ? dlsym(a.handle, #name) : nullptr);       \
  if (!a.name) ++a.missing;
#endif
    TAVRO_EXPORT_NAMES(TAVRO_RESOLVE)
#undef TAVRO_RESOLVE
    if (!a.handle || a.missing) {
      std::fprintf(stderr, "cannot load %s (%d exports missing)\n", TAVRO_LIB_PATH, a.missing);
      std::exit(2);
    }
    return a;
  }();
  return api;
}
