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

// The 25 exports, in the order of the export table.
#define TAVRO_EXPORTS(X)                                                                           \
  X(tavro_validate)                                                                                \
  X(tavro_list)                                                                                    \
  X(tavro_stream_url)                                                                              \
  X(tavro_download)                                                                                \
  X(tavro_result_json)                                                                             \
  X(tavro_last_error)                                                                              \
  X(tavro_set_io)                                                                                  \
  X(tavro_use_curl)                                                                                \
  X(tavro_use_fake)                                                                                \
  X(tavro_allow_writes)                                                                            \
  X(tavro_version)                                                                                 \
  X(tavro_runtime_type)                                                                            \
  X(tavro_caps)                                                                                    \
  X(tavro_base_url)                                                                                \
  X(tavro_redact)                                                                                  \
  X(tavro_parse_season_episode)                                                                    \
  X(tavro_is_torrent_file)                                                                         \
  X(tavro_is_magnet_link)                                                                          \
  X(halvo_get)                                                                                     \
  X(tavro_fake_reset)                                                                              \
  X(tavro_fake_set)                                                                                \
  X(tavro_fake_fail)                                                                               \
  X(tavro_fake_calls)                                                                              \
  X(tavro_fake_last_body)                                                                          \
  X(tavro_fake_last_url)

struct TavroApi {
#define TAVRO_FIELD(name) decltype(&::name) name = nullptr;
  TAVRO_EXPORTS(TAVRO_FIELD)
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
    TAVRO_EXPORTS(TAVRO_RESOLVE)
#undef TAVRO_RESOLVE
    if (!a.handle || a.missing) {
      std::fprintf(stderr, "cannot load %s (%d exports missing)\n", TAVRO_LIB_PATH, a.missing);
      std::exit(2);
    }
    return a;
  }();
  return api;
}
