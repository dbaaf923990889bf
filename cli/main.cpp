// tavro, the command-line host of the library: it loads libtavro.so at run
// time, installs a transport (its own libcurl one, or the library's fake one
// filled from a scenario file) and runs one command.
#include "app.h"
#include "curl_io.h"
#include "scenario.h"
#include "texts.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
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
};

struct OptionSpec {
  const char *name;
  char short_name;
  const char *value; // metavariable, or null for a flag
  Option bit;
  const char *help;
};

const OptionSpec kOptions[] = {
    {"--lib", 0, "FILE", kLib,
     "the library to load (default: searched beside tavro, in ../lib*/, then by the loader)"},
    {"--json", 0, nullptr, kJson, "print the library's JSON even on a terminal"},
    {"--verbose", 'v', nullptr, kVerbose, "show every request on standard error (keys redacted)"},
    {"--settings", 0, "FILE", kSettings, "account settings JSON, handed to the library unchanged"},
    {"--api-key", 0, "KEY", kApiKey, "the account's API key (else $TAVRO_API_KEY)"},
    {"--fake", 0, "SCENARIO", kFake,
     "answer from the library's fake transport, filled from a file"},
    {"--api-root", 0, "URL", kApiRoot, "send requests for the service's API root to URL instead"},
    {"--timeout", 0, "SECONDS", kTimeout, "time limit of one request (default 60)"},
    {"--connect-timeout", 0, "SECONDS", kConnectTimeout, "time limit to connect (default 10)"},
    {"--url", 0, nullptr, kUrl, "print only the direct URL"},
    {"--allow-writes", 0, nullptr, kAllowWrites, "let add change the account"},
    {"--season", 0, "N", kSeason, "with --full-season: the season of the episode to pick"},
    {"--episode", 0, "N", kEpisode, "with --full-season: the episode to pick"},
    {"--full-season", 0, nullptr, kFullSeason, "the link is a season pack: pick one episode"},
    {"--keep-instant-only", 0, nullptr, kKeepInstantOnly,
     "delete the magnet again unless the service holds it already"},
};

constexpr unsigned kAccount =
    kSettings | kApiKey | kFake | kApiRoot | kTimeout | kConnectTimeout | kVerbose;

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
  int season = 0, episode = 0;
  bool help = false, version = false;
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
     "the three listings, a stream URL, four kinds of add and one failure.\n",
     0, 0, kLib | kJson, run_demo_command},
    {"validate", "", "check the account with one request",
     "Prints {\"ClientId\":...,\"RuntimeType\":\"ALLDEBRID\",\"ID\":...}.\n", 0, 0,
     kLib | kJson | kAccount, run_validate},
    {"ls", "[FOLDER]", "list the root, \"torrents\", or one magnet's files (\"m<id>\")",
     "Without FOLDER lists the root. On a terminal the listing is a table;\n"
     "otherwise (or with --json) it is the library's JSON array.\n",
     0, 1, kLib | kJson | kAccount, run_ls},
    {"stream", "ENTRY_OR_LINK", "resolve a listed file into a direct URL",
     "ENTRY_OR_LINK is a listing entry (a JSON object, as `tavro ls --json m<id>`\n"
     "prints them) or a file's service link. Prints {\"url\":...,\"name\":...,\"size\":...},\n"
     "or with --url the URL alone: mpv \"$(tavro stream --url LINK)\".\n",
     1, 1, kLib | kJson | kAccount | kUrl, run_stream},
    {"add", "LINK", "add a magnet, a link answering with one, a torrent link or file",
     "LINK is a magnet link, a web link (answering with a magnet or a torrent\n"
     "file), or a local torrent file (a path, or a file:// URL), uploaded whole.\n"
     "Changes the account, so it is refused unless --allow-writes is given.\n"
     "When the service holds the content already, the result carries a direct\n"
     "URL (InstantURL) for the largest file, or with --full-season --season N\n"
     "--episode N for that episode; --url prints only that URL (exit status 1\n"
     "when there is none yet).\n",
     1, 1,
     kLib | kJson | kAccount | kUrl | kAllowWrites | kSeason | kEpisode | kFullSeason |
         kKeepInstantOnly,
     run_add},
    {"episode", "NAME...", "recognise the season and episode in file names",
     "Exit status 0 when every NAME yields a pair, 1 otherwise.\n", 1, -1, kLib | kJson,
     run_episode},
    {"magnet", "TEXT", "tell whether TEXT is a magnet link the service takes",
     "Exit status 0 for a magnet link, 1 otherwise.\n", 1, 1, kLib | kJson, run_magnet},
    {"torrent", "FILE", "tell whether FILE (- for standard input) is a torrent file",
     "Exit status 0 for a torrent file, 1 otherwise.\n", 1, 1, kLib | kJson, run_torrent},
    {"redact", "[TEXT...]", "print TEXT with URL user-info and apikey values removed",
     "Without TEXT, redacts standard input line by line. Each result is cut to\n"
     "2047 characters.\n",
     0, -1, kLib, run_redact},
};

