// SPDX-License-Identifier: MIT
// The pieces of signing in below the exports: service messages without
// their HTML and the approval token an error carries, the host's PIN object
// and approval request, and the memory that held a key handed out: the
// thread's result copy and the exchange's answer, wiped before they go.
#include "support.h"
#include "tavro_answers.h"
#include "tavro_base.h"
#include "tavro_keep.h"
#include "tavro_results.h"
#include "tavro_service.h"
#include "tavro_signin.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

// The sanitizers that forbid reading memory after it was freed.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TAVRO_TEST_CHECKS_FREED 1
#endif
#elif defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TAVRO_TEST_CHECKS_FREED 1
#endif

namespace {

std::string service_error(const std::string &error) {
  return R"({"status":"error","error":)" + error + "}";
}

// ---- Messages and tokens ----------------------------------------------------

TEST(ServiceMessage, TagsAreRemovedAndTheTokenHandedOverByTheRows) {
  struct Row {
    const char *why;
    std::string error; // the error object
    const char *message;
    std::optional<std::string> token;
  } rows[] = {
      {"the service's AUTH_BLOCKED",
       R"({"code":"AUTH_BLOCKED","message":"You are logging from a new location, device or app. )"
       R"(An <b>email has been sent<\/b> to confirm the new sign in.",)"
       R"("token":"verificationToken75ec0643f9eb0db"})",
       "AllDebrid error AUTH_BLOCKED: You are logging from a new location, device or app. An "
       "email has been sent to confirm the new sign in.",
       "verificationToken75ec0643f9eb0db"},
      {"tags with attributes and a comment",
       R"({"code":"X","message":"<p class=\"a\">one</p><!-- two --><br/>three"})",
       "AllDebrid error X: onethree", std::nullopt},
      {"a '<' that opens no tag", R"({"code":"X","message":"1 < 2, a<3, <=, <>"})",
       "AllDebrid error X: 1 < 2, a<3, <=, <>", std::nullopt},
      {"a tag never closed stays", R"({"code":"X","message":"a <b c"})",
       "AllDebrid error X: a <b c", std::nullopt},
      {"a closed tag before an open one", R"({"code":"X","message":"<i>a</i> <b c"})",
       "AllDebrid error X: a <b c", std::nullopt},
      {"nothing left", R"({"code":"X","message":"<b></b>"})", "AllDebrid error X: (no message)",
       std::nullopt},
      {"the code is not stripped", R"({"code":"<b>","message":"m"})", "AllDebrid error <b>: m",
       std::nullopt},
      {"an empty token", R"({"code":"AUTH_BLOCKED","message":"m","token":""})",
       "AllDebrid error AUTH_BLOCKED: m", std::nullopt},
      {"a token that is no string", R"({"code":"AUTH_BLOCKED","message":"m","token":["t"]})",
       "AllDebrid error AUTH_BLOCKED: m", std::nullopt},
      {"a token beside any code", R"({"code":"GENERIC","token":"t-2"})",
       "AllDebrid error GENERIC: (no message)", "t-2"},
      {"the first token counts", R"({"code":"A","token":"one","token":"two"})",
       "AllDebrid error A: (no message)", "one"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.why);
    std::string body = service_error(r.error);
    char err[TAVRO_ERR_SIZE] = {};
    yyjson_doc *doc = nullptr;
    yyjson_val *data = nullptr;
    char *token = nullptr;
    EXPECT_NE(tavro_parse_envelope(body.data(), body.size(), &doc, &data, err, sizeof err, &token),
              TAVRO_OK);
    EXPECT_STREQ(err, r.message);
    EXPECT_EQ(token ? std::optional<std::string>(token) : std::nullopt, r.token);
    std::free(token);
    // Without a slot, the same message.
    char again[TAVRO_ERR_SIZE] = {};
    tavro_parse_envelope(body.data(), body.size(), &doc, &data, again, sizeof again);
    EXPECT_STREQ(again, r.message);
  }
}

