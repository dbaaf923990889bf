// SPDX-License-Identifier: MIT
// Exhausted memory, everywhere: every operation, through a host transport
// and through the fake, and every helper with an out-of-memory path, run
// with the Nth library allocation failing for N = 1, 2, ... until a run needs
// no failed allocation. Each run must end in a documented outcome (an "out
// of memory" failure or a documented fallback), and leak nothing. Built only
// with -DTAVRO_FAULT_INJECTION=ON (the fault preset).
#include "byte_host.h"
#include "support.h"
#include "tavro_answers.h"
#include "tavro_base.h"
#include "tavro_http.h"
#include "tavro_input.h"
#include "tavro_links.h"
#include "tavro_results.h"
#include "tavro_secret.h"
#include "tavro_service.h"
#include "tavro_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#if defined(TAVRO_FAULT_INJECTION)

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVRO_LSAN 1
#endif
#elif defined(__SANITIZE_ADDRESS__)
#define TAVRO_LSAN 1
#endif
#if defined(TAVRO_LSAN)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using tt::api;
using tt::ok;

// Nothing the library allocated is left unreachable (a no-op without
// LeakSanitizer; the end of the test program checks again).
bool no_leak() {
#if defined(TAVRO_LSAN)
  return __lsan_do_recoverable_leak_check() == 0;
#else
  return true;
#endif
}

using tt::failure_reached;

// Every failure point of step, with a leak check after each run.
template <class Step> long fail_each(Step &&step, const std::function<void()> &warm_up = {}) {
  return tt::fail_each(
      [&] {
        step();
        EXPECT_TRUE(no_leak());
      },
      warm_up);
}

// Prints how many failure points a helper has, for docs/hardening.md.
void report(const char *what, long points) {
  std::printf("  %-38s %4ld\n", what, points);
}

// ---- Operations -----------------------------------------------------------

const std::string kSettings = R"({"APIKey":"KEY123","ID":"acct-1"})";
const std::string kH40 = "0123456789abcdef0123456789ABCDEF01234567";
const std::string kMagnet = "magnet:?xt=urn:btih:" + kH40;
const std::string kMagnetEnc = "magnet%3A%3Fxt%3Durn%3Abtih%3A" + kH40;
const std::string kTorrent = "d8:announce3:url4:infod6:lengthi5e4:pathl1:aeee";
const std::string kWaiting = R"({"id":42,"ready":false})";
const std::string kReady = R"({"id":42,"ready":true})";
const std::string kFiles =
    ok(R"({"magnets":[{"id":42,"files":[{"n":"Show","e":[{"n":"Show.S01E01.mkv","s":9,"l":"L1"},)"
       R"({"n":"Show.S01E02.mkv","s":5,"l":"L2"}]},{"n":"notes.txt","s":1,"l":"L3"}]}]})");
