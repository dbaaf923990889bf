// SPDX-License-Identifier: MIT
// Tables and documents for standard output.
#include "output.h"

#include "texts.h"

#include <sys/ioctl.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string_view>
#include <ctime>
#include <vector>

namespace tavro_cli {
namespace {

int64_t int_of(yyjson_val *v, int64_t fallback = -1) {
  return yyjson_is_int(v) ? yyjson_get_sint(v) : fallback;
}

std::string pad(const std::string &s, size_t width, bool right) {
  size_t w = display_width(s);
  std::string fill(w < width ? width - w : 0, ' ');
  return right ? fill + s : s + fill;
}

// Appends a table's line to out, without the blanks its last cell padded.
void add_trimmed(std::string &out, std::string line) {
  while (!line.empty() && line.back() == ' ') line.pop_back();
  out += line + "\n";
}

// A value for a line of text: escaped for the terminal.
std::string shown(const std::string &text) {
  return terminal_text(text);
}

} // namespace

size_t terminal_columns() {
  struct winsize ws {};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  if (const char *c = std::getenv("COLUMNS"); c && std::atoi(c) > 0)
    return static_cast<size_t>(std::atoi(c));
  return 80;
}

bool colour_terminal(int fd) {
  const char *no_colour = std::getenv("NO_COLOR");
  const char *term = std::getenv("TERM");
  return isatty(fd) && !(no_colour && *no_colour) && term && *term &&
         std::string_view(term) != "dumb";
}

std::string decimal_rate(int64_t bytes_per_second) {
  static const char *units[] = {"B/s", "kB/s", "MB/s", "GB/s", "TB/s"};
  if (bytes_per_second < 1000)
    return std::to_string(bytes_per_second < 0 ? 0 : bytes_per_second) + " B/s";
  double v = static_cast<double>(bytes_per_second);
  size_t u = 0;
  while (v >= 999.95 && u + 1 < std::size(units)) {
    v /= 1000;
    ++u;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", v, units[u]);
  return text;
}

namespace {

// The service's status texts of the states that are not "processing" with
// figures, in a word or two, by status text (case folded).
struct ShortState {
  std::string_view status, words;
};
constexpr ShortState kShortStates[] = {
    {"in queue", "queued"},
    {"compressing / moving", "moving"},
    {"uploading", "uploading"},
    {"upload fail", "upload"},
    {"internal error on unpacking", "unpacking"},
    {"not downloaded in 20 min", "stalled"},
    {"file too big", "too big"},
    {"internal error", "internal error"},
    {"download took more than 72h", "took over 72h"},
    {"deleted on the hoster website", "deleted by the hoster"},
    {"processing failed", "processing"},
    {"error while contacting tracker", "tracker"},
    {"file not available - no peer", "no peer"},
};

std::string folded(std::string text) {
  for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string_view short_state(const std::string &status) {
  std::string key = folded(status);
  for (const ShortState &s : kShortStates)
    if (key == s.status) return s.words;
  return {};
}

} // namespace

std::string state_words(const std::string &state, const std::string &status, int64_t size,
                        int64_t downloaded, int64_t speed) {
  if (state == "ready") return "ready";
  std::string_view words = short_state(status);
  if (state == "error")
    return "failed: " +
           (words.empty() ? terminal_text(status.empty() ? "?" : status) : std::string(words));
  if (state != "processing") return status.empty() ? "" : terminal_text(folded(status));
  if (!words.empty()) return std::string(words);
  // Downloading: the share done and the speed, as far as they are known.
  std::string out;
  if (size > 0 && downloaded >= 0) {
    long double share = static_cast<long double>(downloaded) * 100 / static_cast<long double>(size);
    out = std::to_string(share >= 100 ? 100 : static_cast<int>(share)) + "%";
  }
  if (speed >= 0) {
    if (!out.empty()) out.push_back(' ');
    out.append(decimal_rate(speed));
  }
  return out.empty() ? terminal_text(folded(status.empty() ? "processing" : status)) : out;
}

bool natural_less(const std::string &a, const std::string &b) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  auto lower = [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  };
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      // Runs of digits by their value: leading zeros aside, the longer run
      // is the larger, then the first digit that differs.
      size_t si = i, sj = j;
      while (si < a.size() && a[si] == '0') ++si;
      while (sj < b.size() && b[sj] == '0') ++sj;
      size_t ei = si, ej = sj;
      while (ei < a.size() && digit(a[ei])) ++ei;
      while (ej < b.size() && digit(b[ej])) ++ej;
      if (ei - si != ej - sj) return ei - si < ej - sj;
      if (int c = a.compare(si, ei - si, b, sj, ej - sj); c != 0) return c < 0;
      i = ei;
      j = ej;
      continue;
    }
    char x = lower(a[i]), y = lower(b[j]);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    ++i;
    ++j;
  }
  if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
  // Equal as people read them: the bytes decide, so that the order is total.
  return a < b;
}

