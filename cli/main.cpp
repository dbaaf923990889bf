// tavro, the command-line host of the library: it loads libtavro.so at run
// time, installs a transport (its own libcurl one, or the library's fake one
// filled from a scenario file) and runs one command.
#include "app.h"
#include "curl_io.h"
#include "scenario.h"
#include "texts.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

using namespace tavro_cli;

namespace {

// ---- Options and commands ------------------------------------------------

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

const OptionSpec kOptions[] = {
    {"--help", 'h', nullptr, kHelp, true, "this text; tavro COMMAND --help for a command's"},
    {"--version", 'V', nullptr, kVersion, true, "the versions of tavro and of the library"},
    {"--lib", 0, "FILE", kLib, true,
     "the library to load (default: found beside tavro, in ../lib*/, or by the loader)"},
    {"--json", 0, nullptr, kJson, true, "print the library's JSON even on a terminal"},
    {"--verbose", 'v', nullptr, kVerbose, true,
     "show every request and retry on standard error (keys redacted)"},
    {"--settings", 0, "FILE", kSettings, true, "read the account settings (JSON) from FILE"},
    {"--api-key", 0, "KEY", kApiKey, true,
     "the account's API key (other users can see it in the process list)"},
    {"--fake", 0, "SCENARIO", kFake, true,
     "answer from the library's fake transport, filled from a file"},
    {"--api-root", 0, "URL", kApiRoot, true,
     "send requests for the service's API root to URL instead"},
    {"--timeout", 0, "SECONDS", kTimeout, true, "time limit of one request (default 60)"},
    {"--connect-timeout", 0, "SECONDS", kConnectTimeout, true,
     "time limit to connect (default 10)"},
    {"--max-body", 0, "SIZE", kMaxBody, true,
     "refuse answers larger than SIZE bytes (K, M, G suffixes; default 64M)"},
    {"--url", 0, nullptr, kUrl, false, "print only the direct URL"},
    {"--allow-writes", 0, nullptr, kAllowWrites, false, "let add change the account"},
    {"--season", 0, "N", kSeason, false, "the season of the episode to pick"},
    {"--episode", 0, "N", kEpisode, false, "the episode to pick"},
    {"--full-season", 0, nullptr, kFullSeason, false,
     "the link is a season pack: pick the episode of --season and --episode"},
    {"--keep-instant-only", 0, nullptr, kKeepInstantOnly, false,
     "delete the magnet again unless the service holds it already"},
};

constexpr unsigned kAlways = kHelp | kVersion | kLib;
constexpr unsigned kAccount =
    kSettings | kApiKey | kFake | kApiRoot | kTimeout | kConnectTimeout | kVerbose | kMaxBody;

struct Parsed;
using Runner = int (*)(Parsed &);

struct CommandSpec {
  const char *name;
  const char *args;
  const char *summary;
  const char *details;
  int min_args, max_args; // max -1: any number
  unsigned options;
  Runner run;
};

struct Parsed {
  const CommandSpec *command = nullptr;
  std::vector<std::string> args;
  unsigned given = 0;
  std::string lib, settings_file, api_key, fake, api_root;
  double timeout = 60, connect_timeout = 10;
  size_t max_body = size_t{64} << 20;
  int season = 0, episode = 0;
  bool help = false, version = false;
  bool shortcut = false; // tavro LINK
};

int run_demo_command(Parsed &);
int run_validate(Parsed &);
int run_ls(Parsed &);
int run_stream(Parsed &);
int run_add(Parsed &);
int run_episode(Parsed &);
int run_magnet(Parsed &);
int run_torrent(Parsed &);
int run_redact(Parsed &);

const CommandSpec kCommands[] = {
    {"demo", "", "walk through every operation on a built-in demo account",
     "Selects the library's fake transport, fills it with a demo account (no network,\n"
     "no account needed), allows writes and runs each operation in turn: validate,\n"
     "the three listings, a stream URL, four kinds of add and two failures. Each step\n"
     "runs the same as `tavro --fake cli/demo.json COMMAND`.\n",
     0, 0, kAlways | kJson, run_demo_command},
    {"validate", "", "check the account with one request",
     "On a terminal says whether the account works, its client name and, as the\n"
     "service tells, the user name and whether it is premium. Otherwise (or with\n"
     "--json) prints {\"ClientId\":...,\"RuntimeType\":\"ALLDEBRID\",\"ID\":...}.\n",
     0, 0, kAlways | kJson | kAccount, run_validate},
    {"ls", "[FOLDER]", "list the root, \"torrents\", or one magnet's files (\"m<id>\")",
     "FOLDER is torrents (the account's magnets), m<id> (the files of one magnet),\n"
     "or m<id>/PATH (the files of the magnet under PATH); without it, the root.\n"
     "On a terminal the listing is a table whose PATH column `tavro stream` takes\n"
     "as printed; otherwise (or with --json) it is the library's JSON array.\n",
     0, 1, kAlways | kJson | kAccount, run_ls},
    {"stream", "WHAT", "resolve a listed file into a direct URL",
     "WHAT is any of:\n"
     "  a file's service link           https://...\n"
     "  a listing entry                 a JSON object, as `tavro ls --json` prints it\n"
     "  a path as `tavro ls` shows it   m101/Show/Season 1/Show.S01E01.mkv\n"
     "  a magnet, or a folder in it     m101, m101/Show: the file a download would\n"
     "                                  pick (the largest, or with --season N\n"
     "                                  --episode N that episode)\n"
     "  -                               any of these (or a listing) on standard input\n"
     "A path left unquoted is taken whole: its words are joined with single blanks.\n"
     "On a terminal prints the file's name, size and URL; otherwise (or with --json)\n"
     "{\"url\":...,\"name\":...,\"size\":...}; with --url the URL alone:\n"
     "  mpv \"$(tavro stream --url m101 --season 1 --episode 2)\"\n",
     1, -1, kAlways | kJson | kAccount | kUrl | kSeason | kEpisode, run_stream},
    {"add", "LINK", "add a magnet, a link answering with one, a torrent link or file",
     "LINK is a magnet link, a web link (answering with a magnet or a torrent\n"
     "file), or a local torrent file (a path, or a file:// URL), uploaded whole.\n"
     "Changes the account, so it is refused unless --allow-writes is given.\n"
     "When the service holds the content already, the result carries a direct\n"
     "URL (InstantURL) for the largest file, or with --full-season --season N\n"
     "--episode N for that episode; --url prints only that URL.\n"
     "Exit status 1 when add did less than asked: with --keep-instant-only the\n"
     "service did not hold it (deleted again); the pack holds no such episode; or\n"
     "with --url there is no direct URL yet.\n",
     1, 1,
     kAlways | kJson | kAccount | kUrl | kAllowWrites | kSeason | kEpisode | kFullSeason |
         kKeepInstantOnly,
     run_add},
    {"episode", "NAME...", "recognise the season and episode in file names",
     "Exit status 0 when every NAME yields a pair, 1 otherwise.\n", 1, -1, kAlways | kJson,
     run_episode},
    {"magnet", "TEXT", "tell whether TEXT is a magnet link the service takes",
     "Exit status 0 for a magnet link, 1 otherwise.\n", 1, 1, kAlways | kJson, run_magnet},
    {"torrent", "FILE", "tell whether FILE (- for standard input) is a torrent file",
     "Exit status 0 for a torrent file, 1 otherwise.\n", 1, 1, kAlways | kJson, run_torrent},
    {"redact", "[TEXT...]", "print TEXT with URL user-info and apikey values removed",
     "Without TEXT, redacts standard input line by line. Each result is cut to\n"
     "2047 characters.\n",
     0, -1, kAlways, run_redact},
};

const CommandSpec &command_named(const char *name) {
  for (const auto &c : kCommands)
    if (std::strcmp(c.name, name) == 0) return c;
  std::abort();
}

// The exit statuses: the host's own, and between them one per result code
// of the library, named and explained as tavro.h does.
void print_exit_statuses(std::FILE *out) {
  std::fprintf(out,
               "Exit status:\n"
               "  %-4d%s\n"
               "  %-4d%s\n"
               "  %-4d%s\n",
               kExitOk, "done (for episode, magnet, torrent: yes)", kExitNo,
               "no (episode, magnet, torrent), or add did less than asked: not held\n"
               "      (deleted again with --keep-instant-only), no such episode in the pack,\n"
               "      or no direct URL yet with --url",
               kExitUsage,
               "usage: a bad command line, argument or settings file, found before any\n"
               "      request was sent");
#define TAVRO_CLI_EXIT(value, name, meaning)                                                       \
  if ((value) != TAVRO_OK) std::fprintf(out, "  %-4d%-21s%s\n", exit_for(value), #name, meaning);
  TAVRO_RESULT_CODES(TAVRO_CLI_EXIT)
#undef TAVRO_CLI_EXIT
  std::fprintf(out, "  %-4d%s\n", kExitHost,
               "tavro itself failed: the library, a file, a scenario, the transport,\n"
               "      writing standard output");
}

// One row of a help table: the left column, then text wrapped to 80
// columns beside it (below it when the left column is too wide).
void print_row(std::FILE *out, const std::string &left, const std::string &text) {
  constexpr size_t kLeft = 24, kWidth = 80 - 2 - kLeft - 1;
  std::vector<std::string> lines{""};
  std::istringstream words(text);
  for (std::string w; words >> w;) {
    if (!lines.back().empty() && lines.back().size() + 1 + w.size() > kWidth) lines.emplace_back();
    lines.back() += (lines.back().empty() ? "" : " ") + w;
  }
  if (left.size() > kLeft) {
    std::fprintf(out, "  %s\n", left.c_str());
    for (const auto &l : lines)
      std::fprintf(out, "  %-*s %s\n", static_cast<int>(kLeft), "", l.c_str());
    return;
  }
  for (size_t i = 0; i < lines.size(); ++i)
    std::fprintf(out, "  %-*s %s\n", static_cast<int>(kLeft), i ? "" : left.c_str(),
                 lines[i].c_str());
}

// Text wrapped to 80 columns.
void print_wrapped(std::FILE *out, const std::string &text) {
  std::string line;
  std::istringstream words(text);
  for (std::string w; words >> w;) {
    if (!line.empty() && line.size() + 1 + w.size() > 79) {
      std::fprintf(out, "%s\n", line.c_str());
      line.clear();
    }
    line += (line.empty() ? "" : " ") + w;
  }
  if (!line.empty()) std::fprintf(out, "%s\n", line.c_str());
}

void print_option(std::FILE *out, const OptionSpec &o) {
  std::string left = o.short_name ? std::string("-") + o.short_name + ", " : "    ";
  left += o.name;
  if (o.value) left += std::string(" ") + o.value;
  print_row(out, left, o.help);
}

void print_general_help(std::FILE *out) {
  std::fprintf(out, "usage: tavro [OPTIONS] COMMAND [ARGS]\n"
                    "       tavro [OPTIONS] LINK\n\n"
                    "Drives the tavro library (an AllDebrid account handler) from the shell.\n\n"
                    "Commands:\n");
  for (const auto &c : kCommands)
    print_row(out, std::string(c.name) + (c.args[0] ? " " : "") + c.args, c.summary);
  print_row(out, "LINK",
            "a service link or a path from `tavro ls`: print its direct URL; a magnet or a "
            "torrent link or file: add it (with --allow-writes) and print the direct URL: "
            "mpv \"$(tavro LINK)\"");
  std::fprintf(out, "\nGlobal options:\n");
  for (const auto &o : kOptions)
    if (o.global) print_option(out, o);
  std::fprintf(out, "Each command's own options: tavro COMMAND --help.\n");
  std::string file = default_settings_path();
  std::fprintf(out,
               "\nThe account: set TAVRO_API_KEY, or write {\"APIKey\":\"...\"} to the settings\n"
               "file %s\n"
               "(readable by you only). --settings FILE reads another settings file; --api-key\n"
               "KEY takes the key itself, but other users can see a command line, so prefer the\n"
               "environment or the file. --settings or --api-key come first, then\n"
               "TAVRO_API_KEY, then the file. With --fake: the scenario's \"settings\", else a\n"
               "placeholder key.\n\n",
               file.empty() ? "$XDG_CONFIG_HOME/tavro/settings.json, else "
                              "~/.config/tavro/settings.json"
                            : file.c_str());
  print_exit_statuses(out);
}

void print_command_help(std::FILE *out, const CommandSpec &c) {
  std::string summary = c.summary;
  summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
  std::fprintf(out, "usage: tavro %s [OPTIONS]%s%s\n\n%s.\n\n%s", c.name, c.args[0] ? " " : "",
               c.args, summary.c_str(), c.details);
  bool any = false;
  for (const auto &o : kOptions)
    if (!o.global && (c.options & o.bit)) {
      if (!any) std::fprintf(out, "\nOptions:\n");
      any = true;
      print_option(out, o);
    }
  std::string globals;
  for (const auto &o : kOptions)
    if (o.global && (c.options & o.bit) && o.bit != kHelp && o.bit != kVersion)
      globals += std::string(globals.empty() ? "" : ", ") + o.name;
  std::fprintf(out, "\n");
  print_wrapped(out, "Global options that apply (see tavro --help): " + globals + ".");
}

int usage_error(const CommandSpec *c, const std::string &message) {
  // What the user typed is in it, shown as the tables show text.
  std::fprintf(stderr, "tavro: %s\n", terminal_text(message).c_str());
  if (c)
    std::fprintf(stderr, "usage: tavro %s [OPTIONS]%s%s; see tavro %s --help\n", c->name,
                 c->args[0] ? " " : "", c->args, c->name);
  else
    std::fprintf(stderr, "usage: tavro [OPTIONS] COMMAND [ARGS]; see tavro --help\n");
  return kExitUsage;
}

int host_error(const std::string &message) {
  std::fprintf(stderr, "tavro: %s\n", terminal_text(message).c_str());
  return kExitHost;
}

bool parse_seconds(const std::string &text, double &out) {
  char *end = nullptr;
  errno = 0;
  double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end || errno || !(v > 0) || v > 86400) return false;
  out = v;
  return true;
}

bool parse_int(const std::string &text, int &out) {
  char *end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || errno || v < 0 || v > 1000000) return false;
  out = static_cast<int>(v);
  return true;
}

