// SPDX-License-Identifier: MIT
// The three sign-in answers: pin/get, pin/check and user/verif (or its
// resend). The first byte picks the answer (its value modulo 4: start,
// check, approval state, resend); the rest is the answer's text, read
// through the envelope with a slot for an approval token, then by the
// answer's reader into a result.
//
// Checked against the answer as the harness reads it itself: an error
// envelope's token is handed over exactly when it is a non-empty string; a
// success writes one strict JSON object whose members are, in order, the
// ones the answer kind documents, with the answer's values; a failure
// writes nothing and says why.
#include "fuzz_support.h"
#include "tavro_answers.h"
#include "tavro_signin.h"
#include "tavro_text.h"

namespace {

// The members of a result object, in order, as compact JSON texts.
std::vector<std::pair<std::string, std::string>> members(const char *text) {
  std::vector<std::pair<std::string, std::string>> out;
  fz::Json j(text, std::strlen(text));
  yyjson_val *root = j.root();
  FUZZ_CHECK(yyjson_is_obj(root), "result is no object: %s", text);
  yyjson_obj_iter it = yyjson_obj_iter_with(root);
  for (yyjson_val *k; (k = yyjson_obj_iter_next(&it));) {
    size_t len = 0;
    char *v = yyjson_val_write(yyjson_obj_iter_get_val(k), 0, &len);
    out.emplace_back(std::string(yyjson_get_str(k), yyjson_get_len(k)), std::string(v, len));
    std::free(v);
  }
  return out;
}

// A string value read as a C text, as compact JSON, or "" when it is not a
// non-empty one.
std::string nonempty_json(yyjson_val *obj, const char *key) {
  const char *s = fz::c_text(fz::first_member(obj, key));
  if (!s || !*s) return "";
  tavro_buf b{};
  FUZZ_CHECK(tavro_buf_json_str(&b, s) == 0, "out of memory");
  // Written again by yyjson, as the result's members are read back.
  fz::Json literal(b.data, b.len);
  tavro_buf_free(&b);
  size_t len = 0;
  char *v = yyjson_val_write(literal.root(), 0, &len);
  FUZZ_CHECK(v, "a string literal that does not read back");
  std::string out(v, len);
  std::free(v);
  return out;
}

// An integer value as JSON, or fallback.
std::string int_json(yyjson_val *v, const std::string &fallback) {
  if (yyjson_is_sint(v)) return std::to_string(yyjson_get_sint(v));
  if (yyjson_is_uint(v)) return std::to_string(yyjson_get_uint(v));
  return fallback;
}

using Members = std::vector<std::pair<std::string, std::string>>;

// What the reader must write for data, or nothing (an empty list) when it
// must fail.
Members expected(int kind, yyjson_val *data) {
  yyjson_val *expires = fz::first_member(data, "expires_in");
  switch (kind) {
  case 0: {
    std::string pin = nonempty_json(data, "pin"), check = nonempty_json(data, "check"),
                url = nonempty_json(data, "user_url");
    if (pin.empty() || check.empty() || url.empty()) return {};
    return {{"pin", pin},
            {"user_url", url},
            {"check", check},
            {"expires_in", int_json(expires, "600")}};
  }
  case 1: {
    yyjson_val *activated = fz::first_member(data, "activated");
    if (!yyjson_is_bool(activated)) return {};
    Members m{{"activated", yyjson_get_bool(activated) ? "true" : "false"}};
    if (yyjson_get_bool(activated)) {
      std::string key = nonempty_json(data, "apikey");
      if (key.empty()) return {};
      m.emplace_back("APIKey", key);
    }
    if (yyjson_is_int(expires)) m.emplace_back("expires_in", int_json(expires, ""));
    return m;
  }
  case 2: {
    yyjson_val *verif = fz::first_member(data, "verif");
    const char *state = yyjson_is_str(verif) ? yyjson_get_str(verif) : nullptr;
    size_t len = state ? yyjson_get_len(verif) : 0;
    auto is = [&](const char *word) {
      return state && len == std::strlen(word) && !std::memcmp(state, word, len);
    };
    if (is("waiting"))
      return {
          {"verif", "\"waiting\""},
          {"resendable", yyjson_is_true(fz::first_member(data, "resendable")) ? "true" : "false"}};
    if (is("denied")) return {{"verif", "\"denied\""}};
    if (!is("allowed")) return {};
    std::string key = nonempty_json(data, "apikey");
    if (key.empty()) return {};
    return {{"verif", "\"allowed\""}, {"APIKey", key}};
  }
  default: {
    yyjson_val *sent = fz::first_member(data, "sent");
    if (!yyjson_is_bool(sent)) return {};
    return {{"sent", yyjson_get_bool(sent) ? "true" : "false"}};
  }
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  int kind = data[0] % 4;
  const char *text = reinterpret_cast<const char *>(data + 1);
  size_t len = size - 1;

  yyjson_doc *doc = nullptr;
  yyjson_val *payload = nullptr;
  char err[TAVRO_ERR_SIZE] = {};
  char *token = nullptr;
  int rc = tavro_parse_envelope(len ? text : nullptr, len, &doc, &payload, err, sizeof err, &token);

  fz::Json j(text, len);
  yyjson_val *root = j.root();
  if (rc != TAVRO_OK) {
    // The token of the service's error, when it has one.
    yyjson_val *error = yyjson_is_obj(root) ? fz::first_member(root, "error") : nullptr;
    const char *want =
        yyjson_is_obj(error) ? fz::c_text(fz::first_member(error, "token")) : nullptr;
    bool service = yyjson_is_obj(root) && yyjson_is_str(fz::first_member(root, "status")) &&
                   !yyjson_equals_str(fz::first_member(root, "status"), "success");
    if (service && want && *want)
      FUZZ_CHECK(token && !std::strcmp(token, want), "token %s, not %s", token ? token : "(none)",
                 want);
    else
      FUZZ_CHECK(!token, "a token %s from no service error's token", token);
    FUZZ_CHECK(err[0] != '\0', "failure without a message");
    std::free(token);
    return 0;
  }
  FUZZ_CHECK(!token, "a token from a success");

  tavro_buf out{};
  char why[TAVRO_ERR_SIZE] = {};
  int code = kind == 0   ? tavro_pin_start_result(payload, &out, why, sizeof why)
             : kind == 1 ? tavro_pin_check_result(payload, &out, why, sizeof why)
                         : tavro_verify_result(payload, kind == 3, &out, why, sizeof why);
  Members want = expected(kind, fz::first_member(root, "data"));
  if (want.empty()) {
    FUZZ_CHECK(code == TAVRO_E_FAILED, "kind %d: code %d for an answer without its members", kind,
               code);
    FUZZ_CHECK(why[0] != '\0', "failure without a message");
    FUZZ_CHECK(out.len == 0, "failure wrote %s", out.data);
  } else {
    FUZZ_CHECK(code == TAVRO_OK, "kind %d: code %d: %s", kind, code, why);
    FUZZ_CHECK(fz::strict_json(out.data), "not strict JSON: %s", out.data);
    Members got = members(out.data);
    FUZZ_CHECK(got == want, "kind %d wrote %s", kind, out.data);
  }
  tavro_buf_free(&out);
  yyjson_doc_free(doc);
  return 0;
}
