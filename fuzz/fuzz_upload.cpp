// The add answer: a success hands back the first magnet's id and ready flag
// and that magnet as compact, valid JSON; a failure hands back nothing.
#include "fuzz_support.h"
#include "tavro_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int64_t id = 0;
  int ready = -1;
  char *payload = reinterpret_cast<char *>(1);
  char err[768] = {};
  int rc = tavro_parse_upload(reinterpret_cast<const char *>(data), size, &id, &ready, &payload,
                              err, sizeof err);
  FUZZ_CHECK(ready == 0 || ready == 1, "ready %d", ready);
  if (rc == TAVRO_OK) {
    FUZZ_CHECK(payload && fz::strict_json(payload), "payload %s", payload ? payload : "(null)");
    fz::Json j(payload, std::strlen(payload));
    yyjson_val *magnet = j.root();
    FUZZ_CHECK(yyjson_is_obj(magnet) && yyjson_obj_size(magnet) > 0, "payload not an object");
    yyjson_val *mid = fz::first_member(magnet, "id");
    FUZZ_CHECK(yyjson_is_int(mid) && yyjson_get_sint(mid) == id, "id %lld", (long long)id);
    FUZZ_CHECK(ready == (int)yyjson_is_true(fz::first_member(magnet, "ready")), "ready %d", ready);
    // Compact: the writer adds no blanks outside strings, so the text is as
    // long as yyjson's own compact form of it.
    size_t len = 0;
    char *again = yyjson_write(j.doc, 0, &len);
    FUZZ_CHECK(again && std::strcmp(again, payload) == 0, "not compact: %s", payload);
    std::free(again);
    std::free(payload);
  } else {
    FUZZ_CHECK(!payload, "failure handed back a payload");
    FUZZ_CHECK(err[0] != '\0', "failure without a message");
  }
  return 0;
}
