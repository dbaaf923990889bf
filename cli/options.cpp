// SPDX-License-Identifier: MIT
// Options, their values and the checks between them.
#include "options.h"

#include "app.h"
#include "links.h"
#include "settings.h"
#include "texts.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace tavro_cli {
namespace {

const OptionSpec kOptionTable[] = {
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
     "send every request to the API root URL (ending in /v4) instead of the service"},
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
const char *closest_command(std::span<const CommandSpec> commands, const std::string &word) {
  const char *best = nullptr;
  size_t best_d = 3;
  for (const auto &c : commands) {
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
  for (const auto &o : kOptionTable)
    if (name == o.name || (o.short_name && name == std::string("-") + o.short_name)) return &o;
  return nullptr;
}

} // namespace

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

const std::span<const OptionSpec> kOptions = kOptionTable;

int parse(int argc, char **argv, std::span<const CommandSpec> commands, Parsed &p) {
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
    for (const auto &c : commands)
      if (positional[k] == c.name) p.command = &c;
    if (p.command) {
      ++k;
    } else if (const char *to = shortcut_for(positional[k]);
               to && !p.help &&
               (positional.size() == k + 1 ||
                (std::strcmp(to, "stream") == 0 && positional[k].find('/') != std::string::npos))) {
      // A path of a magnet may come in words: stream joins them.
      for (const auto &c : commands)
        if (std::strcmp(c.name, to) == 0) p.command = &c;
      p.shortcut = true;
    } else {
      std::string message = "unknown command: " + positional[k];
      if (const char *near = closest_command(commands, positional[k]))
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
      if (api_root_setting(v).empty())
        return usage_error(&c,
                           "--api-root " + v + ": give the API's version-4 root, ending in /v4");
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
  // add picks an episode only in a season pack.
  if (picks && (c.options & kFullSeason) && !(p.given & kFullSeason))
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

} // namespace tavro_cli
