// SPDX-License-Identifier: MIT
// What the words of a command line name: web URLs, and magnets of the
// account with a path in them ("m101/Show/Season 1").
#pragma once

#include <strings.h>

#include <cstring>
#include <string>

namespace tavro_cli {

// Whether text begins with prefix, in any case.
inline bool starts_with_ci(const std::string &text, const char *prefix) {
  size_t n = std::strlen(prefix);
  return text.size() >= n && strncasecmp(text.c_str(), prefix, n) == 0;
}

// Whether text is an http or https URL with a host: "" when it is, else
// why not.
std::string web_url_problem(const std::string &text);

// "m101", "m101/Show/Season 1" (a path as ls prints it) or "m101 Show/Season
// 1" (a path as the JSON listing gives it, after its magnet): a magnet of
// the account, and a path in it (as given, without trailing slashes).
bool magnet_path(const std::string &text, std::string &magnet, std::string &path);

// Whether text, a magnet_path, has its path as ls prints it (after a '/':
// escapes in it are read back first) rather than as the JSON gives it
// (after a blank: taken as it is first).
bool printed_path(const std::string &text);

// Why text, which begins like a magnet of the account (m and digits), names
// none: "" when it names one or does not begin so.
std::string magnet_id_problem(const std::string &text);

// Why a link (a magnet link, a web link, a service link) is longer than
// the service takes: "" when it is not. The same limit for every command.
std::string link_length_problem(const std::string &link);

// "links", "history/NAME": a folder of the links the account keeps, and
// the name of one of its links (which may hold slashes: a link itself).
bool saved_path(const std::string &text, std::string &folder, std::string &name);

} // namespace tavro_cli