std::string for_stdout(const Style &style, const std::string &text) {
  return style.table ? terminal_text(text) : text;
}

std::string listing_table(const std::string &json, const std::string &folder, size_t columns,
                          bool colour) {
  tavro::Doc doc = read_json(json);
  yyjson_val *root = doc.root();
  if (!yyjson_is_arr(root)) return "";
  std::vector<std::vector<std::string>> rows{{"NAME", "SIZE", "KIND", "PATH"}};
  // The magnets' states, row by row (the heading's first), when the listing
  // has them: a column after SIZE.
  std::vector<std::string> states{"STATE"};
  bool has_state = false;
  std::string prefix = folder.empty() || folder == "torrents" ? "" : folder + "/";
  if (size_t slash = folder.find('/'); slash != std::string::npos)
    prefix = folder.substr(0, slash + 1);
  size_t i = 0, max = 0;
  yyjson_val *e = nullptr;
  bool files = false;
  yyjson_arr_foreach(root, i, max, e) {
    int64_t bytes = int_of(yyjson_obj_get(e, "size"));
    bool folder_entry = yyjson_get_bool(yyjson_obj_get(e, "folder"));
    files = files || !folder_entry;
    // A file's name is its whole path in the magnet; the table shows its
    // last part, and the path as `tavro stream` takes it.
    std::string name = text_of(yyjson_obj_get(e, "name"));
    if (size_t slash = name.rfind('/'); !folder_entry && slash != std::string::npos)
      name.erase(0, slash + 1);
    std::string path = text_of(yyjson_obj_get(e, "path"));
    if (!folder_entry) path = prefix + path;
    rows.push_back({terminal_text(name), human_size(bytes), folder_entry ? "folder" : "file",
                    locator_text(path)});
    yyjson_val *state = yyjson_obj_get(e, "state");
    has_state = has_state || state != nullptr;
    states.push_back(state_words(text_of(state), text_of(yyjson_obj_get(e, "status")), bytes,
                                 int_of(yyjson_obj_get(e, "downloaded")),
                                 int_of(yyjson_obj_get(e, "speed"))));
  }
  // A magnet's files in the order people expect, by the path as shown; the
  // JSON keeps the service's.
  if (rows.size() > 2 && files && !has_state) {
    std::stable_sort(rows.begin() + 1, rows.end(), [](const auto &a, const auto &b) {
      return a[2] != b[2] ? a[2] == "folder" : natural_less(a[3], b[3]);
    });
  }
  size_t state_width = 0;
  if (has_state)
    for (const std::string &s : states) state_width = std::max(state_width, display_width(s));
  std::vector<size_t> width(4, 0);
  for (const auto &r : rows)
    for (size_t c = 0; c < 4; ++c) width[c] = std::max(width[c], display_width(r[c]));
  // A path is never cut, for it is what stream takes back. Too wide for the
  // terminal: names give way first, down to a few cells; then a file
  // listing's names go (its paths end with them), another listing's names
  // shrink further; and a path that still does not fit is printed whole on
  // the line below its row, whose PATH shows kBelow.
  constexpr size_t kLeast = 12;
  const std::string kBelow = "\u2193";
  size_t state_cells = has_state ? state_width + 2 : 0;
  auto row_width = [&](size_t names, size_t paths) {
    return (names ? names + 2 : 0) + width[1] + 2 + state_cells + width[2] + 2 + paths;
  };
  size_t names = width[0], room = SIZE_MAX;
  if (columns && row_width(names, width[3]) > columns) {
    size_t fixed = row_width(0, width[3]) + 2;
    size_t fit = columns > fixed ? columns - fixed : 0;
    if (fit >= std::min(width[0], kLeast))
      names = std::min(width[0], fit);
    else
      names = files || fit < 4 ? 0 : fit;
    if (row_width(names, width[3]) > columns) {
      size_t used = row_width(names, 0);
      room = columns > used ? columns - used : 0;
    }
  }
  // Colour marks a state (never the heading): ready green, processing
  // yellow, failed red.
  auto state_cell = [&](size_t row) {
    if (!has_state) return std::string();
    std::string cell = pad(states[row], state_width, false) + "  ";
    if (!colour || row == 0 || states[row].empty()) return cell;
    const char *on = states[row] == "ready"                ? "\x1b[32m"
                     : states[row].rfind("failed", 0) == 0 ? "\x1b[31m"
                                                           : "\x1b[33m";
    return on + cell.substr(0, states[row].size()) + "\x1b[0m" + cell.substr(states[row].size());
  };
  std::string out;
  auto add_line = [&out](const std::string &line) { add_trimmed(out, line); };
  for (size_t r = 0; r < rows.size(); ++r) {
    const auto &row = rows[r];
    bool below = r > 0 && display_width(row[3]) > room;
    std::string name = names < width[0] ? fit_width(row[0], names) : row[0];
    add_line((names ? pad(name, names, false) + "  " : "") + pad(row[1], width[1], true) + "  " +
             state_cell(r) + pad(row[2], width[2], false) + "  " + (below ? kBelow : row[3]));
    if (below) add_line(row[3]);
  }
  return out;
}

