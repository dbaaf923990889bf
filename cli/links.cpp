// SPDX-License-Identifier: MIT
// Web URLs and magnet paths, told apart before any request.
#include "links.h"

#include <cctype>
#include <cstring>

namespace tavro_cli {

std::string web_url_problem(const std::string &text) {
  size_t start = starts_with_ci(text, "http://") ? 7 : starts_with_ci(text, "https://") ? 8 : 0;
  if (!start) return "not an http:// or https:// URL";
  for (unsigned char c : text)
    if (c <= ' ' || c == 0x7F) return "a URL holds no blanks or control characters";
  size_t end = text.find_first_of("/?#", start);
  std::string authority = text.substr(start, end == std::string::npos ? end : end - start);
  if (size_t at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
  std::string host = authority, port;
  if (!host.empty() && host[0] == '[') {
    size_t close = host.find(']');
    if (close == std::string::npos) return "an IPv6 host ends with ]";
    port = host.substr(close + 1);
    host = host.substr(0, close + 1);
    if (!port.empty() && port[0] != ':') return "a bad host";
  } else if (size_t colon = host.find(':'); colon != std::string::npos) {
    port = host.substr(colon);
    host.erase(colon);
  }
  if (host.empty()) return "the URL names no host";
  if (host[0] != '[')
    for (unsigned char c : host)
      if (!std::isalnum(c) && c != '.' && c != '-' && c != '_' && c != '%' && c < 0x80)
        return "the host \"" + host + "\" is not a host name";
  if (!port.empty()) {
    std::string digits = port.substr(1);
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos || std::stoi(digits) > 65535)
      return "the port \"" + digits + "\" is not a port number";
  }
  return "";
}

bool magnet_path(const std::string &text, std::string &magnet, std::string &path) {
  if (text.size() < 2 || text[0] != 'm') return false;
  size_t end = text.find('/');
  std::string digits = text.substr(1, end == std::string::npos ? end : end - 1);
  if (digits.empty() || digits.size() > 18 ||
      digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  magnet = "m" + digits;
  path = end == std::string::npos ? "" : text.substr(end + 1);
  while (!path.empty() && path.back() == '/') path.pop_back();
  return true;
}

// Whether a lone word on the command line is a link for tavro LINK, and for

} // namespace tavro_cli