const char *kExitStatuses =
    "Exit status:\n"
    "  0   done (for episode, magnet, torrent: yes)\n"
    "  1   no (episode, magnet, torrent), or add --url without a direct URL\n"
    "  2   usage: unknown command or option, missing or extra argument\n"
    "  3   TAVRO_E_AUTH         the key was refused\n"
    "  4   TAVRO_E_NOT_FOUND    no such folder, link or magnet\n"
    "  5   TAVRO_E_LIMIT        rate, premium or account limits\n"
    "  6   TAVRO_E_TRANSPORT    the request failed, or HTTP 5xx\n"
    "  7   TAVRO_E_FAILED       unexpected answer, or the link cannot be added\n"
    "  8   TAVRO_E_UNAVAILABLE  no built-in transport\n"
    "  9   TAVRO_E_WRITES_OFF   add without --allow-writes\n"
    "  10  TAVRO_E_ARG          bad settings, entry or request\n"
    "  11  TAVRO_E_BUFFER       the result did not fit\n"
    "  12  tavro itself failed: the library, a file, a scenario, the transport\n";

void print_option(std::FILE *out, const OptionSpec &o) {
  std::string left = o.short_name ? std::string("-") + o.short_name + ", " : "    ";
  left += o.name;
  if (o.value) left += std::string(" ") + o.value;
  std::fprintf(out, "  %-30s %s\n", left.c_str(), o.help);
}

void print_general_help(std::FILE *out) {
  std::fprintf(out, "usage: tavro [OPTIONS] COMMAND [ARGS]\n\n"
                    "Drives the tavro library (an AllDebrid account handler) from the shell.\n\n"
                    "Commands:\n");
  for (const auto &c : kCommands) {
    std::string left = std::string(c.name) + (c.args[0] ? " " : "") + c.args;
    std::fprintf(out, "  %-24s %s\n", left.c_str(), c.summary);
  }
  std::fprintf(out, "\nOptions:\n");
  print_option(out, {"--help", 'h', nullptr, kLib, "this text; COMMAND --help for a command's"});
  for (const auto &o : kOptions) print_option(out, o);
  std::fprintf(out,
               "\nThe account comes from --settings, else --api-key, else $TAVRO_API_KEY;\n"
               "with --fake, from the scenario's \"settings\", else a placeholder key.\n\n%s",
               kExitStatuses);
}

void print_command_help(std::FILE *out, const CommandSpec &c) {
  std::string summary = c.summary;
  summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
  std::fprintf(out, "usage: tavro %s%s%s [OPTIONS]\n\n%s.\n\n%s", c.name, c.args[0] ? " " : "",
               c.args, summary.c_str(), c.details);
  std::fprintf(out, "\nOptions:\n");
  for (const auto &o : kOptions)
    if (c.options & o.bit) print_option(out, o);
  std::fprintf(out, "\n%s", kExitStatuses);
}

int usage_error(const CommandSpec *c, const std::string &message) {
  std::fprintf(stderr, "tavro: %s\n", message.c_str());
  if (c)
    std::fprintf(stderr, "usage: tavro %s%s%s [OPTIONS]; see tavro %s --help\n", c->name,
                 c->args[0] ? " " : "", c->args, c->name);
  else
    std::fprintf(stderr, "usage: tavro [OPTIONS] COMMAND [ARGS]; see tavro --help\n");
  return kExitUsage;
}

