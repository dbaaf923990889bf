// SPDX-License-Identifier: MIT
// Recognisers of season/episode pairs, magnet links and torrent files.
#include "tavro_recognise.h"

#include <cstdint>
#include <string_view>

// ---- Season and episode ---------------------------------------------------

// Bytes only: no locale, and a byte of 0x80 or above is never a letter or a digit.
static bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

static char fold(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// A short number is one or two digits not followed by a third. Returns the byte
// after it and writes its value, or returns null (and writes nothing) when there
// is none at p. A digit is never NUL, so p[1] and p[2] are read only inside the name.
static const char *after_short(const char *p, int *value) {
  if (!is_digit(p[0])) return nullptr;
  if (!is_digit(p[1])) {
    *value = p[0] - '0';
    return p + 1;
  }
  if (is_digit(p[2])) return nullptr;
  *value = (p[0] - '0') * 10 + (p[1] - '0');
  return p + 2;
}

// word is lower case; returns the byte after it when it stands at p in any case,
// null otherwise. The first differing byte ends the comparison, so a NUL in the
// name stops it.
static const char *after_ci(const char *p, const char *word) {
  for (; *word; ++word, ++p)
    if (fold(*p) != *word) return nullptr;
  return p;
}

// The first 'E' or 'e' followed by a short number; its value may be 0.
static int rx_episode_e(const char *name, int *out) {
  for (const char *p = name; *p; ++p)
    if ((*p == 'E' || *p == 'e') && after_short(p + 1, out)) return 1;
  return 0;
}

// The first "Ep", exactly in that case, followed by a short number.
static int rx_episode_ep(const char *name, int *out) {
  for (const char *p = name; *p; ++p)
    if (p[0] == 'E' && p[1] == 'p' && after_short(p + 2, out)) return 1;
  return 0;
}

// An 'E' marker anywhere wins over an "Ep" marker, even when its value is 0.
static int episode_marker(const char *name, int *out) {
  return rx_episode_e(name, out) || rx_episode_ep(name, out);
}

static bool has_ci(const char *name) {
  for (const char *p = name; *p; ++p)
    if (after_ci(p, "season")) return true;
  return false;
}

// The first whole match of a step decides: a 0 in it fails the step rather than
// sending the scan on to a later match.
static int accept(int s, int e, int *season, int *episode) {
  if (s < 1 || e < 1) return 0;
  *season = s;
  *episode = e;
  return 1;
}

static bool is_s(char c) {
  return c == 'S' || c == 's';
}

// S01E02, E03 S02: the first S with a short number, paired with the episode marker
// wherever it stands.
static int season_letter_with_marker(const char *name, int *season, int *episode) {
  int e = 0;
  if (!episode_marker(name, &e)) return 0;
  for (const char *p = name; *p; ++p) {
    int s = 0;
    if (is_s(*p) && after_short(p + 1, &s)) return accept(s, e, season, episode);
  }
  return 0;
}

// "Season 1 Episode 2", one space on each side of the word "episode".
static int season_episode_words(const char *name, int *season, int *episode) {
  for (const char *p = name; *p; ++p) {
    int s = 0, e = 0;
    const char *q = after_ci(p, "season ");
    if (q) q = after_short(q, &s);
    if (q) q = after_ci(q, " episode ");
    if (q && after_short(q, &e)) return accept(s, e, season, episode);
  }
  return 0;
}

// 1x02 with a small x; nothing before the season is looked at, so 123x4 is 23x4.
static int cross_form(const char *name, int *season, int *episode) {
  for (const char *p = name; *p; ++p) {
    int s = 0, e = 0;
    const char *q = after_short(p, &s);
    if (q && *q == 'x' && after_short(q + 1, &e)) return accept(s, e, season, episode);
  }
  return 0;
}

// "Show - 05 - Title": 1 to 4 digits between two spaces. Numbers from 892 to 1199
// count as episodes of season 21, all others as episodes of season 1.
static int bare_number(const char *name, int *season, int *episode) {
  for (const char *p = name; *p; ++p) {
    if (*p != ' ') continue;
    const char *q = p + 1;
    int v = 0, n = 0;
    for (; n < 5 && is_digit(*q); ++n, ++q) v = v * 10 + (*q - '0');
    if (n < 1 || n > 4 || *q != ' ') continue;
    if (v < 1) return 0;
    *season = v >= 892 && v <= 1199 ? 21 : 1;
    *episode = v;
    return 1;
  }
  return 0;
}

// Show.E05: an episode marker without a season stands for season 1.
static int marker_alone(const char *name, int *season, int *episode) {
  int e = 0;
  if (!episode_marker(name, &e)) return 0;
  return accept(1, e, season, episode);
}

// S01ep02, s1EP2: "ep" in any case between the two short numbers.
static int season_letter_ep(const char *name, int *season, int *episode) {
  for (const char *p = name; *p; ++p) {
    int s = 0, e = 0;
    const char *q = is_s(*p) ? after_short(p + 1, &s) : nullptr;
    if (q) q = after_ci(q, "ep");
    if (q && after_short(q, &e)) return accept(s, e, season, episode);
  }
  return 0;
}

int tavro_season_episode(const char *name, int *season, int *episode) {
  if (!name || !*name) return 0;
  if (season_letter_with_marker(name, season, episode)) return 1;
  if (season_episode_words(name, season, episode)) return 1;
  if (cross_form(name, season, episode)) return 1;
  // A name that says "season" is never read as a bare number or a lone marker.
  if (!has_ci(name)) {
    if (bare_number(name, season, episode)) return 1;
    if (marker_alone(name, season, episode)) return 1;
  }
  return season_letter_ep(name, season, episode);
}

// ---- Magnet links ---------------------------------------------------------

static bool hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
static bool base32_digit(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '2' && c <= '7');
}

