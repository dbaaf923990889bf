// SPDX-License-Identifier: MIT
// The two add answers, each read by its own reader: a magnet's from the
// items of "magnets", a torrent file's from the items of "files" (of
// "magnets" when "files" is no array). A success hands back the first item's
// id and ready flag and that item as compact, valid JSON; a failure hands
// back nothing, and is the envelope's, the item's own error, or the missing
// id.
#include "fuzz_support.h"
#include "tavro_answers.h"

namespace {

using Parser = int (*)(const char *, size_t, int64_t *, int *, char **, char *, size_t);

void check(Parser parse, bool file, const char *text, size_t size) {
  int64_t id = 0;
  int ready = -1;
  char *payload = reinterpret_cast<char *>(1);
  char err[TAVRO_ERR_SIZE] = {};
  int rc = parse(text, size, &id, &ready, &payload, err, sizeof err);
  FUZZ_CHECK(ready == 0 || ready == 1, "ready %d", ready);

  // The item the reader must pick, when the envelope holds data.
  yyjson_doc *doc = nullptr;
  yyjson_val *data = nullptr;
  char env_err[TAVRO_ERR_SIZE] = {};
  int env = tavro_parse_envelope(text, size, &doc, &data, env_err, sizeof env_err);
  yyjson_doc_free(doc);
  fz::Json j(text, size);
  yyjson_val *d = fz::first_member(j.root(), "data");
  yyjson_val *items = file ? fz::first_member(d, "files") : nullptr;
  if (!yyjson_is_arr(items)) items = fz::first_member(d, "magnets");
  yyjson_val *item = yyjson_arr_get_first(items);
  yyjson_val *item_id = fz::first_member(item, "id");

  if (rc == TAVRO_OK) {
    FUZZ_CHECK(env == TAVRO_OK && !fz::item_error(item), "success past a failure");
    FUZZ_CHECK(payload && fz::strict_json(payload), "payload %s", payload ? payload : "(null)");
    fz::Json p(payload, std::strlen(payload));
    yyjson_val *magnet = p.root();
    FUZZ_CHECK(yyjson_is_obj(magnet) && yyjson_obj_size(magnet) > 0, "payload not an object");
    yyjson_val *mid = fz::first_member(magnet, "id");
    FUZZ_CHECK(yyjson_is_int(mid) && yyjson_get_sint(mid) == id, "id %lld", (long long)id);
    FUZZ_CHECK(yyjson_is_int(item_id) && yyjson_get_sint(item_id) == id,
               "id %lld is not the first item's", (long long)id);
    FUZZ_CHECK(ready == (int)yyjson_is_true(fz::first_member(magnet, "ready")), "ready %d", ready);
    // Compact: the writer adds no blanks outside strings, so the text is as
    // long as yyjson's own compact form of it.
    size_t len = 0;
    char *again = yyjson_write(p.doc, 0, &len);
    FUZZ_CHECK(again && std::strcmp(again, payload) == 0, "not compact: %s", payload);
    std::free(again);
    std::free(payload);
    return;
  }
  FUZZ_CHECK(!payload, "failure handed back a payload");
  FUZZ_CHECK(err[0] != '\0', "failure without a message");
  if (env != TAVRO_OK) {
    FUZZ_CHECK(rc == env && !std::strcmp(err, env_err), "code %d, %s", rc, err);
  } else if (yyjson_val *error = fz::item_error(item)) {
    fz::ServiceError want = fz::service_error(error, sizeof err);
    FUZZ_CHECK(rc == want.code && want.message == err, "code %d, %s; wanted %d, %s", rc, err,
               want.code, want.message.c_str());
  } else {
    FUZZ_CHECK(rc == TAVRO_E_FAILED && !std::strcmp(err, "magnet/upload returned no magnet id"),
               "code %d, %s", rc, err);
    FUZZ_CHECK(yyjson_obj_size(item) == 0 || !yyjson_is_int(item_id), "the id %lld was missed",
               (long long)yyjson_get_sint(item_id));
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *text = reinterpret_cast<const char *>(data);
  check(tavro_parse_upload, false, text, size);
  check(tavro_parse_upload_file, true, text, size);
  return 0;
}