int host_error(const std::string &message) {
  std::fprintf(stderr, "tavro: %s\n", message.c_str());
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
    if (a == "--help" || a == "-h") {
      p.help = true;
      continue;
    }
    if (a == "--version") {
      p.version = true;
      continue;
    }
    std::string name = a, value;
    bool has_value = false;
    if (size_t eq = a.find('='); a.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
      has_value = true;
    }
    const OptionSpec *spec = nullptr;
    for (const auto &o : kOptions)
      if (name == o.name || (o.short_name && name == std::string("-") + o.short_name)) spec = &o;
    if (!spec) return usage_error(nullptr, "unknown option: " + name);
    if (spec->value && !has_value) {
      if (i + 1 >= argc) return usage_error(nullptr, name + " needs " + spec->value);
      value = argv[++i];
    } else if (!spec->value && has_value) {
      return usage_error(nullptr, name + " takes no value");
    }
    options.emplace_back(spec, value);
  }
  // The first word is the command ("help COMMAND" asks for its help).
  size_t k = 0;
  if (k < positional.size() && positional[k] == "help") {
    p.help = true;
    ++k;
  }
  if (k < positional.size()) {
    for (const auto &c : kCommands)
      if (positional[k] == c.name) p.command = &c;
    if (!p.command) return usage_error(nullptr, "unknown command: " + positional[k]);
    ++k;
  }
  p.args.assign(positional.begin() + static_cast<long>(k), positional.end());
  for (const auto &[o, v] : options)
    if (o->bit == kLib) p.lib = v;
  if (p.help || p.version) return -1;
  if (!p.command) return usage_error(nullptr, "no command given");
  const CommandSpec &c = *p.command;
  for (const auto &[o, v] : options) {
    if (!(c.options & o->bit))
      return usage_error(&c, std::string(o->name) + " does not apply to " + c.name);
    p.given |= o->bit;
    switch (o->bit) {
    case kLib:
      p.lib = v;
      break;
    case kSettings:
      p.settings_file = v;
      break;
    case kApiKey:
      p.api_key = v;
      break;
    case kFake:
      p.fake = v;
      break;
    case kApiRoot:
      p.api_root = v;
      break;
    case kTimeout:
      if (!parse_seconds(v, p.timeout)) return usage_error(&c, "--timeout needs seconds, not " + v);
      break;
    case kConnectTimeout:
      if (!parse_seconds(v, p.connect_timeout))
        return usage_error(&c, "--connect-timeout needs seconds, not " + v);
      break;
    case kSeason:
      if (!parse_int(v, p.season)) return usage_error(&c, "--season needs a number, not " + v);
      break;
    case kEpisode:
      if (!parse_int(v, p.episode)) return usage_error(&c, "--episode needs a number, not " + v);
      break;
    default:
      break;
    }
  }
  int n = static_cast<int>(p.args.size());
  if (n < c.min_args) return usage_error(&c, std::string(c.name) + " needs " + c.args);
  if (c.max_args >= 0 && n > c.max_args)
    return usage_error(&c, "too many arguments for " + std::string(c.name));
  if ((p.given & (kSeason | kEpisode)) && !(p.given & kFullSeason))
    return usage_error(&c, "--season and --episode pick an episode of a season pack: add "
                           "--full-season");
  if ((p.given & kFake) && (p.given & kApiRoot))
    return usage_error(&c, "--api-root applies to the network, not to --fake");
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

