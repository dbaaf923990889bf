// The answer envelope over raw bytes (not NUL-terminated, NULs allowed):
// success hands over the document and its data value, failure hands over
// nothing, and the code follows the service's error code.
#include "fuzz_support.h"
#include "tavro_wire.h"

namespace {

// The error-code rules, written out once more as a plain chain.
int expected_code(const char *code) {
  std::string_view c(code);
  if (c == "AUTH_MAX_TOKENS") return TAVRO_E_LIMIT;
  if (c.substr(0, 5) == "AUTH_") return TAVRO_E_AUTH;
  if (c.substr(0, 22) == "MAGNET_MUST_BE_PREMIUM") return TAVRO_E_LIMIT;
  if (c == "FREE_ACCOUNT_LIMIT_REACHED") return TAVRO_E_LIMIT;
  if (c.substr(0, 14) == "MAGNET_INVALID") return TAVRO_E_NOT_FOUND;
  if (c == "LINK_HOST_NOT_SUPPORTED" || c == "LINK_NOT_SUPPORTED" || c == "BAD_LINK")
    return TAVRO_E_NOT_FOUND;
  return TAVRO_E_FAILED;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *text = reinterpret_cast<const char *>(data);
  yyjson_doc *doc = reinterpret_cast<yyjson_doc *>(1);
  yyjson_val *payload = reinterpret_cast<yyjson_val *>(1);
  char err[768] = {};
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
    yyjson_val *error = fz::first_member(root, "error");
    const char *code = fz::c_text(fz::first_member(error, "code"));
    const char *message = fz::c_text(fz::first_member(error, "message"));
    if (!yyjson_is_obj(error)) code = message = nullptr;
    std::string want = std::string("AllDebrid error ") + (code && *code ? code : "(no code)") +
                       ": " + (message && *message ? message : "(no message)");
    want = want.substr(0, sizeof err - 1);
    FUZZ_CHECK(rc == expected_code(code ? code : ""), "code %d for %s", rc, code ? code : "");
    FUZZ_CHECK(want == err, "message %s", err);
  }
  return 0;
}
