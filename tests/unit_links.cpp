// SPDX-License-Identifier: MIT
// The links a stream plays and the links the account keeps: the settings
// that steer them, the readers of the unlock, streaming, delayed and
// saved-links answers, and the whole stream and listings through the
// exports on the three transports (the fake, a text table, a byte table),
// every request and result byte checked. The wait for a delayed link runs
// on a virtual clock (the test seam tavro_clock_use): no test sleeps.
#include "byte_host.h"
#include "support.h"
#include "tavro_answers.h"
#include "tavro_input.h"
#include "tavro_links.h"
#include "tavro_service.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using tt::api;
using tt::ok;

constexpr size_t kErrSize = TAVRO_ERR_SIZE;

// ---- The service's documented answers ---------------------------------------

// Copied from the service's API documentation as it stands (escaped
// slashes included).
const std::string kUnlockDoc =
    R"j({"status":"success","data":{"link":"http:\/\/ombfyx.debrid.it\/dl\/abcdefgh12\/somefile.txt","host":"example","filename":"somefile.txt","paws":false,"filesize":699400192,"streams":[],"id":"abcdefgh12","hostDomain":"example.com"}})j";
const std::string kStreamChoiceDoc =
    R"j({"status":"success","data":{"link":"","host":"stream","filename":"Rick Astley - Never Gonna Give You Up (Video)","filesize":0,"id":"1nsjw3315ad","streams":[{"id":"140","ext":"mp3","quality":"mp3","filesize":3433538,"proto":"https","name":"","tb":130.621,"abr":128},{"id":"137+140","ext":"mp4","quality":1080,"filesize":75910363,"proto":"https","name":""},{"id":"398+140","ext":"mp4","quality":720,"filesize":32752789,"proto":"https","name":""}]}})j";
const std::string kStreamingLinkDoc =
    R"j({"status":"success","data":{"link":"https://p1cjev.alldeb.ovh/dl/1nsjw3315ad/Rick%20Astley%20-%20Never%20Gonna%20Give%20You%20Up%20%28Video%29.360.mp4","filename":"Rick Astley - Never Gonna Give You Up (Video).360.mp4","filesize":113129149}})j";
const std::string kStreamingDelayedDoc =
    R"j({"status":"success","data":{"filename":"Rick Astley - Never Gonna Give You Up (Video).360.mp4","filesize":113129149,"delayed":2277564}})j";
const std::string kDelayedProcessingDoc =
    R"j({"status":"success","data":{"status":1,"time_left":45}})j";
const std::string kDelayedReadyDoc =
    R"j({"status":"success","data":{"status":2,"time_left":0,"link":"http:\/\/ombfyx.debrid.it\/dl\/abcdefgh12\/ubuntu-16.04.1-server-amd64.iso"}})j";
const std::string kUserLinksDoc =
    R"j({"status":"success","data":{"links":[{"link":"https:\/\/example.com\/somefile1","filename":"somefile1.txt","size":751267520,"date":1569420668,"host":"example"},{"link":"https:\/\/example.com\/somefile2","filename":"somefile.txt","size":795126720,"date":1569420668,"host":"example"},{"link":"http:\/\/youtube.com\/watch?v=dQw4w9WgXcQ","filename":"","size":0,"date":1583253075,"host":"stream"}]}})j";
const std::string kUserHistoryDoc =
    R"j({"status":"success","data":{"links":[{"link":"https:\/\/example.com\/somefile","filename":"somefile.txt","size":751267520,"date":1569420668,"host":"example"},{"link":"https:\/\/example.com\/somefile2","filename":"somefile2.txt","size":795126720,"date":1569420668,"host":"example"},{"link":"http:\/\/youtube.com\/watch?v=dQw4w9WgXcQ","filename":"","size":0,"date":1583253075,"host":"stream"}]}})j";

const std::string kRick = "Rick Astley - Never Gonna Give You Up (Video).360.mp4";
const std::string kRickUrl =
    "https://p1cjev.alldeb.ovh/dl/1nsjw3315ad/"
    "Rick%20Astley%20-%20Never%20Gonna%20Give%20You%20Up%20%28Video%29.360.mp4";
const std::string kIso = "http://ombfyx.debrid.it/dl/abcdefgh12/ubuntu-16.04.1-server-amd64.iso";

// ---- Settings -------------------------------------------------------------

TEST(LinkSettings, MaxQualityAndDelayedWaitAreReadByTheRows) {
  const struct {
    const char *why;
    std::string extra; // members after the key
    int code;
    const char *message;
    int64_t max_quality;
    int32_t delayed_wait;
  } rows[] = {
      {"neither given", "", TAVRO_OK, "", 0, 60},
      {"integers", R"(,"MaxQuality":720,"DelayedWait":120)", TAVRO_OK, "", 720, 120},
      {"strings of digits, blanks around", R"(,"MaxQuality":" 1080 ","DelayedWait":"0")", TAVRO_OK,
       "", 1080, 0},
      {"null and blank strings are not given", R"(,"MaxQuality":null,"DelayedWait":"  ")", TAVRO_OK,
       "", 0, 60},
      {"the limits", R"(,"MaxQuality":9223372036854775807,"DelayedWait":600)", TAVRO_OK, "",
       INT64_MAX, 600},
      {"the first of duplicates", R"(,"DelayedWait":5,"DelayedWait":900)", TAVRO_OK, "", 0, 5},
      {"quality 0", R"(,"MaxQuality":0)", TAVRO_E_ARG, "MaxQuality is not a positive integer", 0,
       60},
      {"quality negative", R"(,"MaxQuality":-720)", TAVRO_E_ARG,
       "MaxQuality is not a positive integer", 0, 60},
      {"quality real", R"(,"MaxQuality":720.0)", TAVRO_E_ARG,
       "MaxQuality is not a positive integer", 0, 60},
      {"quality with a unit", R"(,"MaxQuality":"720p")", TAVRO_E_ARG,
       "MaxQuality is not a positive integer", 0, 60},
      {"quality past 64 bits", R"(,"MaxQuality":"9223372036854775808")", TAVRO_E_ARG,
       "MaxQuality is not a positive integer", 0, 60},
      {"quality true", R"(,"MaxQuality":true)", TAVRO_E_ARG, "MaxQuality is not a positive integer",
       0, 60},
      {"wait past 600", R"(,"DelayedWait":601)", TAVRO_E_ARG,
       "DelayedWait is not a number of seconds from 0 to 600", 0, 60},
      {"wait negative", R"(,"DelayedWait":-1)", TAVRO_E_ARG,
       "DelayedWait is not a number of seconds from 0 to 600", 0, 60},
      {"wait as a word", R"(,"DelayedWait":"long")", TAVRO_E_ARG,
       "DelayedWait is not a number of seconds from 0 to 600", 0, 60},
      {"wait huge", R"(,"DelayedWait":18446744073709551615)", TAVRO_E_ARG,
       "DelayedWait is not a number of seconds from 0 to 600", 0, 60},
      {"wait an array", R"(,"DelayedWait":[5])", TAVRO_E_ARG,
       "DelayedWait is not a number of seconds from 0 to 600", 0, 60},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.why);
    std::string settings = R"({"APIKey":"K")" + row.extra + "}";
    tavro_cfg cfg{};
    char err[kErrSize] = {};
    EXPECT_EQ(tavro_cfg_parse(settings.c_str(), 1, &cfg, err, sizeof err), row.code);
    EXPECT_STREQ(err, row.message);
    EXPECT_EQ(cfg.max_quality, row.max_quality);
    EXPECT_EQ(cfg.delayed_wait, row.delayed_wait);
    if (row.code != TAVRO_OK) {
      EXPECT_EQ(cfg.api_key, nullptr) << "a failure leaves nothing";
    }
    tavro_cfg_free(&cfg);
  }
}

