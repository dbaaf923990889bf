// SPDX-License-Identifier: MIT
// Generated inputs for the benchmarks: service answers of any size with the
// shapes the service sends (nested season folders, long release names, some
// names that need JSON escapes), file names for the recogniser, and texts
// for the escapes. Everything is deterministic: the same call gives the same
// bytes on every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Settings a player would pass: runtime type, key, client name, ID and a
// member the library ignores.
extern const std::string kSettings;
// The URL the library builds for path with those settings, plus further
// query text (already encoded, "k=v"), when given. With a form POST's
// fields as extra, it is the URL the fake transport files that POST under.
std::string api(const std::string &path, const std::string &extra = "");
// The URL of the account's magnets (version 4.1 of the API), posted with an
// empty form.
std::string status_url();
// The service's success envelope around a data value.
std::string ok(const std::string &data);

// Layout of a generated magnet.
struct Tree {
  int shows;       // top folders, one per show ("Show Title (Year)")
  int seasons;     // "Season NN" folders per show
  int episodes;    // episodes per season, one video file each
  int subtitles;   // subtitle files per episode, in the season's "Subs" folder
  bool extras;     // a few featurettes in an "Extras" folder per show
  bool collection; // everything inside one collection folder
};

// A collection of shows with two subtitles per episode: the layout of the
// file listing benchmarks.
Tree collection_tree();
// One show, 40 seasons of 50 episodes with four subtitles each: a
// 10,000-file season pack.
Tree season_pack_tree();

// The files answer of magnet id with exactly `files` files laid out as
// tree (folders are filled in order and the walk stops at the last file).
std::string files_body(long long id, const Tree &tree, size_t files);
// The magnet list answer with `magnets` magnets, each with the members the
// service sends (only id, filename and size are read by the library).
std::string magnets_body(size_t magnets);

// The files of files_body(id, tree, files) in answer order: the path the
// library builds, the link and the size.
struct FileRef {
  std::string path;
  std::string link;
  long long size;
};
std::vector<FileRef> files_of(long long id, const Tree &tree, size_t files);

// Realistic file names and paths in the styles the recogniser meets (S01E02,
// 1x02, "Season 1 Episode 2", "Show - 05 - Title", movies, samples, ...).
std::vector<std::string> episode_names(size_t count);
// URLs and messages that carry API keys and user-info, for redaction.
std::vector<std::string> secret_texts(size_t count);
// Values sent as query parameters: magnet links, service links, names.
std::vector<std::string> query_values(size_t count);

// Number of non-overlapping occurrences of needle in text.
size_t count_of(const std::string &text, const std::string &needle);

} // namespace bench
