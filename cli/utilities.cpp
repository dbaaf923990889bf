// SPDX-License-Identifier: MIT
// The utility exports, on the command line.
#include "utilities.h"

#include "links.h"
#include "texts.h"

#include <cstdio>
#include <iostream>

namespace tavro_cli {

int run_episode(Session &s, const Parsed &p) {
  bool all = true;
  std::string json = "[";
  for (const auto &name : p.args) {
    int season = 0, episode = 0;
    bool found = s.lib.tavro_parse_season_episode(name.c_str(), &season, &episode) == 1;
    all = all && found;
    JsonObject o;
    o.str("name", name);
    if (found)
      o.num("season", season).num("episode", episode);
    else
      o.null("season").null("episode");
    if (json.size() > 1) json += ",";
    json += o.text();
    if (s.style.table) {
      char se[32] = "-";
      if (found) std::snprintf(se, sizeof se, "S%02dE%02d", season, episode);
      std::printf("%-8s %s\n", se, terminal_text(name).c_str());
    }
  }
  if (!s.style.table) std::printf("%s]\n", json.c_str());
  return all ? kExitOk : kExitNo;
}

int run_magnet(Session &s, const Parsed &p) {
  // The same limit as add's: a longer one is no magnet the service takes.
  std::string too_long = link_length_problem(p.args[0]);
  bool yes = too_long.empty() && s.lib.tavro_is_magnet_link(p.args[0].c_str()) == 1;
  if (!too_long.empty()) std::fprintf(stderr, "tavro: magnet: %s\n", too_long.c_str());
  if (s.style.table)
    std::printf("%s\n", yes ? "a magnet link" : "not a magnet link");
  else
    std::printf("%s\n", JsonObject().str("text", p.args[0]).flag("magnet", yes).text().c_str());
  return yes ? kExitOk : kExitNo;
}

int run_torrent(Session &s, const Parsed &p) {
  std::string data, error;
  if (!read_file(p.args[0], data, error)) return usage_error(p.command, "torrent: " + error);
  bool yes = s.lib.tavro_is_torrent_file(data.data(), data.size()) == 1;
  if (s.style.table)
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

int run_redact(Session &s, const Parsed &p) {
  if (!p.args.empty()) {
    for (const auto &a : p.args)
      std::printf("%s\n", for_stdout(s.style, s.lib.tavro_redact(a.c_str())).c_str());
    return kExitOk;
  }
  std::string line;
  while (std::getline(std::cin, line))
    std::printf("%s\n", for_stdout(s.style, s.lib.tavro_redact(line.c_str())).c_str());
  return kExitOk;
}

} // namespace tavro_cli