std::string saved_table(const std::string &json, const std::string &answer,
                        const std::string &folder, size_t columns) {
  tavro::Doc doc = read_json(json);
  yyjson_val *root = doc.root();
  if (!yyjson_is_arr(root)) return "";
  // The service's items, by link: {"link","filename","size","date","host"}.
  tavro::Doc seen = read_json(answer);
  yyjson_val *items = yyjson_obj_get(yyjson_obj_get(seen.root(), "data"), "links");
  auto item_of = [&](const std::string &link) -> yyjson_val * {
    size_t i = 0, max = 0;
    yyjson_val *it = nullptr;
    yyjson_arr_foreach(items, i, max, it) {
      if (text_of(yyjson_obj_get(it, "link")) == link) return it;
    }
    return nullptr;
  };
  std::vector<std::vector<std::string>> rows{{"NAME", "SIZE", "HOST", "SAVED", "PATH"}};
  size_t i = 0, max = 0;
  yyjson_val *e = nullptr;
  yyjson_arr_foreach(root, i, max, e) {
    std::string link = text_of(yyjson_obj_get(e, "locator"));
    yyjson_val *item = item_of(link);
    std::string host = text_of(yyjson_obj_get(item, "host"));
    std::string saved = "-";
    int64_t date = int_of(yyjson_obj_get(item, "date"), 0);
    std::tm day{};
    time_t t = static_cast<time_t>(date);
    char text[32];
    if (date > 0 && gmtime_r(&t, &day) && std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &day))
      saved = text;
    rows.push_back({terminal_text(text_of(yyjson_obj_get(e, "name"))),
                    human_size(int_of(yyjson_obj_get(e, "size"))),
                    host.empty() ? "-" : terminal_text(host), saved,
                    locator_text(folder + "/" + text_of(yyjson_obj_get(e, "path")))});
  }
  std::vector<size_t> width(5, 0);
  for (const auto &r : rows)
    for (size_t c = 0; c < 5; ++c) width[c] = std::max(width[c], display_width(r[c]));
  // Too wide: names give way first, down to a few cells; a path is never
  // cut, for it is what stream takes back: one that still does not fit is
  // printed whole on the line below its row, whose PATH shows an arrow.
  constexpr size_t kLeast = 12;
  const std::string kBelow = "\u2193";
  auto total = [&] { return width[0] + width[1] + width[2] + width[3] + width[4] + 8; };
  size_t room = SIZE_MAX;
  if (columns && total() > columns) {
    width[0] -= std::min(total() - columns, width[0] - std::min(width[0], kLeast));
    if (total() > columns) {
      size_t used = total() - width[4];
      room = columns > used ? columns - used : 0;
    }
    for (auto &r : rows) r[0] = fit_width(r[0], width[0]);
  }
  std::string out;
  auto add_line = [&out](const std::string &line) { add_trimmed(out, line); };
  for (size_t n = 0; n < rows.size(); ++n) {
    const auto &r = rows[n];
    bool below = n > 0 && display_width(r[4]) > room;
    add_line(pad(r[0], width[0], false) + "  " + pad(r[1], width[1], true) + "  " +
             pad(r[2], width[2], false) + "  " + pad(r[3], width[3], false) + "  " +
             (below ? kBelow : r[4]));
    if (below) add_line(r[4]);
  }
  return out;
}

