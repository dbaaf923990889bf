// SPDX-License-Identifier: MIT
// Text foundations, redaction, the HTTP exchange, settings and the torrent
// sniffer.
#include "support.h"
#include "tavro_base.h"
#include "tavro_http.h"
#include "tavro_input.h"
#include "tavro_recognise.h"
#include "tavro_secret.h"
#include "tavro_service.h"
#include "tavro_text.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string text(tavro_buf &b) {
  return b.data ? std::string(b.data, b.len) : std::string();
}

// ---- Text buffer ------------------------------------------------------------

TEST(Buf, EmptyAppendGivesATextAndLongAppendsKeepEveryByte) {
  tavro::Buf b;
  ASSERT_EQ(tavro_buf_add(b.get(), nullptr, 0), 0);
  ASSERT_NE(b.get()->data, nullptr);
  EXPECT_STREQ(b.get()->data, "");
  // Pieces of every length up to well past any first block, each appended
  // whole: the text is their concatenation, NUL-terminated at its length.
  tavro::Buf c;
  std::string want;
  for (size_t n = 0; n < 700; n += 7) {
    std::string piece(n, static_cast<char>('a' + n % 26));
    ASSERT_EQ(tavro_buf_add(c.get(), piece.data(), piece.size()), 0) << n;
    want += piece;
    ASSERT_EQ(c.get()->len, want.size());
    ASSERT_GT(c.get()->cap, c.get()->len);
    ASSERT_EQ(c.get()->data[c.get()->len], '\0');
  }
  EXPECT_EQ(text(*c.get()), want);
  EXPECT_EQ(tavro_buf_add(nullptr, "x", 1), -1);
}

TEST(Buf, FormattedAppendIsTheSameOnTheStackAndHeapPaths) {
  for (size_t n : {511u, 512u, 5000u}) {
    std::string s(n, 'a');
    tavro::Buf b;
    ASSERT_EQ(tavro_buf_addf(b.get(), "%s", s.c_str()), 0) << n;
    EXPECT_EQ(text(*b.get()), s) << n;
  }
  tavro::Buf b;
  ASSERT_EQ(tavro_buf_addf(b.get(), "%lld|%lld", (long long)INT64_MIN, (long long)INT64_MAX), 0);
  EXPECT_EQ(text(*b.get()), "-9223372036854775808|9223372036854775807");
}

TEST(Buf, JsonStringEscapes) {
  struct Row {
    const char *in;
    const char *out;
  } rows[] = {
      {nullptr, "null"},
      {"", "\"\""},
      {"\t\x01\"", "\"\\t\\u0001\\\"\""},
      {"a\\b/c", "\"a\\\\b/c\""},
      {"\n\r\x08\x0c\x1f\x7f", "\"\\n\\r\\u0008\\u000c\\u001f\\u007f\""},
      {"caf\xc3\xa9 \xff", "\"caf\xc3\xa9 \xff\""},
  };
  for (auto &r : rows) {
    tavro::Buf b;
    ASSERT_EQ(tavro_buf_json_str(b.get(), r.in), 0);
    EXPECT_EQ(text(*b.get()), r.out) << (r.in ? r.in : "(null)");
  }
}

TEST(Buf, JsonStringEscapesEveryByteWhereverItStands) {
  // Every byte value at every position of texts of up to 40 bytes: the
  // escaper looks at whole blocks of bytes first, so a byte that needs an
  // escape must be found at the start, middle and end of a block and in the
  // tail after the last whole block.
  for (size_t len : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 40u}) {
    for (int c = 1; c < 256; ++c) {
      for (size_t at = 0; at < len; ++at) {
        std::string s(len, 'a');
        s[at] = (char)c;
        tavro::Buf b;
        ASSERT_EQ(tavro_buf_adds(b.get(), "x"), 0);
        ASSERT_EQ(tavro_buf_json_str(b.get(), s.c_str()), 0);
        ASSERT_EQ(text(*b.get()), std::string("x").append(tt::json_literal(s)))
            << "byte " << c << " at " << at;
        ASSERT_EQ(b.get()->data[b.get()->len], '\0');
      }
    }
  }
  // Texts made only of bytes that need escapes, and long plain ones.
  std::string all;
  for (int c = 1; c < 256; ++c) all += (char)c;
  for (const std::string &s : {all, std::string(1000, '"'), std::string(5000, 'z')}) {
    tavro::Buf b;
    ASSERT_EQ(tavro_buf_json_str(b.get(), s.c_str()), 0);
    EXPECT_EQ(text(*b.get()), tt::json_literal(s)) << s.size();
    EXPECT_EQ(tavro_json_str_size(s.data(), s.size()), b.get()->len);
  }
}

