// Tables and documents for standard output.
#include "output.h"

#include "texts.h"

#include <yyjson.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace tavro_cli {
namespace {

struct DocDeleter {
  void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};

std::string text_of(yyjson_val *v) {
  if (yyjson_is_str(v)) return std::string(yyjson_get_str(v), yyjson_get_len(v));
  return "";
}

std::string pad(const std::string &s, size_t width, bool right) {
  size_t w = display_width(s);
  std::string fill(w < width ? width - w : 0, ' ');
  return right ? fill + s : s + fill;
}

} // namespace

std::string listing_table(const std::string &json) {
  std::unique_ptr<yyjson_doc, DocDeleter> doc(yyjson_read(json.data(), json.size(), 0));
  yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  if (!yyjson_is_arr(root)) return "";
  std::vector<std::vector<std::string>> rows{{"NAME", "SIZE", "KIND", "PATH"}};
  size_t i = 0, max = 0;
  yyjson_val *e = nullptr;
  yyjson_arr_foreach(root, i, max, e) {
    yyjson_val *size = yyjson_obj_get(e, "size");
    int64_t bytes = yyjson_is_int(size) ? yyjson_get_sint(size) : -1;
    bool folder = yyjson_get_bool(yyjson_obj_get(e, "folder"));
    // A file's name is its whole path in the magnet; the table shows its
    // last part and the path beside it.
    std::string name = text_of(yyjson_obj_get(e, "name"));
    if (size_t slash = name.rfind('/'); !folder && slash != std::string::npos)
      name.erase(0, slash + 1);
    rows.push_back(
        {name, human_size(bytes), folder ? "folder" : "file", text_of(yyjson_obj_get(e, "path"))});
  }
  std::vector<size_t> width(4, 0);
  for (const auto &r : rows)
    for (size_t c = 0; c < 4; ++c) width[c] = std::max(width[c], display_width(r[c]));
  std::string out;
  for (const auto &r : rows) {
    std::string line = pad(r[0], width[0], false) + "  " + pad(r[1], width[1], true) + "  " +
                       pad(r[2], width[2], false) + "  " + r[3];
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  return out;
}

void print_listing(std::FILE *out, const Style &style, const std::string &json) {
  std::string table = style.table ? listing_table(json) : "";
  if (table.empty())
    std::fprintf(out, "%s\n", json.c_str());
  else
    std::fputs(table.c_str(), out);
}

void print_document(std::FILE *out, const Style &style, const std::string &json) {
  std::fprintf(out, "%s\n", style.table ? pretty_json(json).c_str() : json.c_str());
}

} // namespace tavro_cli
