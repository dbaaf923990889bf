// SPDX-License-Identifier: MIT
// Operation calls with a buffer of the host's own, files, and the host's own failures.
#include "app.h"

#include "texts.h"

#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

namespace tavro_cli {
namespace {

constexpr int32_t kBuffer = 64 * 1024;

template <class Op> Outcome call(const Library &lib, Op op) {
  std::vector<char> out(kBuffer, '\0');
  Outcome o;
  o.code = op(out.data(), kBuffer);
  o.document = out.data();
  if (o.code == TAVRO_E_BUFFER && o.document.empty() && *lib.tavro_result_json()) {
    // The result did not fit: the library kept all of it for this thread.
    o.code = TAVRO_OK;
    o.result = o.document = lib.tavro_result_json();
  } else if (o.code == TAVRO_OK) {
    o.result = o.document;
  } else {
    o.message = lib.tavro_last_error();
  }
  return o;
}

} // namespace

const char *code_name(int code) {
  switch (code) {
#define TAVRO_CLI_NAME(value, name, meaning)                                                       \
  case value:                                                                                      \
    return #name;
    TAVRO_RESULT_CODES(TAVRO_CLI_NAME)
#undef TAVRO_CLI_NAME
  default:
    return "unknown result code";
  }
}

Outcome do_validate(const Library &lib, const std::string &settings) {
  return call(lib,
              [&](char *out, int32_t n) { return lib.tavro_validate(settings.c_str(), out, n); });
}

Outcome do_list(const Library &lib, const std::string &settings, const char *folder) {
  return call(
      lib, [&](char *out, int32_t n) { return lib.tavro_list(settings.c_str(), folder, out, n); });
}

Outcome do_stream(const Library &lib, const std::string &settings, const std::string &entry) {
  return call(lib, [&](char *out, int32_t n) {
    return lib.tavro_stream_url(settings.c_str(), entry.c_str(), out, n);
  });
}

Outcome do_download(const Library &lib, const std::string &settings, const std::string &request) {
  return call(lib, [&](char *out, int32_t n) {
    return lib.tavro_download(settings.c_str(), request.c_str(), out, n);
  });
}

Outcome do_change(const Library &lib, const std::string &settings, const std::string &request) {
  return call(lib, [&](char *out, int32_t n) {
    return lib.tavro_change(settings.c_str(), request.c_str(), out, n);
  });
}

Outcome do_pin_start(const Library &lib, const std::string &settings) {
  return call(lib,
              [&](char *out, int32_t n) { return lib.tavro_pin_start(settings.c_str(), out, n); });
}

Outcome do_pin_check(const Library &lib, const std::string &settings, const std::string &pin) {
  return call(lib, [&](char *out, int32_t n) {
    return lib.tavro_pin_check(settings.c_str(), pin.c_str(), out, n);
  });
}

Outcome do_verify(const Library &lib, const std::string &settings, const std::string &request) {
  return call(lib, [&](char *out, int32_t n) {
    return lib.tavro_verify(settings.c_str(), request.c_str(), out, n);
  });
}

double poll_interval() {
  if (const char *knob = std::getenv("TAVRO_POLL_INTERVAL"); knob && *knob) {
    char *end = nullptr;
    double v = std::strtod(knob, &end);
    if (end && !*end && v > 0 && v <= 60) return v;
  }
  return 5;
}

bool read_file(const std::string &path, std::string &out, std::string &error) {
  if (path == "-") {
    std::ostringstream s;
    s << std::cin.rdbuf();
    out = s.str();
    return true;
  }
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    error = "cannot read " + path + ": it is a directory";
    return false;
  }
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream s;
  s << f.rdbuf();
  out = s.str();
  return true;
}

int host_error(const std::string &message) {
  std::fprintf(stderr, "tavro: %s\n", terminal_text(message).c_str());
  return kExitHost;
}

int finish_output(int rc) {
  errno = 0;
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return rc;
  int why = errno;
  if (why == EPIPE) {
    std::signal(SIGPIPE, SIG_DFL);
    std::raise(SIGPIPE);
  }
  std::fprintf(stderr, "tavro: cannot write to standard output: %s\n",
               why ? std::strerror(why) : "write error");
  return kExitHost;
}

} // namespace tavro_cli