TEST(Buf, MeasuringACTextStopsAtItsFirstNul) {
  // A NUL, alone or after a byte to escape, at the start, middle and end of
  // a block and in the tail: the measure counts only what comes before it,
  // as the escape of the C text would.
  for (size_t len : {1u, 15u, 16u, 17u, 33u, 40u}) {
    for (size_t at = 0; at <= len; ++at) {
      for (bool escape_before : {false, true}) {
        std::string s(len, 'a');
        if (escape_before && at > 0) s[at - 1] = '"';
        if (at < len) s[at] = '\0';
        size_t n = s.size();
        uint64_t size = tavro_json_chars_measure(s.data(), &n);
        ASSERT_EQ(n, std::strlen(s.c_str())) << len << " " << at;
        ASSERT_EQ(size, tavro_json_chars_size(s.c_str(), n)) << len << " " << at;
      }
    }
  }
}

TEST(Buf, IntegersAreWrittenAsPrintfWritesThem) {
  std::vector<int64_t> values = {0, -1, 7, -4096, 1234567890123, INT64_MAX, INT64_MIN};
  // Both sides of every change in the number of digits.
  for (int64_t p = 10; p <= INT64_MAX / 10; p *= 10)
    for (int64_t v : {p - 1, p, -p + 1, -p}) values.push_back(v);
  for (int64_t v : values) {
    char want[32];
    std::snprintf(want, sizeof want, "%lld", (long long)v);
    tavro::Buf b;
    ASSERT_EQ(tavro_buf_addi(b.get(), v), 0);
    EXPECT_EQ(text(*b.get()), want);
    ASSERT_EQ(tavro_int_len(v), std::strlen(want)) << want;
    char area[32];
    EXPECT_EQ(tavro_int_write(area, v), area + std::strlen(want)) << want;
    EXPECT_EQ(std::string(area, std::strlen(want)), want);
  }
}

TEST(Buf, ExactReservationTakesNoMoreThanAsked) {
  tavro::Buf b;
  ASSERT_EQ(tavro_buf_add(b.get(), "ab", 2), 0);
  ASSERT_EQ(tavro_buf_reserve_exact(b.get(), 10000), 0);
  EXPECT_EQ(b.get()->cap, 10003u);
  ASSERT_EQ(tavro_buf_reserve_exact(b.get(), 10), 0) << "room already there";
  EXPECT_EQ(b.get()->cap, 10003u);
  EXPECT_EQ(text(*b.get()), "ab");
}

TEST(Buf, ReleaseHandsOverTheTextAndEmptiesTheBuffer) {
  for (size_t n : {0u, 100u, 5000u, 100000u}) {
    tavro::Buf b;
    std::string s(n, 'q');
    ASSERT_EQ(tavro_buf_add(b.get(), s.data(), s.size()), 0);
    ASSERT_EQ(tavro_buf_reserve(b.get(), 3 * n + 8192), 0) << "much spare room";
    tavro::Text t(tavro_buf_release(b.get()));
    ASSERT_NE(t.get(), nullptr);
    EXPECT_EQ(std::string(t.get()), s);
    EXPECT_EQ(b.get()->data, nullptr);
    EXPECT_EQ(b.get()->len, 0u);
    EXPECT_EQ(b.get()->cap, 0u);
  }
  tavro::Buf never;
  EXPECT_EQ(tavro_buf_release(never.get()), nullptr);
}

// The encoding the query rule asks for, one byte at a time.
std::string encoded_by_rule(const std::string &v) {
  std::string out;
  for (unsigned char c : v) {
    if (std::isalnum(c) && c < 0x80) {
      out += (char)c;
    } else if (c == '-' || c == '.' || c == '_' || c == '~') {
      out += (char)c;
    } else {
      char e[4];
      std::snprintf(e, sizeof e, "%%%02X", c);
      out += e;
    }
  }
  return out;
}

TEST(Buf, QueryEncodesEveryByteByTheRule) {
  std::string all;
  for (int c = 1; c < 256; ++c) all += (char)c;
  for (const std::string &v : {all, std::string(3000, ' '), std::string("plain-._~09AZaz")}) {
    tavro::Buf b;
    ASSERT_EQ(tavro_buf_adds(b.get(), "https://h/p"), 0);
    ASSERT_EQ(tavro_buf_query(b.get(), "k[]", v.c_str()), 0);
    ASSERT_EQ(tavro_buf_query(b.get(), "n", v.c_str()), 0);
    EXPECT_EQ(text(*b.get()), "https://h/p?k[]=" + encoded_by_rule(v) + "&n=" + encoded_by_rule(v));
  }
  EXPECT_EQ(tavro_buf_query(nullptr, "k", "v"), -1);
}

