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

// "m101" or "m101/Show/Season 1": a magnet of the account, and a path in it
// (without trailing slashes).
bool magnet_path(const std::string &text, std::string &magnet, std::string &path);

} // namespace tavro_cli
