// SPDX-License-Identifier: MIT
// Listing folders, and resolving files into direct URLs.
#include "listing.h"

#include "links.h"
#include "texts.h"

#include <cstdio>
#include <cstdlib>
#include <optional>

namespace tavro_cli {
namespace {

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
  std::string magnet, path;
  if (int rc = check_folder(p, magnet, path); rc >= 0) return rc;
  if (int rc = open_account(s, p); rc >= 0) return rc;
  std::string folder = magnet.empty() && !p.args.empty() ? p.args[0] : magnet;
  Outcome o = do_list(s.lib, s.settings, folder.empty() ? nullptr : folder.c_str());
  after_fake_call(s);
  if (o.code != TAVRO_OK) return failed(s, o);
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
  print_listing(stdout, s.style, listing, folder);
  return kExitOk;
}

int run_stream(Session &s, const Parsed &p) {
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
  if (int rc = open_account(s, p); rc >= 0) return rc;
  std::string entry = in.entry;
  if (entry.empty()) {
    std::string listing = in.listing;
    std::string where = "the listing";
    if (listing.empty()) {
      Outcome o = do_list(s.lib, s.settings, in.magnet.c_str());
      after_fake_call(s);
      if (o.code != TAVRO_OK) return failed(s, o);
      listing = o.result;
      where = in.magnet + (in.path.empty() ? "" : "/" + in.path);
    }
    std::vector<Entry> entries;
    listing_entries(listing, entries);
    std::vector<const Entry *> files = files_at(entries, in.path);
    const Entry *chosen = files.size() == 1 && !(p.given & kEpisode)
                              ? files[0]
                              : pick_file(s.lib, files, p.season, p.episode);
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
  Outcome o = do_stream(s.lib, s.settings, entry);
  after_fake_call(s);
  if (o.code != TAVRO_OK) {
    int rc = failed(s, o);
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

// A link that names a local file: a file:// URL, or anything without a
// scheme that is not a magnet. The file is given to the library as the

} // namespace tavro_cli
