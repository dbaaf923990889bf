// What the commands of the command-line host share: the loaded library, the
// output style, one call of an operation export, and the exit statuses.
#pragma once

#include "library.h"
#include "output.h"

#include <cstdint>
#include <string>
#include <vector>

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

// ---- Settings files ----

// What reading a settings file found: the text for the library (a leading
// UTF-8 byte order mark removed), or an exit status and a message naming
// the file (and the byte where its JSON goes wrong); warnings either way.
struct SettingsFile {
  std::string text;
  int status = -1; // -1: read and usable
  std::string message;
  std::vector<std::string> warnings;
};

SettingsFile read_settings_file(const std::string &path);

// Where the settings are looked for when nothing else names the account:
// $XDG_CONFIG_HOME/tavro/settings.json, else ~/.config/tavro/settings.json;
// "" when neither variable is set.
std::string default_settings_path();

// ---- Listings ----

// One entry of a listing, with its compact JSON as the library wrote it.
struct Entry {
  std::string json, name, path, link;
  int64_t size = -1;
  bool folder = false;
};

// The entries of a listing (a JSON array); false when json is none.
bool listing_entries(const std::string &json, std::vector<Entry> &entries);

// A JSON array of entries.
std::string listing_json(const std::vector<const Entry *> &entries);

// The file a download would pick among entries: with episode 0 the largest
// file that has a link and a known size (the first of equal ones), else the
// first whose path holds exactly that season and episode. Null when none.
const Entry *pick_file(const Library &lib, const std::vector<const Entry *> &entries, int season,
                       int episode);

// The embedded demo: fake transport, demo account, every operation in turn.
int run_demo(const Library &lib, const Style &style);

// The scenario text of the demo (cli/demo.json, embedded at build time).
extern const char *const kDemoScenario;

} // namespace tavro_cli