TEST(Buf, QueryEncodesValuesAndPicksTheSeparator) {
  tavro::Buf b;
  ASSERT_EQ(tavro_buf_query(b.get(), "agent", "a b/c"), 0);
  ASSERT_EQ(tavro_buf_query(b.get(), "x", nullptr), 0);
  EXPECT_EQ(text(*b.get()), "?agent=a%20b%2Fc&x=");

  tavro::Buf u;
  ASSERT_EQ(tavro_buf_adds(u.get(), "https://h/p?q=1"), 0);
  ASSERT_EQ(tavro_buf_query(u.get(), "id[]", "\xc3-._~Zz09"), 0);
  EXPECT_EQ(text(*u.get()), "https://h/p?q=1&id[]=%C3-._~Zz09");
}

TEST(Buf, FormFieldsAreJoinedByAmpersandsAndEncodedByTheQueryRule) {
  std::string all;
  for (int c = 1; c < 256; ++c) all += (char)c;
  struct Row {
    const char *name;
    const char *before; // the buffer's text, null for a buffer never used
    const char *key;
    std::string value;
    std::string after;
  } rows[] = {
      {"first field has no separator", nullptr, "id[]", "12", "id[]=12"},
      {"empty buffer that held text", "", "id", "42", "id=42"},
      {"later fields after an ampersand", "id[]=12", "id[]", "13", "id[]=12&id[]=13"},
      {"a question mark is no query here", "a?b", "link", "x", "a?b&link=x"},
      {"key unchanged, value encoded", nullptr, "magnets[]", "magnet:?xt=urn:btih:AB&dn=a b",
       "magnets[]=magnet%3A%3Fxt%3Durn%3Abtih%3AAB%26dn%3Da%20b"},
      {"every byte by the rule", nullptr, "link", all, "link=" + encoded_by_rule(all)},
      {"empty value", nullptr, "link", "", "link="},
  };
  for (const Row &r : rows) {
    tavro::Buf b;
    if (r.before) {
      ASSERT_EQ(tavro_buf_adds(b.get(), "x"), 0);
      b.get()->len = 0; // emptied, its block kept
      ASSERT_EQ(tavro_buf_adds(b.get(), r.before), 0);
    }
    ASSERT_EQ(tavro_buf_form(b.get(), r.key, r.value.c_str()), 0) << r.name;
    EXPECT_EQ(text(*b.get()), r.after) << r.name;
    EXPECT_EQ(b.get()->data[b.get()->len], '\0') << r.name;
  }
  tavro::Buf n;
  ASSERT_EQ(tavro_buf_form(n.get(), "x", nullptr), 0);
  EXPECT_EQ(text(*n.get()), "x=");
  EXPECT_EQ(tavro_buf_form(nullptr, "k", "v"), -1);
}

TEST(Copies, DuplicatesExactlyTheGivenBytes) {
  tavro::Text empty(tavro_strndup("abc", 0));
  EXPECT_STREQ(empty.get(), "");
  tavro::Text nul(tavro_strndup("a\0b", 3));
  EXPECT_EQ(std::string(nul.get(), 3), std::string("a\0b", 3));
  EXPECT_EQ(tavro_strndup(nullptr, 3), nullptr);
  EXPECT_EQ(tavro_strdup(nullptr), nullptr);
}

TEST(Scrub, MasksSecretsLongerThanThreeCharacters) {
  struct Row {
    const char *text, *secret, *out;
  } rows[] = {
      {"key abc here", "abc", "key abc here"},
      {"abcd and abcd", "abcd", "**** and ****"},
      {"aaaaa", "aaaa", "****a"},
      {"no match", "zzzz", "no match"},
      {"x", nullptr, "x"},
  };
  for (auto &r : rows) {
    std::string s = r.text;
    tavro_scrub(s.data(), r.secret);
    EXPECT_EQ(s, r.out) << r.text;
  }
  tavro_scrub(nullptr, "abcd");
}

TEST(Scrub, MasksThePercentEncodedFormOfASecret) {
  struct Row {
    const char *text, *secret, *out;
  } rows[] = {
      {"url?apikey=ab%2Fcd%20e and ab/cd e", "ab/cd e", "url?apikey=*********** and ab/cd e"},
      {"a%2Fb and a/b", "a/b", "a%2Fb and a/b"},
      {"plainkey stays", "plainkey", "plainkey stays"},
      {"cut ab%2", "ab/c", "cut ab%2"},
      {"ab%2fcd lower case hex is not the encoder's", "ab/cd",
       "ab%2fcd lower case hex is not the encoder's"},
  };
  for (auto &r : rows) {
    std::string s = r.text;
    tavro_scrub_encoded(s.data(), r.secret);
    EXPECT_EQ(s, r.out) << r.text;
  }
  tavro_scrub_encoded(nullptr, "abcd");
}

