// SPDX-License-Identifier: MIT
// The command line: every option (its spelling, its value, the help line
// and which commands take it), the shape of a command, and the parser that
// reads argv into a Parsed record or says what is wrong with it.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace tavro_cli {

enum Option : unsigned {
  kLib = 1u << 0,
  kJson = 1u << 1,
  kVerbose = 1u << 2,
  kSettings = 1u << 3,
  kApiKey = 1u << 4,
  kFake = 1u << 5,
  kApiRoot = 1u << 6,
  kTimeout = 1u << 7,
  kConnectTimeout = 1u << 8,
  kUrl = 1u << 9,
  kAllowWrites = 1u << 10,
  kSeason = 1u << 11,
  kEpisode = 1u << 12,
  kFullSeason = 1u << 13,
  kKeepInstantOnly = 1u << 14,
  kMaxBody = 1u << 15,
  kHelp = 1u << 16,
  kVersion = 1u << 17,
  kState = 1u << 18,
  kWait = 1u << 19,
  kTimeoutWait = 1u << 20,
  kTable = 1u << 21,
  kNoQr = 1u << 22,
  kResend = 1u << 23,
  kQuality = 1u << 24,
  kWaitLink = 1u << 25,
};

struct OptionRow {
  const char *name;
  char short_name;
  const char *value; // metavariable, or null for a flag
  Option bit;
  // Listed by tavro --help and taken by every command (one that does not
  // apply to a command is ignored, and -v says so); the others are listed
  // by their commands' help and refused by the others.
  bool global;
  const char *help;
};

// Every option, in the order the help lists them.
extern const std::span<const OptionRow> kOptions;

// The global options that apply to every command, and those that apply to
// the commands that use the account.
constexpr unsigned kAlways = kHelp | kVersion | kLib | kTable;
constexpr unsigned kAccount =
    kSettings | kApiKey | kFake | kApiRoot | kTimeout | kConnectTimeout | kVerbose | kMaxBody;

struct Session;
struct Parsed;
// Runs a command on the session main set up; returns the exit status.
using Runner = int (*)(Session &, const Parsed &);

struct CommandRow {
  const char *name;
  const char *args;
  const char *summary;
  const char *details;
  int min_args, max_args; // max -1: any number
  unsigned options;
  Runner run;
};

// What the command line asked for.
struct Parsed {
  const CommandRow *command = nullptr;
  std::vector<std::string> args;
  unsigned given = 0; // the Option bits given
  std::string lib, settings_file, api_key, fake, api_root;
  double timeout = 60, connect_timeout = 10;
  size_t max_body = size_t{64} << 20;
  int season = 0, episode = 0;
  std::string state;     // --state: "ready", "processing" or "error"
  double wait_limit = 0; // --timeout-wait in seconds; 0: no limit
  int verbose = 0;       // how many times -v was given, where it applies
  int quality = 0;       // --quality: the settings' MaxQuality; 0 when not given
  int wait_link = -1;    // --wait-link: the settings' DelayedWait; -1 when not given
  bool help = false, version = false;
  bool shortcut = false;            // tavro LINK
  bool verbose_asked = false;       // -v was given, whether it applies or not
  std::vector<std::string> ignored; // global options that do not apply to the command
};

// Reads argv into p, the command named from commands (or a link standing
// alone for one of them); returns -1 when the command may run, else the
// exit status after saying what is wrong.
int parse(int argc, char **argv, std::span<const CommandRow> commands, Parsed &p);

// Says message and how to get help for c (or for tavro without one) on
// standard error; returns the usage exit status.
int usage_error(const CommandRow *c, const std::string &message);

} // namespace tavro_cli
