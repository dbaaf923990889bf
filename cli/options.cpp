// SPDX-License-Identifier: MIT
// Options, their values and the checks between them.
#include "options.h"

#include "app.h"
#include "links.h"
#include "tavro_service.h"
#include "settings.h"
#include "texts.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace tavro_cli {
namespace {

const OptionRow kOptionTable[] = {
    {"--help", 'h', nullptr, kHelp, true, "this text; tavro COMMAND --help for a command's"},
    {"--version", 'V', nullptr, kVersion, true, "the versions of tavro and of the library"},
    {"--lib", 0, "FILE", kLib, true,
     "the library to load (default: found beside tavro, in ../lib*/, or by the loader)"},
    {"--json", 0, nullptr, kJson, true, "print the library's JSON even on a terminal"},
    {"--table", 0, nullptr, kTable, true,
     "print tables and lines for people even off a terminal ($COLUMNS wide, else 80)"},
    {"--verbose", 'v', nullptr, kVerbose, true,
     "show each request on standard error: method, URL, headers, status, size and time "
     "(keys redacted), and each retry; -vv also the answers' headers"},
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
    {"--allow-writes", 0, nullptr, kAllowWrites, false,
     "let add, rm, restart and save change the account"},
    {"--season", 0, "N", kSeason, false, "the season of the episode to pick (with --episode)"},
    {"--episode", 0, "M", kEpisode, false, "the episode to pick (with --season)"},
    {"--full-season", 0, nullptr, kFullSeason, false,
     "the link is a season pack: add it whole (--season and --episode still pick "
     "the episode whose URL is printed)"},
    {"--keep-instant-only", 0, nullptr, kKeepInstantOnly, false,
     "delete the magnet again unless the service holds it already"},
    {"--state", 0, "STATE", kState, false,
     "list only the magnets in STATE: ready, processing or error"},
    {"--wait", 0, nullptr, kWait, false,
     "follow a magnet that is not ready until it is (as tavro wait does)"},
    {"--timeout-wait", 0, "DURATION", kTimeoutWait, false,
     "give up waiting after DURATION (90, 90s, 5m, 2h; default: no limit)"},
    {"--no-qr", 0, nullptr, kNoQr, false, "draw no QR code of the sign-in page"},
    {"--resend", 0, nullptr, kResend, false,
     "ask the service once to send the approval e-mail again"},
    {"--quality", 0, "N", kQuality, false,
     "of a video in several qualities, the highest at most N (a height: 720, 1080)"},
    {"--wait-link", 0, "SECONDS", kWaitLink, false,
     "wait at most SECONDS (0 to 600, default 60) for a link the service prepares"},
};

// "90", "90s", "5m", "2h": a wait, at most 30 days.
bool parse_duration(const std::string &text, double &out) {
  char *end = nullptr;
  errno = 0;
  double v = std::strtod(text.c_str(), &end);
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) || errno) return false;
  std::string unit = end;
  double scale = unit.empty() || unit == "s" ? 1 : unit == "m" ? 60 : unit == "h" ? 3600 : 0;
  if (!scale || !(v > 0) || v * scale > 30 * 86400.0) return false;
  out = v * scale;
  return true;
}
// Seconds: from a millisecond to a day; numbers of --season and --episode.
constexpr double kMaxSeconds = 86400;
constexpr int kMaxNumber = 1000000;

bool parse_seconds(const std::string &text, double &out) {
  char *end = nullptr;
  errno = 0;
  double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end || errno || !(v >= 0.001) || v > kMaxSeconds) return false;
  out = v;
  return true;
}

bool parse_int(const std::string &text, int least, int &out) {
  char *end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || errno || v < least || v > kMaxNumber) return false;
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
  if (magnet_path(word, magnet, path) || (saved_path(word, magnet, path) && !path.empty()))
    return "stream";
  struct stat st {};
  bool torrent_name = word.size() > 8 && starts_with_ci(word.substr(word.size() - 8), ".torrent");
  if ((word.find('/') != std::string::npos || torrent_name) && stat(word.c_str(), &st) == 0 &&
      S_ISREG(st.st_mode))
    return "add";
  return nullptr;
}

// The closest command name to a mistyped one, or null when none is close.
const char *closest_command(std::span<const CommandRow> commands, const std::string &word) {
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

// The closest option name to a mistyped one (--josn: --json), or null.
const char *closest_option(const std::string &word) {
  const char *best = nullptr;
  size_t best_d = 3;
  for (const auto &o : kOptionTable) {
    size_t d = edit_distance(word, o.name);
    bool prefix = word.size() >= 4 && std::string(o.name).rfind(word, 0) == 0;
    if (prefix) d = 1;
    if (d < best_d) {
      best = o.name;
      best_d = d;
    }
  }
  return best_d <= (word.size() <= 5 ? 1u : 2u) ? best : nullptr;
}

const OptionRow *option_named(const std::string &name) {
  for (const auto &o : kOptionTable)
    if (name == o.name || (o.short_name && name == std::string("-") + o.short_name)) return &o;
  return nullptr;
}

} // namespace

