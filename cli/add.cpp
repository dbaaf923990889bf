// SPDX-License-Identifier: MIT
// Adding links to the account.
#include "add.h"

#include "links.h"
#include "magnets.h"
#include "texts.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace tavro_cli {
namespace {

// A link that names a local file: a file:// URL, or anything without a
// scheme that is not a magnet. The file is given to the library as the
// file:// URL of its absolute path, which the transport answers by reading
// it. -1 when the link is no local file or is ready, else the exit status.
int local_link(Session &s, const Parsed &p, const std::string &link, std::string &as_link) {
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
  if (!read_file(file, data, error)) return usage_error(p.command, "add: " + error);
  if (s.lib.tavro_is_torrent_file(data.data(), data.size()) != 1)
    return usage_error(p.command, "add: " + terminal_text(path) + " is not a torrent file" + hint);
  s.local_file = file;
  s.local_url = "file://" + s.local_file;
  as_link = s.local_url;
  // The library takes it by this URL, under the same limit as any link.
  if (std::string why = link_length_problem(as_link); !why.empty())
    return usage_error(p.command, "add: " + terminal_text(path) + ": as a file:// URL, " + why);
  return -1;
}

// Checks a link for add before any request; -1 when it may be sent.
int check_add_link(const Session &s, const Parsed &p, const std::string &link) {
  if (link.empty()) return usage_error(p.command, "add: the link is empty");
  if (std::string why = link_length_problem(link); !why.empty())
    return usage_error(p.command, "add: " + why);
  if (starts_with_ci(link, "magnet:")) {
    if (s.lib.tavro_is_magnet_link(link.c_str()) != 1)
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

} // namespace

int run_add(Session &s, const Parsed &p) {
  if (int rc = check_add_link(s, p, p.args[0]); rc >= 0) return rc;
  std::string link;
  if (int rc = local_link(s, p, p.args[0], link); rc >= 0) return rc;
  if (!(p.given & kAllowWrites)) {
    std::fprintf(stderr, "tavro: add changes the account; pass --allow-writes to let it\n");
    return exit_for(TAVRO_E_WRITES_OFF);
  }
  if ((p.given & kWait) && (p.given & kKeepInstantOnly))
    return usage_error(p.command, "--wait follows a magnet that --keep-instant-only deletes: give "
                                  "one of them");
  if (int rc = open_account(s, p); rc >= 0) return rc;
  JsonObject request;
  request.str("Link", link);
  // One rule with stream: --season N --episode M picks that episode (the
  // library picks it in a pack: FullSeason with the pair), --full-season
  // alone adds the whole pack.
  bool picks = p.given & kEpisode;
  if (picks || (p.given & kFullSeason)) request.flag("FullSeason", true);
  if (picks) request.num("Season", p.season).num("Episode", p.episode);
  if (p.given & kKeepInstantOnly) request.flag("KeepInstantOnly", true);
  s.lib.tavro_allow_writes(1);
  Outcome o = do_download(s.lib, s.settings, request.text());
  after_fake_call(s);
  if (o.code != TAVRO_OK) return failed(s, o);
  std::optional<std::string> url = string_member(o.result, "InstantURL");
  // What was asked and not done: said on standard error, exit status 1.
  std::string less;
  if (!url) {
    std::optional<int64_t> id = int_member(o.result, "id");
    std::string mid = id ? std::to_string(*id).insert(0, 1, 'm') : "a magnet";
    if (flag_member(o.result, "ready") && picks) {
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
  // Not ready yet: followed until it is, when asked.
  std::optional<int64_t> added = int_member(o.result, "id");
  if ((p.given & kWait) && !url && added && !flag_member(o.result, "ready")) {
    if (s.style.table) std::fputs(add_lines(o.result).c_str(), stdout);
    std::fflush(stdout);
    return wait_for_magnet(s, p, *added);
  }
  if (p.given & kUrl) {
    if (url) std::printf("%s\n", for_stdout(s.style, *url).c_str());
  } else if (s.style.table) {
    // Deleted again: nothing of it to show but what standard error says.
    if (!(p.given & kKeepInstantOnly) || url) std::fputs(add_lines(o.result).c_str(), stdout);
  } else {
    print_document(stdout, s.style, o.result);
  }
  if (!less.empty()) {
    std::fprintf(stderr, "tavro: %s\n", less.c_str());
    return kExitNo;
  }
  return kExitOk;
}

} // namespace tavro_cli
