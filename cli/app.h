// What the commands of the command-line host share: the loaded library, the
// output style, one call of an operation export, and the exit statuses.
#pragma once

#include "library.h"
#include "output.h"

#include <string>

namespace tavro_cli {

// Exit statuses. A result code c of the library (-1 to -9) exits with
// 2 - c, so 3 to 11.
enum Exit : int {
  kExitOk = 0,    // done; for the tests: yes
  kExitNo = 1,    // a test answered no, or add --url got no direct URL
  kExitUsage = 2, // unknown command or option, missing or extra argument
  kExitHost = 12, // the host itself failed: library, files, scenario, transport
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

// The embedded demo: fake transport, demo account, every operation in turn.
int run_demo(const Library &lib, const Style &style);

// The scenario text of the demo (cli/demo.json, embedded at build time).
extern const char *const kDemoScenario;

} // namespace tavro_cli