void print_saved(std::FILE *out, const Style &style, const std::string &json,
                 const std::string &answer, const std::string &folder) {
  std::string table = style.table ? saved_table(json, answer, folder, style.columns) : "";
  if (table.empty())
    std::fprintf(out, "%s\n", json.c_str());
  else
    std::fputs(table.c_str(), out);
}

void print_listing(std::FILE *out, const Style &style, const std::string &json,
                   const std::string &folder) {
  std::string table = style.table ? listing_table(json, folder, style.columns, style.colour) : "";
  if (table.empty())
    std::fprintf(out, "%s\n", json.c_str());
  else
    std::fputs(table.c_str(), out);
}

void print_document(std::FILE *out, const Style &style, const std::string &json) {
  std::fprintf(out, "%s\n", style.table ? terminal_text(pretty_json(json)).c_str() : json.c_str());
}

std::string validate_lines(const std::string &result, const std::string &user, bool settings_id) {
  tavro::Doc doc = read_json(result);
  yyjson_val *root = doc.root();
  std::string out = "account OK\n";
  out += "client:  " + shown(text_of(yyjson_obj_get(root, "ClientId"))) + "\n";
  // Who is signed in: the library's result tells it (User, Premium,
  // PremiumUntil); a library without them leaves the service's account
  // answer, {"status":"success","data":{"user":{...}}}, as the transport saw it.
  tavro::Doc answer = read_json(user);
  yyjson_val *u = answer.root();
  u = yyjson_obj_get(yyjson_obj_get(u, "data"), "user");
  yyjson_val *name = yyjson_obj_get(root, "User"), *premium = yyjson_obj_get(root, "Premium"),
             *premium_until = yyjson_obj_get(root, "PremiumUntil");
  if (!name && !premium) {
    name = yyjson_obj_get(u, "username");
    premium = yyjson_obj_get(u, "isPremium");
    premium_until = yyjson_obj_get(u, "premiumUntil");
  }
  if (yyjson_is_str(name)) out += "user:    " + shown(text_of(name)) + "\n";
  if (yyjson_is_bool(premium)) {
    out += std::string("premium: ") + (yyjson_get_bool(premium) ? "yes" : "no");
    int64_t until = int_of(premium_until, 0);
    std::tm day{};
    time_t t = static_cast<time_t>(until);
    char date[32];
    if (yyjson_get_bool(premium) && until > 0 && gmtime_r(&t, &day) &&
        std::strftime(date, sizeof date, "%Y-%m-%d", &day))
      out += std::string(", until ") + date;
    out += "\n";
  }
  if (settings_id) out += "ID:      " + shown(text_of(yyjson_obj_get(root, "ID"))) + "\n";
  return out;
}

std::string stream_lines(const std::string &result) {
  tavro::Doc doc = read_json(result);
  yyjson_val *root = doc.root();
  std::string name = text_of(yyjson_obj_get(root, "name"));
  std::string out = shown(name.empty() ? "(no name)" : name) + "  " +
                    human_size(int_of(yyjson_obj_get(root, "size")));
  // The quality chosen among a video's several: a height, or a text (audio).
  if (yyjson_val *q = yyjson_obj_get(root, "quality"); yyjson_is_int(q))
    out += "  quality " + std::to_string(yyjson_get_sint(q));
  else if (yyjson_is_str(q))
    out += "  quality " + shown(text_of(q));
  out += "\n";
  return out + shown(text_of(yyjson_obj_get(root, "url"))) + "\n";
}

std::string add_lines(const std::string &result) {
  tavro::Doc doc = read_json(result);
  yyjson_val *root = doc.root();
  yyjson_val *payload = yyjson_obj_get(root, "Payload");
  bool instant = yyjson_is_str(yyjson_obj_get(root, "InstantURL"));
  if (!payload) payload = root;
  int64_t id = int_of(yyjson_obj_get(payload, "id"));
  std::string name = text_of(yyjson_obj_get(payload, "name"));
  bool ready = yyjson_get_bool(yyjson_obj_get(payload, "ready"));
  std::string out = "added";
  if (id >= 0) out.append(" m").append(std::to_string(id));
  if (!name.empty()) out.append(" ").append(shown(name));
  out += ready ? ": the service holds it\n" : ": not ready yet, the service is fetching it\n";
  if (instant) {
    out += shown(text_of(yyjson_obj_get(root, "InstantName"))) + "  " +
           human_size(int_of(yyjson_obj_get(root, "InstantSize"))) + "\n";
    out += shown(text_of(yyjson_obj_get(root, "InstantURL"))) + "\n";
  }
  return out;
}

} // namespace tavro_cli
