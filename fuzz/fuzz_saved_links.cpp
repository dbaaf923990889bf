// SPDX-License-Identifier: MIT
// The saved-links and history answers: the listing written is strict JSON
// and holds, in order, one file entry per item with a non-empty string
// link, compared member by member with the parsed answer.
#include "fuzz_support.h"
#include "tavro_answers.h"
#include "tavro_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *text = reinterpret_cast<const char *>(data);
  tavro::Doc doc;
  yyjson_val *payload = nullptr;
  char err[TAVRO_ERR_SIZE] = {};
  if (tavro_parse_envelope(text, size, doc.out(), &payload, err, sizeof err) != TAVRO_OK) return 0;
  tavro::Buf out;
  FUZZ_CHECK(tavro_buf_add(out.get(), "[", 1) == 0, "memory");
  FUZZ_CHECK(tavro_write_saved_links(payload, out.get()) == 0, "memory");
  FUZZ_CHECK(tavro_buf_add(out.get(), "]", 1) == 0, "memory");
  fz::Json listing(out.c_str(), (size_t)out.size());
  FUZZ_CHECK(yyjson_is_arr(listing.root()), "not a JSON array: %s", out.c_str());

  yyjson_val *links = yyjson_is_obj(payload) ? fz::first_member(payload, "links") : nullptr;
  size_t at = 0, i = 0, max = 0;
  yyjson_val *item = nullptr;
  yyjson_arr_foreach(links, i, max, item) {
    const char *link = yyjson_is_obj(item) ? fz::c_text(fz::first_member(item, "link")) : nullptr;
    if (!link || !*link) continue;
    const char *name = fz::c_text(fz::first_member(item, "filename"));
    if (!name || !*name) name = link;
    int64_t bytes = -1;
    if (!fz::int64_value(fz::first_member(item, "size"), &bytes) || bytes <= 0) bytes = -1;
    yyjson_val *e = yyjson_arr_get(listing.root(), at++);
    FUZZ_CHECK(yyjson_obj_size(e) == 6, "entry %zu has %zu members", at, yyjson_obj_size(e));
    auto is = [&](const char *key, const char *want) {
      const char *got = fz::c_text(fz::first_member(e, key));
      return got && !std::strcmp(got, want);
    };
    FUZZ_CHECK(is("name", name) && is("path", name) && is("locator", link) && is("id", link),
               "entry %zu: %s", at, out.c_str());
    FUZZ_CHECK(yyjson_is_false(fz::first_member(e, "folder")), "entry %zu a folder", at);
    int64_t got = 0;
    FUZZ_CHECK(fz::int64_value(fz::first_member(e, "size"), &got) && got == bytes, "entry %zu size",
               at);
  }
  FUZZ_CHECK(yyjson_arr_size(listing.root()) == at, "%zu entries, %zu expected",
             yyjson_arr_size(listing.root()), at);
  return 0;
}
