// SPDX-License-Identifier: MIT
// What the commands of the command-line host share: one call of an
// operation export, the exit statuses and the result codes' names, reading
// a file, the host's own failures and the last flush of its output.
#pragma once

#include "library.h"

#include <cstdint>
#include <string>

namespace tavro_cli {

// The lowest of the library's result codes (TAVRO_E_BUFFER).
constexpr int lowest_code() {
  int lowest = 0;
#define TAVRO_CLI_LOWER(value, name, meaning) lowest = (value) < lowest ? (value) : lowest;
  TAVRO_RESULT_CODES(TAVRO_CLI_LOWER)
#undef TAVRO_CLI_LOWER
  return lowest;
}

// Exit statuses. A result code c of the library (-1 to -9) exits with
// 2 - c, so 3 to 11; the host's own failures come after them.
enum Exit : int {
  kExitOk = 0,                       // done; for the tests: yes
  kExitNo = 1,                       // a test answered no, or add did less than asked
  kExitUsage = 2,                    // bad command line or settings, found before any request
  kExitHost = 2 - lowest_code() + 1, // the host itself failed: library, files, scenario, transport
};

inline int exit_for(int code) {
  return code == TAVRO_OK ? kExitOk : 2 - code;
}

// The name of a result code ("TAVRO_E_AUTH").
const char *code_name(int code);

// The outcome of one operation export call.
struct Outcome {
  int code = TAVRO_OK;
  std::string result;   // success: the result document
  std::string document; // what the output buffer held: result or error document
  std::string message;  // failure: the one-line message (key masked by the library)
};

// The four operations, each called with a 64 KiB output buffer; a result
// that does not fit is taken whole from tavro_result_json.
Outcome do_validate(const Library &lib, const std::string &settings);
Outcome do_list(const Library &lib, const std::string &settings, const char *folder);
Outcome do_stream(const Library &lib, const std::string &settings, const std::string &entry);
Outcome do_download(const Library &lib, const std::string &settings, const std::string &request);
Outcome do_change(const Library &lib, const std::string &settings, const std::string &request);
// The sign-in exports, the same way.
Outcome do_pin_start(const Library &lib, const std::string &settings);
Outcome do_pin_check(const Library &lib, const std::string &settings, const std::string &pin);
Outcome do_verify(const Library &lib, const std::string &settings, const std::string &request);

// Seconds between two polls of the service while a command waits (login,
// approve, wait): 5, the service's advice. The environment variable
// TAVRO_POLL_INTERVAL (seconds, above 0 and at most 60; for the tests only)
// shortens it.
double poll_interval();

// The whole of a file, or of standard input for "-"; false with a one-line
// reason in error.
bool read_file(const std::string &path, std::string &out, std::string &error);

// Says message on standard error (escaped for a terminal); returns the
// host's own exit status.
int host_error(const std::string &message);

// Standard output, flushed: rc when everything reached it, else the exit
// status after saying why. A reader that went away (EPIPE) ends tavro as
// it ends other tools, by SIGPIPE.
int finish_output(int rc);

} // namespace tavro_cli
