// SPDX-License-Identifier: MIT
// The PIN flow and the approval of a new place.
#include "tavro_signin.h"

#include "tavro_answers.h"
#include "tavro_http.h"
#include "tavro_service.h"
#include "tavro_text.h"

#include <cstring>

namespace {

constexpr char kOom[] = "out of memory";

// A string member with at least one character (as a C text), or null.
const char *nonempty(yyjson_val *obj, const char *key) {
  const char *s = yyjson_is_obj(obj) ? yyjson_get_str(yyjson_obj_get(obj, key)) : nullptr;
  return s && *s ? s : nullptr;
}

// The host's JSON object, parsed, or null.
yyjson_val *object_of(tavro::Doc &doc, const char *text) {
  doc.reset(text ? tavro_json_read(text, std::strlen(text)) : nullptr);
  yyjson_val *root = doc.root();
  return yyjson_is_obj(root) ? root : nullptr;
}

// An integer of the answer, appended as it is: 0, or -1 when memory runs
// out. v must be an integer.
int add_int(tavro_buf *out, yyjson_val *v) {
  if (yyjson_is_sint(v)) return tavro_buf_addi(out, yyjson_get_sint(v));
  uint64_t u = yyjson_get_uint(v);
  if (u <= (uint64_t)INT64_MAX) return tavro_buf_addi(out, (int64_t)u);
  return tavro_buf_addf(out, "%llu", (unsigned long long)u);
}

// Room, reserved at once, for a result that holds key: the result is then
// written without the buffer moving, so no copy of the key is left behind
// in memory given back. rest covers everything around the key.
int reserve_for_key(tavro_buf *out, const char *key, uint64_t rest) {
  return tavro_buf_reserve_exact(out, tavro_json_str_size(key, std::strlen(key)) + rest);
}

// An answer read in place, whose body (with the strings of the document
// parsed inside it) is wiped before it is released: it may hold a key.
struct SecretAnswer {
  tavro::Resp resp;
  tavro::Doc doc;
  yyjson_val *data = nullptr;

  SecretAnswer() = default;
  SecretAnswer(const SecretAnswer &) = delete;
  SecretAnswer &operator=(const SecretAnswer &) = delete;
  ~SecretAnswer() {
    doc.reset();
    if (resp->body) tavro_wipe(resp->body, resp->body_len);
  }
};

// The request, then its answer's envelope.
int ask(const tavro_sess *sess, const tavro_request &req, SecretAnswer &a, char *err,
        size_t err_size) {
  if (int code = tavro_sess_request(sess, req, a.resp.get(), err, err_size)) return code;
  return tavro_parse_envelope_in_place(a.resp->body, a.resp->body_len, a.doc.out(), &a.data, err,
                                       err_size, sess->verification);
}

} // namespace

// ---- The host's arguments -------------------------------------------------

void tavro_pin_free(tavro_pin *pin) {
  std::free(pin->pin);
  std::free(pin->check);
  *pin = tavro_pin{};
}

int tavro_pin_parse(const char *text, tavro_pin *pin, char *err, size_t err_size) {
  *pin = tavro_pin{};
  tavro::Doc doc;
  yyjson_val *root = object_of(doc, text);
  if (!root) return tavro_fail(err, err_size, TAVRO_E_ARG, "pin is not a JSON object");
  const char *p = nonempty(root, "pin"), *c = nonempty(root, "check");
  if (!p || !c)
    return tavro_fail(err, err_size, TAVRO_E_ARG,
                      "pin has no \"pin\" and \"check\" (the result of tavro_pin_start)");
  tavro::Owned<tavro_pin, tavro_pin_free> holder(pin);
  pin->pin = tavro_strdup(p);
  pin->check = tavro_strdup(c);
  if (!pin->pin || !pin->check) return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  holder.release();
  return TAVRO_OK;
}

void tavro_verif_free(tavro_verif *req) {
  std::free(req->token);
  *req = tavro_verif{};
}

int tavro_verif_parse(const char *text, tavro_verif *req, char *err, size_t err_size) {
  *req = tavro_verif{};
  tavro::Doc doc;
  yyjson_val *root = object_of(doc, text);
  if (!root) return tavro_fail(err, err_size, TAVRO_E_ARG, "request is not a JSON object");
  const char *token = nonempty(root, "token");
  if (!token)
    return tavro_fail(err, err_size, TAVRO_E_ARG,
                      "request has no \"token\" (the verification of an AUTH_BLOCKED error)");
  yyjson_val *resend = yyjson_obj_get(root, "resend");
  if (resend && !yyjson_is_bool(resend))
    return tavro_fail(err, err_size, TAVRO_E_ARG, "\"resend\" is not true or false");
  req->token = tavro_strdup(token);
  if (!req->token) return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  req->resend = yyjson_is_true(resend);
  return TAVRO_OK;
}

// ---- The answers ----------------------------------------------------------

int tavro_pin_start_result(yyjson_val *data, tavro_buf *out, char *err, size_t err_size) {
  const char *pin = nonempty(data, "pin"), *check = nonempty(data, "check"),
             *url = nonempty(data, "user_url");
  if (!pin || !check || !url)
    return tavro_fail(err, err_size, TAVRO_E_FAILED,
                      "pin/get answered without a pin, a check or a user_url");
  yyjson_val *expires = yyjson_obj_get(data, "expires_in");
  if (tavro_buf_adds(out, "{\"pin\":") || tavro_buf_json_str(out, pin) ||
      tavro_buf_adds(out, ",\"user_url\":") || tavro_buf_json_str(out, url) ||
      tavro_buf_adds(out, ",\"check\":") || tavro_buf_json_str(out, check) ||
      tavro_buf_adds(out, ",\"expires_in\":") ||
      (yyjson_is_int(expires) ? add_int(out, expires) : tavro_buf_addi(out, TAVRO_PIN_LIFETIME)) ||
      tavro_buf_adds(out, "}"))
    return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  return TAVRO_OK;
}