TEST(Scrub, MasksWhatACutLeftOfASecretAtTheEnd) {
  struct Row {
    const char *text, *secret, *out;
  } rows[] = {
      {"cut at SECRE", "SECRET99", "cut at *****"},
      {"cut at SECR", "SECRET99", "cut at ****"},
      {"cut at SEC", "SECRET99", "cut at SEC"},
      {"SECRET99 whole stays for tavro_scrub", "SECRET99", "SECRET99 whole stays for tavro_scrub"},
      {"ends SECRET9", "SECRET99", "ends *******"},
      {"abc", "abcd", "abc"},
  };
  for (auto &r : rows) {
    std::string s = r.text;
    tavro_scrub_cut(s.data(), r.secret);
    EXPECT_EQ(s, r.out) << r.text;
  }
  tavro_scrub_cut(nullptr, "abcd");
}

// ---- Redaction --------------------------------------------------------------

TEST(Redact, DropsUserInfoAndApiKeyValues) {
  struct Row {
    const char *in, *out;
  } rows[] = {
      {"https://user:pw@host.example/p?a=1&apikey=SECRET&b=2",
       "https://host.example/p?a=1&apikey=***&b=2"},
      {"https://a@b@host/x@y", "https://host/x@y"},
      {"svn+ssh://u@h/r", "svn+ssh://h/r"},
      {"1http://u@h/?apikey=k", "1http://u@h/?apikey=***"},
      {"ht_tp://u@h/?apikey=k", "ht_tp://u@h/?apikey=***"},
      {"a=1&apikey=k&b=2", "a=1&apikey=***&b=2"},
      {"apikey=k&x=1", "apikey=k&x=1"},
      {"GET https://u:p@h/?apikey=k: refused", "GET https://u:p@h/?apikey=***"},
      {"h?APIKey=K&ApIkEy=K2", "h?apikey=***&apikey=***"},
      {"h?apikey=&x", "h?apikey=***&x"},
      {"h?apikey", "h?apikey"},
      {"h?apikey=k#frag?apikey=k2&z", "h?apikey=***#frag?apikey=***&z"},
      {"https://host", "https://host"},
      {"://x@y", "://x@y"},
      {"", ""},
  };
  for (auto &r : rows) {
    char out[256];
    tavro_redact_into(r.in, out, sizeof out);
    EXPECT_STREQ(out, r.out) << r.in;
  }
}

TEST(Redact, CutsAfterRedactingAndHonoursSmallBuffers) {
  char out[8] = "XXXXXXX";
  tavro_redact_into("abc", out, 0);
  EXPECT_STREQ(out, "XXXXXXX");
  tavro_redact_into("abc", out, 1);
  EXPECT_STREQ(out, "");
  tavro_redact_into(nullptr, out, sizeof out);
  EXPECT_STREQ(out, "");
  tavro_redact_into("h?apikey=SECRETVALUE", out, sizeof out);
  EXPECT_STREQ(out, "h?apike");
}

// ---- HTTP exchange ----------------------------------------------------------

TEST(BodyLine, FirstNonBlankLineCutToFit) {
  struct Row {
    const char *in;
    size_t size;
    const char *out;
  } rows[] = {
      {"\r\n  \n\t first line\r\nsecond", 64, "first line"},
      {" \t\r\n ", 64, ""},
      {"abcdef", 4, "abc"},
      {"abc", 1, ""},
      {nullptr, 8, ""},
      {"\vvt\fkept\nx", 64, "\vvt\fkept"},
  };
  for (auto &r : rows) {
    char out[64];
    tavro_body_line(r.in, out, r.size);
    EXPECT_STREQ(out, r.out) << (r.in ? r.in : "(null)");
  }
}

