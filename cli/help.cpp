// SPDX-License-Identifier: MIT
// The help texts.
#include "help.h"

#include "app.h"
#include "settings.h"

#include <cctype>
#include <sstream>
#include <string>
#include <vector>

namespace tavro_cli {
namespace {

// The exit statuses: the host's own, and between them one per result code
// of the library, named and explained as tavro.h does.
void print_exit_statuses(std::FILE *out) {
  auto row = [out](int status, const char *text) { std::fprintf(out, "  %-4d%s\n", status, text); };
  std::fprintf(out, "Exit status:\n");
  row(kExitOk, "done (for episode, magnet, torrent: yes)");
  row(kExitNo, "no (episode, magnet, torrent), or add did less than asked: not held\n"
               "      (deleted again with --keep-instant-only), no such episode in the pack,\n"
               "      or no direct URL yet with --url");
  row(kExitUsage, "usage: a bad command line, argument (its length too), settings or\n"
                  "      scenario file, found before any request was sent");
#define TAVRO_CLI_EXIT(value, name, meaning)                                                       \
  if ((value) != TAVRO_OK) std::fprintf(out, "  %-4d%-21s%s\n", exit_for(value), #name, meaning);
  TAVRO_RESULT_CODES(TAVRO_CLI_EXIT)
#undef TAVRO_CLI_EXIT
  row(kExitHost, "tavro itself failed after the start: the library, the transport,\n"
                 "      writing standard output");
  std::fprintf(out, "tavro brings its own transport, reads results of any size and checks its\n"
                    "arguments and settings before the library sees them: 8, 10 and 11 are not\n"
                    "expected of it (one would be a fault of tavro's, worth reporting).\n");
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

void print_option(std::FILE *out, const OptionRow &o) {
  std::string left = o.short_name ? std::string("-") + o.short_name + ", " : "    ";
  left += o.name;
  if (o.value) left += std::string(" ") + o.value;
  print_row(out, left, o.help);
}

} // namespace

void print_general_help(std::FILE *out, std::span<const CommandRow> commands) {
  std::fprintf(out, "usage: tavro [OPTIONS] COMMAND [ARGS]\n"
                    "       tavro [OPTIONS] LINK\n\n"
                    "Drives the tavro library (an AllDebrid account handler) from the shell.\n\n"
                    "Commands:\n");
  for (const auto &c : commands)
    print_row(out, std::string(c.name) + (c.args[0] ? " " : "") + c.args, c.summary);
  print_row(out, "LINK",
            "a service link or a path from `tavro ls`: print its direct URL; a magnet or a "
            "torrent link or file: add it (with --allow-writes) and print the direct URL: "
            "mpv \"$(tavro LINK)\"");
  std::fprintf(out, "\nGlobal options (every command takes them, and ignores one that does not\n"
                    "apply to it; -v says so):\n");
  for (const auto &o : kOptions)
    if (o.global) print_option(out, o);
  std::fprintf(out, "Each command's own options: tavro COMMAND --help.\n");
  std::string file = default_settings_path();
  std::fprintf(out,
               "\nThe account: run `tavro login` (a PIN entered on the service's page stores\n"
               "the key), set TAVRO_API_KEY, or write {\"APIKey\":\"...\"} to the settings\n"
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

void print_command_help(std::FILE *out, const CommandRow &c) {
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
  print_wrapped(out, "Global options that apply (see tavro --help; the others are taken and "
                     "ignored): " +
                         globals + ".");
}

} // namespace tavro_cli