const std::string kUnlock = ok(R"({"link":"https://cdn/f.mkv","filename":"f.mkv","filesize":9})");
const std::string kUnlocked = R"({"url":"https://cdn/f.mkv","name":"f.mkv","size":9})";
// A video of two qualities and an audio stream; the higher video is chosen.
const std::string kQualities =
    ok(R"({"link":"","id":"U 1","filename":"v","streams":[{"id":"140","quality":"mp3"},)"
       R"({"id":"137+140","quality":1080,"filesize":9},{"id":"398+140","quality":720}]})");
const std::string kQualityUnlocked =
    R"({"url":"https://cdn/f.mkv","name":"f.mkv","size":9,"quality":1080})";
const std::string kDelayedReady = ok(R"({"status":2,"time_left":0,"link":"https://cdn/f.mkv"})");
const std::string kSavedLinks =
    ok(R"({"links":[{"link":"https://h/a","filename":"a.mkv","size":5,"host":"h"},)"
       R"({"link":"https://h/b","filename":"","size":0},{"filename":"no link"}]})");
const std::string kSavedListing =
    R"([{"name":"a.mkv","path":"a.mkv","folder":false,"size":5,"locator":"https://h/a",)"
    R"("id":"https://h/a"},{"name":"https://h/b","path":"https://h/b","folder":false,)"
    R"("size":-1,"locator":"https://h/b","id":"https://h/b"}])";

// One request of the service and its answer.
struct Answer {
  tt::Call req;
  std::string body;
};

// A documented failure: its code and its message (a regular expression).
struct Failure {
  int code;
  std::string message;
};

struct OpRow {
  const char *name;
  std::function<int(char *out, int32_t out_len)> call;
  std::vector<Answer> answers;
  std::string result;
  // Results a documented fallback gives instead (regular expressions).
  std::vector<std::string> fallbacks;
  // Failures this operation may have besides the ones every operation has.
  std::vector<Failure> failures;
};

// What any operation may answer when an allocation fails: the settings
// cannot be parsed or lose their key, a URL or a result cannot be built, a
// body cannot be copied, an answer cannot be parsed.
const std::vector<Failure> kCommon = {
    {TAVRO_E_ARG, "settings are not a JSON object"},
    {TAVRO_E_ARG, "APIKey is empty"},
    {TAVRO_E_FAILED, "out of memory"},
    {TAVRO_E_FAILED, "response is not a JSON object"},
    {TAVRO_E_TRANSPORT, "out of memory"},
    // The fake transport could not copy its answer.
    {TAVRO_E_TRANSPORT, R"((GET|POST) https://\S+: out of memory)"},
};

int download(const std::string &request, char *out, int32_t out_len) {
  return tavro_download(kSettings.c_str(), request.c_str(), out, out_len);
}

std::string instant(const std::string &payload) {
  return R"({"InstantURL":"https://cdn/f.mkv","InstantName":"f.mkv","InstantSize":9,"Payload":)" +
         payload + "}";
}

// With the name copy failed, an unlocked file has no name.
std::string nameless(std::string result, const std::string &key) {
  std::string from = "\"" + key + "\":\"f.mkv\"";
  result.replace(result.find(from), from.size(), "\"" + key + "\":null");
  return std::regex_replace(result, std::regex(R"([\[\]{}().*+?^$|\\])"), R"(\$&)");
}

// Signing in: the answers, and what the exports make of them.
const std::string kPinGetUrl = tt::kStatusRoot + "/pin/get?agent=quorvelindash";
const std::string kPinCheckUrl = tt::kRoot + "/pin/check?agent=quorvelindash";
const std::string kStart =
    R"({"pin":"ABCD","user_url":"https://alldebrid.com/pin/?pin=ABCD",)"
    R"("check":"664c3ca2635c99f291d28e11ea18e154750bd21a","expires_in":600})";
const std::string kActivated =
    R"({"activated":true,"APIKey":"abcdefABCDEF12345678","expires_in":570})";
const std::string kUserAnswer =
    ok(R"({"user":{"username":"MyUsername","isPremium":true,"premiumUntil":"1545757200"}})");
const std::string kUserMembers =
    R"(,"User":"MyUsername","Premium":true,"PremiumUntil":1545757200})";

std::vector<OpRow> op_rows() {
  tt::Call upload = tt::form(api("/magnet/upload"), "magnets[]=" + kMagnetEnc);
  tt::Call files = tt::form(api("/magnet/files"), "id[]=42");
  tt::Call unlock_l1 = tt::form(api("/link/unlock"), "link=L1");
  tt::Call unlock_l2 = tt::form(api("/link/unlock"), "link=L2");
  tt::Call del = tt::form(api("/magnet/delete"), "id=42");
  tt::Call status_of_12 = tt::form(tt::status_url(), "id=12");
  tt::Call status_of_42 = tt::form(tt::status_url(), "id=42");
  std::string kReadyState = ok(R"({"magnets":[{"id":42,"filename":"Show","statusCode":4}]})");
  tt::Call streaming = tt::form(api("/link/streaming"), "id=U%201&stream=137%2B140");
  tt::Call delayed = tt::form(api("/link/delayed"), "id=77");
  std::string fresh = R"(\{"ClientId":"quorvelindash","RuntimeType":"ALLDEBRID","ID":")"
                      R"([0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-9[0-9a-f]{3}-[0-9a-f]{12}"\})";
  std::string not_a_link = "Link is not a magnet, a redirect-to-magnet or a torrent file";
  std::string fresh_user = fresh.substr(0, fresh.size() - 2) +
                           R"(,"User":"MyUsername","Premium":true,"PremiumUntil":1545757200\})";
  return {
      {"validate user",
       [](char *o, int32_t n) { return tavro_validate(kSettings.c_str(), o, n); },
       {{tt::get(api("/user")), kUserAnswer}},
       R"({"ClientId":"quorvelindash","RuntimeType":"ALLDEBRID","ID":"acct-1")" + kUserMembers,
       {fresh_user},
       {}},
      {"pin start",
       [](char *o, int32_t n) { return tavro_pin_start(kSettings.c_str(), o, n); },
       {{tt::get(kPinGetUrl),
         ok(R"({"pin":"ABCD","check":"664c3ca2635c99f291d28e11ea18e154750bd21a",)"
            R"("expires_in":600,"user_url":"https:\/\/alldebrid.com\/pin\/?pin=ABCD"})")}},
       kStart,
       {},
       {}},
      {"pin check",
       [](char *o, int32_t n) { return tavro_pin_check(kSettings.c_str(), kStart.c_str(), o, n); },
       {{tt::form(kPinCheckUrl, "pin=ABCD&check=664c3ca2635c99f291d28e11ea18e154750bd21a"),
         ok(R"({"apikey":"abcdefABCDEF12345678","activated":true,"expires_in":570})")}},
       kActivated,
       {},
       {{TAVRO_E_ARG, "pin is not a JSON object"}}},
      {"verify allowed",
       [](char *o, int32_t n) {
         return tavro_verify(kSettings.c_str(), R"({"token":"T1"})", o, n);
       },
       {{tt::form(api("/user/verif"), "token=T1"),
         ok(R"({"verif":"allowed","apikey":"someValidApikey"})")}},
       R"({"verif":"allowed","APIKey":"someValidApikey"})",
       {},
       {{TAVRO_E_ARG, "request is not a JSON object"}}},
      {"verify resend",
       [](char *o, int32_t n) {
         return tavro_verify(kSettings.c_str(), R"({"token":"T1","resend":true})", o, n);
       },
       {{tt::form(api("/user/verif/resend"), "token=T1"), ok(R"({"sent":true})")}},
       R"({"sent":true})",
       {},
       {{TAVRO_E_ARG, "request is not a JSON object"}}},
      {"validate",
       [](char *o, int32_t n) { return tavro_validate(kSettings.c_str(), o, n); },
       {{tt::get(api("/user")), ok("{}")}},
       R"({"ClientId":"quorvelindash","RuntimeType":"ALLDEBRID","ID":"acct-1"})",
       {fresh}, // the ID could not be copied: a fresh one is made
       {}},
      {"list root",
       [](char *o, int32_t n) { return tavro_list(kSettings.c_str(), nullptr, o, n); },
       {},
       R"([{"name":"torrents","path":"torrents","folder":true,"size":-1},)"
       R"({"name":"links","path":"links","folder":true,"size":-1},)"
       R"({"name":"history","path":"history","folder":true,"size":-1}])",
       {},
       {{TAVRO_E_FAILED, ""}}}, // the root listing fails without a message
      {"list torrents",
       [](char *o, int32_t n) { return tavro_list(kSettings.c_str(), "torrents", o, n); },
       {{tt::form(tt::status_url(), ""),
         ok(R"({"magnets":[{"id":12,"filename":"Film","size":700},{"id":13,"filename":"B"}]})")}},
       R"([{"name":"Film","path":"m12","folder":true,"size":700,"id":"m12","locator":"m12",)"
       R"("state":null,"status":null,"downloaded":-1,"speed":-1},)"
       R"({"name":"B","path":"m13","folder":true,"size":-1,"id":"m13","locator":"m13",)"
       R"("state":null,"status":null,"downloaded":-1,"speed":-1}])",
       {},
       {}},
      {"list one magnet",
       [](char *o, int32_t n) { return tavro_list(kSettings.c_str(), "torrents/m12", o, n); },
       {{status_of_12, ok(R"({"magnets":[{"id":12,"filename":"Film","size":700,)"
                          R"("status":"Downloading","statusCode":1,"downloaded":5}]})")}},
       R"([{"name":"Film","path":"m12","folder":true,"size":700,"id":"m12","locator":"m12",)"
       R"("state":"processing","status":"Downloading","downloaded":5,"speed":-1}])",
       {},
       {}},
      {"list folder without files",
       [](char *o, int32_t n) { return tavro_list(kSettings.c_str(), "m42", o, n); },
       {{files, ok(R"({"magnets":[{"id":42,"files":[]}]})")}, {status_of_42, kReadyState}},
       "[]",
       {},
       {}},
      {"list folder",
       [](char *o, int32_t n) { return tavro_list(kSettings.c_str(), "m42", o, n); },
       {{files, kFiles}},
       R"([{"name":"Show/Show.S01E01.mkv","path":"Show/Show.S01E01.mkv","folder":false,"size":9,)"
       R"("locator":"L1","id":"Show/Show.S01E01.mkv"},{"name":"Show/Show.S01E02.mkv","path":)"
       R"("Show/Show.S01E02.mkv","folder":false,"size":5,"locator":"L2","id":)"
       R"("Show/Show.S01E02.mkv"},{"name":"notes.txt","path":"notes.txt","folder":false,"size":1,)"
       R"("locator":"L3","id":"notes.txt"}])",
       {},
       {}},
      {"stream",
       [](char *o, int32_t n) {
         return tavro_stream_url(kSettings.c_str(), R"({"locator":"L1"})", o, n);
       },
       {{unlock_l1, kUnlock}},
       kUnlocked,
       {nameless(kUnlocked, "name")},
       {{TAVRO_E_ARG, "entry is not a JSON object"}}},
      {"download magnet",
       [](char *o, int32_t n) { return download(R"({"Link":")" + kMagnet + "\"}", o, n); },
       {{upload, ok(R"({"magnets":[)" + kWaiting + "]}")}},
       kWaiting,
       {},
       {{TAVRO_E_ARG, "config is not a JSON object"},
        {TAVRO_E_ARG, "config has no Link"},
        {TAVRO_E_FAILED, "out of memory serialising the add result"}}},
      {"download and delete",
       [](char *o, int32_t n) {
         return download(R"({"Link":")" + kMagnet + R"(","KeepInstantOnly":true})", o, n);
       },
       {{upload, ok(R"({"magnets":[)" + kWaiting + "]}")}, {del, ok("{}")}},
       kWaiting,
       {},
       {{TAVRO_E_ARG, "config is not a JSON object"},
        {TAVRO_E_ARG, "config has no Link"},
        {TAVRO_E_FAILED, "out of memory serialising the add result"}}},
      {"download redirect",
       [](char *o, int32_t n) { return download(R"({"Link":"https://h/r"})", o, n); },
       {{tt::get("https://h/r"), kMagnet + "\r\nmore"},
        {upload, ok(R"({"magnets":[)" + kWaiting + "]}")}},
       kWaiting,
       {},
       {{TAVRO_E_ARG, "config is not a JSON object"},
        {TAVRO_E_ARG, "config has no Link"},
        {TAVRO_E_FAILED, "out of memory serialising the add result"},
        // The redirect's line or body could not be copied: the link is
        // fetched again as a torrent file, and it is none.
        {TAVRO_E_FAILED, not_a_link}}},
      {"download torrent",
       [](char *o, int32_t n) { return download(R"({"Link":"https://h/t.torrent"})", o, n); },
       {{tt::get("https://h/t.torrent"), kTorrent},
        {tt::multipart(api("/magnet/upload/file"), kTorrent),
         ok(R"({"files":[)" + kWaiting + "]}")}},
       kWaiting,
       {},
       {{TAVRO_E_ARG, "config is not a JSON object"},
        {TAVRO_E_ARG, "config has no Link"},
        {TAVRO_E_FAILED, "out of memory serialising the add result"}}},
      {"download instant",
       [](char *o, int32_t n) { return download(R"({"Link":")" + kMagnet + "\"}", o, n); },
       {{upload, ok(R"({"magnets":[)" + kReady + "]}")}, {files, kFiles}, {unlock_l1, kUnlock}},
       instant(kReady),
       {nameless(instant(kReady), "InstantName")},
       {{TAVRO_E_ARG, "config is not a JSON object"},
        {TAVRO_E_ARG, "config has no Link"},
        {TAVRO_E_FAILED, "out of memory serialising the add result"}}},
      {"download episode",
       [](char *o, int32_t n) {
         return download(
             R"({"Link":")" + kMagnet + R"(","FullSeason":true,"Season":1,"Episode":2})", o, n);
       },
       {{upload, ok(R"({"magnets":[)" + kReady + "]}")}, {files, kFiles}, {unlock_l2, kUnlock}},
       instant(kReady),
       {nameless(instant(kReady), "InstantName")},
       {{TAVRO_E_ARG, "config is not a JSON object"},
        {TAVRO_E_ARG, "config has no Link"},
        {TAVRO_E_FAILED, "out of memory serialising the add result"}}},
      {"download still processing",
       [](char *o, int32_t n) { return download(R"({"Link":")" + kMagnet + "\"}", o, n); },
       {{upload, ok(R"({"magnets":[)" + kReady + "]}")},
        {files, ok(R"({"magnets":[{"id":42,"files":[]}]})")},
        {status_of_42, ok(R"({"magnets":[{"id":42,"statusCode":0,"status":"In Queue"}]})")}},
       kReady,
       {},
       {{TAVRO_E_ARG, "config is not a JSON object"},
        {TAVRO_E_ARG, "config has no Link"},
        {TAVRO_E_FAILED, "out of memory serialising the add result"}}},
      {"change",
       [](char *o, int32_t n) {
         return tavro_change(kSettings.c_str(), R"({"Action":"delete","Magnet":"m42"})", o, n);
       },
       {{del, ok(R"({"message":"Magnet was successfully deleted"})")}},
       R"({"Action":"delete","Magnet":"m42","message":"Magnet was successfully deleted"})",
       {},
       {{TAVRO_E_ARG, "change request is not a JSON object"}}},
      {"change a link",
       [](char *o, int32_t n) {
         return tavro_change(kSettings.c_str(), R"({"Action":"save","Link":"https://h/f#x"})", o,
                             n);
       },
       {{tt::form(api("/user/links/save"), "links[]=https%3A%2F%2Fh%2Ff%23x"),
         ok(R"({"message":"Link was successfully saved"})")}},
       R"({"Action":"save","Link":"https://h/f#x","message":"Link was successfully saved"})",
       {},
       {{TAVRO_E_ARG, "change request is not a JSON object"}}},
      {"stream of qualities",
       [](char *o, int32_t n) {
         return tavro_stream_url(kSettings.c_str(), R"({"locator":"L1"})", o, n);
       },
       {{unlock_l1, kQualities}, {streaming, kUnlock}},
       kQualityUnlocked,
       {nameless(kQualityUnlocked, "name")},
       {{TAVRO_E_ARG, "entry is not a JSON object"}}},
      {"stream delayed",
       [](char *o, int32_t n) {
         return tavro_stream_url(kSettings.c_str(), R"({"locator":"L1"})", o, n);
       },
       {{unlock_l1, ok(R"({"delayed":77,"filename":"f.mkv","filesize":9})")},
        {delayed, kDelayedReady}},
       kUnlocked,
       {nameless(kUnlocked, "name")},
       {{TAVRO_E_ARG, "entry is not a JSON object"}}},
      {"stream quality delayed",
       [](char *o, int32_t n) {
         return tavro_stream_url(kSettings.c_str(), R"({"locator":"L1"})", o, n);
       },
       {{unlock_l1, kQualities},
        {streaming, ok(R"({"delayed":77,"filename":"f.mkv","filesize":9})")},
        {delayed, kDelayedReady}},
       kQualityUnlocked,
       {nameless(kQualityUnlocked, "name")},
       {{TAVRO_E_ARG, "entry is not a JSON object"}}},
      {"list links",
       [](char *o, int32_t n) { return tavro_list(kSettings.c_str(), "links", o, n); },
       {{tt::get(api("/user/links")), kSavedLinks}},
       kSavedListing,
       {},
       {}},
      {"list history",
       [](char *o, int32_t n) { return tavro_list(kSettings.c_str(), "history", o, n); },
       {{tt::get(api("/user/history")), kSavedLinks}},
       kSavedListing,
       {},
       {}},
  };
}

bool matches(const std::string &text, const std::string &pattern) {
  return std::regex_match(text, std::regex(pattern));
}

// The message of the error document in out, or false when out holds none.
bool document_message(const std::string &out, std::string *message) {
  static const std::string head = "{\"error\":\"", tail = "\"}";
  if (out.size() < head.size() + tail.size() || out.compare(0, head.size(), head) != 0 ||
      out.compare(out.size() - tail.size(), tail.size(), tail) != 0)
    return false;
  *message = out.substr(head.size(), out.size() - head.size() - tail.size());
  return true;
}

const char kUntouched[] = "untouched";

// One run of an operation: the outcome must be the result (or a fallback),
// or a documented failure, told by the caller's buffer and the per-thread
// copies, of which at most one may have lost its copy.
void check_run(const OpRow &row, const std::vector<Failure> &failures) {
  char out[4096];
  std::memcpy(out, kUntouched, sizeof kUntouched);
  int code = row.call(out, sizeof out);
  std::string buffer = out, result = tavro_result_json(), error = tavro_last_error();
  if (code == TAVRO_OK) {
    bool expected = buffer == row.result;
    for (const std::string &f : row.fallbacks) expected = expected || matches(buffer, f);
    EXPECT_TRUE(expected) << buffer;
    // The per-thread copy may be the one allocation that failed.
    EXPECT_TRUE(result == buffer || result.empty()) << result;
    EXPECT_EQ(error, "");
    return;
  }
  std::string shown;
  bool has_document = document_message(buffer, &shown);
  // Either the document or the per-thread message may be missing, not both.
  EXPECT_TRUE(has_document || buffer == kUntouched) << buffer;
  if (has_document && !error.empty()) EXPECT_EQ(shown, error);
  std::string message = has_document ? shown : error;
  if (!has_document && row.name != std::string("list root")) EXPECT_FALSE(error.empty());
  bool documented = false;
  for (const Failure &f : failures)
    documented = documented || (f.code == code && matches(message, f.message));
  EXPECT_TRUE(documented) << "code " << code << ": " << message;
  EXPECT_EQ(message.find("KEY123"), std::string::npos) << message;
  EXPECT_EQ(result, "");
}

enum class Transport { host, fake, bytes };

// A request as the byte transport sends it: the key moves from the URL to
// a header, and a torrent goes as the part of a multipart upload.
tt::Call on_bytes(const tt::Call &req) {
  tt::Call c = req;
  size_t at = c.url.find("&apikey=KEY123");
  if (at != std::string::npos) c.url.erase(at, 14);
  if (c.content_type == tt::kMultipartType) c.content_type = "application/x-bittorrent";
  return c;
}

tt::Call seen(const tt::ByteCall &c) {
  return {c.method, c.url, c.body, c.content_type};
}

// Every failure point of one operation on one transport; when warm, each
// run follows a call of the same operation that had all its memory, whose
// kept blocks and result copy the failing call finds.
long op_failure_points(const OpRow &row, Transport via, bool warm = false) {
  tt::Host host;
  tavro_io io = host.table();
  tt::ByteHost bytes;
  tavro_transport table = bytes.table();
  tavro_fake_reset();
  for (const Answer &a : row.answers) {
    if (via == Transport::host) {
      host.answer(a.req, 200, a.body);
    } else if (via == Transport::bytes) {
      tt::Call c = on_bytes(a.req);
      bytes.answer(c.method, c.url, 200, a.body);
    } else {
      EXPECT_EQ(
          tavro_fake_set(a.req.method.c_str(), tt::fake_url(a.req).c_str(), 200, a.body.c_str()),
          0);
    }
  }
  if (via == Transport::host)
    tavro_set_io(&io);
  else if (via == Transport::bytes)
    tavro_set_transport(&table);
  else
    tavro_use_fake();
  tavro_allow_writes(1);
  std::vector<Failure> failures = kCommon;
  failures.insert(failures.end(), row.failures.begin(), row.failures.end());
  long points = fail_each([&] { check_run(row, failures); },
                          warm ? std::function<void()>([&] { check_run(row, {}); }) : nullptr);
  // The run without a failure gave exactly the result, from exactly the
  // requests answered.
  size_t before = host.calls().size(), before_bytes = bytes.calls().size();
  check_run(row, {});
  EXPECT_EQ(tavro_result_json(), row.result);
  if (via == Transport::host) {
    std::vector<tt::Call> calls = host.calls(), want;
    for (const Answer &a : row.answers) want.push_back(a.req);
    // A web link is fetched twice when it is no redirect.
    if (!want.empty() && want[0].url == "https://h/t.torrent") want.insert(want.begin(), want[0]);
    EXPECT_EQ(std::vector<tt::Call>(calls.begin() + (long)before, calls.end()), want);
  }
  if (via == Transport::bytes) {
    // Each request once, the key never in a URL but in a header.
    std::vector<tt::ByteCall> calls = bytes.calls();
    std::vector<tt::Call> got, want;
    for (size_t i = before_bytes; i < calls.size(); ++i) got.push_back(seen(calls[i]));
    for (const Answer &a : row.answers) want.push_back(on_bytes(a.req));
    EXPECT_EQ(got, want);
    for (const tt::ByteCall &c : calls) EXPECT_EQ(c.url.find("KEY123"), std::string::npos);
  }
  tavro_set_io(nullptr);
  tavro_allow_writes(0);
  tavro_fake_reset();
  EXPECT_EQ(host.live(), 0u) << "transport strings not released";
  EXPECT_EQ(host.bad_releases(), 0);
  EXPECT_EQ(bytes.live(), 0u) << "transport texts not released";
  EXPECT_EQ(bytes.bad_releases(), 0);
  return points;
}

TEST(OutOfMemory, EveryOperationFailsCleanlyAtEveryAllocation) {
  std::printf("  %-20s %6s %6s %6s\n", "operation", "host", "fake", "bytes");
  for (const OpRow &row : op_rows()) {
    SCOPED_TRACE(row.name);
    long host = op_failure_points(row, Transport::host);
    long fake = op_failure_points(row, Transport::fake);
    long bytes = op_failure_points(row, Transport::bytes);
    EXPECT_GT(bytes, 0);
    // The fake transport's own copies (URL, answer, posted body) add to
    // the operation's.
    EXPECT_GT(host, 0);
    if (!row.answers.empty()) EXPECT_GT(fake, host);
    std::printf("  %-20s %6ld %6ld %6ld\n", row.name, host, fake, bytes);
  }
}

// An AUTH_BLOCKED answer: the document hands over the token, or, when its
// copy is the allocation that failed, is the plain error document.
TEST(OutOfMemory, BlockedKeysTokenIsHandedOverOrLeftOut) {
  tt::Host host;
  tavro_io io = host.table();
  host.answer("GET", api("/user"), 200,
              R"({"status":"error","error":{"code":"AUTH_BLOCKED","message":"An <b>email</b>",)"
              R"("token":"tok-75"}})");
  tavro_set_io(&io);
  const std::string message = "AllDebrid error AUTH_BLOCKED: An email";
  int with_token = 0, without = 0;
  long points = fail_each([&] {
    char out[1024];
    std::memcpy(out, kUntouched, sizeof kUntouched);
    int code = tavro_validate(kSettings.c_str(), out, sizeof out);
    std::string doc = out;
    if (doc == R"({"error":")" + message + R"(","verification":"tok-75"})") {
      EXPECT_EQ(code, TAVRO_E_AUTH);
      ++with_token;
      return;
    }
    if (doc == R"({"error":")" + message + R"("})") {
      EXPECT_EQ(code, TAVRO_E_AUTH);
      ++without;
      return;
    }
    std::string shown;
    bool has_document = document_message(doc, &shown);
    std::string m = has_document ? shown : std::string(tavro_last_error());
    bool documented = false;
    for (const Failure &f : kCommon)
      documented = documented || (f.code == code && matches(m, f.message));
    EXPECT_TRUE(documented || (code == TAVRO_E_AUTH && doc == kUntouched)) << code << " " << doc;
  });
  EXPECT_GT(points, 0);
  EXPECT_GT(with_token, 0);
  EXPECT_GT(without, 0) << "the token's copy failed once";
  tavro_set_io(nullptr);
  EXPECT_EQ(host.live(), 0u);
  report("validate AUTH_BLOCKED", points);
}

TEST(OutOfMemory, WarmCallsFailCleanlyAtEveryAllocation) {
  for (const OpRow &row : op_rows()) {
    SCOPED_TRACE(row.name);
    long points = op_failure_points(row, Transport::host, true);
    if (!row.answers.empty()) EXPECT_GT(points, 0);
    report(row.name, points);
  }
}

TEST(OutOfMemory, AWaitForADelayedLinkFailsCleanlyAtEveryAllocation) {
  // Ready on the second poll: the clock's sleep puts the ready answer in
  // place, so that every run makes the same requests and sleeps once.
  struct Clock {
    int64_t now = 0;
    int sleeps = 0;
    std::function<void()> on_sleep;
  } clock;
  tavro_clock table{&clock, [](void *c) { return static_cast<Clock *>(c)->now; },
                    [](void *c, int64_t ms) {
                      auto *k = static_cast<Clock *>(c);
                      k->now += ms;
                      ++k->sleeps;
                      k->on_sleep();
                    }};
  tt::Host host;
  tavro_io io = host.table();
  tt::Call unlock = tt::form(api("/link/unlock"), "link=L1");
  tt::Call poll = tt::form(api("/link/delayed"), "id=77");
  host.answer(unlock, 200, ok(R"({"delayed":77,"filename":"f.mkv","filesize":9})"));
  clock.on_sleep = [&] { host.answer(poll, 200, kDelayedReady); };
  tavro_clock_use(&table);
  tavro_set_io(&io);
  std::vector<Failure> failures = kCommon;
  failures.push_back({TAVRO_E_ARG, "entry is not a JSON object"});
  OpRow row{"stream delayed, second poll",
            [](char *o, int32_t n) {
              return tavro_stream_url(kSettings.c_str(), R"({"locator":"L1"})", o, n);
            },
            {},
            kUnlocked,
            {nameless(kUnlocked, "name")},
            {}};
  long points = fail_each([&] {
    host.answer(poll, 200, ok(R"({"status":1,"time_left":5})"));
    clock.sleeps = 0;
    check_run(row, failures);
  });
  host.answer(poll, 200, ok(R"({"status":1,"time_left":5})"));
  clock.sleeps = 0;
  check_run(row, {});
  EXPECT_EQ(clock.sleeps, 1);
  tavro_set_io(nullptr);
  tavro_clock_use(nullptr);
  EXPECT_EQ(host.live(), 0u);
  EXPECT_GT(points, 5);
  report("stream, delayed link ready on poll 2", points);
}

// ---- Helpers --------------------------------------------------------------

TEST(OutOfMemory, TextBufferAppendsLeaveTheBufferAsItWas) {
  std::string long_text(600, 'x'); // past the formatter's local area
  long points = fail_each([&] {
    tavro_buf b{};
    if (tavro_buf_adds(&b, "head") != 0) {
      EXPECT_EQ(b.data, nullptr);
      EXPECT_EQ(b.cap, 0u);
      return;
    }
    uint64_t len = b.len, cap = b.cap;
    int rc = tavro_buf_addf(&b, "%s|%d", long_text.c_str(), 7);
    if (rc != 0) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(b.len, len);
      EXPECT_EQ(b.cap, cap);
      EXPECT_STREQ(b.data, "head");
    } else {
      EXPECT_EQ(std::string(b.data), "head" + long_text + "|7");
    }
    tavro_buf_free(&b);
  });
  // The first append, the formatter's heap block, the growth past 512.
  EXPECT_EQ(points, 3);
  report("tavro_buf_adds + tavro_buf_addf", points);
}

