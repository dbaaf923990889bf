// SPDX-License-Identifier: MIT
// Signing in: the PIN flow (a PIN from pin/get, then pin/check until the
// user has entered it) and the approval of a new place (user/verif and
// user/verif/resend, with the token of an AUTH_BLOCKED error). The host's
// arguments, the requests, the answers read and the result documents
// written. A key the service hands out appears in the result and nowhere
// else: never in a message, and the answer that held it is wiped once it is
// read. pin/get and pin/check are public: no key goes with them.
#pragma once

#include "tavro_ops.h"

#include <cstddef>

// The PIN a check asks about: "pin" and "check" of a start result, or of
// any JSON object with them as non-empty strings (heap texts).
struct tavro_pin {
  char *pin;
  char *check;
};

// Reads the host's PIN object. 0, or TAVRO_E_ARG (or TAVRO_E_FAILED when
// memory runs out) with the message written and pin empty.
int tavro_pin_parse(const char *text, tavro_pin *pin, char *err, size_t err_size);
void tavro_pin_free(tavro_pin *pin);

// An approval request: {"token":"...", "resend": true or false}.
struct tavro_verif {
  char *token; // non-empty, a heap text
  bool resend;
};

// Reads the host's approval request: a JSON object with a non-empty string
// "token" and, optionally, "resend" true or false. Codes as tavro_pin_parse.
int tavro_verif_parse(const char *text, tavro_verif *req, char *err, size_t err_size);
void tavro_verif_free(tavro_verif *req);

// The answers, from their "data" value to the result document appended to
// out. TAVRO_OK, or TAVRO_E_FAILED with the message written (an answer
// without what the result needs, or memory run out).
//
// pin/get: {"pin":...,"user_url":...,"check":...,"expires_in":N}; pin,
// check and user_url must be non-empty strings; expires_in is 600 when the
// answer has no integer.
int tavro_pin_start_result(yyjson_val *data, tavro_buf *out, char *err, size_t err_size);
// pin/check: {"activated":false[,"expires_in":N]} or
// {"activated":true,"APIKey":...[,"expires_in":N]}: activated must be true
// or false, and true needs a non-empty apikey; expires_in is written when
// the answer has an integer.
int tavro_pin_check_result(yyjson_val *data, tavro_buf *out, char *err, size_t err_size);
// user/verif: {"verif":"waiting","resendable":true|false} (false unless the
// answer says true), {"verif":"allowed","APIKey":...} (a non-empty apikey
// needed) or {"verif":"denied"}; any other verif fails. user/verif/resend
// (resend set): {"sent":true|false}, sent being true or false.
int tavro_verify_result(yyjson_val *data, bool resend, tavro_buf *out, char *err, size_t err_size);

// The operations. pin_start: GET <v4.1>/pin/get, no key. pin_check: the
// host's PIN object read first (TAVRO_E_ARG before any request), then POST
// <root>/pin/check with pin=<pin>&check=<check>, no key. verify: the
// request read first, then POST <root>/user/verif (or /user/verif/resend)
// with token=<token> and the settings' key when they hold one.
int tavro_do_pin_start(const tavro_sess *sess, tavro_buf *out, char *err, size_t err_size);
int tavro_do_pin_check(const tavro_sess *sess, const char *pin, tavro_buf *out, char *err,
                       size_t err_size);
int tavro_do_verify(const tavro_sess *sess, const char *request, tavro_buf *out, char *err,
                    size_t err_size);
