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
};

struct OptionSpec {
  const char *name;
  char short_name;
  const char *value; // metavariable, or null for a flag
  Option bit;
  bool global; // listed by tavro --help; the others by their commands' help
  const char *help;
};

// Every option, in the order the help lists them.
extern const std::span<const OptionSpec> kOptions;

// Options every command takes, and those of the commands that use the account.
constexpr unsigned kAlways = kHelp | kVersion | kLib;
constexpr unsigned kAccount =
    kSettings | kApiKey | kFake | kApiRoot | kTimeout | kConnectTimeout | kVerbose | kMaxBody;

struct Session;
struct Parsed;
// Runs a command on the session main set up; returns the exit status.
using Runner = int (*)(Session &, const Parsed &);

struct CommandSpec {
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
  const CommandSpec *command = nullptr;
  std::vector<std::string> args;
  unsigned given = 0; // the Option bits given
  std::string lib, settings_file, api_key, fake, api_root;
  double timeout = 60, connect_timeout = 10;
  size_t max_body = size_t{64} << 20;
  int season = 0, episode = 0;
  bool help = false, version = false;
  bool shortcut = false; // tavro LINK
};

// Reads argv into p, the command named from commands (or a link standing
// alone for one of them); returns -1 when the command may run, else the
// exit status after saying what is wrong.
int parse(int argc, char **argv, std::span<const CommandSpec> commands, Parsed &p);

// Says message and how to get help for c (or for tavro without one) on
// standard error; returns the usage exit status.
int usage_error(const CommandSpec *c, const std::string &message);

} // namespace tavro_cli
