// SPDX-License-Identifier: MIT
// The answer envelope over raw bytes (not NUL-terminated, NULs allowed):
// success hands over the document and its data value, failure hands over
// nothing, and the code follows the service's error code.
#include "fuzz_support.h"
#include "tavro_answers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *text = reinterpret_cast<const char *>(data);
  yyjson_doc *doc = reinterpret_cast<yyjson_doc *>(1);
  yyjson_val *payload = reinterpret_cast<yyjson_val *>(1);
  char err[TAVRO_ERR_SIZE] = {};
  int rc = tavro_parse_envelope(size ? text : nullptr, size, &doc, &payload, err, sizeof err);
  if (rc == TAVRO_OK) {
    FUZZ_CHECK(doc && payload, "success without document or data");
    yyjson_doc_free(doc);
  } else {
    FUZZ_CHECK(!doc && !payload, "failure handed back a document");
    FUZZ_CHECK(err[0] != '\0', "failure without a message");
  }

  fz::Json j(text, size);
  yyjson_val *root = j.root();
  yyjson_val *status = fz::first_member(root, "status");
  if (size == 0) {
    FUZZ_CHECK(rc == TAVRO_E_FAILED && !std::strcmp(err, "empty response body"), "%s", err);
  } else if (!yyjson_is_obj(root)) {
    FUZZ_CHECK(rc == TAVRO_E_FAILED && !std::strcmp(err, "response is not a JSON object"), "%s",
               err);
  } else if (!yyjson_is_str(status)) {
    FUZZ_CHECK(rc == TAVRO_E_FAILED && !std::strcmp(err, "response has no status field"), "%s",
               err);
  } else if (yyjson_equals_str(status, "success")) {
    if (fz::first_member(root, "data"))
      FUZZ_CHECK(rc == TAVRO_OK, "code %d, %s", rc, err);
    else
      FUZZ_CHECK(rc == TAVRO_E_FAILED && !std::strcmp(err, "success response has no data"), "%s",
                 err);
  } else {
    fz::ServiceError want = fz::service_error(fz::first_member(root, "error"), sizeof err);
    FUZZ_CHECK(rc == want.code, "code %d for %s", rc, want.message.c_str());
    FUZZ_CHECK(want.message == err, "message %s", err);
  }
  return 0;
}