TEST(LinkSettings, BadNumbersAreRefusedBeforeAnyRequest) {
  tt::Host host;
  tavro_io io = host.table();
  tavro_set_io(&io);
  char out[256];
  EXPECT_EQ(tavro_stream_url(R"({"APIKey":"K","MaxQuality":"hd"})", R"({"locator":"L"})", out,
                             sizeof out),
            TAVRO_E_ARG);
  EXPECT_STREQ(out, R"({"error":"MaxQuality is not a positive integer"})");
  EXPECT_EQ(tavro_list(R"({"APIKey":"K","DelayedWait":1000})", "links", out, sizeof out),
            TAVRO_E_ARG);
  EXPECT_STREQ(out, R"({"error":"DelayedWait is not a number of seconds from 0 to 600"})");
  EXPECT_EQ(host.calls().size(), 0u);
  tavro_set_io(nullptr);
}

// ---- Readers --------------------------------------------------------------

// An answer's payload, parsed.
struct Payload {
  tavro::Doc doc;
  yyjson_val *data = nullptr;
  explicit Payload(const std::string &body) {
    char err[kErrSize];
    EXPECT_EQ(tavro_parse_envelope(body.data(), body.size(), doc.out(), &data, err, sizeof err),
              TAVRO_OK)
        << err;
  }
};

// A step as one line: "link L|name|size", "stream U S quality", "delayed N|name|size".
std::string rendered(const tavro_link_step &s) {
  auto text = [](const tavro::Text &t) { return t.get() ? std::string(t.get()) : "<null>"; };
  switch (s.kind) {
  case tavro_step_kind::link:
    return "link " + text(s.link) + "|" + text(s.name) + "|" + std::to_string(s.size);
  case tavro_step_kind::stream:
    return "stream " + text(s.unlock_id) + " " + text(s.stream_id) + " " +
           (s.quality_is_text ? "\"" + text(s.quality_text) + "\"" : std::to_string(s.quality));
  case tavro_step_kind::delayed:
    return "delayed " + std::to_string(s.delayed) + "|" + text(s.name) + "|" +
           std::to_string(s.size);
  }
  return "";
}

std::string streams(const std::string &list, const std::string &id = R"("U")") {
  return ok(R"({"link":"","id":)" + id + R"(,"streams":)" + list + "}");
}