// "65536", "512K", "64M", "1G" (also KB or KiB, in any case, all powers of
// 1024): a size in bytes, at least 1 KiB and at most 4 GiB.
bool parse_size(const std::string &text, size_t &out) {
  char *end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) || errno) return false;
  std::string unit;
  for (const char *u = end; *u; ++u) unit += static_cast<char>(std::toupper(*u));
  unsigned shift = 0;
  if (unit == "K" || unit == "KB" || unit == "KIB")
    shift = 10;
  else if (unit == "M" || unit == "MB" || unit == "MIB")
    shift = 20;
  else if (unit == "G" || unit == "GB" || unit == "GIB")
    shift = 30;
  else if (!unit.empty() && unit != "B")
    return false;
  if (v > (4ull << 30) >> shift) return false;
  v <<= shift;
  if (v < 1024) return false;
  out = static_cast<size_t>(v);
  return true;
}

bool starts_with_ci(const std::string &text, const char *prefix) {
  size_t n = std::strlen(prefix);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

// Whether text is an http or https URL with a host: "" when it is, else
// why not.
std::string web_url_problem(const std::string &text) {
  size_t start = starts_with_ci(text, "http://") ? 7 : starts_with_ci(text, "https://") ? 8 : 0;
  if (!start) return "not an http:// or https:// URL";
  for (unsigned char c : text)
    if (c <= ' ' || c == 0x7F) return "a URL holds no blanks or control characters";
  size_t end = text.find_first_of("/?#", start);
  std::string authority = text.substr(start, end == std::string::npos ? end : end - start);
  if (size_t at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
  std::string host = authority, port;
  if (!host.empty() && host[0] == '[') {
    size_t close = host.find(']');
    if (close == std::string::npos) return "an IPv6 host ends with ]";
    port = host.substr(close + 1);
    host = host.substr(0, close + 1);
    if (!port.empty() && port[0] != ':') return "a bad host";
  } else if (size_t colon = host.find(':'); colon != std::string::npos) {
    port = host.substr(colon);
    host.erase(colon);
  }
  if (host.empty()) return "the URL names no host";
  if (host[0] != '[')
    for (unsigned char c : host)
      if (!std::isalnum(c) && c != '.' && c != '-' && c != '_' && c != '%' && c < 0x80)
        return "the host \"" + host + "\" is not a host name";
  if (!port.empty()) {
    std::string digits = port.substr(1);
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos || std::stoi(digits) > 65535)
      return "the port \"" + digits + "\" is not a port number";
  }
  return "";
}

// "m101" or "m101/Show/Season 1": a magnet of the account, and a path in it.
bool magnet_path(const std::string &text, std::string &magnet, std::string &path) {
  if (text.size() < 2 || text[0] != 'm') return false;
  size_t end = text.find('/');
  std::string digits = text.substr(1, end == std::string::npos ? end : end - 1);
  if (digits.empty() || digits.size() > 18 ||
      digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  magnet = "m" + digits;
  path = end == std::string::npos ? "" : text.substr(end + 1);
  while (!path.empty() && path.back() == '/') path.pop_back();
  return true;
}

// Whether a lone word on the command line is a link for tavro LINK, and for
// which command: "stream", "add", or null.
const char *shortcut_for(const std::string &word) {
  std::string magnet, path;
  if (starts_with_ci(word, "magnet:") || starts_with_ci(word, "file://")) return "add";
  if (starts_with_ci(word, "http://") || starts_with_ci(word, "https://")) {
    std::string p = word.substr(0, word.find_first_of("?#"));
    return p.size() > 8 && starts_with_ci(p.substr(p.size() - 8), ".torrent") ? "add" : "stream";
  }
  if (magnet_path(word, magnet, path)) return "stream";
  struct stat st {};
  bool torrent_name = word.size() > 8 && starts_with_ci(word.substr(word.size() - 8), ".torrent");
  if ((word.find('/') != std::string::npos || torrent_name) && stat(word.c_str(), &st) == 0 &&
      S_ISREG(st.st_mode))
    return "add";
  return nullptr;
}

// The closest command name to a mistyped one, or null when none is close.
const char *closest_command(const std::string &word) {
  const char *best = nullptr;
  size_t best_d = 3;
  for (const auto &c : kCommands) {
    size_t d = edit_distance(word, c.name);
    bool prefix = word.size() >= 2 && std::string(c.name).rfind(word, 0) == 0;
    if (prefix) d = 1;
    if (d < best_d || (d == best_d && best && std::strlen(c.name) < std::strlen(best))) {
      best = c.name;
      best_d = d;
    }
  }
  return best_d <= (word.size() <= 3 ? 1u : 2u) ? best : nullptr;
}

const OptionSpec *option_named(const std::string &name) {
  for (const auto &o : kOptions)
    if (name == o.name || (o.short_name && name == std::string("-") + o.short_name)) return &o;
  return nullptr;
}

// Reads argv into p; returns -1 when the command may run, else the exit status.
int parse(int argc, char **argv, Parsed &p) {
  std::vector<std::pair<const OptionSpec *, std::string>> options;
  std::vector<std::string> positional;
  bool only_args = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (only_args || a.size() < 2 || a[0] != '-') {
      positional.push_back(a);
      continue;
    }
    if (a == "--") {
      only_args = true;
      continue;
    }
    if (a[1] != '-') {
      // Short options, alone or bundled: -v, -vh.
      for (size_t k = 1; k < a.size(); ++k) {
        const OptionSpec *spec = option_named(std::string("-") + a[k]);
        if (!spec) return usage_error(nullptr, std::string("unknown option: -") + a[k]);
        options.emplace_back(spec, "");
      }
      continue;
    }
    std::string name = a, value;
    bool has_value = false;
    if (size_t eq = a.find('='); eq != std::string::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
      has_value = true;
    }
    const OptionSpec *spec = option_named(name);
    if (!spec) return usage_error(nullptr, "unknown option: " + name);
    if (spec->value && !has_value) {
      if (i + 1 >= argc) return usage_error(nullptr, name + " needs " + spec->value);
      value = argv[++i];
    } else if (!spec->value && has_value) {
      return usage_error(nullptr, name + " takes no value");
    }
    options.emplace_back(spec, value);
  }
  for (const auto &[o, v] : options) {
    if (o->bit == kLib) p.lib = v;
    if (o->bit == kHelp) p.help = true;
    if (o->bit == kVersion) p.version = true;
  }
  // The first word is the command ("help COMMAND" asks for its help), or a
  // link standing alone.
  size_t k = 0;
  if (k < positional.size() && positional[k] == "help") {
    p.help = true;
    ++k;
  }
  if (k < positional.size()) {
    for (const auto &c : kCommands)
      if (positional[k] == c.name) p.command = &c;
    if (p.command) {
      ++k;
    } else if (const char *to = shortcut_for(positional[k]);
               to && !p.help &&
               (positional.size() == k + 1 ||
                (std::strcmp(to, "stream") == 0 && positional[k].find('/') != std::string::npos))) {
      // A path of a magnet may come in words: stream joins them.
      p.command = &command_named(to);
      p.shortcut = true;
    } else {
      std::string message = "unknown command: " + positional[k];
      if (const char *near = closest_command(positional[k]))
        message += std::string(" (did you mean ") + near + "?)";
      return usage_error(nullptr, message);
    }
  }
  p.args.assign(positional.begin() + static_cast<long>(k), positional.end());
  if (p.help || p.version) return -1;
  if (!p.command) return usage_error(nullptr, "no command given");
  const CommandSpec &c = *p.command;
  if (p.shortcut) p.given |= kUrl;
  for (const auto &[o, v] : options) {
    if (!(c.options & o->bit))
      return usage_error(&c, std::string(o->name) + " does not apply to " + c.name);
    p.given |= o->bit;
    switch (o->bit) {
    case kSettings:
      p.settings_file = v;
      break;
    case kApiKey:
      if (v.find_first_not_of(" \t\r\n") == std::string::npos)
        return usage_error(&c, "--api-key is empty");
      p.api_key = v;
      break;
    case kFake:
      p.fake = v;
      break;
    case kApiRoot:
      if (std::string why = web_url_problem(v); !why.empty())
        return usage_error(&c, "--api-root " + v + ": " + why);
      p.api_root = v;
      break;
    case kTimeout:
      if (!parse_seconds(v, p.timeout)) return usage_error(&c, "--timeout needs seconds, not " + v);
      break;
    case kConnectTimeout:
      if (!parse_seconds(v, p.connect_timeout))
        return usage_error(&c, "--connect-timeout needs seconds, not " + v);
      break;
    case kMaxBody:
      if (!parse_size(v, p.max_body))
        return usage_error(&c, "--max-body needs a size from 1K to 4G, not " + v);
      break;
    case kSeason:
      if (!parse_int(v, p.season)) return usage_error(&c, "--season needs a number, not " + v);
      break;
    case kEpisode:
      if (!parse_int(v, p.episode) || p.episode == 0)
        return usage_error(&c, "--episode needs a number from 1, not " + v);
      break;
    default:
      break;
    }
  }
  int n = static_cast<int>(p.args.size());
  if (n < c.min_args) return usage_error(&c, std::string(c.name) + " needs " + c.args);
  if (c.max_args >= 0 && n > c.max_args)
    return usage_error(&c, "too many arguments for " + std::string(c.name));
  bool picks = p.given & (kSeason | kEpisode);
  if (picks && c.run == run_add && !(p.given & kFullSeason))
    return usage_error(&c, "--season and --episode pick an episode of a season pack: add "
                           "--full-season");
  if ((p.given & kFullSeason) && !(p.given & kEpisode))
    return usage_error(&c, "--full-season picks the episode of --season N --episode N: give "
                           "them");
  if (picks && (p.given & (kSeason | kEpisode)) != (kSeason | kEpisode))
    return usage_error(&c, "--season and --episode go together");
  if ((p.given & kFake) && (p.given & kApiRoot))
    return usage_error(&c, "--api-root applies to the network, not to --fake");
  if ((p.given & kSettings) && (p.given & kApiKey))
    return usage_error(&c, "--settings and --api-key both name the account: give one");
  return -1;
}

// ---- Running -------------------------------------------------------------

// What a command has to work with, set up in main.
struct Session {
  Library lib;
  Style style;
  std::string settings;
  std::optional<CurlGlobal> curl;
  std::unique_ptr<CurlTransport> transport;
  std::optional<Scenario> scenario;
  bool fake = false;
  bool verbose = false;

  // A local torrent file given to add, and the file:// URL it goes by.
  std::string local_file, local_url;

  ~Session() {
    if (lib.handle && transport) lib.tavro_set_transport(nullptr);
  }
};

Session g;

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

// The settings of a file, its warnings said; -1 when usable, else the
// exit status.
int settings_from(const std::string &path) {
  SettingsFile f = read_settings_file(path);
  for (const auto &w : f.warnings) std::fprintf(stderr, "tavro: %s\n", w.c_str());
  if (f.status >= 0) {
    std::fprintf(stderr, "tavro: %s\n", f.message.c_str());
    return f.status;
  }
  g.settings = f.text;
  return -1;
}

// Settings and transport for the four operations; -1 when ready, else the
// exit status.
int open_account(const Parsed &p) {
  std::string error;
  if (p.given & kFake) {
    std::string text;
    g.scenario.emplace();
    if (!read_file(p.fake, text, error) || !parse_scenario(text, *g.scenario, error))
      return host_error(p.fake + ": " + error);
  }
  if (p.given & kSettings) {
    if (int rc = settings_from(p.settings_file); rc >= 0) return rc;
  } else if (p.given & kApiKey) {
    g.settings = settings_for_key(p.api_key);
  } else if (g.scenario) {
    g.settings = g.scenario->settings.value_or(settings_for_key("fake-key"));
  } else if (const char *env = std::getenv("TAVRO_API_KEY"); env && *env) {
    g.settings = settings_for_key(env);
  } else if (std::string file = default_settings_path();
             !file.empty() && access(file.c_str(), F_OK) == 0) {
    if (int rc = settings_from(file); rc >= 0) return rc;
  } else {
    return usage_error(p.command,
                       "no account: set TAVRO_API_KEY, write {\"APIKey\":\"...\"} to " +
                           (file.empty() ? std::string("~/.config/tavro/settings.json") : file) +
                           ", or give --settings FILE");
  }
  g.verbose = p.given & kVerbose;
  if (g.scenario) {
    // The scenario answers for its own account: another key is another
    // account, which the fake transport does not know (or refuses).
    std::string key = api_key_of(g.scenario->settings.value_or(g.settings));
    if (!install_scenario(g.lib, *g.scenario, key, error)) return host_error(p.fake + ": " + error);
    g.lib.tavro_use_fake();
    g.fake = true;
    return -1;
  }
  g.curl.emplace();
  if (!g.curl->ok()) return host_error("libcurl cannot be initialised");
  CurlOptions o;
  o.api_root = g.lib.tavro_base_url();
  o.api_root_to = p.api_root;
  o.timeout_ms = static_cast<long>(p.timeout * 1000);
  o.connect_timeout_ms = static_cast<long>(p.connect_timeout * 1000);
  o.max_body = p.max_body;
  o.verbose = g.verbose;
  o.redact = g.lib.tavro_redact;
  o.user_agent = std::string("tavro/") + g.lib.tavro_version();
  o.local_url = g.local_url;
  o.local_file = g.local_file;
  g.transport = std::make_unique<CurlTransport>(o);
  // The byte transport: whole torrents, and the key in a header.
  tavro_transport table = g.transport->bytes_table();
  if (g.lib.tavro_set_transport(&table) != TAVRO_OK)
    return host_error("the library refused the transport");
  return -1;
}

// The library quotes URLs as it built them, on its own API root; the
// message names the server the request went to instead.
std::string with_servers(const std::string &message) {
  if (!g.transport) return message;
  std::string root = g.lib.tavro_base_url();
  std::string origin = root.substr(0, root.find('/', root.find("://") + 3) + 1);
  std::string out;
  size_t at = 0;
  for (size_t i; (i = message.find(origin, at)) != std::string::npos;) {
    size_t end = message.find_first_of(" \t", i);
    if (end == std::string::npos) end = message.size();
    std::string url = message.substr(i, end - i);
    std::string tail;
    while (!url.empty() && (url.back() == ':' || url.back() == ',')) {
      tail.insert(tail.begin(), url.back());
      url.pop_back();
    }
    out += message.substr(at, i - at) + g.transport->target(url) + tail;
    at = end;
  }
  out += message.substr(at);
  if (out.find("://") == std::string::npos && out.find(" answered HTTP ") != std::string::npos) {
    std::string server = g.transport->target(root);
    out += " (" + server.substr(0, server.find('/', server.find("://") + 3)) + ")";
  }
  // The library judged the body of a web link; its status tells more.
  std::string url;
  int32_t status = g.transport->last_web_status(&url);
  if (out.find("Link is not a magnet") != std::string::npos && status &&
      (status < 200 || status > 299))
    out += ": GET " + url + " answered HTTP " + std::to_string(status);
  return out;
}

// Reports a failed operation; returns its exit status.
int failed(const Outcome &o) {
  std::string message = o.message.empty() ? code_name(o.code) : with_servers(o.message);
  if (g.fake && message.find(" answered HTTP 404") != std::string::npos)
    message += " (the fake transport holds no answer for it)";
  // The service's own words are in it: never raw control characters.
  std::fprintf(stderr, "tavro: %s\n", terminal_text(message).c_str());
  return exit_for(o.code);
}

void after_fake_call() {
  if (g.fake && g.verbose)
    std::fprintf(stderr, "tavro: the fake transport answered %d requests; the last was %s\n",
                 g.lib.tavro_fake_calls(nullptr, nullptr),
                 g.lib.tavro_redact(g.lib.tavro_fake_last_url()));
}

// Text for standard output: escaped when it goes to a terminal.
std::string for_stdout(const std::string &text) {
  return g.style.table ? terminal_text(text) : text;
}

int run_demo_command(Parsed &) {
  return run_demo(g.lib, g.style);
}

// The service's account answer as the transport saw it, or as the scenario
// holds it.
std::string account_answer() {
  if (g.transport) return g.transport->account_answer();
  if (g.scenario)
    for (const auto &a : g.scenario->answers)
      if (a.path == "/user" && a.version.empty()) return a.body;
  return "";
}

int run_validate(Parsed &p) {
  if (int rc = open_account(p); rc >= 0) return rc;
  Outcome o = do_validate(g.lib, g.settings);
  after_fake_call();
  if (o.code != TAVRO_OK) return failed(o);
  if (g.style.table)
    std::fputs(
        validate_lines(o.result, account_answer(), string_member(g.settings, "ID").has_value())
            .c_str(),
        stdout);
  else
    print_document(stdout, g.style, o.result);
  return kExitOk;
}

// A folder as the library names it; -1 when the folder is one, else the
// exit status of a usage error.
int check_folder(const Parsed &p, std::string &magnet, std::string &path) {
  magnet.clear();
  path.clear();
  if (p.args.empty() || p.args[0].empty() || p.args[0] == "torrents") return -1;
  if (magnet_path(p.args[0], magnet, path)) return -1;
  std::string hint;
  if (magnet_path("m" + p.args[0], magnet, path)) hint = "; did you mean m" + p.args[0] + "?";
  return usage_error(p.command, "no such folder: " + terminal_text(p.args[0]) +
                                    " (folders are torrents, m<id> and m<id>/PATH, as "
                                    "`tavro ls torrents` lists them" +
                                    hint + ")");
}

// The files of a magnet at path: the file itself, those under the folder,
// or the one file whose path ends with it.
std::vector<const Entry *> files_at(const std::vector<Entry> &entries, const std::string &path) {
  std::vector<const Entry *> exact, under, ending;
  for (const auto &e : entries) {
    if (path.empty() || e.path.rfind(path + "/", 0) == 0) under.push_back(&e);
    if (e.path == path) exact.push_back(&e);
    if (e.path.size() > path.size() &&
        e.path.compare(e.path.size() - path.size(), path.size(), path) == 0 &&
        e.path[e.path.size() - path.size() - 1] == '/')
      ending.push_back(&e);
  }
  if (!exact.empty()) return exact;
  if (!under.empty()) return under;
  return ending.size() == 1 ? ending : std::vector<const Entry *>{};
}

int run_ls(Parsed &p) {
  std::string magnet, path;
  if (int rc = check_folder(p, magnet, path); rc >= 0) return rc;
  if (int rc = open_account(p); rc >= 0) return rc;
  std::string folder = magnet.empty() && !p.args.empty() ? p.args[0] : magnet;
  Outcome o = do_list(g.lib, g.settings, folder.empty() ? nullptr : folder.c_str());
  after_fake_call();
  if (o.code != TAVRO_OK) return failed(o);
  std::string listing = o.result;
  if (!path.empty()) {
    std::vector<Entry> entries;
    listing_entries(o.result, entries);
    std::vector<const Entry *> found = files_at(entries, path);
    if (found.empty()) {
      std::fprintf(stderr, "tavro: no such file or folder in %s: %s\n", magnet.c_str(),
                   terminal_text(path).c_str());
      return exit_for(TAVRO_E_NOT_FOUND);
    }
    listing = listing_json(found);
  }
  print_listing(stdout, g.style, listing, folder);
  return kExitOk;
}

// What stream was given, sorted out before any request.
struct StreamInput {
  std::string entry;        // a listing entry (JSON object) to unlock, or
  std::string magnet, path; // a path to resolve through the magnet's listing, or
  std::string listing;      // a listing to pick from
};

int stream_input(const Parsed &p, const std::string &given, StreamInput &in) {
  const CommandSpec *c = p.command;
  size_t b = given.find_first_not_of(" \t\r\n");
  size_t e = given.find_last_not_of(" \t\r\n");
  std::string text = b == std::string::npos ? "" : given.substr(b, e - b + 1);
  if (text.empty())
    return usage_error(c, given == p.args[0] ? "stream: the argument is empty"
                                             : "stream: standard input is empty");
  if (text[0] == '{' || text[0] == '[') {
    std::vector<Entry> entries;
    if (text[0] == '[') {
      if (!listing_entries(text, entries))
        return usage_error(c, "stream: not a JSON listing: " + terminal_text(text.substr(0, 60)));
      in.listing = text;
      return -1;
    }
    if (!listing_entries("[" + text + "]", entries) || entries.size() != 1)
      return usage_error(c,
                         "stream: not a JSON listing entry: " + terminal_text(text.substr(0, 60)));
    if (entries[0].link.empty() && entries[0].path.empty())
      return usage_error(c, "stream: the entry has no \"locator\", \"link\" or \"path\"");
    // A magnet's entry from `tavro ls torrents`: its files are listed.
    if (entries[0].folder && magnet_path(entries[0].path, in.magnet, in.path) && in.path.empty())
      return -1;
    in.entry = text;
    return -1;
  }
  if (magnet_path(text, in.magnet, in.path)) return -1;
  if (starts_with_ci(text, "http://") || starts_with_ci(text, "https://")) {
    if (std::string why = web_url_problem(text); !why.empty())
      return usage_error(c, "stream: " + terminal_text(text) + ": " + why);
    in.entry = JsonObject().str("link", text).text();
    return -1;
  }
  return usage_error(c, "stream: " + terminal_text(text) +
                            " is not a service link, a listing entry or a path as `tavro ls "
                            "m<id>` shows it");
}

int run_stream(Parsed &p) {
  std::string given = p.args[0], magnet, path;
  if (p.args.size() > 1) {
    // m101/Show/Season 1/E01.mkv typed without quotes: one path.
    if (!magnet_path(given, magnet, path))
      return usage_error(p.command, "too many arguments for stream");
    for (size_t i = 1; i < p.args.size(); ++i) given += " " + p.args[i];
  }
  if (given == "-") {
    std::string error;
    if (!read_file("-", given, error)) return host_error(error);
  }
  StreamInput in;
  if (int rc = stream_input(p, given, in); rc >= 0) return rc;
  if ((p.given & kEpisode) && !in.entry.empty())
    return usage_error(p.command, "--season and --episode pick among the files of a magnet (m<id>) "
                                  "or a listing, not one file");
  if (int rc = open_account(p); rc >= 0) return rc;
  std::string entry = in.entry;
  if (entry.empty()) {
    std::string listing = in.listing;
    std::string where = "the listing";
    if (listing.empty()) {
      Outcome o = do_list(g.lib, g.settings, in.magnet.c_str());
      after_fake_call();
      if (o.code != TAVRO_OK) return failed(o);
      listing = o.result;
      where = in.magnet + (in.path.empty() ? "" : "/" + in.path);
    }
    std::vector<Entry> entries;
    listing_entries(listing, entries);
    std::vector<const Entry *> files = files_at(entries, in.path);
    const Entry *chosen = files.size() == 1 && !(p.given & kEpisode)
                              ? files[0]
                              : pick_file(g.lib, files, p.season, p.episode);
    if (!chosen) {
      char se[64] = "";
      if (p.given & kEpisode) std::snprintf(se, sizeof se, " for S%02dE%02d", p.season, p.episode);
      std::fprintf(stderr, "tavro: no such file in %s%s\n", terminal_text(where).c_str(), se);
      return exit_for(TAVRO_E_NOT_FOUND);
    }
    if (chosen->folder) {
      std::fprintf(stderr, "tavro: %s is a folder, not a file\n",
                   terminal_text(chosen->path).c_str());
      return exit_for(TAVRO_E_NOT_FOUND);
    }
    entry = chosen->json;
  }
  Outcome o = do_stream(g.lib, g.settings, entry);
  after_fake_call();
  if (o.code != TAVRO_OK) {
    int rc = failed(o);
    // tavro LINK took a web link for a file's link; it may be one to add.
    if (p.shortcut && o.code == TAVRO_E_NOT_FOUND && in.entry == entry && in.listing.empty())
      std::fprintf(stderr, "tavro: (a web link answering with a magnet or a torrent is added "
                           "with: tavro add --allow-writes LINK)\n");
    return rc;
  }
  if (p.given & kUrl) {
    std::optional<std::string> url = string_member(o.result, "url");
    if (!url) return host_error("the result has no url: " + o.result);
    std::printf("%s\n", for_stdout(*url).c_str());
  } else if (g.style.table) {
    std::fputs(stream_lines(o.result).c_str(), stdout);
  } else {
    print_document(stdout, g.style, o.result);
  }
  return kExitOk;
}

// A link that names a local file: a file:// URL, or anything without a
// scheme that is not a magnet. The file is given to the library as the
// file:// URL of its absolute path, which the transport answers by reading
// it. -1 when the link is no local file or is ready, else the exit status.
int local_link(const Parsed &p, const std::string &link, std::string &as_link) {
  as_link = link;
  std::string path;
  if (starts_with_ci(link, "file://")) {
    path = link.substr(7);
  } else if (link.find("://") != std::string::npos || starts_with_ci(link, "magnet:")) {
    return -1;
  } else {
    path = link;
  }
  const char *hint = " (give a magnet link, a web link or a torrent file)";
  if (path.empty()) return usage_error(p.command, "add: the link is empty");
  char *full = realpath(path.c_str(), nullptr);
  if (!full)
    return usage_error(p.command,
                       "add: " + terminal_text(path) + ": " + std::strerror(errno) + hint);
  std::string file = full;
  std::free(full);
  struct stat st {};
  if (stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return usage_error(p.command, "add: " + terminal_text(path) + " is not a file" + hint);
  if (static_cast<unsigned long long>(st.st_size) > p.max_body)
    return usage_error(p.command,
                       "add: " + terminal_text(path) + " is larger than --max-body allows");
  std::string data, error;
  if (!read_file(file, data, error)) return host_error(error);
  if (g.lib.tavro_is_torrent_file(data.data(), data.size()) != 1)
    return usage_error(p.command, "add: " + terminal_text(path) + " is not a torrent file" + hint);
  g.local_file = file;
  g.local_url = "file://" + g.local_file;
  as_link = g.local_url;
  return -1;
}

// Checks a link for add before any request; -1 when it may be sent.
int check_add_link(const Parsed &p, const std::string &link) {
  if (link.empty()) return usage_error(p.command, "add: the link is empty");
  if (starts_with_ci(link, "magnet:")) {
    if (g.lib.tavro_is_magnet_link(link.c_str()) != 1)
      return usage_error(p.command, "add: " + terminal_text(link) +
                                        " is not a magnet link the service takes (it needs "
                                        "xt=urn:btih: and a 40-hex or 32-base32 hash)");
    return -1;
  }
  if (starts_with_ci(link, "http://") || starts_with_ci(link, "https://")) {
    if (std::string why = web_url_problem(link); !why.empty())
      return usage_error(p.command, "add: " + terminal_text(link) + ": " + why);
  }
  return -1;
}

int run_add(Parsed &p) {
  if (int rc = check_add_link(p, p.args[0]); rc >= 0) return rc;
  std::string link;
  if (int rc = local_link(p, p.args[0], link); rc >= 0) return rc;
  if (!(p.given & kAllowWrites)) {
    std::fprintf(stderr, "tavro: add changes the account; pass --allow-writes to let it\n");
    return exit_for(TAVRO_E_WRITES_OFF);
  }
  if (int rc = open_account(p); rc >= 0) return rc;
  JsonObject request;
  request.str("Link", link);
  if (p.given & kFullSeason) request.flag("FullSeason", true);
  if (p.given & kSeason) request.num("Season", p.season);
  if (p.given & kEpisode) request.num("Episode", p.episode);
  if (p.given & kKeepInstantOnly) request.flag("KeepInstantOnly", true);
  g.lib.tavro_allow_writes(1);
  Outcome o = do_download(g.lib, g.settings, request.text());
  after_fake_call();
  if (o.code != TAVRO_OK) return failed(o);
  std::optional<std::string> url = string_member(o.result, "InstantURL");
  // What was asked and not done: said on standard error, exit status 1.
  std::string less;
  if (!url) {
    std::optional<int64_t> id = int_member(o.result, "id");
    std::string mid = id ? "m" + std::to_string(*id) : "a magnet";
    if (flag_member(o.result, "ready") && (p.given & kFullSeason)) {
      char se[64];
      std::snprintf(se, sizeof se, "S%02dE%02d", p.season, p.episode);
      less = std::string("added, but the pack holds no ") + se + " (it stays on the account as " +
             mid + ")";
    } else if (p.given & kKeepInstantOnly) {
      less = "the service does not hold it yet, so " + mid +
             " was deleted again (--keep-instant-only)";
    } else if (p.given & kUrl) {
      less = "added as " + mid + ", but the service does not hold it yet: no direct URL";
    }
  }
  if (p.given & kUrl) {
    if (url) std::printf("%s\n", for_stdout(*url).c_str());
  } else if (g.style.table) {
    // Deleted again: nothing of it to show but what standard error says.
    if (!(p.given & kKeepInstantOnly) || url) std::fputs(add_lines(o.result).c_str(), stdout);
  } else {
    print_document(stdout, g.style, o.result);
  }
  if (!less.empty()) {
    std::fprintf(stderr, "tavro: %s\n", less.c_str());
    return kExitNo;
  }
  return kExitOk;
}

int run_episode(Parsed &p) {
  bool all = true;
  std::string json = "[";
  for (const auto &name : p.args) {
    int season = 0, episode = 0;
    bool found = g.lib.tavro_parse_season_episode(name.c_str(), &season, &episode) == 1;
    all = all && found;
    JsonObject o;
    o.str("name", name);
    if (found)
      o.num("season", season).num("episode", episode);
    else
      o.null("season").null("episode");
    if (json.size() > 1) json += ",";
    json += o.text();
    if (g.style.table) {
      char se[32] = "-";
      if (found) std::snprintf(se, sizeof se, "S%02dE%02d", season, episode);
      std::printf("%-8s %s\n", se, terminal_text(name).c_str());
    }
  }
  if (!g.style.table) std::printf("%s]\n", json.c_str());
  return all ? kExitOk : kExitNo;
}

int run_magnet(Parsed &p) {
  bool yes = g.lib.tavro_is_magnet_link(p.args[0].c_str()) == 1;
  if (g.style.table)
    std::printf("%s\n", yes ? "a magnet link" : "not a magnet link");
  else
    std::printf("%s\n", JsonObject().str("text", p.args[0]).flag("magnet", yes).text().c_str());
  return yes ? kExitOk : kExitNo;
}

int run_torrent(Parsed &p) {
  std::string data, error;
  if (!read_file(p.args[0], data, error)) return host_error(error);
  bool yes = g.lib.tavro_is_torrent_file(data.data(), data.size()) == 1;
  if (g.style.table)
    std::printf("%s: %s\n", terminal_text(p.args[0]).c_str(),
                yes ? "a torrent file" : "not a torrent file");
  else
    std::printf("%s\n", JsonObject()
                            .str("file", p.args[0])
                            .num("size", static_cast<int64_t>(data.size()))
                            .flag("torrent", yes)
                            .text()
                            .c_str());
  return yes ? kExitOk : kExitNo;
}

int run_redact(Parsed &p) {
  if (!p.args.empty()) {
    for (const auto &a : p.args)
      std::printf("%s\n", for_stdout(g.lib.tavro_redact(a.c_str())).c_str());
    return kExitOk;
  }
  std::string line;
  while (std::getline(std::cin, line))
    std::printf("%s\n", for_stdout(g.lib.tavro_redact(line.c_str())).c_str());
  return kExitOk;
}

// The terminal's width in cells: its window size, else $COLUMNS, else 80.
size_t terminal_columns() {
  struct winsize ws {};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  if (const char *c = std::getenv("COLUMNS"); c && std::atoi(c) > 0)
    return static_cast<size_t>(std::atoi(c));
  return 80;
}

// Standard output, flushed: 0 when everything reached it, else the exit
// status after saying why. A reader that went away (EPIPE) ends tavro as
// it ends other tools, by SIGPIPE.
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

} // namespace

int main(int argc, char **argv) {
  try {
    // A broken connection must not end tavro; a broken standard output is
    // seen when it is flushed.
    std::signal(SIGPIPE, SIG_IGN);
    Parsed p;
    if (int rc = parse(argc, argv, p); rc >= 0) return rc;
    if (p.version) {
      std::string error;
      bool loaded = load_library(p.lib, g.lib, error);
      std::printf("tavro %s (library %s)\n", TAVRO_CLI_VERSION,
                  loaded ? g.lib.tavro_version() : "not loaded");
      return finish_output(kExitOk);
    }
    if (p.help) {
      p.command ? print_command_help(stdout, *p.command) : print_general_help(stdout);
      return finish_output(kExitOk);
    }
    std::string error;
    if (!load_library(p.lib, g.lib, error)) return host_error(error);
    g.style.table = isatty(STDOUT_FILENO) && !(p.given & kJson);
    if (g.style.table) g.style.columns = terminal_columns();
    int rc = p.command->run(p);
    return finish_output(rc);
  } catch (const std::exception &e) {
    return host_error(e.what());
  }
}
