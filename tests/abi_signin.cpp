// SPDX-License-Identifier: MIT
// Signing in through the exports (tavro_pin_start, tavro_pin_check,
// tavro_verify), the AUTH_BLOCKED error document and the validation's user
// members, each row run on the three transports a host may select: the
// built-in fake, a text table and a byte transport. Every row names the
// exact request (method, URL, form body, whether a key goes with it), the
// service's answer and the exact document the call must write.
#include "abi_loader.h"
#include "byte_host.h"
#include "support.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

const TavroApi &T = tavro_api();
using tt::ok;

const std::string kV4 = "https://api.alldebrid.com/v4";
const std::string kV41 = "https://api.alldebrid.com/v4.1";
const std::string kAuth = "Authorization: Bearer KEY123";

// The service's own example answers (shared/service-examples), as they are.
const std::string kPinGet = R"({
    "status": "success",
    "data": {
        "pin": "ABCD",
        "check": "664c3ca2635c99f291d28e11ea18e154750bd21a",
        "expires_in": 600,
        "user_url": "https:\/\/alldebrid.com\/pin\/?pin=ABCD",
        "base_url": "https:\/\/alldebrid.com\/pin\/"
    }
})";
const std::string kPinGetV4 = R"({
    "status": "success",
    "data": {
        "pin": "ABCD",
        "check": "664c3ca2635c99f291d28e11ea18e154750bd21a",
        "expires_in": 600,
        "user_url": "https:\/\/alldebrid.com\/pin\/?pin=ABCD",
        "base_url": "https:\/\/alldebrid.com\/pin\/",
        "check_url": "https:\/\/api.alldebrid.com\/pin\/check?check=664c3ca2635c99f291d28e11ea18e154750bd21a&pin=ABCD&agent=myAppName"
    }
})";
const std::string kPinWaiting =
    R"({"status": "success", "data": {"activated": false, "expires_in": 581}})";
const std::string kPinActivated =
    R"({"status": "success", "data": {"apikey": "abcdefABCDEF12345678",
    "activated": true, "expires_in": 570}})";
const std::string kVerifWaiting =
    R"({"status": "success", "data": {"verif": "waiting", "resendable": true}})";
const std::string kVerifAllowed =
    R"({"status": "success", "data": {"verif": "allowed", "apikey": "someValidApikey"}})";
const std::string kVerifDenied = R"({"status": "success", "data": {"verif": "denied"}})";
const std::string kVerifSent = R"({"status": "success", "data": {"sent": true}})";
const std::string kBlocked = R"({
    "status": "error",
    "error": {
        "code": "AUTH_BLOCKED",
        "message": "You are logging from a new location, device or app. An <b>email has been sent<\/b> to confirm the new sign in.",
        "token": "verificationToken75ec0643f9eb0db"
    }
})";
const std::string kUser = R"({
    "status": "success",
    "data": {
        "user": {
            "username": "MyUsername",
            "email": "some.email@example.com",
            "isPremium": true,
            "isSubscribed": false,
            "isTrial": false,
            "premiumUntil": "1545757200",
            "lang": "fr",
            "preferedDomain": "fr",
            "fidelityPoints": 200,
            "limitedHostersQuotas": {"someHost": 1024, "otherHost": 5000, "oneLast": 2000},
            "notifications": [ "FREEDAYS_USED_QUOTA" ]
        }
    }
})";

const std::string kStart =
    R"({"pin":"ABCD","user_url":"https://alldebrid.com/pin/?pin=ABCD",)"
    R"("check":"664c3ca2635c99f291d28e11ea18e154750bd21a","expires_in":600})";
const std::string kCheckForm = "pin=ABCD&check=664c3ca2635c99f291d28e11ea18e154750bd21a";
const std::string kBlockedMessage =
    "AllDebrid error AUTH_BLOCKED: You are logging from a new location, device or app. An email "
    "has been sent to confirm the new sign in.";