TEST(UnlockAnswer, EveryShapeGivesItsStepByTheRows) {
  const struct {
    const char *why;
    std::string body;
    int64_t cap;
    const char *step; // or the message of a failure
    int code;
  } rows[] = {
      {"the documented link at once", kUnlockDoc, 0,
       "link http://ombfyx.debrid.it/dl/abcdefgh12/somefile.txt|somefile.txt|699400192", TAVRO_OK},
      {"the documented choice: the highest video", kStreamChoiceDoc, 0,
       "stream 1nsjw3315ad 137+140 1080", TAVRO_OK},
      {"capped at 720", kStreamChoiceDoc, 720, "stream 1nsjw3315ad 398+140 720", TAVRO_OK},
      {"capped between them", kStreamChoiceDoc, 1000, "stream 1nsjw3315ad 398+140 720", TAVRO_OK},
      {"capped at 1080 exactly", kStreamChoiceDoc, 1080, "stream 1nsjw3315ad 137+140 1080",
       TAVRO_OK},
      {"capped below every video: the lowest", kStreamChoiceDoc, 360,
       "stream 1nsjw3315ad 398+140 720", TAVRO_OK},
      {"audio only when no video",
       streams(
           R"([{"id":"a1","quality":"mp3","filesize":10},{"id":"a2","quality":"m4a","filesize":30},)"
           R"({"id":"a3","quality":"ogg","filesize":30}])"),
       0, "stream U a2 \"m4a\"", TAVRO_OK},
      {"audio even under a cap", streams(R"([{"id":"a1","quality":"mp3"}])"), 240,
       "stream U a1 \"mp3\"", TAVRO_OK},
      {"a tie goes to the larger file",
       streams(R"([{"id":"s","quality":720,"filesize":10},{"id":"b","quality":720,"filesize":20},)"
               R"({"id":"c","quality":480,"filesize":99}])"),
       0, "stream U b 720", TAVRO_OK},
      {"a tie of files too: the first",
       streams(
           R"([{"id":"f","quality":720,"filesize":20},{"id":"g","quality":720,"filesize":20}])"),
       0, "stream U f 720", TAVRO_OK},
      {"a size that is no integer loses the tie",
       streams(
           R"([{"id":"f","quality":720,"filesize":"9"},{"id":"g","quality":720,"filesize":0}])"),
       0, "stream U g 720", TAVRO_OK},
      {"above the cap, the lowest and then the larger",
       streams(R"([{"id":"a","quality":2160},{"id":"b","quality":1080,"filesize":1},)"
               R"({"id":"c","quality":1080,"filesize":5}])"),
       720, "stream U c 1080", TAVRO_OK},
      {"ids as integers", streams(R"([{"id":137,"quality":1080}])", "42"), 0, "stream 42 137 1080",
       TAVRO_OK},
      {"an unlock id as a string of digits", streams(R"([{"id":"7","quality":1}])", R"("0042")"), 0,
       "stream 0042 7 1", TAVRO_OK},
      {"streams without a usable id or quality are passed over",
       streams(
           R"([{"quality":2160},{"id":"","quality":2160},{"id":1.5,"quality":2160},)"
           R"({"id":"q","quality":1.5},{"id":"n","quality":null},"x",{"id":"ok","quality":144}])"),
       0, "stream U ok 144", TAVRO_OK},
      {"a video wins over audio of any size",
       streams(
           R"([{"id":"a","quality":"flac","filesize":999999},{"id":"v","quality":144,"filesize":1}])"),
       0, "stream U v 144", TAVRO_OK},
      {"a non-empty link wins over streams",
       ok(R"({"link":"https://d/f","id":"U","streams":[{"id":"s","quality":720}]})"), 0,
       "link https://d/f|<null>|-1", TAVRO_OK},
      {"an empty streams array and no link", ok(R"({"link":"","streams":[],"id":"U"})"), 0,
       "link/unlock returned no link", TAVRO_E_FAILED},
      {"streams not an array", ok(R"({"link":"","streams":{"id":"s"},"id":"U"})"), 0,
       "link/unlock returned no link", TAVRO_E_FAILED},
      {"streams without an unlock id", ok(R"({"link":"","streams":[{"id":"s","quality":720}]})"), 0,
       "link/unlock returned streams without an id", TAVRO_E_FAILED},
      {"an empty unlock id", streams(R"([{"id":"s","quality":720}])", R"("")"), 0,
       "link/unlock returned streams without an id", TAVRO_E_FAILED},
      {"no stream to choose", streams(R"([{"id":"s"},{"quality":720}])"), 0,
       "link/unlock returned no stream it could choose", TAVRO_E_FAILED},
      {"a delayed link", ok(R"({"link":"","delayed":2277564,"filename":"f.iso","filesize":7})"), 0,
       "delayed 2277564|f.iso|7", TAVRO_OK},
      {"streams win over delayed",
       ok(R"({"delayed":5,"id":"U","streams":[{"id":"s","quality":720}]})"), 0, "stream U s 720",
       TAVRO_OK},
      {"a delayed id as a string is none", ok(R"({"link":"","delayed":"2277564"})"), 0,
       "link/unlock returned no link", TAVRO_E_FAILED},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.why);
    Payload p(row.body);
    tavro_link_step step;
    char err[kErrSize] = {};
    int rc = tavro_read_unlock(p.data, row.cap, &step, err, sizeof err);
    EXPECT_EQ(rc, row.code);
    if (row.code == TAVRO_OK) {
      EXPECT_EQ(rendered(step), row.step);
      EXPECT_STREQ(err, "");
    } else {
      EXPECT_STREQ(err, row.step);
    }
  }
}

TEST(StreamingAnswer, GivesTheLinkOrTheDelayedIdByTheRows) {
  const struct {
    const char *why;
    std::string body;
    const char *step;
    int code;
  } rows[] = {
      {"the documented link", kStreamingLinkDoc,
       "link https://p1cjev.alldeb.ovh/dl/1nsjw3315ad/Rick%20Astley%20-%20Never%20Gonna%20Give%20"
       "You%20Up%20%28Video%29.360.mp4|Rick Astley - Never Gonna Give You Up (Video).360.mp4|"
       "113129149",
       TAVRO_OK},
      {"the documented delayed link", kStreamingDelayedDoc,
       "delayed 2277564|Rick Astley - Never Gonna Give You Up (Video).360.mp4|113129149", TAVRO_OK},
      {"a link wins over delayed", ok(R"({"link":"L","delayed":3})"), "link L|<null>|-1", TAVRO_OK},
      {"an empty link and no delayed", ok(R"({"link":"","filename":"f"})"),
       "link/streaming returned no link", TAVRO_E_FAILED},
      {"streams are no answer here", ok(R"({"id":"U","streams":[{"id":"s","quality":1}]})"),
       "link/streaming returned no link", TAVRO_E_FAILED},
      {"a payload of another shape", ok("[]"), "link/streaming returned no link", TAVRO_E_FAILED},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.why);
    Payload p(row.body);
    tavro_link_step step;
    char err[kErrSize] = {};
    EXPECT_EQ(tavro_read_streaming(p.data, &step, err, sizeof err), row.code);
    EXPECT_EQ(row.code == TAVRO_OK ? rendered(step) : std::string(err), row.step);
  }
}

TEST(DelayedAnswer, StatusOneWaitsTwoGivesTheLinkThreeFailsByTheRows) {
  const struct {
    const char *why;
    std::string body;
    int code;
    int status;
    int64_t time_left;
    const char *link; // or the message
  } rows[] = {
      {"the documented processing", kDelayedProcessingDoc, TAVRO_OK, 1, 45, ""},
      {"the documented ready", kDelayedReadyDoc, TAVRO_OK, 2, -1, kIso.c_str()},
      {"processing without an estimate", ok(R"({"status":1})"), TAVRO_OK, 1, -1, ""},
      {"an estimate that is no integer", ok(R"({"status":1,"time_left":"45"})"), TAVRO_OK, 1, -1,
       ""},
      {"failed", ok(R"({"status":3,"time_left":0})"), TAVRO_E_FAILED, 0, -1,
       "the service could not generate the link"},
      {"ready without a link", ok(R"({"status":2,"link":""})"), TAVRO_E_FAILED, 0, -1,
       "link/delayed returned no link"},
      {"no status", ok(R"({"time_left":4})"), TAVRO_E_FAILED, 0, -1,
       "link/delayed returned no known status"},
      {"a status as a string", ok(R"({"status":"2","link":"L"})"), TAVRO_E_FAILED, 0, -1,
       "link/delayed returned no known status"},
      {"an unknown status", ok(R"({"status":4,"link":"L"})"), TAVRO_E_FAILED, 0, -1,
       "link/delayed returned no known status"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.why);
    Payload p(row.body);
    tavro_delayed_poll poll;
    char err[kErrSize] = {};
    EXPECT_EQ(tavro_read_delayed(p.data, &poll, err, sizeof err), row.code);
    EXPECT_EQ(poll.status, row.status);
    EXPECT_EQ(poll.time_left, row.time_left);
    if (row.code == TAVRO_OK) {
      EXPECT_STREQ(poll.link.get() ? poll.link.get() : "", row.link);
    } else {
      EXPECT_STREQ(err, row.link);
    }
  }
}