TEST(OutOfMemory, EscapesFailWithoutAppendingHalfAValue) {
  long points = fail_each([&] {
    tavro_buf b{};
    int json = tavro_buf_json_str(&b, "a\"b");
    if (json == 0) EXPECT_STREQ(b.data, "\"a\\\"b\"");
    int query = tavro_buf_query(&b, "k", "a b");
    // The value is encoded before anything is appended: on failure the
    // buffer holds what it held before or the separator and key only.
    std::string text = b.data ? b.data : "";
    if (query == 0)
      EXPECT_EQ(text.substr(text.find('?')), "?k=a%20b");
    else
      EXPECT_EQ(text.find('%'), std::string::npos) << text;
    tavro_buf_free(&b);
    // A form field is appended whole or not at all.
    tavro_buf form{};
    int field = tavro_buf_form(&form, "link", "a b");
    if (field == 0)
      EXPECT_STREQ(form.data, "link=a%20b");
    else
      EXPECT_EQ(form.len, 0u);
    tavro_buf_free(&form);
  });
  EXPECT_GT(points, 0);
  report("tavro_buf_json_str, _query and _form", points);
}

TEST(OutOfMemory, CopiesGiveNull) {
  long points = fail_each([&] {
    char *a = tavro_strdup("text");
    char *b = tavro_strndup("bytes", 3);
    if (a) EXPECT_STREQ(a, "text");
    if (b) EXPECT_STREQ(b, "byt");
    EXPECT_EQ(failure_reached(), !a || !b);
    std::free(a);
    std::free(b);
  });
  EXPECT_EQ(points, 2);
  report("tavro_strdup + tavro_strndup", points);
}