TEST(MapStatus, ClassifiesHttpStatuses) {
  struct Row {
    int32_t status;
    int code;
  } rows[] = {{200, TAVRO_OK},          {299, TAVRO_OK},          {300, TAVRO_E_FAILED},
              {401, TAVRO_E_AUTH},      {403, TAVRO_E_AUTH},      {404, TAVRO_E_NOT_FOUND},
              {429, TAVRO_E_LIMIT},     {500, TAVRO_E_TRANSPORT}, {503, TAVRO_E_TRANSPORT},
              {599, TAVRO_E_TRANSPORT}, {600, TAVRO_E_FAILED},    {0, TAVRO_E_FAILED},
              {-1, TAVRO_E_FAILED},     {100, TAVRO_E_FAILED},    {400, TAVRO_E_FAILED}};
  for (auto &r : rows) EXPECT_EQ(tavro_map_status(r.status), r.code) << r.status;
}

class Exchange : public ::testing::Test {
protected:
  tt::Host host;
  tavro_io io = host.table();
  tavro::Resp resp;
  char err[TAVRO_ERR_SIZE] = {};

  void TearDown() override {
    EXPECT_EQ(host.live(), 0u) << "every string handed back is released";
    EXPECT_EQ(host.bad_releases(), 0);
  }
};

TEST_F(Exchange, AnyStatusIsAnExchangeThatSucceeded) {
  host.answer("GET", "u", 404, "missing");
  ASSERT_EQ(tavro_http(&io, "u", nullptr, resp.get(), err, sizeof err), 0);
  EXPECT_EQ(resp->status, 404);
  EXPECT_STREQ(resp->body, "missing");
  EXPECT_EQ(resp->body_len, 7u);
  EXPECT_EQ(tavro_map_status(resp->status), TAVRO_E_NOT_FOUND);
}

TEST_F(Exchange, BodyIsCutAtItsFirstNulAndExtraErrorTextIsReleased) {
  host.raw("GET", "u", {0, 200, std::string("ab\0cd", 5), std::string("ignored")});
  ASSERT_EQ(tavro_http(&io, "u", nullptr, resp.get(), err, sizeof err), 0);
  EXPECT_EQ(resp->body_len, 2u);
  EXPECT_EQ(host.handed(), 2);
  EXPECT_EQ(host.released(), 2);
}

TEST_F(Exchange, FailuresQuoteMethodRedactedUrlAndFirstLine) {
  std::string url = "https://h/x?agent=a&apikey=SECRET";
  struct Row {
    const char *name;
    tt::Host::Answer a;
    const char *body;
    std::string msg;
  } rows[] = {
      {"no body, no error",
       {0, 200, std::nullopt, std::nullopt},
       nullptr,
       "GET https://h/x?agent=a&apikey=***: transport failure"},
      {"error lines",
       {-1, 0, std::nullopt, std::string("\n\n  refused here\nmore")},
       nullptr,
       "GET https://h/x?agent=a&apikey=***: refused here"},
      {"blank error",
       {7, 0, std::string("body"), std::string(" \r\n ")},
       nullptr,
       "GET https://h/x?agent=a&apikey=***: "},
      {"long error",
       {-1, 0, std::nullopt, std::string(300, 'e')},
       nullptr,
       "GET https://h/x?agent=a&apikey=***: " + std::string(199, 'e')},
      {"multipart post",
       {-1, 0, std::nullopt, std::string("down")},
       "payload",
       "POST https://h/x?agent=a&apikey=***: down"},
  };
  for (auto &r : rows) {
    host.raw(r.body ? "POST" : "GET", url, r.a);
    tavro::Resp out;
    EXPECT_EQ(tavro_http(&io, url.c_str(), r.body, out.get(), err, sizeof err), -1) << r.name;
    EXPECT_EQ(std::string(err), r.msg) << r.name;
    EXPECT_EQ(out->body, nullptr) << r.name;
    EXPECT_EQ(out->status, 0) << r.name;
  }
}

TEST_F(Exchange, MultipartPostCarriesTheBodyAndItsContentType) {
  host.answer("POST", "u", 200, "{}");
  ASSERT_EQ(tavro_http(&io, "u", "d8:announce", resp.get(), err, sizeof err), 0);
  auto calls = host.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].body, "d8:announce");
  EXPECT_EQ(calls[0].content_type, "multipart/form-data; boundary=tavrotorrent");
}

TEST_F(Exchange, FormPostDefaultsAndNeedsOnlyPost) {
  host.answer("POST", "u", 201, "ok");
  tavro_io post_only = io;
  post_only.get = nullptr;
  ASSERT_EQ(tavro_http_post(&post_only, "u", nullptr, nullptr, resp.get(), err, sizeof err), 0);
  EXPECT_EQ(resp->status, 201);
  auto calls = host.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].body, "");
  EXPECT_EQ(calls[0].content_type, "application/x-www-form-urlencoded");

  host.fail("POST", "v?apikey=K", -1, std::string("gone"));
  tavro::Resp r2;
  EXPECT_EQ(tavro_http_post(&io, "v?apikey=K", nullptr, nullptr, r2.get(), err, sizeof err), -1);
  EXPECT_STREQ(err, "POST v?apikey=***: gone");
}