int tavro_link_is_magnet(const char *text) {
  if (!text) return 0;
  std::string_view s(text);
  if (!s.starts_with("magnet:?")) return 0;
  static constexpr std::string_view xt = "xt=urn:btih:";
  size_t at = s.find(xt);
  if (at == std::string_view::npos) return 0;
  std::string_view hash = s.substr(at + xt.size());
  hash = hash.substr(0, hash.find('&'));
  bool (*ok)(char) = hash.size() == 40 ? hex_digit : hash.size() == 32 ? base32_digit : nullptr;
  if (!ok) return 0;
  for (char c : hash)
    if (!ok(c)) return 0;
  return 1;
}

// ---- Torrent files --------------------------------------------------------

int tavro_sniff_torrent(const void *data, size_t len) {
  if (!data || len < 16) return 0;
  std::string_view s(static_cast<const char *>(data), len);
  if (s[0] != 'd') return 0;
  bool info = false, announce = false, path = false, length = false;
  for (size_t i = 0; i < s.size(); ++i) {
    std::string_view rest = s.substr(i);
    if (rest.starts_with("4:info"))
      info = true;
    else if (rest.starts_with("8:announce"))
      announce = true;
    else if (rest.starts_with("4:path"))
      path = true;
    else if (rest.starts_with("6:length"))
      length = true;
    if (info && (announce || (path && length))) return 1;
  }
  return 0;
}

// One bencoded value after another, without recursion: a count of the lists
// and dictionaries still open is all the state the scan keeps, so no input
// can make it deep. Dictionary keys are not told apart from values; what
// matters here is whether every length is satisfied and every container
// closed.
int tavro_bencode_whole(const void *data, size_t len) {
  if (!data || len == 0) return 0;
  std::string_view s(static_cast<const char *>(data), len);
  if (s[0] != 'd') return 0;
  uint64_t open = 0;
  size_t i = 0;
  while (i < s.size()) {
    char c = s[i];
    if (c == 'd' || c == 'l') {
      ++open;
      ++i;
    } else if (c == 'e') {
      if (open == 0) return 0;
      ++i;
      if (--open == 0) return 1; // the outer dictionary is closed
    } else if (c == 'i') {
      size_t j = i + 1;
      if (j < s.size() && s[j] == '-') ++j;
      size_t digits = j;
      while (j < s.size() && is_digit(s[j])) ++j;
      if (j == digits || j >= s.size() || s[j] != 'e') return 0;
      i = j + 1;
    } else if (is_digit(c)) {
      // A string: its length, ':' and that many bytes, all of them present.
      uint64_t n = 0;
      size_t j = i;
      while (j < s.size() && is_digit(s[j])) {
        n = n * 10 + (uint64_t)(s[j] - '0');
        if (n > s.size()) return 0; // longer than all there is
        ++j;
      }
      if (j >= s.size() || s[j] != ':') return 0;
      ++j;
      if (n > s.size() - j) return 0;
      i = j + (size_t)n;
    } else {
      return 0;
    }
  }
  return 0; // the body ended with containers still open
}