const std::string kBlockedDocument =
    R"({"error":")" + kBlockedMessage + R"(","verification":"verificationToken75ec0643f9eb0db"})";

enum class Op { pin_start, pin_check, verify, validate, list, stream };

// The one request a row's call makes.
struct Exchange {
  std::string method, root, path, form;
  bool keyed; // the settings' key goes with it
  int32_t status;
  std::string answer;
};

struct Row {
  const char *name;
  Op op;
  std::string settings;
  std::optional<std::string> arg;
  std::optional<Exchange> exchange; // none: refused before any request
  int code;
  std::string document; // what out holds afterwards
  std::string message;  // tavro_last_error
};

Exchange pin_get(int32_t status, const std::string &answer) {
  return {"GET", kV41, "/pin/get", "", false, status, answer};
}
Exchange pin_check(int32_t status, const std::string &answer,
                   const std::string &form = kCheckForm) {
  return {"POST", kV4, "/pin/check", form, false, status, answer};
}
Exchange verif(const std::string &answer, bool keyed = true,
               const std::string &form = "token=tok-1") {
  return {"POST", kV4, "/user/verif", form, keyed, 200, answer};
}
Exchange resend(const std::string &answer) {
  return {"POST", kV4, "/user/verif/resend", "token=tok-1", true, 200, answer};
}
Exchange user(const std::string &answer) {
  return {"GET", kV4, "/user", "", true, 200, answer};
}

std::string error_doc(const std::string &message) {
  return R"({"error":)" + tt::json_literal(message) + "}";
}

// A success row.
Row good(const char *name, Op op, std::optional<std::string> arg, Exchange ex,
         const std::string &result, const std::string &settings = tt::kSettings) {
  return {name, op, settings, std::move(arg), std::move(ex), TAVRO_OK, result, ""};
}
// A failure row with the plain error document.
Row bad(const char *name, Op op, std::optional<std::string> arg, std::optional<Exchange> ex,
        int code, const std::string &message, const std::string &settings = tt::kSettings) {
  return {name, op, settings, std::move(arg), std::move(ex), code, error_doc(message), message};
}

// A row whose document is given whole.
Row whole(const char *name, Op op, std::optional<std::string> arg, Exchange ex, int code,
          const std::string &document, const std::string &message) {
  return {name, op, tt::kSettings, std::move(arg), std::move(ex), code, document, message};
}

const std::string kNoKey = R"({"CustomName":"quorvelindash"})";
const std::string kWaitingDoc = R"({"activated":false,"expires_in":581})";
const std::string kActivatedDoc =
    R"({"activated":true,"APIKey":"abcdefABCDEF12345678","expires_in":570})";
const std::string kToken = R"({"token":"tok-1"})";
const std::string kResend = R"({"token":"tok-1","resend":true})";
const std::string kValidated =
    R"({"ClientId":"quorvelindash","RuntimeType":"ALLDEBRID","ID":"a-1")";
const std::string kIdSettings = R"({"APIKey":"KEY123","ID":"a-1"})";

std::vector<Row> rows() {
  std::string pin_error =
      R"({"status":"error","error":{"code":"PIN_EXPIRED","message":"The pin is expired"}})";
  return {
      // ---- tavro_pin_start
      good("start: the service's v4.1 answer", Op::pin_start, std::nullopt, pin_get(200, kPinGet),
           kStart),
      good("start: the old v4 answer's check_url is ignored", Op::pin_start, std::nullopt,
           pin_get(200, kPinGetV4), kStart),
      good("start: settings without a key", Op::pin_start, std::nullopt, pin_get(200, kPinGet),
           kStart, "{}"),
      good("start: no expires_in is 600", Op::pin_start, std::nullopt,
           pin_get(200, ok(R"({"pin":"P","check":"C","user_url":"U"})")),
           R"({"pin":"P","user_url":"U","check":"C","expires_in":600})"),
      good("start: a string expires_in is 600", Op::pin_start, std::nullopt,
           pin_get(200, ok(R"({"pin":"P","check":"C","user_url":"U","expires_in":"30"})")),
           R"({"pin":"P","user_url":"U","check":"C","expires_in":600})"),
      good("start: a fraction is 600", Op::pin_start, std::nullopt,
           pin_get(200, ok(R"({"pin":"P","check":"C","user_url":"U","expires_in":1.5})")),
           R"({"pin":"P","user_url":"U","check":"C","expires_in":600})"),
      good("start: another integer is kept, escapes written", Op::pin_start, std::nullopt,
           pin_get(200, ok(R"({"expires_in":-3,"user_url":"u\"v","check":"c\\","pin":"p\u0001"})")),
           R"({"pin":"p\u0001","user_url":"u\"v","check":"c\\","expires_in":-3})"),
      bad("start: no pin", Op::pin_start, std::nullopt,
          pin_get(200, ok(R"({"check":"C","user_url":"U"})")), TAVRO_E_FAILED,
          "pin/get answered without a pin, a check or a user_url"),
      bad("start: an empty check", Op::pin_start, std::nullopt,
          pin_get(200, ok(R"({"pin":"P","check":"","user_url":"U"})")), TAVRO_E_FAILED,
          "pin/get answered without a pin, a check or a user_url"),
      bad("start: a user_url that is no string", Op::pin_start, std::nullopt,
          pin_get(200, ok(R"({"pin":"P","check":"C","user_url":7})")), TAVRO_E_FAILED,
          "pin/get answered without a pin, a check or a user_url"),
      bad("start: data is no object", Op::pin_start, std::nullopt, pin_get(200, ok("[]")),
          TAVRO_E_FAILED, "pin/get answered without a pin, a check or a user_url"),
      bad("start: HTTP 503", Op::pin_start, std::nullopt, pin_get(503, "busy"), TAVRO_E_TRANSPORT,
          "pin/get answered HTTP 503"),
      bad("start: not JSON", Op::pin_start, std::nullopt, pin_get(200, "<html>"), TAVRO_E_FAILED,
          "response is not a JSON object"),
      bad("start: a service error, its HTML removed", Op::pin_start, std::nullopt,
          pin_get(200, tt::error_env("MAINTENANCE", "<p>Down <i>for</i> a while</p> <3")),
          TAVRO_E_TRANSPORT, "AllDebrid error MAINTENANCE: Down for a while <3"),
      bad("start: settings that are no object", Op::pin_start, std::nullopt, std::nullopt,
          TAVRO_E_ARG, "settings are not a JSON object", "[]"),
      bad("start: settings for another handler", Op::pin_start, std::nullopt, std::nullopt,
          TAVRO_E_ARG, R"(RuntimeType is "X", this handler is "ALLDEBRID")",
          R"({"RuntimeType":"X"})"),

      // ---- tavro_pin_check
      good("check: waiting", Op::pin_check, kStart, pin_check(200, kPinWaiting), kWaitingDoc),
      good("check: activated", Op::pin_check, kStart, pin_check(200, kPinActivated), kActivatedDoc),
      good("check: settings without a key", Op::pin_check, kStart, pin_check(200, kPinActivated),
           kActivatedDoc, kNoKey),
      good("check: any object with pin and check", Op::pin_check,
           R"({"check":"c/1","x":[1],"pin":"A B&"})",
           pin_check(200, kPinWaiting, "pin=A%20B%26&check=c%2F1"), kWaitingDoc),
      good("check: no expires_in", Op::pin_check, kStart,
           pin_check(200, ok(R"({"activated":false})")), R"({"activated":false})"),
      good("check: an apikey while waiting is not handed out", Op::pin_check, kStart,
           pin_check(200, ok(R"({"activated":false,"apikey":"early","expires_in":5})")),
           R"({"activated":false,"expires_in":5})"),
      good("check: a key needing escapes", Op::pin_check, kStart,
           pin_check(200, ok(R"({"activated":true,"apikey":"k\"\\y","expires_in":1})")),
           R"({"activated":true,"APIKey":"k\"\\y","expires_in":1})"),
      bad("check: activated without an apikey", Op::pin_check, kStart,
          pin_check(200, ok(R"({"activated":true,"expires_in":9})")), TAVRO_E_FAILED,
          "pin/check answered activated without an apikey"),
      bad("check: activated with an empty apikey", Op::pin_check, kStart,
          pin_check(200, ok(R"({"activated":true,"apikey":""})")), TAVRO_E_FAILED,
          "pin/check answered activated without an apikey"),
      bad("check: activated is a string", Op::pin_check, kStart,
          pin_check(200, ok(R"({"activated":"true","apikey":"k"})")), TAVRO_E_FAILED,
          "pin/check answered no activated flag"),
      bad("check: no activated", Op::pin_check, kStart, pin_check(200, ok(R"({"expires_in":3})")),
          TAVRO_E_FAILED, "pin/check answered no activated flag"),
      bad("check: PIN_EXPIRED", Op::pin_check, kStart, pin_check(200, pin_error), TAVRO_E_AUTH,
          "AllDebrid error PIN_EXPIRED: The pin is expired"),
      bad("check: PIN_INVALID", Op::pin_check, kStart,
          pin_check(200, tt::error_env("PIN_INVALID", "The check is wrong")), TAVRO_E_AUTH,
          "AllDebrid error PIN_INVALID: The check is wrong"),
      bad("check: HTTP 429", Op::pin_check, kStart, pin_check(429, ""), TAVRO_E_LIMIT,
          "pin/check answered HTTP 429"),
      bad("check: no pin object", Op::pin_check, std::nullopt, std::nullopt, TAVRO_E_ARG,
          "pin is not a JSON object"),
      bad("check: pin is an array", Op::pin_check, "[]", std::nullopt, TAVRO_E_ARG,
          "pin is not a JSON object"),
      bad("check: pin is no JSON", Op::pin_check, "ABCD", std::nullopt, TAVRO_E_ARG,
          "pin is not a JSON object"),
      bad("check: no check", Op::pin_check, R"({"pin":"ABCD"})", std::nullopt, TAVRO_E_ARG,
          R"(pin has no "pin" and "check" (the result of tavro_pin_start))"),
      bad("check: an empty pin", Op::pin_check, R"({"pin":"","check":"c"})", std::nullopt,
          TAVRO_E_ARG, R"(pin has no "pin" and "check" (the result of tavro_pin_start))"),
      bad("check: a number for pin", Op::pin_check, R"({"pin":1234,"check":"c"})", std::nullopt,
          TAVRO_E_ARG, R"(pin has no "pin" and "check" (the result of tavro_pin_start))"),

      // ---- tavro_verify
      good("verify: waiting", Op::verify, kToken, verif(kVerifWaiting),
           R"({"verif":"waiting","resendable":true})"),
      good("verify: waiting, not resendable", Op::verify, kToken,
           verif(ok(R"({"verif":"waiting","resendable":false})")),
           R"({"verif":"waiting","resendable":false})"),
      good("verify: waiting, resendable missing", Op::verify, kToken,
           verif(ok(R"({"verif":"waiting"})")), R"({"verif":"waiting","resendable":false})"),
      good("verify: allowed", Op::verify, kToken, verif(kVerifAllowed),
           R"({"verif":"allowed","APIKey":"someValidApikey"})"),
      good("verify: denied", Op::verify, kToken, verif(kVerifDenied), R"({"verif":"denied"})"),
      good("verify: settings without a key send none", Op::verify, kToken,
           verif(kVerifAllowed, false), R"({"verif":"allowed","APIKey":"someValidApikey"})",
           kNoKey),
      good("verify: resend", Op::verify, kResend, resend(kVerifSent), R"({"sent":true})"),
      good("verify: resend false asks the state", Op::verify,
           R"({"resend":false,"token":"tok-1","other":1})", verif(kVerifDenied),
           R"({"verif":"denied"})"),
      good("verify: a token needing encoding", Op::verify, R"({"token":"a+b/c="})",
           verif(kVerifDenied, true, "token=a%2Bb%2Fc%3D"), R"({"verif":"denied"})"),
      bad("verify: PIN_EXPIRED, the token spent", Op::verify, kToken,
          verif(tt::error_env("PIN_EXPIRED", "expired")), TAVRO_E_AUTH,
          "AllDebrid error PIN_EXPIRED: expired"),
      bad("verify: ALREADY_SENT", Op::verify, kResend,
          resend(tt::error_env("ALREADY_SENT", "Already sent")), TAVRO_E_LIMIT,
          "AllDebrid error ALREADY_SENT: Already sent"),
      bad("verify: an unknown state", Op::verify, kToken, verif(ok(R"({"verif":"maybe"})")),
          TAVRO_E_FAILED, "user/verif answered no verif state it documents"),
      bad("verify: allowed without an apikey", Op::verify, kToken,
          verif(ok(R"({"verif":"allowed"})")), TAVRO_E_FAILED,
          "user/verif answered allowed without an apikey"),
      bad("verify: resend without sent", Op::verify, kResend, resend(ok("{}")), TAVRO_E_FAILED,
          "user/verif/resend answered no sent flag"),
      bad("verify: no request", Op::verify, std::nullopt, std::nullopt, TAVRO_E_ARG,
          "request is not a JSON object"),
      bad("verify: no token", Op::verify, R"({"resend":true})", std::nullopt, TAVRO_E_ARG,
          R"(request has no "token" (the verification of an AUTH_BLOCKED error))"),
      bad("verify: an empty token", Op::verify, R"({"token":""})", std::nullopt, TAVRO_E_ARG,
          R"(request has no "token" (the verification of an AUTH_BLOCKED error))"),
      bad("verify: resend is a string", Op::verify, R"({"token":"t","resend":"yes"})", std::nullopt,
          TAVRO_E_ARG, R"("resend" is not true or false)"),
      bad("verify: the settings' key masked in the service's message", Op::verify, kToken,
          verif(tt::error_env("GENERIC", "key KEY123 <b>refused</b>")), TAVRO_E_FAILED,
          "AllDebrid error GENERIC: key ****** refused"),

      // ---- AUTH_BLOCKED hands over its token
      whole("validate: AUTH_BLOCKED", Op::validate, std::nullopt, user(kBlocked), TAVRO_E_AUTH,
            kBlockedDocument, kBlockedMessage),
      whole("list: AUTH_BLOCKED", Op::list, "torrents",
            Exchange{"POST", kV41, "/magnet/status", "", true, 200, kBlocked}, TAVRO_E_AUTH,
            kBlockedDocument, kBlockedMessage),
      whole("stream: AUTH_BLOCKED", Op::stream, R"({"locator":"L1"})",
            Exchange{"POST", kV4, "/link/unlock", "link=L1", true, 200, kBlocked}, TAVRO_E_AUTH,
            kBlockedDocument, kBlockedMessage),
      whole(
          "verify: a token with escapes", Op::verify, kToken,
          verif(
              R"({"status":"error","error":{"token":"t\"1","message":"m","code":"AUTH_BLOCKED"}})"),
          TAVRO_E_AUTH, R"({"error":"AllDebrid error AUTH_BLOCKED: m","verification":"t\"1"})",
          "AllDebrid error AUTH_BLOCKED: m"),
      bad("validate: an empty token is no verification", Op::validate, std::nullopt,
          user(R"({"status":"error","error":{"code":"AUTH_BLOCKED","message":"m","token":""}})"),
          TAVRO_E_AUTH, "AllDebrid error AUTH_BLOCKED: m"),
      bad("validate: a token that is no string", Op::validate, std::nullopt,
          user(R"({"status":"error","error":{"code":"AUTH_BLOCKED","message":"m","token":5}})"),
          TAVRO_E_AUTH, "AllDebrid error AUTH_BLOCKED: m"),
      bad("validate: a message only of tags", Op::validate, std::nullopt,
          user(tt::error_env("AUTH_BAD_APIKEY", "<br/>")), TAVRO_E_AUTH,
          "AllDebrid error AUTH_BAD_APIKEY: (no message)"),
      bad("validate: a '<' opening no tag stays", Op::validate, std::nullopt,
          user(tt::error_env("GENERIC", "a < b and 1<2 <!-- x --> end <i")), TAVRO_E_FAILED,
          "AllDebrid error GENERIC: a < b and 1<2  end <i"),
      bad("validate: a tag runs to the next '>'", Op::validate, std::nullopt,
          user(tt::error_env("GENERIC", "x <a href='1<2'>y</a> z")), TAVRO_E_FAILED,
          "AllDebrid error GENERIC: x y z"),

      // ---- the validation says who is signed in
      good("validate: the service's account answer", Op::validate, std::nullopt, user(kUser),
           kValidated + R"(,"User":"MyUsername","Premium":true,"PremiumUntil":1545757200})",
           kIdSettings),
      good("validate: not premium, 0", Op::validate, std::nullopt,
           user(ok(R"({"user":{"username":"u","isPremium":false,"premiumUntil":0}})")),
           kValidated + R"(,"User":"u","Premium":false,"PremiumUntil":0})", kIdSettings),
      good("validate: without them, today's bytes", Op::validate, std::nullopt, user(ok("{}")),
           kValidated + "}", kIdSettings),
      good("validate: a user that is no object", Op::validate, std::nullopt,
           user(ok(R"({"user":"MyUsername"})")), kValidated + "}", kIdSettings),
      good("validate: mistyped members are left out", Op::validate, std::nullopt,
           user(ok(R"({"user":{"username":"","isPremium":"yes","premiumUntil":"12a"}})")),
           kValidated + "}", kIdSettings),
      good("validate: more mistyped members", Op::validate, std::nullopt,
           user(ok(R"({"user":{"username":7,"isPremium":1,"premiumUntil":1.5}})")),
           kValidated + "}", kIdSettings),
      good("validate: each member alone", Op::validate, std::nullopt,
           user(ok(R"({"user":{"premiumUntil":"007"}})")), kValidated + R"(,"PremiumUntil":7})",
           kIdSettings),
      good("validate: a name needing escapes", Op::validate, std::nullopt,
           user(ok(R"({"user":{"username":"a\"b","isPremium":true}})")),
           kValidated + R"(,"User":"a\"b","Premium":true})", kIdSettings),
      good("validate: the largest integers", Op::validate, std::nullopt,
           user(ok(R"({"user":{"premiumUntil":18446744073709551615}})")),
           kValidated + R"(,"PremiumUntil":18446744073709551615})", kIdSettings),
      good("validate: a negative integer", Op::validate, std::nullopt,
           user(ok(R"({"user":{"premiumUntil":-1}})")), kValidated + R"(,"PremiumUntil":-1})",
           kIdSettings),
      good("validate: too many digits", Op::validate, std::nullopt,
           user(ok(R"({"user":{"premiumUntil":"1234567890123456789"}})")), kValidated + "}",
           kIdSettings),
  };
}