int usage_error(const CommandRow *c, const std::string &message) {
  // What the user typed is in it, shown as the tables show text.
  std::fprintf(stderr, "tavro: %s\n", terminal_text(message).c_str());
  if (c)
    std::fprintf(stderr, "usage: tavro %s [OPTIONS]%s%s; see tavro %s --help\n", c->name,
                 c->args[0] ? " " : "", c->args, c->name);
  else
    std::fprintf(stderr, "usage: tavro [OPTIONS] COMMAND [ARGS]; see tavro --help\n");
  return kExitUsage;
}

const std::span<const OptionRow> kOptions = kOptionTable;

int parse(int argc, char **argv, std::span<const CommandRow> commands, Parsed &p) {
  std::vector<std::pair<const OptionRow *, std::string>> options;
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
        const OptionRow *option = option_named(std::string("-") + a[k]);
        if (!option) return usage_error(nullptr, std::string("unknown option: -") + a[k]);
        options.emplace_back(option, "");
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
    const OptionRow *option = option_named(name);
    if (!option_named(name)) {
      std::string message = "unknown option: " + name;
      if (const char *near = closest_option(name))
        message += std::string(" (did you mean ") + near + "?)";
      return usage_error(nullptr, message);
    }
    if (option->value && !has_value) {
      if (i + 1 >= argc) return usage_error(nullptr, name + " needs " + option->value);
      value = argv[++i];
    } else if (!option->value && has_value) {
      return usage_error(nullptr, name + " takes no value");
    }
    options.emplace_back(option, value);
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
               to && !p.help && (positional.size() == k + 1 || std::strcmp(to, "stream") == 0)) {
      // A path of a magnet may come in words, or after its magnet: stream
      // joins them.
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
  const CommandRow &c = *p.command;
  if (p.shortcut) p.given |= kUrl;
  for (const auto &[o, v] : options) {
    // A global option is taken by every command, so that an alias such as
    // tavro -v does for all of them; one that does not apply is ignored.
    // Its value is checked all the same.
    bool applies = c.options & o->bit;
    if (!applies && !o->global)
      return usage_error(&c, std::string(o->name) + " does not apply to " + c.name);
    if (o->bit == kVerbose) p.verbose_asked = true;
    if (!applies) {
      if (o->bit != kHelp && o->bit != kVersion &&
          std::find(p.ignored.begin(), p.ignored.end(), o->name) == p.ignored.end())
        p.ignored.push_back(o->name);
    } else {
      p.given |= o->bit;
    }
    if (applies && o->bit == kVerbose) ++p.verbose;
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
    case kConnectTimeout:
      if (!parse_seconds(v, o->bit == kTimeout ? p.timeout : p.connect_timeout))
        return usage_error(&c, std::string(o->name) +
                                   " needs seconds from 0.001 to 86400 (a day), not " + v);
      break;
    case kMaxBody:
      if (!parse_size(v, p.max_body))
        return usage_error(&c, "--max-body needs a size from 1K to 4G, not " + v);
      break;
    case kSeason:
      if (!parse_int(v, 0, p.season))
        return usage_error(&c, "--season needs a number from 0 to 1000000, not " + v);
      break;
    case kEpisode:
      if (!parse_int(v, 1, p.episode))
        return usage_error(&c, "--episode needs a number from 1 to 1000000, not " + v);
      break;
    case kState:
      if (v != "ready" && v != "processing" && v != "error")
        return usage_error(&c, "--state is ready, processing or error, not " + v);
      p.state = v;
      break;
    case kTimeoutWait:
      if (!parse_duration(v, p.wait_limit))
        return usage_error(&c, "--timeout-wait needs a duration from 1s to 30 days (90, 90s, 5m, "
                               "2h), not " +
                                   v);
      break;
    case kQuality:
      if (!parse_int(v, 1, p.quality))
        return usage_error(&c, "--quality needs a video height such as 720, not " + v);
      break;
    case kWaitLink:
      if (!parse_int(v, 0, p.wait_link) || p.wait_link > TAVRO_DELAYED_WAIT_MAX)
        return usage_error(&c, "--wait-link needs seconds from 0 to " +
                                   std::to_string(TAVRO_DELAYED_WAIT_MAX) + ", not " + v);
      break;
    default:
      break;
    }
  }
  int n = static_cast<int>(p.args.size());
  if (n < c.min_args) return usage_error(&c, std::string(c.name) + " needs " + c.args);
  if (c.max_args >= 0 && n > c.max_args)
    return usage_error(&c, "too many arguments for " + std::string(c.name));
  // One rule for add and stream: --season N --episode M picks that episode.
  bool picks = p.given & (kSeason | kEpisode);
  if (picks && (p.given & (kSeason | kEpisode)) != (kSeason | kEpisode))
    return usage_error(&c, "--season and --episode go together");
  if ((p.given & kTimeoutWait) && (c.options & kWait) && !(p.given & kWait))
    return usage_error(&c, "--timeout-wait limits --wait: give it too");
  if ((p.given & kJson) && (p.given & kTable))
    return usage_error(&c, "--json and --table ask for two forms of output: give one");
  if ((p.given & kFake) && (p.given & kApiRoot))
    return usage_error(&c, "--api-root applies to the network, not to --fake");
  if ((p.given & kSettings) && (p.given & kApiKey))
    return usage_error(&c, "--settings and --api-key both name the account: give one");
  return -1;
}

} // namespace tavro_cli