TEST(ServiceMessage, ALaterTokenReplacesAnEarlierOne) {
  std::string body = service_error(R"({"code":"AUTH_BLOCKED","message":"m","token":"new"})");
  char err[TAVRO_ERR_SIZE];
  yyjson_doc *doc = nullptr;
  yyjson_val *data = nullptr;
  char *token = tavro_strdup("old");
  tavro_parse_envelope(body.data(), body.size(), &doc, &data, err, sizeof err, &token);
  EXPECT_STREQ(token, "new");
  // A failure without one leaves it.
  std::string plain = service_error(R"({"code":"X","message":"m"})");
  tavro_parse_envelope(plain.data(), plain.size(), &doc, &data, err, sizeof err, &token);
  EXPECT_STREQ(token, "new");
  std::free(token);
}

TEST(ServiceMessage, TagsGoBeforeTheMessageIsCut) {
  // A message of tags and letters longer than the error buffer: what is
  // left of it fills the buffer.
  std::string message;
  for (int i = 0; i < 500; ++i) message += "<b>ab</b>";
  std::string body = service_error(R"({"code":"X","message":")" + message + "\"}");
  char err[TAVRO_ERR_SIZE];
  yyjson_doc *doc = nullptr;
  yyjson_val *data = nullptr;
  tavro_parse_envelope(body.data(), body.size(), &doc, &data, err, sizeof err);
  std::string want = "AllDebrid error X: ";
  while (want.size() < TAVRO_ERR_SIZE - 1) want += "ab";
  want.resize(TAVRO_ERR_SIZE - 1);
  EXPECT_EQ(std::string(err), want);
}

// ---- The host's arguments ----------------------------------------------------

TEST(SignInArguments, PinObjectsAndApprovalRequestsByTheRows) {
  struct PinRow {
    const char *why;
    const char *text;
    int code;
    const char *pin, *check;
  } pins[] = {
      {"a start result", R"({"pin":"ABCD","user_url":"u","check":"c1","expires_in":600})", TAVRO_OK,
       "ABCD", "c1"},
      {"escapes read", R"({"pin":"A\"B","check":"\u00e9"})", TAVRO_OK, "A\"B", "\xc3\xa9"},
      {"the first of duplicates", R"({"pin":"1","pin":"2","check":"c"})", TAVRO_OK, "1", "c"},
      {"null", nullptr, TAVRO_E_ARG, nullptr, nullptr},
      {"no object", R"("ABCD")", TAVRO_E_ARG, nullptr, nullptr},
      {"broken JSON", R"({"pin":"A","check":"c",})", TAVRO_E_ARG, nullptr, nullptr},
      {"no check", R"({"pin":"A"})", TAVRO_E_ARG, nullptr, nullptr},
      {"a null check", R"({"pin":"A","check":null})", TAVRO_E_ARG, nullptr, nullptr},
      {"a pin cut at an escaped NUL", R"({"pin":"\u0000A","check":"c"})", TAVRO_E_ARG, nullptr,
       nullptr},
  };
  for (const PinRow &r : pins) {
    SCOPED_TRACE(r.why);
    tavro_pin pin{};
    char err[TAVRO_ERR_SIZE] = {};
    EXPECT_EQ(tavro_pin_parse(r.text, &pin, err, sizeof err), r.code);
    EXPECT_EQ(pin.pin ? std::string(pin.pin) : "(null)", r.pin ? r.pin : "(null)");
    EXPECT_EQ(pin.check ? std::string(pin.check) : "(null)", r.check ? r.check : "(null)");
    EXPECT_EQ(err[0] == '\0', r.code == TAVRO_OK) << err;
    tavro_pin_free(&pin);
  }
  struct VerifRow {
    const char *why;
    const char *text;
    int code;
    const char *token;
    bool resend;
  } requests[] = {
      {"a state", R"({"token":"t"})", TAVRO_OK, "t", false},
      {"a resend", R"({"token":"t","resend":true})", TAVRO_OK, "t", true},
      {"resend false", R"({"resend":false,"token":"t"})", TAVRO_OK, "t", false},
      {"resend null", R"({"token":"t","resend":null})", TAVRO_E_ARG, nullptr, false},
      {"resend 1", R"({"token":"t","resend":1})", TAVRO_E_ARG, nullptr, false},
      {"a number for token", R"({"token":5})", TAVRO_E_ARG, nullptr, false},
      {"null", nullptr, TAVRO_E_ARG, nullptr, false},
      {"an array", R"([{"token":"t"}])", TAVRO_E_ARG, nullptr, false},
  };
  for (const VerifRow &r : requests) {
    SCOPED_TRACE(r.why);
    tavro_verif req{};
    char err[TAVRO_ERR_SIZE] = {};
    EXPECT_EQ(tavro_verif_parse(r.text, &req, err, sizeof err), r.code);
    EXPECT_EQ(req.token ? std::string(req.token) : "(null)", r.token ? r.token : "(null)");
    EXPECT_EQ(req.resend, r.resend);
    tavro_verif_free(&req);
  }
}