enum class Via { fake, text, bytes };
const char *via_name(Via v) {
  return v == Via::fake ? "fake" : v == Via::text ? "text table" : "byte transport";
}

int call(const Row &r, char *out, int32_t out_len) {
  const char *s = r.settings.c_str();
  const char *a = r.arg ? r.arg->c_str() : nullptr;
  switch (r.op) {
  case Op::pin_start:
    return T.tavro_pin_start(s, out, out_len);
  case Op::pin_check:
    return T.tavro_pin_check(s, a, out, out_len);
  case Op::verify:
    return T.tavro_verify(s, a, out, out_len);
  case Op::validate:
    return T.tavro_validate(s, out, out_len);
  case Op::list:
    return T.tavro_list(s, a, out, out_len);
  case Op::stream:
    return T.tavro_stream_url(s, a, out, out_len);
  }
  return 1;
}

// The URL of the exchange as the transport is handed it.
std::string url_of(const Exchange &e, Via via) {
  std::string u = e.root + e.path + "?agent=quorvelindash";
  if (e.keyed && via != Via::bytes) u += "&apikey=KEY123";
  return u;
}

class SignIn : public ::testing::TestWithParam<Via> {
protected:
  void SetUp() override { T.tavro_fake_reset(); }
  void TearDown() override {
    T.tavro_set_io(nullptr);
    T.tavro_fake_reset();
  }
};