// The file entry of a saved link, written out piece by piece.
std::string saved_entry(const std::string &name, int64_t size, const std::string &link) {
  return "{\"name\":" + tt::json_literal(name) + ",\"path\":" + tt::json_literal(name) +
         ",\"folder\":false,\"size\":" + std::to_string(size) +
         ",\"locator\":" + tt::json_literal(link) + ",\"id\":" + tt::json_literal(link) + "}";
}

const std::string kLinksListing =
    "[" + saved_entry("somefile1.txt", 751267520, "https://example.com/somefile1") + "," +
    saved_entry("somefile.txt", 795126720, "https://example.com/somefile2") + "," +
    saved_entry("http://youtube.com/watch?v=dQw4w9WgXcQ", -1,
                "http://youtube.com/watch?v=dQw4w9WgXcQ") +
    "]";
const std::string kHistoryListing =
    "[" + saved_entry("somefile.txt", 751267520, "https://example.com/somefile") + "," +
    saved_entry("somefile2.txt", 795126720, "https://example.com/somefile2") + "," +
    saved_entry("http://youtube.com/watch?v=dQw4w9WgXcQ", -1,
                "http://youtube.com/watch?v=dQw4w9WgXcQ") +
    "]";

struct SavedRow {
  const char *why;
  std::string body;
  std::string listing;
};