int tavro_pin_check_result(yyjson_val *data, tavro_buf *out, char *err, size_t err_size) {
  yyjson_val *activated = yyjson_obj_get(data, "activated");
  if (!yyjson_is_bool(activated))
    return tavro_fail(err, err_size, TAVRO_E_FAILED, "pin/check answered no activated flag");
  yyjson_val *expires = yyjson_obj_get(data, "expires_in");
  bool with_expiry = yyjson_is_int(expires);
  if (!yyjson_get_bool(activated)) {
    if (tavro_buf_adds(out, "{\"activated\":false") ||
        (with_expiry && (tavro_buf_adds(out, ",\"expires_in\":") || add_int(out, expires))) ||
        tavro_buf_adds(out, "}"))
      return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
    return TAVRO_OK;
  }
  const char *key = nonempty(data, "apikey");
  if (!key)
    return tavro_fail(err, err_size, TAVRO_E_FAILED,
                      "pin/check answered activated without an apikey");
  // {"activated":true,"APIKey":,"expires_in":} and 20 digits, the NUL.
  if (reserve_for_key(out, key, 64) || tavro_buf_adds(out, "{\"activated\":true,\"APIKey\":") ||
      tavro_buf_json_str(out, key) ||
      (with_expiry && (tavro_buf_adds(out, ",\"expires_in\":") || add_int(out, expires))) ||
      tavro_buf_adds(out, "}"))
    return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  return TAVRO_OK;
}

int tavro_verify_result(yyjson_val *data, bool resend, tavro_buf *out, char *err, size_t err_size) {
  if (resend) {
    yyjson_val *sent = yyjson_obj_get(data, "sent");
    if (!yyjson_is_bool(sent))
      return tavro_fail(err, err_size, TAVRO_E_FAILED, "user/verif/resend answered no sent flag");
    if (tavro_buf_adds(out, yyjson_get_bool(sent) ? "{\"sent\":true}" : "{\"sent\":false}"))
      return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
    return TAVRO_OK;
  }
  yyjson_val *verif = yyjson_is_obj(data) ? yyjson_obj_get(data, "verif") : nullptr;
  if (yyjson_equals_str(verif, "waiting")) {
    bool resendable = yyjson_is_true(yyjson_obj_get(data, "resendable"));
    if (tavro_buf_adds(out, resendable ? "{\"verif\":\"waiting\",\"resendable\":true}"
                                       : "{\"verif\":\"waiting\",\"resendable\":false}"))
      return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
    return TAVRO_OK;
  }
  if (yyjson_equals_str(verif, "denied")) {
    if (tavro_buf_adds(out, "{\"verif\":\"denied\"}"))
      return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
    return TAVRO_OK;
  }
  if (!yyjson_equals_str(verif, "allowed"))
    return tavro_fail(err, err_size, TAVRO_E_FAILED,
                      "user/verif answered no verif state it documents");
  const char *key = nonempty(data, "apikey");
  if (!key)
    return tavro_fail(err, err_size, TAVRO_E_FAILED,
                      "user/verif answered allowed without an apikey");
  // {"verif":"allowed","APIKey":} and the NUL.
  if (reserve_for_key(out, key, 32) || tavro_buf_adds(out, "{\"verif\":\"allowed\",\"APIKey\":") ||
      tavro_buf_json_str(out, key) || tavro_buf_adds(out, "}"))
    return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  return TAVRO_OK;
}

// ---- The operations -------------------------------------------------------

int tavro_do_pin_start(const tavro_sess *sess, tavro_buf *out, char *err, size_t err_size) {
  SecretAnswer answer;
  tavro_request req{TAVRO_PIN_ROOT, "/pin/get", nullptr, false, "pin/get"};
  if (int code = ask(sess, req, answer, err, err_size)) return code;
  return tavro_pin_start_result(answer.data, out, err, err_size);
}

int tavro_do_pin_check(const tavro_sess *sess, const char *pin, tavro_buf *out, char *err,
                       size_t err_size) {
  tavro_pin p{};
  tavro::Owned<tavro_pin, tavro_pin_free> holder(&p);
  if (int code = tavro_pin_parse(pin, &p, err, err_size)) return code;
  SecretAnswer answer;
  {
    tavro::Buf form;
    if (tavro_buf_form(form.get(), "pin", p.pin) || tavro_buf_form(form.get(), "check", p.check))
      return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
    tavro_request req{TAVRO_API_ROOT, "/pin/check", form.c_str(), false, "pin/check"};
    if (int code = ask(sess, req, answer, err, err_size)) return code;
  }
  return tavro_pin_check_result(answer.data, out, err, err_size);
}

int tavro_do_verify(const tavro_sess *sess, const char *request, tavro_buf *out, char *err,
                    size_t err_size) {
  tavro_verif v{};
  tavro::Owned<tavro_verif, tavro_verif_free> holder(&v);
  if (int code = tavro_verif_parse(request, &v, err, err_size)) return code;
  SecretAnswer answer;
  {
    tavro::Buf form;
    if (tavro_buf_form(form.get(), "token", v.token))
      return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
    tavro_request req{TAVRO_API_ROOT, v.resend ? "/user/verif/resend" : "/user/verif", form.c_str(),
                      true, v.resend ? "user/verif/resend" : "user/verif"};
    if (int code = ask(sess, req, answer, err, err_size)) return code;
  }
  return tavro_verify_result(answer.data, v.resend, out, err, err_size);
}
