// SPDX-License-Identifier: MIT
// Web URLs and magnet paths, told apart before any request.
#include "links.h"

#include "tavro_service.h"

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

namespace {

// The digits after the m of a magnet's name, up to the end, a '/' or a
// blank; npos when text does not begin so.
size_t id_end(const std::string &text) {
  if (text.size() < 2 || text[0] != 'm' || !std::isdigit(static_cast<unsigned char>(text[1])))
    return std::string::npos;
  size_t end = 1;
  while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
  if (end < text.size() && text[end] != '/' && text[end] != ' ') return std::string::npos;
  return end;
}

constexpr size_t kIdDigits = 18; // every 64-bit id, without overflow

} // namespace

bool magnet_path(const std::string &text, std::string &magnet, std::string &path) {
  size_t end = id_end(text);
  if (end == std::string::npos || end - 1 > kIdDigits) return false;
  magnet = text.substr(0, end);
  path = end == text.size() ? "" : text.substr(end + 1);
  while (!path.empty() && path.back() == '/') path.pop_back();
  return true;
}

bool printed_path(const std::string &text) {
  size_t end = id_end(text);
  return end != std::string::npos && end < text.size() && text[end] == '/';
}

std::string magnet_id_problem(const std::string &text) {
  size_t end = id_end(text);
  if (end == std::string::npos || end - 1 <= kIdDigits) return "";
  return "a magnet is m and an id of 1 to " + std::to_string(kIdDigits) + " digits, not " +
         std::to_string(end - 1) + " digits";
}

std::string link_length_problem(const std::string &link) {
  if (link.size() <= TAVRO_LINK_MAX) return "";
  return "the link is " + std::to_string(link.size()) + " bytes long; a link is 1 to " +
         std::to_string(TAVRO_LINK_MAX) + " bytes (" + std::to_string(TAVRO_LINK_MAX / 1024) +
         " KiB)";
}

bool saved_path(const std::string &text, std::string &folder, std::string &name) {
  for (const char *f : {"links", "history"}) {
    size_t n = std::strlen(f);
    if (text.compare(0, n, f) != 0 || (text.size() > n && text[n] != '/')) continue;
    folder = f;
    name = text.size() > n ? text.substr(n + 1) : "";
    return true;
  }
  return false;
}

} // namespace tavro_cli