std::vector<SavedRow> saved_rows() {
  return {
      {"the documented saved links", kUserLinksDoc, kLinksListing},
      {"the documented history", kUserHistoryDoc, kHistoryListing},
      {"an empty history", ok(R"({"links":[]})"), "[]"},
      {"no links member", ok("{}"), "[]"},
      {"links not an array", ok(R"({"links":{"link":"L"}})"), "[]"},
      {"a payload of another shape", ok("[]"), "[]"},
      {"items without a link are left out",
       ok(R"({"links":[{"filename":"a"},{"link":""},{"link":7},"L",null,{"link":"\u0000x"},)"
          R"({"link":"https://h/keep","filename":"k.mkv","size":5}]})"),
       "[" + saved_entry("k.mkv", 5, "https://h/keep") + "]"},
      {"sizes 0, missing, negative, real or text are unknown",
       ok(R"({"links":[{"link":"a","size":0},{"link":"b"},{"link":"c","size":-3},)"
          R"({"link":"d","size":1.5},{"link":"e","size":"9"},{"link":"f","size":1}]})"),
       "[" + saved_entry("a", -1, "a") + "," + saved_entry("b", -1, "b") + "," +
           saved_entry("c", -1, "c") + "," + saved_entry("d", -1, "d") + "," +
           saved_entry("e", -1, "e") + "," + saved_entry("f", 1, "f") + "]"},
      {"a missing or odd filename gives the link",
       ok(R"({"links":[{"link":"https://h/a"},{"link":"https://h/b","filename":null},)"
          R"({"link":"https://h/c","filename":["x"]}]})"),
       "[" + saved_entry("https://h/a", -1, "https://h/a") + "," +
           saved_entry("https://h/b", -1, "https://h/b") + "," +
           saved_entry("https://h/c", -1, "https://h/c") + "]"},
      {"names and links that need escapes",
       ok(R"({"links":[{"link":"https://mega.nz/file/x#k\"y\\","filename":"tab\there\u0001 caf\u00e9"}]})"),
       "[" + saved_entry("tab\there\x01 caf\xc3\xa9", -1, "https://mega.nz/file/x#k\"y\\") + "]"},
  };
}

TEST(SavedLinksAnswer, ListsTheItemsWithALinkAsFileEntriesByTheRows) {
  for (const SavedRow &row : saved_rows()) {
    SCOPED_TRACE(row.why);
    Payload p(row.body);
    tavro::Buf out;
    ASSERT_EQ(tavro_buf_add(out.get(), "[", 1), 0);
    EXPECT_EQ(tavro_write_saved_links(p.data, out.get()), 0);
    ASSERT_EQ(tavro_buf_add(out.get(), "]", 1), 0);
    EXPECT_EQ(std::string(out.c_str()), row.listing);
  }
}

// ---- The operations on the three transports ------------------------------------

// A clock that moves only when the wait sleeps (and, with step_ms, by that
// much at every reading, as requests that take time would), with every
// sleep recorded. Installed for this thread while it lives.
class VirtualClock {
public:
  std::vector<int64_t> sleeps;
  int readings = 0;
  int64_t step_ms = 0;
  std::function<void()> on_sleep;

  VirtualClock() { tavro_clock_use(&table_); }
  ~VirtualClock() { tavro_clock_use(nullptr); }
  VirtualClock(const VirtualClock &) = delete;
  VirtualClock &operator=(const VirtualClock &) = delete;

private:
  int64_t now_ = 1'000'000;
  tavro_clock table_{this, &VirtualClock::now, &VirtualClock::sleep};

  static int64_t now(void *ctx) {
    auto *c = static_cast<VirtualClock *>(ctx);
    int64_t t = c->now_;
    ++c->readings;
    c->now_ += c->step_ms;
    return t;
  }
  static void sleep(void *ctx, int64_t ms) {
    auto *c = static_cast<VirtualClock *>(ctx);
    c->sleeps.push_back(ms);
    c->now_ += ms;
    if (c->on_sleep) c->on_sleep();
  }
};

enum class Via { fake, text, bytes };
const Via kVias[] = {Via::fake, Via::text, Via::bytes};
const char *via_name(Via v) {
  return v == Via::fake ? "fake" : v == Via::text ? "text table" : "byte table";
}

// One exchange the operation must make, as the text table sees it, and the
// answer to it.
struct Exchange {
  tt::Call req;
  int32_t status;
  std::string body;
};

// A request as the byte transport sends it: no key in the URL.
tt::Call on_bytes(const tt::Call &req) {
  tt::Call c = req;
  size_t at = c.url.find("&apikey=KEY123");
  if (at != std::string::npos) c.url.erase(at, 14);
  return c;
}

// The service on one transport, answering a script: every request has its
// first answer from the start, and each sleep of the wait puts in place
// the answer to the request that comes next, so that one request (a
// delayed poll) can answer differently each time it is made.
class Service {
public:
  Service(Via via, std::vector<Exchange> script) : via_(via), script_(std::move(script)) {
    tavro_fake_reset();
    for (size_t i = script_.size(); i-- > 0;) install(script_[i]);
    if (via_ == Via::fake)
      tavro_use_fake();
    else if (via_ == Via::text)
      tavro_set_io(&io_);
    else
      tavro_set_transport(&bytes_table_);
  }
  ~Service() {
    tavro_set_io(nullptr);
    tavro_fake_reset();
    EXPECT_EQ(host_.live(), 0u);
    EXPECT_EQ(host_.bad_releases(), 0);
    EXPECT_EQ(bytes_.live(), 0u);
    EXPECT_EQ(bytes_.bad_releases(), 0);
  }
  Service(const Service &) = delete;
  Service &operator=(const Service &) = delete;

  // Before the next request: its answer.
  void next() {
    size_t made = calls();
    if (made < script_.size()) install(script_[made]);
  }

  size_t calls() const {
    if (via_ == Via::fake) return (size_t)tavro_fake_calls(nullptr, nullptr);
    if (via_ == Via::text) return host_.calls().size();
    return bytes_.calls().size();
  }

  // The requests made were exactly the script's, in its order (the fake
  // tells only how often each was made).
  void expect_script(size_t made) const {
    std::vector<tt::Call> want;
    for (size_t i = 0; i < made && i < script_.size(); ++i) want.push_back(script_[i].req);
    EXPECT_EQ(calls(), made);
    if (via_ == Via::text) {
      EXPECT_EQ(host_.calls(), want);
    } else if (via_ == Via::bytes) {
      std::vector<tt::Call> got;
      for (const tt::ByteCall &c : bytes_.calls()) {
        got.push_back({c.method, c.url, c.body, c.content_type});
        EXPECT_EQ(c.headers, std::vector<std::string>{"Authorization: Bearer KEY123"});
      }
      for (tt::Call &c : want) c = on_bytes(c);
      EXPECT_EQ(got, want);
    } else {
      for (const tt::Call &c : want) {
        size_t n = 0;
        for (const tt::Call &d : want) n += tt::fake_url(d) == tt::fake_url(c);
        EXPECT_EQ(tavro_fake_calls(c.method.c_str(), tt::fake_url(c).c_str()), (int)n)
            << tt::fake_url(c);
      }
      if (!want.empty()) {
        EXPECT_EQ(tavro_fake_last_url(), tt::fake_url(want.back()));
      }
    }
  }

private:
  void install(const Exchange &x) {
    if (via_ == Via::fake) {
      EXPECT_EQ(tavro_fake_set(x.req.method.c_str(), tt::fake_url(x.req).c_str(), x.status,
                               x.body.c_str()),
                0);
    } else if (via_ == Via::text) {
      host_.answer(x.req, x.status, x.body);
    } else {
      tt::Call c = on_bytes(x.req);
      if (c.method == "POST")
        bytes_.answer(c.method, c.url, x.status, x.body, c.body);
      else
        bytes_.answer(c.method, c.url, x.status, x.body);
    }
  }

  Via via_;
  std::vector<Exchange> script_;
  tt::Host host_;
  tavro_io io_ = host_.table();
  tt::ByteHost bytes_;
  tavro_transport bytes_table_ = bytes_.table();
};

tt::Call unlock_of(const std::string &encoded) {
  return tt::form(api("/link/unlock"), "link=" + encoded);
}
tt::Call streaming_of(const std::string &id, const std::string &stream) {
  return tt::form(api("/link/streaming"), "id=" + id + "&stream=" + stream);
}
tt::Call delayed_of(const std::string &id) {
  return tt::form(api("/link/delayed"), "id=" + id);
}

std::string error_doc(const std::string &message) {
  return "{\"error\":" + tt::json_literal(message) + "}";
}

std::string processing(int64_t time_left) {
  return ok(R"({"status":1,"time_left":)" + std::to_string(time_left) + "}");
}

const std::string kLink = "https://hoster.example/f/abc";
const std::string kLinkForm = "https%3A%2F%2Fhoster.example%2Ff%2Fabc";
const std::string kStillPreparing =
    "the service is still preparing the link (time_left 45 s), and DelayedWait (60 s) ends "
    "before the next poll";

struct StreamRow {
  const char *why;
  std::string settings; // members after the key
  std::vector<Exchange> script;
  int code;
  std::string out; // the result, or the error document
  std::vector<int64_t> sleeps;
};

std::vector<StreamRow> stream_rows() {
  const tt::Call unlock = unlock_of(kLinkForm);
  const tt::Call stream1080 = streaming_of("1nsjw3315ad", "137%2B140");
  const tt::Call stream720 = streaming_of("1nsjw3315ad", "398%2B140");
  const tt::Call poll = delayed_of("2277564");
  const std::string rick = R"({"url":)" + tt::json_literal(kRickUrl) +
                           R"(,"name":"Rick Astley - Never Gonna Give You Up (Video).360.mp4",)"
                           R"("size":113129149)";
  const std::string rick_iso = R"({"url":)" + tt::json_literal(kIso) +
                               R"(,"name":"Rick Astley - Never Gonna Give You Up (Video).360.mp4",)"
                               R"("size":113129149)";
  const std::string unlock_delayed =
      ok(R"({"link":"","host":"example","filename":"big.iso","filesize":2,"delayed":2277564})");
  std::vector<Exchange> sixty = {{unlock, 200, unlock_delayed}};
  for (int i = 0; i < 13; ++i) sixty.push_back({poll, 200, kDelayedProcessingDoc});
  return {
      {"the documented link at once",
       "",
       {{unlock, 200, kUnlockDoc}},
       TAVRO_OK,
       R"({"url":"http://ombfyx.debrid.it/dl/abcdefgh12/somefile.txt","name":"somefile.txt",)"
       R"("size":699400192})",
       {}},
      {"several qualities: the highest, then its link",
       "",
       {{unlock, 200, kStreamChoiceDoc}, {stream1080, 200, kStreamingLinkDoc}},
       TAVRO_OK,
       rick + R"(,"quality":1080})",
       {}},
      {"MaxQuality caps the choice",
       R"(,"MaxQuality":720)",
       {{unlock, 200, kStreamChoiceDoc}, {stream720, 200, kStreamingLinkDoc}},
       TAVRO_OK,
       rick + R"(,"quality":720})",
       {}},
      {"MaxQuality as a string",
       R"(,"MaxQuality":"800")",
       {{unlock, 200, kStreamChoiceDoc}, {stream720, 200, kStreamingLinkDoc}},
       TAVRO_OK,
       rick + R"(,"quality":720})",
       {}},
      {"MaxQuality below every video: the lowest",
       R"(,"MaxQuality":240)",
       {{unlock, 200, kStreamChoiceDoc}, {stream720, 200, kStreamingLinkDoc}},
       TAVRO_OK,
       rick + R"(,"quality":720})",
       {}},
      {"audio only: the string quality as given",
       "",
       {{unlock, 200,
         streams(
             R"([{"id":"140","quality":"mp3","filesize":3},{"id":"251","quality":"opus","filesize":4}])",
             R"("a1")")},
        {streaming_of("a1", "251"), 200, ok(R"({"link":"https://d/a.opus","filename":"a.opus"})")}},
       TAVRO_OK,
       R"({"url":"https://d/a.opus","name":"a.opus","size":-1,"quality":"opus"})",
       {}},
      {"a tie of qualities: the larger file",
       "",
       {{unlock, 200,
         streams(
             R"([{"id":"small","quality":720,"filesize":1},{"id":"big","quality":720,"filesize":2}])")},
        {streaming_of("U", "big"), 200, ok(R"({"link":"https://d/b","filesize":2})")}},
       TAVRO_OK,
       R"({"url":"https://d/b","name":null,"size":2,"quality":720})",
       {}},
      {"ids as integers",
       "",
       {{unlock, 200, streams(R"([{"id":137,"quality":1080}])", "42")},
        {streaming_of("42", "137"), 200,
         ok(R"({"link":"https://d/v","filename":"v.mp4","filesize":9})")}},
       TAVRO_OK,
       R"({"url":"https://d/v","name":"v.mp4","size":9,"quality":1080})",
       {}},
      {"an empty streams array and no link",
       "",
       {{unlock, 200, ok(R"({"link":"","streams":[],"id":"U"})")}},
       TAVRO_E_FAILED,
       error_doc("link/unlock returned no link"),
       {}},
      {"the streaming answer without a link",
       "",
       {{unlock, 200, kStreamChoiceDoc}, {stream1080, 200, ok(R"({"filename":"x"})")}},
       TAVRO_E_FAILED,
       error_doc("link/streaming returned no link"),
       {}},
      {"an unknown stream",
       "",
       {{unlock, 200, kStreamChoiceDoc},
        {stream1080, 200, tt::error_env("STREAM_INVALID_STREAM_ID", "Invalid stream ID")}},
       TAVRO_E_NOT_FOUND,
       error_doc("AllDebrid error STREAM_INVALID_STREAM_ID: Invalid stream ID"),
       {}},
      {"an unknown generation",
       "",
       {{unlock, 200, kStreamChoiceDoc},
        {stream1080, 200, tt::error_env("STREAM_INVALID_GEN_ID", "Invalid generation ID")}},
       TAVRO_E_NOT_FOUND,
       error_doc("AllDebrid error STREAM_INVALID_GEN_ID: Invalid generation ID"),
       {}},
      {"the streaming request answered 503",
       "",
       {{unlock, 200, kStreamChoiceDoc}, {stream1080, 503, "busy"}},
       TAVRO_E_TRANSPORT,
       error_doc("link/streaming answered HTTP 503"),
       {}},
      {"the quality's link takes time: ready on the second poll",
       "",
       {{unlock, 200, kStreamChoiceDoc},
        {stream1080, 200, kStreamingDelayedDoc},
        {poll, 200, kDelayedProcessingDoc},
        {poll, 200, kDelayedReadyDoc}},
       TAVRO_OK,
       rick_iso + R"(,"quality":1080})",
       {5000}},
      {"a delayed link ready on the first poll",
       "",
       {{unlock, 200, unlock_delayed}, {poll, 200, kDelayedReadyDoc}},
       TAVRO_OK,
       R"({"url":)" + tt::json_literal(kIso) + R"(,"name":"big.iso","size":2})",
       {}},
      {"a delayed link ready on the third poll",
       "",
       {{unlock, 200, unlock_delayed},
        {poll, 200, processing(45)},
        {poll, 200, processing(40)},
        {poll, 200, kDelayedReadyDoc}},
       TAVRO_OK,
       R"({"url":)" + tt::json_literal(kIso) + R"(,"name":"big.iso","size":2})",
       {5000, 5000}},
      {"the service fails to generate it",
       "",
       {{unlock, 200, unlock_delayed},
        {poll, 200, kDelayedProcessingDoc},
        {poll, 200, ok(R"({"status":3,"time_left":0})")}},
       TAVRO_E_FAILED,
       error_doc("the service could not generate the link"),
       {5000}},
      {"an unknown delayed id",
       "",
       {{unlock, 200, unlock_delayed},
        {poll, 200, tt::error_env("DELAYED_INVALID_ID", "This delayed ID is invalid")}},
       TAVRO_E_NOT_FOUND,
       error_doc("AllDebrid error DELAYED_INVALID_ID: This delayed ID is invalid"),
       {}},
      {"a poll answered 500",
       "",
       {{unlock, 200, unlock_delayed}, {poll, 200, kDelayedProcessingDoc}, {poll, 500, ""}},
       TAVRO_E_TRANSPORT,
       error_doc("link/delayed answered HTTP 500"),
       {5000}},
      {"past the default wait of 60 s: 13 polls, 12 sleeps", "", sixty, TAVRO_E_TRANSPORT,
       error_doc(kStillPreparing), std::vector<int64_t>(12, 5000)},
      {"DelayedWait 12: polls at 0, 5 and 10 s",
       R"(,"DelayedWait":12)",
       {{unlock, 200, unlock_delayed},
        {poll, 200, processing(30)},
        {poll, 200, processing(25)},
        {poll, 200, processing(20)}},
       TAVRO_E_TRANSPORT,
       error_doc("the service is still preparing the link (time_left 20 s), and DelayedWait "
                 "(12 s) ends before the next poll"),
       {5000, 5000}},
      {"DelayedWait 5: a poll right at the limit",
       R"(,"DelayedWait":"5")",
       {{unlock, 200, unlock_delayed}, {poll, 200, processing(9)}, {poll, 200, kDelayedReadyDoc}},
       TAVRO_OK,
       R"({"url":)" + tt::json_literal(kIso) + R"(,"name":"big.iso","size":2})",
       {5000}},
      {"DelayedWait 4: one poll, and no estimate to quote",
       R"(,"DelayedWait":4)",
       {{unlock, 200, unlock_delayed}, {poll, 200, ok(R"({"status":1})")}},
       TAVRO_E_TRANSPORT,
       error_doc("the service is still preparing the link, and DelayedWait (4 s) ends before "
                 "the next poll"),
       {}},
      {"DelayedWait 0: no poll at all",
       R"(,"DelayedWait":0)",
       {{unlock, 200, unlock_delayed}},
       TAVRO_E_TRANSPORT,
       error_doc("the service is preparing the link, and DelayedWait is 0: it is not waited for"),
       {}},
      {"DelayedWait 0 after a chosen quality",
       R"(,"DelayedWait":0)",
       {{unlock, 200, kStreamChoiceDoc}, {stream1080, 200, kStreamingDelayedDoc}},
       TAVRO_E_TRANSPORT,
       error_doc("the service is preparing the link, and DelayedWait is 0: it is not waited for"),
       {}},
  };
}

TEST(Stream, EveryShapeOfTheAnswersOnEveryTransportByTheRows) {
  for (const StreamRow &row : stream_rows()) {
    for (Via via : kVias) {
      SCOPED_TRACE(std::string(row.why) + ", " + via_name(via));
      Service service(via, row.script);
      VirtualClock clock;
      clock.on_sleep = [&] { service.next(); };
      std::string settings = R"({"APIKey":"KEY123")" + row.settings + "}";
      std::string entry = R"({"name":"x","locator":)" + tt::json_literal(kLink) + "}";
      char out[4096];
      EXPECT_EQ(tavro_stream_url(settings.c_str(), entry.c_str(), out, sizeof out), row.code);
      EXPECT_EQ(std::string(out), row.out);
      EXPECT_EQ(std::string(tavro_result_json()), row.code == TAVRO_OK ? row.out : "");
      EXPECT_EQ(clock.sleeps, row.sleeps);
      service.expect_script(row.script.size());
    }
  }
}

TEST(Stream, RequestsSlowerThanThePollIntervalArePolledAgainAtOnceAndTheirTimeCounts) {
  // Every reading of the clock finds 6 s gone: the next poll is due before
  // the answer comes, so it is made at once, and at the second the wait of
  // 10 s has passed.
  const tt::Call unlock = unlock_of(kLinkForm), poll = delayed_of("9");
  for (Via via : kVias) {
    SCOPED_TRACE(via_name(via));
    Service service(via, {{unlock, 200, ok(R"({"delayed":9})")},
                          {poll, 200, processing(3)},
                          {poll, 200, processing(3)}});
    VirtualClock clock;
    clock.step_ms = 6000;
    char out[4096];
    EXPECT_EQ(tavro_stream_url(R"({"APIKey":"KEY123","DelayedWait":10})",
                               (R"({"locator":)" + tt::json_literal(kLink) + "}").c_str(), out,
                               sizeof out),
              TAVRO_E_TRANSPORT);
    EXPECT_EQ(std::string(out), error_doc("the service is still preparing the link (time_left 3 "
                                          "s), and DelayedWait (10 s) ends before the next poll"));
    EXPECT_TRUE(clock.sleeps.empty());
    service.expect_script(3);
  }
}

TEST(Stream, TheHandlerRecordWaitsAsTheExportsDo) {
  const tt::Call unlock = unlock_of(kLinkForm), poll = delayed_of("9");
  tt::Host host;
  tavro_io io = host.table();
  host.answer(unlock, 200, ok(R"({"delayed":9,"filename":"n"})"));
  host.answer(poll, 200, processing(8));
  VirtualClock clock;
  clock.on_sleep = [&] { host.answer(poll, 200, ok(R"({"status":2,"link":"https://d/n"})")); };
  char out[512];
  std::string entry = R"({"locator":)" + tt::json_literal(kLink) + "}";
  EXPECT_EQ(halvo_get()->stream_url(&io, tt::kSettings.c_str(), entry.c_str(), out, sizeof out),
            TAVRO_OK);
  EXPECT_STREQ(out, R"({"url":"https://d/n","name":"n","size":-1})");
  EXPECT_EQ(clock.sleeps, std::vector<int64_t>{5000});
  EXPECT_EQ(host.calls(), (std::vector<tt::Call>{unlock, poll, poll}));
}

TEST(SavedFolders, ListTheSavedLinksAndTheHistoryOnEveryTransportByTheRows) {
  for (const SavedRow &row : saved_rows()) {
    for (const char *folder : {"links", "history"}) {
      for (Via via : kVias) {
        SCOPED_TRACE(std::string(row.why) + ", " + folder + ", " + via_name(via));
        tt::Call req = tt::get(api(std::string("/user/") + folder));
        Service service(via, {{req, 200, row.body}});
        char out[8192];
        EXPECT_EQ(tavro_list(tt::kSettings.c_str(), folder, out, sizeof out), TAVRO_OK);
        EXPECT_EQ(std::string(out), row.listing);
        EXPECT_EQ(std::string(tavro_result_json()), row.listing);
        service.expect_script(1);
      }
    }
  }
}

TEST(SavedFolders, FailuresOfTheFolderRequests) {
  const struct {
    const char *why;
    const char *folder;
    int32_t status;
    std::string body;
    int code;
    std::string message;
  } rows[] = {
      {"history answered 404", "history", 404, "x", TAVRO_E_NOT_FOUND,
       "user/history answered HTTP 404"},
      {"links answered 429", "links", 429, "", TAVRO_E_LIMIT, "user/links answered HTTP 429"},
      {"a refused key", "links", 200, tt::error_env("AUTH_BAD_APIKEY", "The apikey is invalid"),
       TAVRO_E_AUTH, "AllDebrid error AUTH_BAD_APIKEY: The apikey is invalid"},
      {"a link the service refuses", "links", 200,
       tt::error_env("USER_LINK_INVALID", "This link is invalid"), TAVRO_E_ARG,
       "AllDebrid error USER_LINK_INVALID: This link is invalid"},
      {"not JSON", "history", 200, "<html>", TAVRO_E_FAILED, "response is not a JSON object"},
  };
  for (const auto &row : rows) {
    for (Via via : kVias) {
      SCOPED_TRACE(std::string(row.why) + ", " + via_name(via));
      tt::Call req = tt::get(api(std::string("/user/") + row.folder));
      Service service(via, {{req, row.status, row.body}});
      char out[1024];
      EXPECT_EQ(tavro_list(tt::kSettings.c_str(), row.folder, out, sizeof out), row.code);
      EXPECT_EQ(std::string(out), error_doc(row.message));
      service.expect_script(1);
    }
  }
}

TEST(SavedFolders, ALeadingSlashNamesTheSameFolders) {
  for (const char *folder : {"/links", "/history"}) {
    tt::Call req = tt::get(api(std::string("/user") + folder));
    Service service(Via::text, {{req, 200, ok(R"({"links":[{"link":"L"}]})")}});
    char out[1024];
    EXPECT_EQ(tavro_list(tt::kSettings.c_str(), folder, out, sizeof out), TAVRO_OK);
    EXPECT_EQ(std::string(out), "[" + saved_entry("L", -1, "L") + "]");
    service.expect_script(1);
  }
}

TEST(SavedFolders, AListingThatDoesNotFitLeavesNothingInTheBuffer) {
  tt::Call req = tt::get(api("/user/links"));
  Service service(Via::text, {{req, 200, kUserLinksDoc}});
  std::vector<char> out(kLinksListing.size(), 'X');
  EXPECT_EQ(tavro_list(tt::kSettings.c_str(), "links", out.data(), (int32_t)out.size()),
            TAVRO_E_BUFFER);
  EXPECT_EQ(out[0], '\0');
  for (size_t i = 1; i < out.size(); ++i)
    if (out[i] != 'X' && out[i] != '\0') ADD_FAILURE() << "byte " << i << " left behind";
  EXPECT_EQ(std::string(tavro_result_json()), kLinksListing);
  std::vector<char> fits(kLinksListing.size() + 1);
  EXPECT_EQ(tavro_list(tt::kSettings.c_str(), "links", fits.data(), (int32_t)fits.size()),
            TAVRO_OK);
  EXPECT_EQ(std::string(fits.data()), kLinksListing);
}

TEST(SavedFolders, ASavedLinkPlaysAsAnyListedFile) {
  // The entry of the listing, handed back as it is, unlocks its locator.
  tt::Call req = tt::get(api("/user/links"));
  tt::Call unlock = unlock_of("http%3A%2F%2Fyoutube.com%2Fwatch%3Fv%3DdQw4w9WgXcQ");
  for (Via via : kVias) {
    SCOPED_TRACE(via_name(via));
    Service service(via, {{req, 200, kUserLinksDoc},
                          {unlock, 200, kStreamChoiceDoc},
                          {streaming_of("1nsjw3315ad", "137%2B140"), 200, kStreamingLinkDoc}});
    char out[8192];
    ASSERT_EQ(tavro_list(tt::kSettings.c_str(), "links", out, sizeof out), TAVRO_OK);
    Payload listing(ok(out));
    yyjson_val *third = yyjson_arr_get(listing.data, 2);
    char *entry = yyjson_val_write(third, 0, nullptr);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(tavro_stream_url(tt::kSettings.c_str(), entry, out, sizeof out), TAVRO_OK);
    std::free(entry);
    EXPECT_EQ(std::string(out), R"({"url":)" + tt::json_literal(kRickUrl) +
                                    ",\"name\":" + tt::json_literal(kRick) +
                                    R"(,"size":113129149,"quality":1080})");
    service.expect_script(3);
  }
}

// ---- The wait's clock ------------------------------------------------------

TEST(WaitClock, TheSeamIsThisThreadsOnly) {
  // Another thread keeps the steady clock: DelayedWait 3 ends its wait
  // after the first poll, without a sleep, whatever clock it reads.
  tt::Host host;
  tavro_io io = host.table();
  host.answer(unlock_of("L"), 200, ok(R"({"delayed":1})"));
  host.answer(delayed_of("1"), 200, processing(7));
  VirtualClock clock;
  int other = 0;
  std::thread([&] {
    char out[512];
    other = halvo_get()->stream_url(&io, R"({"APIKey":"KEY123","DelayedWait":3})",
                                    R"({"locator":"L"})", out, sizeof out);
  }).join();
  EXPECT_EQ(other, TAVRO_E_TRANSPORT);
  EXPECT_EQ(clock.readings, 0) << "the other thread read this thread's clock";
}

} // namespace