TEST_F(Exchange, MissingTransportOrOverlongUrlNeverCallsTheTransport) {
  tavro_io get_only = io;
  get_only.post = nullptr;
  EXPECT_EQ(tavro_http(nullptr, "u", nullptr, resp.get(), err, sizeof err), -1);
  EXPECT_STREQ(err, "no transport");
  EXPECT_EQ(tavro_http(&get_only, "u", nullptr, resp.get(), err, sizeof err), -1);
  EXPECT_STREQ(err, "no transport");
  EXPECT_EQ(tavro_http_post(nullptr, "u", nullptr, nullptr, resp.get(), err, sizeof err), -1);
  EXPECT_STREQ(err, "no transport");

  std::string exact(8192, 'u'), over(8193, 'u');
  host.answer("GET", exact, 200, "ok");
  EXPECT_EQ(tavro_http(&io, over.c_str(), nullptr, resp.get(), err, sizeof err), -1);
  EXPECT_STREQ(err, "request URL longer than 8 KiB");
  EXPECT_EQ(host.calls().size(), 0u);
  EXPECT_EQ(tavro_http(&io, exact.c_str(), nullptr, resp.get(), err, sizeof err), 0);
}

TEST_F(Exchange, UrlLimitLeavesTheFormBodyOut) {
  // A body of any length goes with a URL at the limit; a URL one past it
  // goes nowhere, however short its body.
  std::string exact(8192, 'u'), over(8193, 'u'), big(100000, 'b');
  host.answer("POST", exact, 200, "ok");
  ASSERT_EQ(tavro_http_post(&io, exact.c_str(), nullptr, big.c_str(), resp.get(), err, sizeof err),
            0)
      << err;
  EXPECT_STREQ(resp->body, "ok");
  auto calls = host.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], tt::form(exact, big));
  tavro::Resp refused;
  EXPECT_EQ(tavro_http_post(&io, over.c_str(), nullptr, "a=1", refused.get(), err, sizeof err), -1);
  EXPECT_STREQ(err, "request URL longer than 8 KiB");
  EXPECT_EQ(host.calls().size(), 1u);
}

TEST(ExchangeNullFree, StringsAreReleasedWithTheStandardFree) {
  // Run under LeakSanitizer: a string not released with free() shows as a leak.
  tt::Host host;
  tavro_io io = host.table(false);
  host.raw("GET", "u", {0, 200, std::string("body"), std::string("extra")});
  tavro::Resp resp;
  char err[64];
  ASSERT_EQ(tavro_http(&io, "u", nullptr, resp.get(), err, sizeof err), 0);
  EXPECT_STREQ(resp->body, "body");
  tavro_resp_free(resp.get());
  host.fail("GET", "f", -1, std::string("why"), std::string("partial"));
  EXPECT_EQ(tavro_http(&io, "f", nullptr, resp.get(), err, sizeof err), -1);
  EXPECT_STREQ(err, "GET f: why");
}

// ---- Settings ---------------------------------------------------------------

struct CfgRow {
  const char *name;
  std::string settings;
  int code;
  const char *msg;
  const char *key, *client, *id;
};