TEST(OutOfMemory, SettingsLoseOnlyWhatCouldNotBeCopied) {
  const char *settings = R"({"APIKey":" KEY123 ","CustomName":"host","ID":"acct-1"})";
  long points = fail_each([&] {
    tavro_cfg cfg{};
    char err[TAVRO_ERR_SIZE] = {};
    int rc = tavro_cfg_parse(settings, 1, &cfg, err, sizeof err);
    if (rc == 0) {
      EXPECT_STREQ(cfg.api_key, "KEY123");
      // A value that could not be copied counts as absent.
      if (cfg.client) EXPECT_STREQ(cfg.client, "host");
      if (cfg.id) EXPECT_STREQ(cfg.id, "acct-1");
    } else {
      EXPECT_EQ(rc, TAVRO_E_ARG);
      EXPECT_TRUE(!std::strcmp(err, "settings are not a JSON object") ||
                  !std::strcmp(err, "APIKey is empty"))
          << err;
      EXPECT_TRUE(!cfg.api_key && !cfg.client && !cfg.id);
    }
    tavro_cfg_free(&cfg);
  });
  EXPECT_GT(points, 3);
  report("tavro_cfg_parse", points);
}

TEST(OutOfMemory, RedactionNeverShowsWhatItDrops) {
  const char *url = "https://user:pw@h/p?agent=a&apikey=SECRET&x=1";
  long points = fail_each([&] {
    char out[256];
    tavro_redact_into(url, out, sizeof out);
    std::string shown = out;
    EXPECT_EQ(shown.find("SECRET"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("pw"), std::string::npos) << shown;
    EXPECT_EQ(std::string("https://h/p?agent=a&apikey=***&x=1").compare(0, shown.size(), shown), 0)
        << shown;
    EXPECT_EQ(std::string(tavro_redact(url)).find("SECRET"), std::string::npos);
  });
  EXPECT_GT(points, 0);
  report("tavro_redact_into + tavro_redact", points);
}

TEST(OutOfMemory, ExchangeReleasesTheTransportsStrings) {
  tt::Host host;
  tavro_io io = host.table();
  host.answer("GET", "https://h/a", 200, "body");
  host.answer("POST", "https://h/f", 201, "posted");
  for (bool form : {false, true}) {
    long points = fail_each([&] {
      tavro_resp resp{};
      char err[TAVRO_ERR_SIZE] = {};
      int rc = form ? tavro_http_post(&io, "https://h/f", nullptr, "a=1", &resp, err, sizeof err)
                    : tavro_http(&io, "https://h/a", nullptr, &resp, err, sizeof err);
      if (rc == 0) {
        EXPECT_STREQ(resp.body, form ? "posted" : "body");
      } else {
        EXPECT_EQ(rc, -1);
        EXPECT_STREQ(err, "out of memory");
        EXPECT_EQ(resp.body, nullptr);
        EXPECT_EQ(resp.body_len, 0u);
      }
      tavro_resp_free(&resp);
      EXPECT_EQ(host.live(), 0u);
    });
    EXPECT_EQ(points, 1) << (form ? "form post" : "get");
    report(form ? "tavro_http_post" : "tavro_http", points);
  }
  // A failed exchange's message quotes the redacted URL, built in a buffer.
  host.fail("GET", "https://h/down?apikey=K", 1, std::string("refused"));
  long points = fail_each([&] {
    tavro_resp resp{};
    char err[TAVRO_ERR_SIZE] = {};
    EXPECT_EQ(tavro_http(&io, "https://h/down?apikey=K", nullptr, &resp, err, sizeof err), -1);
    EXPECT_TRUE(matches(err, R"(GET (https://h/down\?apikey=\*\*\*)?: refused)")) << err;
    EXPECT_EQ(host.live(), 0u);
  });
  EXPECT_GT(points, 0);
  report("tavro_http, failed exchange", points);
}

TEST(OutOfMemory, EnvelopeAndRequestReadersReportIt) {
  std::string body = ok(R"({"a":[1,2,3]})");
  long envelope = fail_each([&] {
    yyjson_doc *doc = nullptr;
    yyjson_val *data = nullptr;
    char err[TAVRO_ERR_SIZE] = {};
    int rc = tavro_parse_envelope(body.data(), body.size(), &doc, &data, err, sizeof err);
    if (rc != TAVRO_OK) {
      EXPECT_EQ(rc, TAVRO_E_FAILED);
      EXPECT_STREQ(err, "response is not a JSON object");
      EXPECT_EQ(doc, nullptr);
    }
    yyjson_doc_free(doc);
  });
  EXPECT_GT(envelope, 0);
  report("tavro_parse_envelope", envelope);
  std::string request = R"({"Link":")" + kMagnet + R"(","Episode":2})";
  long parsed = fail_each([&] {
    tavro_dlcfg cfg{};
    char err[TAVRO_ERR_SIZE] = {};
    int rc = tavro_dlcfg_parse(request.c_str(), &cfg, err, sizeof err);
    if (rc == 0)
      EXPECT_EQ(cfg.link, kMagnet);
    else
      EXPECT_TRUE(!std::strcmp(err, "config is not a JSON object") ||
                  !std::strcmp(err, "config has no Link"))
          << err;
    tavro_dlcfg_free(&cfg);
  });
  EXPECT_GT(parsed, 1);
  report("tavro_dlcfg_parse", parsed);
}

TEST(OutOfMemory, PerThreadCopiesFallBackToEmptyTexts) {
  long points = fail_each([&] {
    tavro_publish(TAVRO_E_FAILED, "the message", nullptr);
    std::string error = tavro_last_error(), result = tavro_result_json();
    EXPECT_TRUE(error == "the message" || error.empty()) << error;
    EXPECT_EQ(result, "");
  });
  EXPECT_EQ(points, 2);
  report("tavro_publish", points);
  // A call without a buffer still succeeds when the copy of "" for the
  // error fails: the result is in the per-thread copy.
  tt::Host host;
  tavro_io io = host.table();
  tavro_set_io(&io);
  long flat = fail_each([&] {
    int code = tavro_list(tt::kSettings.c_str(), nullptr, nullptr, 0);
    std::string result = tavro_result_json();
    if (code == TAVRO_OK) {
      EXPECT_EQ(result, R"([{"name":"torrents","path":"torrents","folder":true,"size":-1},)"
                        R"({"name":"links","path":"links","folder":true,"size":-1},)"
                        R"({"name":"history","path":"history","folder":true,"size":-1}])");
      EXPECT_STREQ(tavro_last_error(), "");
    } else {
      // The settings or the listing ran out (the root listing has no
      // message), or the result could not be kept, so there is none to read.
      std::string error = tavro_last_error();
      EXPECT_EQ(result, "");
      if (code == TAVRO_E_ARG)
        EXPECT_TRUE(error == "settings are not a JSON object" || error == "APIKey is empty")
            << error;
      else if (code == TAVRO_E_BUFFER)
        EXPECT_EQ(error, "output buffer too small");
      else
        EXPECT_EQ(code, TAVRO_E_FAILED);
    }
  });
  tavro_set_io(nullptr);
  EXPECT_GT(flat, 3);
  report("tavro_list without a buffer", flat);
}

// ---- Limits ---------------------------------------------------------------

TEST(Limits, InputsPastTheLimitsAreRefusedBeforeAnyAllocation) {
  std::string settings =
      R"({"APIKey":"KEY123","pad":")" + std::string(TAVRO_SETTINGS_MAX, 'x') + "\"}";
  std::string url = "https://h/" + std::string(8193 - 10, 'a');
  tt::Host host;
  tavro_io io = host.table();
  struct Row {
    const char *name;
    std::function<int(char *err)> call;
    int code;
    const char *message;
  } rows[] = {
      {"settings over 1 MiB",
       [&](char *err) {
         tavro_cfg cfg{};
         return tavro_cfg_parse(settings.c_str(), 1, &cfg, err, TAVRO_ERR_SIZE);
       },
       TAVRO_E_ARG, "settings are larger than 1 MiB"},
      {"URL over 8 KiB",
       [&](char *err) {
         tavro_resp resp{};
         return tavro_http(&io, url.c_str(), nullptr, &resp, err, TAVRO_ERR_SIZE);
       },
       -1, "request URL longer than 8 KiB"},
      {"form post URL over 8 KiB",
       [&](char *err) {
         tavro_resp resp{};
         return tavro_http_post(&io, url.c_str(), nullptr, nullptr, &resp, err, TAVRO_ERR_SIZE);
       },
       -1, "request URL longer than 8 KiB"},
  };
  // With no memory at all (the first allocation fails) each is still refused
  // for its size, not for memory: nothing is allocated before the check.
  for (const Row &r : rows) {
    char err[TAVRO_ERR_SIZE] = {};
    tavro_fi_countdown.store(1);
    int rc = r.call(err);
    bool allocated = failure_reached();
    tavro_fi_countdown.store(0);
    EXPECT_EQ(rc, r.code) << r.name;
    EXPECT_STREQ(err, r.message) << r.name;
    EXPECT_FALSE(allocated) << r.name;
  }
  EXPECT_EQ(host.calls().size(), 0u);
}

} // namespace

#endif
