// SPDX-License-Identifier: MIT
// tavro ls and tavro stream: a folder listed (the root, the account's
// magnets, a magnet's files or those under a path in it), and a file
// resolved into a direct URL from its link, its listing entry, its path, or
// the pick among a magnet's files; with the listings' entries both read.
#pragma once

#include "session.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tavro_cli {

// One entry of a listing, with its compact JSON as the library wrote it.
struct Entry {
  std::string json, name, path, link;
  int64_t size = -1;
  bool folder = false;
};

// The entries of a listing (a JSON array); false when json is none.
bool listing_entries(const std::string &json, std::vector<Entry> &entries);

// A JSON array of entries.
std::string listing_json(const std::vector<const Entry *> &entries);

// The file a download would pick among entries: with episode 0 the largest
// file that has a link and a known size (the first of equal ones), else the
// first whose path holds exactly that season and episode. Null when none.
const Entry *pick_file(const Library &lib, const std::vector<const Entry *> &entries, int season,
                       int episode);

int run_ls(Session &s, const Parsed &p);
int run_stream(Session &s, const Parsed &p);

} // namespace tavro_cli