TEST_P(SignIn, EveryRowSendsItsRequestAndWritesItsDocument) {
  Via via = GetParam();
  for (const Row &r : rows()) {
    SCOPED_TRACE(std::string(r.name) + " on the " + via_name(via));
    tt::Host host;
    tavro_io io = host.table();
    tt::ByteHost bytes;
    tavro_transport table = bytes.table();
    T.tavro_fake_reset();
    std::string url, fake_url;
    if (r.exchange) {
      const Exchange &e = *r.exchange;
      url = url_of(e, via);
      fake_url = e.form.empty() ? url : url + "&" + e.form;
      if (via == Via::fake)
        ASSERT_EQ(T.tavro_fake_set(e.method.c_str(), fake_url.c_str(), e.status, e.answer.c_str()),
                  0);
      else if (via == Via::text)
        host.answer({e.method, url, e.form, e.method == "POST" ? tt::kFormType : ""}, e.status,
                    e.answer);
      else
        bytes.answer(e.method, url, e.status, e.answer,
                     e.method == "POST" ? std::optional<std::string>(e.form) : std::nullopt);
    }
    if (via == Via::fake)
      T.tavro_use_fake();
    else if (via == Via::text)
      T.tavro_set_io(&io);
    else
      ASSERT_EQ(T.tavro_set_transport(&table), 0);

    std::array<char, 4096> out{};
    int code = call(r, out.data(), (int32_t)out.size());
    EXPECT_EQ(code, r.code);
    EXPECT_EQ(std::string(out.data()), r.document);
    EXPECT_EQ(std::string(T.tavro_last_error()), r.message);
    EXPECT_EQ(std::string(T.tavro_result_json()), r.code == TAVRO_OK ? r.document : "");
    // The settings' key is never in a message; a key the service hands out
    // is in the result only.
    for (const char *key : {"KEY123", "abcdefABCDEF12345678", "someValidApikey"})
      EXPECT_EQ(std::string(T.tavro_last_error()).find(key), std::string::npos) << key;

    // Exactly the request of the row, and nothing when it is refused first.
    if (via == Via::fake) {
      EXPECT_EQ(T.tavro_fake_calls(nullptr, nullptr), r.exchange ? 1 : 0);
      if (r.exchange) {
        EXPECT_EQ(std::string(T.tavro_fake_last_url()), fake_url);
        EXPECT_EQ(T.tavro_fake_calls(r.exchange->method.c_str(), fake_url.c_str()), 1);
      }
    } else if (via == Via::text) {
      std::vector<tt::Call> want;
      if (r.exchange)
        want.push_back({r.exchange->method, url, r.exchange->form,
                        r.exchange->method == "POST" ? tt::kFormType : ""});
      EXPECT_EQ(host.calls(), want);
      EXPECT_EQ(host.live(), 0u);
      EXPECT_EQ(host.bad_releases(), 0);
    } else {
      std::vector<tt::ByteCall> calls = bytes.calls();
      ASSERT_EQ(calls.size(), r.exchange ? 1u : 0u);
      if (r.exchange) {
        const tt::ByteCall &c = calls[0];
        const Exchange &e = *r.exchange;
        EXPECT_EQ(c.method, e.method);
        EXPECT_EQ(c.url, url);
        EXPECT_EQ(c.body, e.form);
        EXPECT_EQ(c.body_null, e.form.empty());
        EXPECT_EQ(c.content_type, e.method == "POST" ? tt::kFormType : "");
        EXPECT_EQ(c.content_type_null, e.method != "POST");
        EXPECT_TRUE(c.file_field_null);
        EXPECT_EQ(c.headers,
                  e.keyed ? std::vector<std::string>{kAuth} : std::vector<std::string>{});
      }
      EXPECT_EQ(bytes.live(), 0u);
      EXPECT_EQ(bytes.bad_releases(), 0);
    }
    T.tavro_set_io(nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(Transports, SignIn, ::testing::Values(Via::fake, Via::text, Via::bytes),
                         [](const ::testing::TestParamInfo<Via> &info) {
                           return info.param == Via::fake   ? std::string("Fake")
                                  : info.param == Via::text ? std::string("TextTable")
                                                            : std::string("ByteTransport");
                         });

// ---- The frame's rules on the new exports -----------------------------------

class SignInFrame : public ::testing::Test {
protected:
  void SetUp() override {
    T.tavro_fake_reset();
    T.tavro_use_fake();
    ASSERT_EQ(T.tavro_fake_set("POST",
                               (kV4 + "/pin/check?agent=quorvelindash&" + kCheckForm).c_str(), 200,
                               kPinActivated.c_str()),
              0);
  }
  void TearDown() override {
    T.tavro_set_io(nullptr);
    T.tavro_fake_reset();
  }
};

TEST_F(SignInFrame, NoTransportIsSaidBeforeAnyRequest) {
  T.tavro_set_io(nullptr);
  char out[256];
  EXPECT_EQ(T.tavro_pin_start("{}", out, sizeof out), TAVRO_E_TRANSPORT);
  EXPECT_STREQ(out, R"({"error":"no transport"})");
  EXPECT_EQ(T.tavro_pin_check("{}", kStart.c_str(), out, sizeof out), TAVRO_E_TRANSPORT);
  EXPECT_EQ(T.tavro_verify("{}", kToken.c_str(), out, sizeof out), TAVRO_E_TRANSPORT);
  EXPECT_STREQ(T.tavro_last_error(), "no transport");
}

TEST_F(SignInFrame, AKeyThatDoesNotFitIsNowhereButInTheThreadsCopy) {
  char out[16];
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(T.tavro_pin_check("{}", kStart.c_str(), out, sizeof out), TAVRO_E_BUFFER);
  EXPECT_EQ(out[0], '\0');
  EXPECT_STREQ(T.tavro_last_error(), "output buffer too small");
  EXPECT_EQ(std::string(T.tavro_result_json()), kActivatedDoc);
  // Without a buffer, the result waits in the copy.
  EXPECT_EQ(T.tavro_pin_check("{}", kStart.c_str(), nullptr, 0), TAVRO_OK);
  EXPECT_EQ(std::string(T.tavro_result_json()), kActivatedDoc);
  EXPECT_STREQ(T.tavro_last_error(), "");
  // The next call replaces it.
  EXPECT_EQ(T.tavro_pin_start("{}", nullptr, 0), TAVRO_E_NOT_FOUND);
  EXPECT_STREQ(T.tavro_result_json(), "");
}

TEST_F(SignInFrame, TheHandlerRecordStaysAsItWas) {
  const tavro_handler *h = T.halvo_get();
  EXPECT_STREQ(h->runtime_type, "ALLDEBRID");
  EXPECT_EQ(h->caps, 47);
  EXPECT_TRUE(h->validate && h->list && h->stream_url && h->download);
  // An AUTH_BLOCKED answer through the record's table hands its token over.
  tt::Host host;
  tavro_io io = host.table();
  host.answer("GET", tt::api("/user"), 200, kBlocked);
  char out[1024];
  EXPECT_EQ(h->validate(&io, tt::kSettings.c_str(), out, sizeof out), TAVRO_E_AUTH);
  EXPECT_EQ(std::string(out), kBlockedDocument);
}

TEST_F(SignInFrame, ThreadsKeepTheirOwnResults) {
  std::string waiting_url = kV4 + "/pin/check?agent=quorvelindash&pin=W&check=w";
  ASSERT_EQ(T.tavro_fake_set("POST", waiting_url.c_str(), 200, kPinWaiting.c_str()), 0);
  std::vector<std::thread> threads;
  std::vector<int> bad(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &bad] {
      for (int i = 0; i < 200; ++i) {
        bool activated = (t + i) % 2 == 0;
        std::string pin = activated ? kStart : R"({"pin":"W","check":"w"})";
        int code = T.tavro_pin_check("{}", pin.c_str(), nullptr, 0);
        std::string want = activated ? kActivatedDoc : kWaitingDoc;
        if (code != TAVRO_OK || T.tavro_result_json() != want) ++bad[t];
      }
    });
  }
  for (auto &th : threads) th.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(bad[t], 0) << "thread " << t;
}

} // namespace