TEST(Settings, ParsesKeysClientAndId) {
  const char *N = nullptr;
  CfgRow rows[] = {
      {"empty object", "{}", TAVRO_E_ARG, "APIKey is empty", N, N, N},
      {"empty array", "[]", TAVRO_E_ARG, "settings are not a JSON object", N, N, N},
      {"empty text", "", TAVRO_E_ARG, "settings are not a JSON object", N, N, N},
      {"trailing comma", R"({"APIKey":"k",})", TAVRO_E_ARG, "settings are not a JSON object", N, N,
       N},
      {"comment", R"({"APIKey":"k"} // x)", TAVRO_E_ARG, "settings are not a JSON object", N, N, N},
      {"invalid utf-8", "{\"APIKey\":\"k\xff\"}", TAVRO_E_ARG, "settings are not a JSON object", N,
       N, N},
      {"runtime small letters", R"({"RuntimeType":"alldebrid","APIKey":"k"})", TAVRO_E_ARG,
       R"(RuntimeType is "alldebrid", this handler is "ALLDEBRID")", N, N, N},
      {"runtime leading space", R"({"RuntimeType":" ALLDEBRID"})", TAVRO_E_ARG,
       R"(RuntimeType is " ALLDEBRID", this handler is "ALLDEBRID")", N, N, N},
      {"runtime number before key check", R"({"RuntimeType":5})", TAVRO_E_ARG,
       R"(RuntimeType is "5", this handler is "ALLDEBRID")", N, N, N},
      {"runtime empty passes", R"({"RuntimeType":"","APIKey":"k"})", 0, "", "k", N, N},
      {"runtime null passes", R"({"RuntimeType":null,"APIKey":"k"})", 0, "", "k", N, N},
      {"runtime exact", R"({"RuntimeType":"ALLDEBRID","APIKey":"k"})", 0, "", "k", N, N},
      {"blank key falls back", R"({"APIKey":" \t","ClientSecret":"cs"})", 0, "", "cs", N, N},
      {"integer key", R"({"APIKey":12345})", 0, "", "12345", N, N},
      {"negative key", R"({"APIKey":-42})", 0, "", "-42", N, N},
      {"huge unsigned key", R"({"APIKey":18446744073709551615})", 0, "", "18446744073709551615", N,
       N},
      {"true key", R"({"APIKey":true})", 0, "", "true", N, N},
      {"real key is absent", R"({"APIKey":1.5})", TAVRO_E_ARG, "APIKey is empty", N, N, N},
      {"object key is absent", R"({"APIKey":{}})", TAVRO_E_ARG, "APIKey is empty", N, N, N},
      {"trimmed", "{\"APIKey\":\" \\t\\r\\nkk \\n\"}", 0, "", "kk", N, N},
      {"first duplicate counts", R"({"APIKey":" ","APIKey":"second","ClientSecret":"cs"})", 0, "",
       "cs", N, N},
      {"client and id", R"({"APIKey":"k","CustomName":" me ","ClientId":"other","ID":" 7 "})", 0,
       "", "k", "me", "7"},
      {"client fallback", R"({"APIKey":"k","CustomName":"","ClientId":"cid","ID":""})", 0, "", "k",
       "cid", N},
  };
  for (auto &r : rows) {
    tavro_cfg cfg{};
    char err[TAVRO_ERR_SIZE] = {};
    EXPECT_EQ(tavro_cfg_parse(r.settings.c_str(), 1, &cfg, err, sizeof err), r.code) << r.name;
    EXPECT_STREQ(err, r.msg) << r.name;
    auto same = [&](const char *got, const char *want) {
      if (!want)
        EXPECT_EQ(got, nullptr) << r.name;
      else
        EXPECT_STREQ(got, want) << r.name;
    };
    same(cfg.api_key, r.key);
    same(cfg.client, r.client);
    same(cfg.id, r.id);
    tavro_cfg_free(&cfg);
  }
}

TEST(Settings, NullAndSizeLimit) {
  tavro_cfg cfg{};
  char err[TAVRO_ERR_SIZE];
  EXPECT_EQ(tavro_cfg_parse(nullptr, 1, &cfg, err, sizeof err), TAVRO_E_ARG);
  EXPECT_STREQ(err, "settings are NULL");

  std::string head = R"({"APIKey":"k","pad":")", tail = "\"}";
  std::string exact =
      head + std::string(TAVRO_SETTINGS_MAX - head.size() - tail.size(), 'p') + tail;
  ASSERT_EQ(exact.size(), TAVRO_SETTINGS_MAX);
  EXPECT_EQ(tavro_cfg_parse(exact.c_str(), 1, &cfg, err, sizeof err), 0);
  EXPECT_STREQ(cfg.api_key, "k");
  tavro_cfg_free(&cfg);
  std::string over = exact + " ";
  EXPECT_EQ(tavro_cfg_parse(over.c_str(), 1, &cfg, err, sizeof err), TAVRO_E_ARG);
  EXPECT_STREQ(err, "settings are larger than 1 MiB");
  EXPECT_EQ(cfg.api_key, nullptr);
}

TEST(Settings, KeyIsOptionalWhenNotRequired) {
  tavro_cfg cfg{};
  char err[64] = {};
  EXPECT_EQ(tavro_cfg_parse("{}", 0, &cfg, err, sizeof err), 0);
  EXPECT_EQ(cfg.api_key, nullptr);
}

// ---- Torrent sniffing -------------------------------------------------------

