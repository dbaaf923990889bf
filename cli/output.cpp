// SPDX-License-Identifier: MIT
// Tables and documents for standard output.
#include "output.h"

#include "texts.h"

#include <sys/ioctl.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <cstdlib>
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

std::string for_stdout(const Style &style, const std::string &text) {
  return style.table ? terminal_text(text) : text;
}

std::string listing_table(const std::string &json, const std::string &folder, size_t columns) {
  tavro::Doc doc = read_json(json);
  yyjson_val *root = doc.root();
  if (!yyjson_is_arr(root)) return "";
  std::vector<std::vector<std::string>> rows{{"NAME", "SIZE", "KIND", "PATH"}};
  std::string prefix = folder.empty() || folder == "torrents" ? "" : folder + "/";
  if (size_t slash = folder.find('/'); slash != std::string::npos)
    prefix = folder.substr(0, slash + 1);
  size_t i = 0, max = 0;
  yyjson_val *e = nullptr;
  yyjson_arr_foreach(root, i, max, e) {
    int64_t bytes = int_of(yyjson_obj_get(e, "size"));
    bool folder_entry = yyjson_get_bool(yyjson_obj_get(e, "folder"));
    // A file's name is its whole path in the magnet; the table shows its
    // last part, and the path as `tavro stream` takes it.
    std::string name = text_of(yyjson_obj_get(e, "name"));
    if (size_t slash = name.rfind('/'); !folder_entry && slash != std::string::npos)
      name.erase(0, slash + 1);
    std::string path = text_of(yyjson_obj_get(e, "path"));
    if (!folder_entry) path = prefix + path;
    rows.push_back({terminal_text(name), human_size(bytes), folder_entry ? "folder" : "file",
                    terminal_text(path)});
  }
  std::vector<size_t> width(4, 0);
  for (const auto &r : rows)
    for (size_t c = 0; c < 4; ++c) width[c] = std::max(width[c], display_width(r[c]));
  // Too wide for the terminal: names give way first, down to a few cells;
  // then a file listing's names go (its paths end with them), and only
  // then are paths cut, in their middle.
  constexpr size_t kLeast = 12;
  auto total = [&] { return width[0] + width[1] + width[2] + width[3] + 6; };
  bool names = true;
  if (columns && total() > columns) {
    size_t least = std::min(width[0], kLeast);
    width[0] -= std::min(total() - columns, width[0] - least);
    bool files =
        std::any_of(rows.begin() + 1, rows.end(), [](const auto &r) { return r[2] == "file"; });
    if (total() > columns && files) {
      names = false;
      width[0] = 0;
    }
    if (total() > columns + (names ? 0 : 2)) {
      size_t over = total() - (names ? 0 : 2) - columns;
      width[3] -= std::min(over, width[3] - std::min(width[3], kLeast));
    }
    for (auto &r : rows) {
      r[0] = fit_width(r[0], width[0]);
      r[3] = fit_width_middle(r[3], width[3]);
    }
  }
  std::string out;
  for (const auto &r : rows) {
    std::string line = (names ? pad(r[0], width[0], false) + "  " : "") +
                       pad(r[1], width[1], true) + "  " + pad(r[2], width[2], false) + "  " + r[3];
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  return out;
}

void print_listing(std::FILE *out, const Style &style, const std::string &json,
                   const std::string &folder) {
  std::string table = style.table ? listing_table(json, folder, style.columns) : "";
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
  // The service's account answer: {"status":"success","data":{"user":{...}}}.
  tavro::Doc answer = read_json(user);
  yyjson_val *u = answer.root();
  u = yyjson_obj_get(yyjson_obj_get(u, "data"), "user");
  if (yyjson_val *name = yyjson_obj_get(u, "username"); yyjson_is_str(name))
    out += "user:    " + shown(text_of(name)) + "\n";
  if (yyjson_val *premium = yyjson_obj_get(u, "isPremium"); yyjson_is_bool(premium)) {
    out += std::string("premium: ") + (yyjson_get_bool(premium) ? "yes" : "no");
    int64_t until = int_of(yyjson_obj_get(u, "premiumUntil"), 0);
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
                    human_size(int_of(yyjson_obj_get(root, "size"))) + "\n";
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
