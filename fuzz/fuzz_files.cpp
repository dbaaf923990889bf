// SPDX-License-Identifier: MIT
// The magnet file tree, compared entry by entry with a plain recursive walk
// of the parsed answer: same paths, links and sizes in the same order. A
// failure hands back the empty list; it is the envelope's, or the first
// magnet's own error.
#include "fuzz_support.h"
#include "tavro_answers.h"

namespace {

struct Ref {
  bool has_path;
  std::string path;
  bool has_link;
  std::string link;
  int64_t size;
};

// One node, the way the tree is read: a name extends the path, an array "e"
// makes a folder, anything else is a file.
void walk(yyjson_val *node, const std::string &path, std::vector<Ref> &out) {
  if (!yyjson_is_obj(node) || yyjson_obj_size(node) == 0) {
    out.push_back({!path.empty(), path, false, "", -1});
    return;
  }
  std::string here = path;
  const char *name = fz::c_text(fz::first_member(node, "n"));
  if (name && *name) here += (path.empty() ? "" : "/") + std::string(name);
  yyjson_val *children = fz::first_member(node, "e");
  if (yyjson_is_arr(children)) {
    yyjson_arr_iter it = yyjson_arr_iter_with(children);
    for (yyjson_val *c; (c = yyjson_arr_iter_next(&it));) walk(c, here, out);
    return;
  }
  yyjson_val *s = fz::first_member(node, "s");
  int64_t size = yyjson_is_sint(s)   ? yyjson_get_sint(s)
                 : yyjson_is_uint(s) ? (int64_t)yyjson_get_uint(s)
                                     : -1;
  const char *link = fz::c_text(fz::first_member(node, "l"));
  out.push_back({!here.empty(), here, link != nullptr, link ? link : "", size});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  tavro_links list{};
  int has_entries = -1;
  char err[TAVRO_ERR_SIZE] = {};
  const char *text = reinterpret_cast<const char *>(data);
  int rc = tavro_parse_files(text, size, &list, &has_entries, err, sizeof err);
  if (rc != TAVRO_OK) {
    FUZZ_CHECK(!list.data && list.len == 0 && list.cap == 0 && has_entries == 0,
               "failure left a list");
    FUZZ_CHECK(err[0] != '\0', "failure without a message");
    // Every failure comes from the envelope or from an error the first
    // magnet holds: the input cannot hold more files than the limit, and
    // memory does not run out here.
    yyjson_doc *doc = nullptr;
    yyjson_val *payload = nullptr;
    char again[TAVRO_ERR_SIZE] = {};
    int env = tavro_parse_envelope(text, size, &doc, &payload, again, sizeof again);
    yyjson_doc_free(doc);
    if (env != TAVRO_OK) {
      FUZZ_CHECK(env == rc && !std::strcmp(again, err), "code %d, %s", rc, err);
      return 0;
    }
    fz::Json j(text, size);
    yyjson_val *magnets = fz::first_member(fz::first_member(j.root(), "data"), "magnets");
    yyjson_val *error = fz::item_error(yyjson_arr_get_first(magnets));
    FUZZ_CHECK(error, "code %d without an error in the answer: %s", rc, err);
    fz::ServiceError want = fz::service_error(error, sizeof err);
    FUZZ_CHECK(rc == want.code && want.message == err, "code %d, %s; wanted %d, %s", rc, err,
               want.code, want.message.c_str());
    return 0;
  }
  FUZZ_CHECK(err[0] == '\0', "success with a message: %s", err);
  FUZZ_CHECK(has_entries == (list.len > 0), "flag %d for %llu entries", has_entries,
             (unsigned long long)list.len);

  fz::Json j(text, size);
  yyjson_val *first =
      yyjson_arr_get_first(fz::first_member(fz::first_member(j.root(), "data"), "magnets"));
  FUZZ_CHECK(!fz::item_error(first), "the first magnet's error was passed over");
  std::vector<Ref> want;
  yyjson_val *files = fz::first_member(first, "files");
  if (yyjson_is_arr(files)) {
    yyjson_arr_iter it = yyjson_arr_iter_with(files);
    for (yyjson_val *node; (node = yyjson_arr_iter_next(&it));) walk(node, "", want);
  }
  FUZZ_CHECK(list.len == want.size(), "%llu entries, %zu expected", (unsigned long long)list.len,
             want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    const tavro_link &f = list.data[i];
    const Ref &r = want[i];
    FUZZ_CHECK(r.has_path ? f.path && r.path == f.path : !f.path, "path %zu: %s", i,
               f.path ? f.path : "(null)");
    FUZZ_CHECK(r.has_link ? f.link && r.link == f.link : !f.link, "link %zu", i);
    FUZZ_CHECK(f.size == r.size, "size %zu: %lld", i, (long long)f.size);
  }
  tavro_links_free(&list);
  return 0;
}
