// SPDX-License-Identifier: MIT
// Listing folders, and resolving files into direct URLs.
#include "listing.h"

#include "links.h"
#include "settings.h"
#include "tavro_service.h"
#include "texts.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>

namespace tavro_cli {
namespace {

std::string joined(const std::vector<std::string> &words) {
  std::string out;
  for (const auto &w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

std::string trimmed(const std::string &text) {
  size_t b = text.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  return text.substr(b, text.find_last_not_of(" \t\r\n") - b + 1);
}

// The ways a path given to ls or stream may be meant, in the order they are
// tried. One as `tavro ls` prints it (m101/PATH): its escapes read back,
// then as it is (typed by hand). One as the JSON gives it, after its magnet
// (m101 PATH): as it is, then its escapes read back (a printed path after
// its magnet). Then the same without blanks around it. The two forms never
// meet: a printed path names the file it was printed for, and a path of the
// JSON its own, even where one file's name is another's printed path.
std::vector<std::string> readings(const std::string &path, bool printed) {
  std::vector<std::string> out;
  auto add = [&out](std::string text) {
    while (!text.empty() && text.back() == '/') text.pop_back();
    if (std::find(out.begin(), out.end(), text) == out.end()) out.push_back(text);
  };
  for (const std::string &text : {path, trimmed(path)}) {
    std::string read;
    bool escapes = read_locator(text, read);
    if (escapes && printed) add(read);
    add(text);
    if (escapes && !printed) add(read);
  }
  return out;
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

// A printed path as a shell passes it on when it is pasted without quotes:
// each backslash gone, the character after it kept, and runs of blanks
// made one.
std::string unquoted(const std::string &printed) {
  std::string out;
  for (size_t i = 0; i < printed.size(); ++i) {
    if (printed[i] == '\\' && i + 1 < printed.size()) ++i;
    if (printed[i] == ' ' && !out.empty() && out.back() == ' ') continue;
    out += printed[i];
  }
  return out;
}

// The files a path names among a magnet's entries, by the first of its
// readings that names any; else the one file whose printed path it is as a
// shell passes it on unquoted; else, when the path is the magnet's own name
// (the "name" of its entry in `tavro ls torrents`), all of them. shown is
// the path as messages show it.
std::vector<const Entry *> files_named(Session &s, const std::string &magnet,
                                       const std::vector<Entry> &entries, const std::string &path,
                                       bool printed, std::string &shown) {
  std::vector<std::string> ways = readings(path, printed);
  shown = locator_text(ways.front());
  for (const auto &way : ways)
    if (auto found = files_at(entries, way); !found.empty()) return found;
  if (path.empty()) return {};
  std::vector<const Entry *> pasted;
  for (const auto &e : entries)
    if (unquoted(locator_text(e.path)) == unquoted(path)) pasted.push_back(&e);
  if (pasted.size() == 1) return pasted;
  Outcome o = do_list(s.lib, s.settings, "torrents");
  std::vector<Entry> magnets;
  if (o.code != TAVRO_OK || !listing_entries(o.result, magnets)) return {};
  for (const auto &m : magnets)
    if (m.path == magnet && std::find(ways.begin(), ways.end(), m.name) != ways.end())
      return files_at(entries, "");
  return {};
}

// A folder as the library names it; -1 when the words name one, else the
// exit status of a usage error.
int check_folder(const Parsed &p, const std::string &text, std::string &magnet, std::string &path,
                 bool &printed) {
  printed = printed_path(text);
  magnet.clear();
  path.clear();
  if (text.empty() || text == "torrents" || text == "links" || text == "history") return -1;
  // One magnet's own entry, with its state.
  if (text.rfind("torrents/m", 0) == 0 && text.size() > 10 &&
      text.find_first_not_of("0123456789", 10) == std::string::npos)
    return -1;
  if (std::string why = magnet_id_problem(text); !why.empty())
    return usage_error(p.command, "ls: " + why);
  if (magnet_path(text, magnet, path)) return -1;
  std::string hint;
  std::string m, rest;
  if (magnet_path("m" + text, m, rest)) hint = "; did you mean m" + text + "?";
  return usage_error(p.command, "no such folder: " + terminal_text(text) +
                                    " (folders are torrents, torrents/m<id>, links, history, "
                                    "m<id> and m<id>/PATH, as `tavro ls torrents` lists them" +
                                    hint + ")");
}

// What stream was given, sorted out before any request.
struct StreamInput {
  std::string entry;        // a listing entry (JSON object) to unlock, or
  std::string magnet, path; // a path to resolve through the magnet's listing, or
  bool printed = false;     // (the path as ls prints it, or as the JSON gives it)
  std::string listing;      // a listing to pick from
};

int stream_input(const Parsed &p, const std::string &given, bool from_stdin, StreamInput &in) {
  const CommandRow *c = p.command;
  std::string text = trimmed(given);
  if (text.empty())
    return usage_error(c, from_stdin ? "stream: standard input is empty"
                                     : "stream: the argument is empty");
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
    if (std::string why = link_length_problem(entries[0].link); !why.empty())
      return usage_error(c, "stream: the entry's \"locator\": " + why);
    // A magnet's entry from `tavro ls torrents`: its files are listed.
    if (entries[0].folder && magnet_path(entries[0].path, in.magnet, in.path) && in.path.empty())
      return -1;
    in.entry = text;
    return -1;
  }
  // A path: its blanks at the end may be its own (the readings try both).
  std::string locator = given.substr(given.find_first_not_of(" \t\r\n"));
  if (from_stdin)
    while (!locator.empty() && (locator.back() == '\n' || locator.back() == '\r'))
      locator.pop_back();
  if (std::string why = magnet_id_problem(locator); !why.empty())
    return usage_error(c, "stream: " + why);
  if (magnet_path(locator, in.magnet, in.path)) {
    in.printed = printed_path(locator);
    return -1;
  }
  if (saved_path(locator, in.magnet, in.path)) {
    if (in.path.empty())
      return usage_error(c, "stream: " + in.magnet + " is a folder: give " + in.magnet +
                                "/NAME as `tavro ls " + in.magnet + "` shows it");
    in.printed = true;
    return -1;
  }
  if (starts_with_ci(text, "http://") || starts_with_ci(text, "https://")) {
    if (std::string why = link_length_problem(text); !why.empty())
      return usage_error(c, "stream: " + why);
    if (std::string why = web_url_problem(text); !why.empty())
      return usage_error(c, "stream: " + terminal_text(text) + ": " + why);
    in.entry = JsonObject().str("link", text).text();
    return -1;
  }
  if (text == "torrents")
    return usage_error(c, "stream: torrents is the folder of the account's magnets, not a file: "
                          "`tavro ls torrents` lists them");
  std::string shown = text.size() > 200 ? text.substr(0, 200) + "..." : text;
  std::string message = "stream: " + terminal_text(shown) +
                        " is not a service link, a listing entry or a path as `tavro ls "
                        "m<id>` shows it";
  // A path from the JSON listing, without the magnet it came from.
  if (text.find('/') != std::string::npos || text.find('.') != std::string::npos)
    message += " (a \"path\" of `tavro ls --json m<id>` goes after its magnet: tavro stream "
               "m<id> 'PATH')";
  return usage_error(c, message);
}

// The service's answer to the request of a folder of links, for the hosts
// and dates the library's entries do not carry: as the transport saw it,
// or as the scenario of the fake holds it; "" when neither has it.
std::string saved_answer(const Session &s, const std::string &folder) {
  if (s.transport) return s.transport->saved_answer(folder);
  if (s.scenario)
    for (const Answer &a : s.scenario->answers)
      if (a.method == "GET" && a.path == "/user/" + folder) return a.body;
  return "";
}

// While a stream call runs on a terminal: the service's estimate of the
// time left to prepare a link, as the last poll answered it, counted down
// each second on one line of standard error, rewritten in place. It tells
// only what the transport saw (the library polls every 5 seconds).
class PreparingLine {
public:
  explicit PreparingLine(CurlTransport *t) : transport_(t) {
    if (transport_ && isatty(STDERR_FILENO)) ticker_ = std::thread([this] { run(); });
  }
  ~PreparingLine() {
    if (!ticker_.joinable()) return;
    {
      std::lock_guard<std::mutex> g(lock_);
      done_ = true;
    }
    wake_.notify_one();
    ticker_.join();
    if (shown_) std::fputs("\r\x1b[K", stderr);
  }
  PreparingLine(const PreparingLine &) = delete;
  PreparingLine &operator=(const PreparingLine &) = delete;

private:
  void run() {
    std::unique_lock<std::mutex> g(lock_);
    long last = -1;
    while (!wake_.wait_for(g, std::chrono::milliseconds(250), [this] { return done_; })) {
      CurlTransport::Preparing p = transport_->preparing();
      if (!p.seen) continue;
      auto gone =
          std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - p.at)
              .count();
      long left = std::max(0L, p.time_left - static_cast<long>(gone));
      if (left == last) continue;
      last = left;
      shown_ = true;
      std::fprintf(stderr, "\r\x1b[Ktavro: the service is preparing the link: about %ld s left",
                   left);
      std::fflush(stderr);
    }
  }

  CurlTransport *transport_;
  std::thread ticker_;
  std::mutex lock_;
  std::condition_variable wake_;
  bool done_ = false, shown_ = false;
};

} // namespace

bool listing_entries(const std::string &json, std::vector<Entry> &entries) {
  tavro::Doc doc = read_json(json);
  yyjson_val *root = doc.root();
  if (!yyjson_is_arr(root)) return false;
  size_t i = 0, max = 0;
  yyjson_val *e = nullptr;
  yyjson_arr_foreach(root, i, max, e) {
    if (!yyjson_is_obj(e)) continue;
    Entry x;
    size_t len = 0;
    char *t = yyjson_val_write(e, YYJSON_WRITE_ALLOW_INVALID_UNICODE, &len);
    if (t) {
      x.json.assign(t, len);
      std::free(t);
    }
    x.name = text_of(yyjson_obj_get(e, "name"));
    x.path = text_of(yyjson_obj_get(e, "path"));
    yyjson_val *link = yyjson_obj_get(e, "locator");
    if (!yyjson_is_str(link)) link = yyjson_obj_get(e, "link");
    x.link = text_of(link);
    yyjson_val *size = yyjson_obj_get(e, "size");
    x.size = yyjson_is_int(size) ? yyjson_get_sint(size) : -1;
    x.folder = yyjson_get_bool(yyjson_obj_get(e, "folder"));
    entries.push_back(std::move(x));
  }
  return true;
}

std::string listing_json(const std::vector<const Entry *> &entries) {
  std::string out = "[";
  for (const Entry *e : entries) out += (out.size() > 1 ? "," : "") + e->json;
  return out + "]";
}

const Entry *pick_file(const Library &lib, const std::vector<const Entry *> &entries, int season,
                       int episode) {
  const Entry *best = nullptr;
  for (const Entry *e : entries) {
    if (e->folder || e->link.empty()) continue;
    if (episode > 0) {
      int s = 0, n = 0;
      if (lib.tavro_parse_season_episode(e->path.c_str(), &s, &n) == 1 && s == season &&
          n == episode)
        return e;
    } else if (e->size >= 0 && (!best || e->size > best->size)) {
      best = e;
    }
  }
  return best;
}

int run_ls(Session &s, const Parsed &p) {
  // A path of a magnet may come in words: ls joins them.
  std::string text = joined(p.args), magnet, path;
  bool printed = false;
  if (int rc = check_folder(p, text, magnet, path, printed); rc >= 0) return rc;
  // The root is the library's own: no request, so no account needed.
  if (int rc = open_account(s, p, text.empty()); rc >= 0) return rc;
  std::string folder = magnet.empty() ? text : magnet;
  if ((p.given & kState) && folder != "torrents")
    return usage_error(p.command,
                       "--state picks among the magnets: tavro ls torrents --state " + p.state);
  Outcome o = do_list(s.lib, s.settings, folder.empty() ? nullptr : folder.c_str());
  after_fake_call(s);
  if (o.code != TAVRO_OK) return failed(s, o);
  std::string listing = o.result;
  if (p.given & kState) {
    std::vector<Entry> entries;
    listing_entries(o.result, entries);
    std::vector<const Entry *> kept;
    for (const Entry &e : entries)
      if (string_member(e.json, "state").value_or("") == p.state) kept.push_back(&e);
    listing = listing_json(kept);
  }
  if (folder == "links" || folder == "history") {
    print_saved(stdout, s.style, listing, saved_answer(s, folder), folder);
    return kExitOk;
  }
  if (!path.empty()) {
    std::vector<Entry> entries;
    listing_entries(o.result, entries);
    std::string shown;
    std::vector<const Entry *> found = files_named(s, magnet, entries, path, printed, shown);
    if (found.empty()) {
      std::fprintf(stderr, "tavro: no such file or folder in %s: %s\n", magnet.c_str(),
                   shown.c_str());
      return exit_for(TAVRO_E_NOT_FOUND);
    }
    listing = listing_json(found);
  }
  print_listing(stdout, s.style, listing, folder);
  return kExitOk;
}

int run_stream(Session &s, const Parsed &p) {
  std::string given = p.args[0], magnet, path;
  bool from_stdin = p.args.size() == 1 && given == "-";
  if (p.args.size() > 1) {
    // m101/Show/Season 1/E01.mkv typed without quotes, or m101 and a path
    // of its JSON listing: one path.
    if (!magnet_path(given, magnet, path))
      return usage_error(p.command, "too many arguments for stream");
    given = joined(p.args);
  }
  if (from_stdin) {
    std::string error;
    if (!read_file("-", given, error)) return usage_error(p.command, error);
  }
  StreamInput in;
  if (int rc = stream_input(p, given, from_stdin, in); rc >= 0) return rc;
  if ((p.given & kEpisode) && !in.entry.empty())
    return usage_error(p.command, "--season and --episode pick among the files of a magnet (m<id>) "
                                  "or a listing, not one file");
  if (int rc = open_account(s, p); rc >= 0) return rc;
  std::string entry = in.entry;
  if (entry.empty()) {
    std::string listing = in.listing;
    std::string where = "the listing";
    std::vector<Entry> entries;
    std::vector<const Entry *> files;
    if (listing.empty()) {
      Outcome o = do_list(s.lib, s.settings, in.magnet.c_str());
      after_fake_call(s);
      if (o.code != TAVRO_OK) return failed(s, o);
      listing_entries(o.result, entries);
      std::string shown;
      files = files_named(s, in.magnet, entries, in.path, in.printed, shown);
      where = in.magnet + (in.path.empty() ? "" : "/" + shown);
    } else {
      listing_entries(listing, entries);
      files = files_at(entries, "");
    }
    const Entry *chosen = files.size() == 1 && !(p.given & kEpisode)
                              ? files[0]
                              : pick_file(s.lib, files, p.season, p.episode);
    if (!chosen) {
      char se[64] = "";
      if (p.given & kEpisode) std::snprintf(se, sizeof se, " for S%02dE%02d", p.season, p.episode);
      std::fprintf(stderr, "tavro: no such file in %s%s\n", where.c_str(), se);
      return exit_for(TAVRO_E_NOT_FOUND);
    }
    if (chosen->folder) {
      std::fprintf(stderr, "tavro: %s is a folder, not a file\n",
                   locator_text(chosen->path).c_str());
      return exit_for(TAVRO_E_NOT_FOUND);
    }
    entry = chosen->json;
  }
  // A video of several qualities, and a link the service takes time to
  // prepare: the settings the library reads for them.
  if (p.given & kQuality) s.settings = with_number(s.settings, "MaxQuality", p.quality);
  if (p.given & kWaitLink) s.settings = with_number(s.settings, "DelayedWait", p.wait_link);
  Outcome o;
  {
    PreparingLine line(s.transport.get());
    o = do_stream(s.lib, s.settings, entry);
  }
  after_fake_call(s);
  if (o.code != TAVRO_OK) {
    int rc = failed(s, o);
    if (o.code == TAVRO_E_TRANSPORT && s.transport && s.transport->preparing().seen)
      std::fprintf(stderr,
                   "tavro: (the service is still preparing the link: try again later, "
                   "or wait longer with --wait-link SECONDS, up to %d)\n",
                   TAVRO_DELAYED_WAIT_MAX);
    // tavro LINK took a web link for a file's link; it may be one to add.
    if (p.shortcut && o.code == TAVRO_E_NOT_FOUND && in.entry == entry && in.listing.empty())
      std::fprintf(stderr, "tavro: (a web link answering with a magnet or a torrent is added "
                           "with: tavro add --allow-writes LINK)\n");
    return rc;
  }
  if (p.given & kUrl) {
    std::optional<std::string> url = string_member(o.result, "url");
    if (!url) return host_error("the result has no url: " + o.result);
    std::printf("%s\n", for_stdout(s.style, *url).c_str());
  } else if (s.style.table) {
    std::fputs(stream_lines(o.result).c_str(), stdout);
  } else {
    print_document(stdout, s.style, o.result);
  }
  return kExitOk;
}

} // namespace tavro_cli
