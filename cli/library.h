// Loads libtavro.so at run time and resolves every export by name, as a host
// does: the command-line host links nothing of the library.
#pragma once

#include "tavro.h"

#include <string>

// The 25 exports, in the order of the header.
#define TAVRO_CLI_EXPORTS(X)                                                                       \
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

namespace tavro_cli {

struct Library {
#define TAVRO_CLI_FIELD(name) decltype(&::name) name = nullptr;
  TAVRO_CLI_EXPORTS(TAVRO_CLI_FIELD)
#undef TAVRO_CLI_FIELD
  void *handle = nullptr;
};

// The library file next to the running executable.
std::string library_beside_executable();

// Loads the library at path and resolves every export. On failure returns
// false with a one-line reason in error; lib is then unusable.
bool load_library(const std::string &path, Library &lib, std::string &error);

} // namespace tavro_cli