// ---- Memory that held a key ---------------------------------------------------

TEST(Wipe, ZeroesExactlyTheBytesGiven) {
  char area[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
  tavro_wipe(area + 2, 4);
  EXPECT_EQ(std::string(area, 8), std::string("ab\0\0\0\0gh", 8));
  tavro_wipe(nullptr, 4); // nothing to do
}

// The thread's result copy of a key is wiped before its block is freed: a
// block of a size that the next copies do not take is read after it went
// back (the allocator reuses only its first bytes for its own lists). Not
// under AddressSanitizer or ThreadSanitizer, which forbid the read.
#if !defined(TAVRO_TEST_CHECKS_FREED)
TEST(Wipe, TheThreadsCopyOfAKeyIsGoneOnceReplaced) {
  const std::string key = "KEYKEYKEYKEYKEYKEYKEYKEYKEYKEYKEYKEYKEYKEY";
  std::string result = R"({"activated":true,"APIKey":")" + key + std::string(200, 'k') + "\"}";
  for (bool secret : {false, true}) {
    SCOPED_TRACE(secret ? "secret" : "not secret");
    char *block = static_cast<char *>(tavro_malloc(result.size() + 1));
    ASSERT_NE(block, nullptr);
    std::memcpy(block, result.c_str(), result.size() + 1);
    tavro_publish_owned(TAVRO_OK, nullptr, block, result.size(), secret);
    ASSERT_EQ(tavro_thread_result(), block);
    tavro_publish(TAVRO_E_FAILED, "next", nullptr);
    const volatile char *gone = block;
    std::string left;
    for (size_t i = 24; i < result.size(); ++i) left += gone[i];
    bool kept = left.find(key.substr(0, 16)) != std::string::npos;
    // Freed without wiping, the key is still there: the read sees memory.
    EXPECT_EQ(kept, !secret);
  }
}
#endif

// The answer that held a key is wiped before the exchange's block goes back
// to the thread's kept blocks, where the next call would find it.
TEST(Wipe, TheAnswerThatHeldAKeyIsWipedBeforeItIsKept) {
  tavro_keep_clear();
  const std::string key = "abcdefABCDEF12345678";
  std::string answer = tt::ok(R"({"apikey":")" + key + R"(","activated":true,"expires_in":570})");
  tt::Host host;
  tavro_io io = host.table();
  host.answer("POST", "https://api.alldebrid.com/v4/pin/check?agent=quorvelindash", 200, answer);
  tavro_cfg cfg{};
  tavro_sess sess{};
  tavro_sess_open(&sess, &io, &cfg);
  tavro_buf out{};
  char err[TAVRO_ERR_SIZE] = {};
  ASSERT_EQ(tavro_do_pin_check(&sess, R"({"pin":"P","check":"C"})", &out, err, sizeof err),
            TAVRO_OK)
      << err;
  EXPECT_EQ(std::string(out.data),
            R"({"activated":true,"APIKey":")" + key + R"(","expires_in":570})");
  tavro_wipe(out.data, (size_t)out.cap);
  tavro_buf_free(&out);
  // Every block the thread kept (the answer's, the document's) holds no
  // trace of the key.
  int blocks = 0;
  for (;;) {
    uint64_t before = tavro_keep_total();
    size_t cap = 0;
    char *block = static_cast<char *>(tavro_keep_take(1, &cap));
    ASSERT_NE(block, nullptr);
    bool was_kept = tavro_keep_total() < before;
    if (was_kept) {
      ++blocks;
      EXPECT_EQ(std::string(block, cap).find(key.substr(0, 8)), std::string::npos);
    }
    std::free(block);
    if (!was_kept) break;
  }
  EXPECT_GE(blocks, 1);
  tavro_keep_clear();
}

} // namespace