TEST(Sniff, RecognisesTorrentKeysWithinTheGivenLength) {
  struct Row {
    const char *data;
    size_t len;
    int want;
  } rows[] = {
      {"d8:announce4:infoe", 18, 1},
      {"d8:announce4:infoe", 17, 1},
      {"d8:announce4:infoe", 16, 0},
      {"d4:info8:announcee", 18, 1},
      {"d4:infod6:lengthi5e4:pathl1:aeee", 32, 1},
      {"d4:infod6:lengthi5eee", 21, 0},
      {"d8:announce3:abce", 17, 0},
      {"d13:announce-list4:infoe", 24, 0},
      {"d4:INFO8:announcee", 18, 0},
      {"x8:announce4:infoe", 18, 0},
      {"d4:info8:announc", 15, 0},
      {nullptr, 100, 0},
  };
  for (auto &r : rows)
    EXPECT_EQ(tavro_sniff_torrent(r.data, r.len), r.want)
        << (r.data ? r.data : "(null)") << " len " << r.len;
  // NUL bytes inside the data are ordinary bytes.
  std::string with_nul("d8:announce\0\0\0\x00"
                       "4:infoe",
                       21);
  EXPECT_EQ(tavro_sniff_torrent(with_nul.data(), with_nul.size()), 1);
}

// ---- Whole torrents ---------------------------------------------------------

TEST(BencodeWhole, OnlyOneCompleteDictionaryAtTheStartIsWhole) {
  const std::string torrent =
      "d8:announce3:url4:infod6:lengthi5e4:pathl1:aee6:pieces4:\x01\x02\x03\x04"
      "ee";
  struct Row {
    const char *name;
    std::string data;
    int whole;
  } rows[] = {
      {"complete torrent", torrent, 1},
      {"empty dictionary", "de", 1},
      {"bytes after the dictionary are not looked at", "de trailing", 1},
      {"strings of zero length, keys not checked", "d0:0:i1eli-2eeldeee", 1},
      {"a string holding NUL bytes", std::string("d3:a\0b4:\0\0\0\0e", 13), 1},
      {"a string holding 'e' and digits", "d1:e3:1:ee", 1},
      {"leading zeros in a length", "d003:abce", 1},
      {"cut at a NUL inside a string", torrent.substr(0, torrent.find('\x01')), 0},
      {"cut inside a string", "d8:announ", 0},
      {"cut inside a length", "d8:announce12", 0},
      {"length without its colon", "d8e", 0},
      {"a string length beyond the end", "d8:announce99:url e", 0},
      {"a length with more digits than bytes", std::string("d").append(40, '9') + ":x", 0},
      {"a length past 64 bits", std::string("d99999999999999999999999:").append(30, 'x') + "e", 0},
      {"cut in an integer", "d1:ai42", 0},
      {"an integer cut after its sign", "d1:ai-", 0},
      {"an integer without digits", "d1:aiee", 0},
      {"an integer of a sign alone", "d1:ai-ee", 0},
      {"an integer with a blank", "d1:ai4 2ee", 0},
      {"an unclosed list", "d1:al1:b", 0},
      {"an unclosed dictionary", "d1:ad1:bi1ee", 0},
      {"closed once too few", "d4:infod6:lengthi5ee", 0},
      {"a stray byte", "d1:a?e", 0},
      {"a list first", "le", 0},
      {"a string first", "4:spam", 0},
      {"an integer first", "i1e", 0},
      {"an end first", "e", 0},
      {"a blank first", " de", 0},
      {"empty", "", 0},
  };
  for (const Row &r : rows) {
    // A copy of exactly the bytes, so that a read past them is reported.
    std::vector<char> bytes(r.data.begin(), r.data.end());
    EXPECT_EQ(tavro_bencode_whole(bytes.data(), bytes.size()), r.whole) << r.name;
  }
  EXPECT_EQ(tavro_bencode_whole(nullptr, 10), 0);
  EXPECT_EQ(tavro_bencode_whole("de", 1), 0) << "only len bytes are read";
}

TEST(BencodeWhole, MillionNestedListsAreScannedWithoutRecursion) {
  constexpr size_t kDepth = 1000000;
  const std::string open = std::string("d1:a").append(kDepth, 'l');
  struct Row {
    const char *name;
    std::string data;
    int whole;
  } rows[] = {
      {"closed", open + std::string(kDepth, 'e') + "e", 1},
      {"one list left open", open + std::string(kDepth - 1, 'e') + "e", 0},
      {"the dictionary left open", open + std::string(kDepth, 'e'), 0},
      {"cut at the deepest point", open, 0},
      {"a string at the bottom", open + "3:abc" + std::string(kDepth, 'e') + "e", 1},
      {"a cut string at the bottom", open + "30:abc", 0},
  };
  for (const Row &r : rows) {
    std::vector<char> bytes(r.data.begin(), r.data.end());
    EXPECT_EQ(tavro_bencode_whole(bytes.data(), bytes.size()), r.whole) << r.name;
  }
}

} // namespace