// Settings and transport for the four operations; -1 when ready, else the
// exit status.
int open_account(const Parsed &p) {
  std::string error;
  std::optional<Scenario> scenario;
  if (p.given & kFake) {
    std::string text;
    scenario.emplace();
    if (!read_file(p.fake, text, error) || !parse_scenario(text, *scenario, error))
      return host_error(p.fake + ": " + error);
  }
  if (p.given & kSettings) {
    if (!read_file(p.settings_file, g.settings, error)) return host_error(error);
  } else if (p.given & kApiKey) {
    g.settings = settings_for_key(p.api_key);
  } else if (scenario) {
    g.settings = scenario->settings.value_or(settings_for_key("fake-key"));
  } else if (const char *env = std::getenv("TAVRO_API_KEY"); env && *env) {
    g.settings = settings_for_key(env);
  } else {
    return usage_error(p.command, "no account: give --api-key KEY, --settings FILE or set "
                                  "TAVRO_API_KEY");
  }
  g.verbose = p.given & kVerbose;
  if (scenario) {
    if (!install_scenario(g.lib, *scenario, api_key_of(g.settings), error))
      return host_error(p.fake + ": " + error);
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

// Reports a failed operation; returns its exit status.
int failed(const Outcome &o) {
  std::fprintf(stderr, "tavro: %s\n", o.message.empty() ? code_name(o.code) : o.message.c_str());
  return exit_for(o.code);
}

void after_fake_call() {
  if (g.fake && g.verbose)
    std::fprintf(stderr, "tavro: the fake transport answered %d requests; the last was %s\n",
                 g.lib.tavro_fake_calls(nullptr, nullptr),
                 g.lib.tavro_redact(g.lib.tavro_fake_last_url()));
}

int run_demo_command(Parsed &) {
  return run_demo(g.lib, g.style);
}

int run_validate(Parsed &p) {
  if (int rc = open_account(p); rc >= 0) return rc;
  Outcome o = do_validate(g.lib, g.settings);
  after_fake_call();
  if (o.code != TAVRO_OK) return failed(o);
  print_document(stdout, g.style, o.result);
  return kExitOk;
}

int run_ls(Parsed &p) {
  if (int rc = open_account(p); rc >= 0) return rc;
  Outcome o = do_list(g.lib, g.settings, p.args.empty() ? nullptr : p.args[0].c_str());
  after_fake_call();
  if (o.code != TAVRO_OK) return failed(o);
  print_listing(stdout, g.style, o.result);
  return kExitOk;
}

int run_stream(Parsed &p) {
  if (int rc = open_account(p); rc >= 0) return rc;
  const std::string &a = p.args[0];
  size_t first = a.find_first_not_of(" \t\r\n");
  std::string entry =
      first != std::string::npos && a[first] == '{' ? a : JsonObject().str("link", a).text();
  Outcome o = do_stream(g.lib, g.settings, entry);
  after_fake_call();
  if (o.code != TAVRO_OK) return failed(o);
  if (p.given & kUrl) {
    std::optional<std::string> url = string_member(o.result, "url");
    if (!url) return host_error("the result has no url: " + o.result);
    std::printf("%s\n", url->c_str());
  } else {
    print_document(stdout, g.style, o.result);
  }
  return kExitOk;
}

// A link that names a local file: a file:// URL, or anything without a
// scheme that is not a magnet. The file is given to the library as the
// file:// URL of its absolute path, which the transport answers by reading
// it. -1 when the link is no local file or is ready, else the exit status.
int local_link(const std::string &link, std::string &as_link) {
  as_link = link;
  std::string path;
  if (link.rfind("file://", 0) == 0) {
    path = link.substr(7);
  } else if (link.find("://") != std::string::npos || link.rfind("magnet:", 0) == 0) {
    return -1;
  } else {
    path = link;
  }
  char *full = realpath(path.c_str(), nullptr);
  if (!full) {
    std::fprintf(stderr, "tavro: add: %s: %s (give a magnet link, a web link or a torrent file)\n",
                 path.c_str(), std::strerror(errno));
    return kExitUsage;
  }
  g.local_file = full;
  std::free(full);
  g.local_url = "file://" + g.local_file;
  as_link = g.local_url;
  return -1;
}

int run_add(Parsed &p) {
  if (!(p.given & kAllowWrites)) {
    std::fprintf(stderr, "tavro: add changes the account; pass --allow-writes to let it\n");
    return exit_for(TAVRO_E_WRITES_OFF);
  }
  std::string link;
  if (int rc = local_link(p.args[0], link); rc >= 0) return rc;
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
  if (p.given & kUrl) {
    std::optional<std::string> url = string_member(o.result, "InstantURL");
    if (!url) {
      std::fprintf(stderr, "tavro: added, but the service does not hold it yet: no direct URL%s\n",
                   (p.given & kKeepInstantOnly) ? " (deleted again)" : "");
      return kExitNo;
    }
    std::printf("%s\n", url->c_str());
  } else {
    print_document(stdout, g.style, o.result);
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
      std::printf("%-8s %s\n", se, name.c_str());
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
    std::printf("%s: %s\n", p.args[0].c_str(), yes ? "a torrent file" : "not a torrent file");
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
    for (const auto &a : p.args) std::printf("%s\n", g.lib.tavro_redact(a.c_str()));
    return kExitOk;
  }
  std::string line;
  while (std::getline(std::cin, line)) std::printf("%s\n", g.lib.tavro_redact(line.c_str()));
  return kExitOk;
}

} // namespace

int main(int argc, char **argv) {
  try {
    Parsed p;
    if (int rc = parse(argc, argv, p); rc >= 0) return rc;
    if (p.version) {
      std::string error;
      bool loaded = load_library(p.lib, g.lib, error);
      std::printf("tavro %s (library %s)\n", TAVRO_CLI_VERSION,
                  loaded ? g.lib.tavro_version() : "not loaded");
      return kExitOk;
    }
    if (p.help) {
      p.command ? print_command_help(stdout, *p.command) : print_general_help(stdout);
      return kExitOk;
    }
    std::string error;
    if (!load_library(p.lib, g.lib, error)) return host_error(error);
    g.style.table = isatty(STDOUT_FILENO) && !(p.given & kJson);
    int rc = p.command->run(p);
    std::fflush(stdout);
    return rc;
  } catch (const std::exception &e) {
    return host_error(e.what());
  }
}
