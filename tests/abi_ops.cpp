// The four operations end to end through the exports, on a recording host
// transport (exact requests, every string released once) and on the fake.
#include "abi_loader.h"
#include "support.h"

#include <gtest/gtest.h>

#include <array>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

const TavroApi &T = tavro_api();
using tt::api;
using tt::ok;

// One answer of the service and what the operation must make of it.
struct AnswerRow {
  const char *name;
  int32_t status;
  std::string body;
  int code;
  std::string msg;
};

class Ops : public ::testing::Test {
protected:
  tt::Host host;
  tavro_io io = host.table();
  std::array<char, 1 << 20> out{};

  void SetUp() override {
    T.tavro_fake_reset();
    T.tavro_set_io(&io);
    T.tavro_allow_writes(1);
  }
  void TearDown() override {
    T.tavro_set_io(nullptr);
    T.tavro_allow_writes(0);
    EXPECT_EQ(host.live(), 0u) << "every string the transport handed back is released";
    EXPECT_EQ(host.bad_releases(), 0);
  }
  std::string got() const { return out.data(); }
  int validate(const std::string &settings = tt::kSettings) {
    return T.tavro_validate(settings.c_str(), out.data(), (int32_t)out.size());
  }
  int list(const char *folder) {
    return T.tavro_list(tt::kSettings.c_str(), folder, out.data(), (int32_t)out.size());
  }
  int stream(const std::string &entry) {
    return T.tavro_stream_url(tt::kSettings.c_str(), entry.c_str(), out.data(),
                              (int32_t)out.size());
  }
  int download(const std::string &req) {
    return T.tavro_download(tt::kSettings.c_str(), req.c_str(), out.data(), (int32_t)out.size());
  }
  std::string err(const std::string &msg) { return R"({"error":")" + msg + "\"}"; }
};

// ---- Validation ---------------------------------------------------------------

TEST_F(Ops, ValidationAnswersClientRuntimeAndId) {
  host.answer("GET", api("/user"), 200, ok("null"));
  ASSERT_EQ(validate(R"({"APIKey":"KEY123","ID":" id-7 "})"), TAVRO_OK) << got();
  EXPECT_EQ(got(), R"({"ClientId":"quorvelindash","RuntimeType":"ALLDEBRID","ID":"id-7"})");

  host.answer("GET", api("/user", "", "KEY123", "my%20%22app%22"), 200, ok("{}"));
  ASSERT_EQ(validate(R"({"APIKey":"KEY123","CustomName":"my \"app\"","ID":"x"})"), TAVRO_OK);
  EXPECT_EQ(got(), R"({"ClientId":"my \"app\"","RuntimeType":"ALLDEBRID","ID":"x"})");
}

TEST_F(Ops, ValidationMakesAFreshIdentifierEachTime) {
  host.answer("GET", api("/user"), 200, ok("[]"));
  std::regex form(R"re(\{"ClientId":"quorvelindash","RuntimeType":"ALLDEBRID","ID":")re"
                  R"re(([0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-9[0-9a-f]{3}-[0-9a-f]{12})"\})re");
  std::set<std::string> ids;
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(validate(R"({"APIKey":"KEY123","ID":"  "})"), TAVRO_OK);
    std::smatch m;
    std::string s = got();
    ASSERT_TRUE(std::regex_match(s, m, form)) << s;
    ids.insert(m[1]);
  }
  EXPECT_EQ(ids.size(), 50u) << "identifiers do not repeat";
}

TEST_F(Ops, ValidationFailures) {
  AnswerRow rows[] = {
      {"401", 401, "ignored", TAVRO_E_AUTH, "user request answered HTTP 401"},
      {"503", 503, "", TAVRO_E_TRANSPORT, "user request answered HTTP 503"},
      {"bad key", 200, tt::error_env("AUTH_BAD_APIKEY", "The apikey is invalid"), TAVRO_E_AUTH,
       "AllDebrid error AUTH_BAD_APIKEY: The apikey is invalid"},
      {"not json", 200, "<html>", TAVRO_E_FAILED, "response is not a JSON object"},
  };
  for (auto &r : rows) {
    host.answer("GET", api("/user"), r.status, r.body);
    EXPECT_EQ(validate(), r.code) << r.name;
    EXPECT_EQ(got(), err(r.msg)) << r.name;
    EXPECT_STREQ(T.tavro_result_json(), "") << r.name;
  }
  host.fail("GET", api("/user"), -1, std::string("connect: refused\nsecond line"));
  EXPECT_EQ(validate(), TAVRO_E_TRANSPORT);
  EXPECT_EQ(got(),
            err("GET " + tt::kRoot + "/user?agent=quorvelindash&apikey=***: connect: refused"));
}

TEST_F(Ops, KeyIsMaskedInEveryMessageAndUrl) {
  // The key quoted by the service itself is masked by the frame.
  host.answer("GET", api("/user"), 200, tt::error_env("AUTH_X", "key KEY123 refused"));
  EXPECT_EQ(validate(), TAVRO_E_AUTH);
  EXPECT_EQ(got(), err("AllDebrid error AUTH_X: key ****** refused"));
  EXPECT_STREQ(T.tavro_last_error(), "AllDebrid error AUTH_X: key ****** refused");
}

TEST_F(Ops, KeyIsMaskedInTheTransportsOwnErrorText) {
  std::string settings = R"({"APIKey":"ab/cd+ef"})";
  std::string url = api("/user", "", "ab%2Fcd%2Bef");
  host.fail("GET", url, -1, "cannot reach " + url);
  EXPECT_EQ(validate(settings), TAVRO_E_TRANSPORT);
  std::string shown = tt::kRoot + "/user?agent=quorvelindash&apikey=";
  EXPECT_EQ(got(), err("GET " + shown + "***: cannot reach " + shown + "************"));
  EXPECT_EQ(std::string(T.tavro_last_error()).find("ab%2F"), std::string::npos);
}

TEST_F(Ops, KeyCutShortInAQuotedLineIsMaskedToo) {
  // The transport's error line is cut at 199 characters, through the key.
  std::string key = "K3yK3yK3yK3yK3y";
  std::string line = std::string(190, 'x') + " " + key;
  host.fail("GET", api("/user", "", key), -1, line);
  EXPECT_EQ(validate(R"({"APIKey":")" + key + "\"}"), TAVRO_E_TRANSPORT);
  std::string msg = T.tavro_last_error();
  EXPECT_EQ(msg, "GET " + tt::kRoot + "/user?agent=quorvelindash&apikey=***: " +
                     std::string(190, 'x') + " " + std::string(8, '*'));
}

// ---- Listings -------------------------------------------------------------------

TEST_F(Ops, MagnetListingSkipsUnusableMagnets) {
  host.answer("GET", api("/magnet/status"), 200, ok(R"({"magnets":[
      {"id":"1","filename":"string id"},
      {"id":12,"filename":"Film","size":700,"status":"Ready"},
      {"id":1.5,"filename":"real id"},
      {"id":2},
      {"id":3,"filename":""},
      {},
      "junk",
      {"id":13,"filename":"Say \"hi\"","size":"big"},
      {"id":14,"filename":"x","id":99}
  ]})"));
  ASSERT_EQ(list("torrents"), TAVRO_OK) << got();
  EXPECT_EQ(
      got(),
      R"([{"name":"Film","path":"m12","folder":true,"size":700,"id":"m12","locator":"m12"},)"
      R"({"name":"Say \"hi\"","path":"m13","folder":true,"size":-1,"id":"m13","locator":"m13"},)"
      R"({"name":"x","path":"m14","folder":true,"size":-1,"id":"m14","locator":"m14"}])");
  EXPECT_EQ(list("/torrents"), TAVRO_OK);
}

TEST_F(Ops, EmptyMagnetListings) {
  for (std::string data : {R"({"magnets":[]})", "{}", "null", R"({"magnets":{}})"}) {
    host.answer("GET", api("/magnet/status"), 200, ok(data));
    EXPECT_EQ(list("torrents"), TAVRO_OK) << data;
    EXPECT_EQ(got(), "[]") << data;
  }
  host.answer("GET", api("/magnet/status"), 404, "x");
  EXPECT_EQ(list("torrents"), TAVRO_E_NOT_FOUND);
  EXPECT_EQ(got(), err("magnet/status answered HTTP 404"));
}

TEST_F(Ops, FileListingFlattensTheTree) {
  host.answer("GET", api("/magnet/files", "id[]=12"), 200, ok(R"({"magnets":[{"id":12,"files":[
      {"n":"Show","e":[{"n":"E1.mkv","s":5,"l":"L1"},{"n":"Sub","e":[{"n":"E2.mkv","l":"L2"}]}]},
      {"n":"notes.txt","s":9},
      {"s":1,"l":"L3"}
  ]}]})"));
  ASSERT_EQ(list("m12"), TAVRO_OK) << got();
  EXPECT_EQ(
      got(),
      R"([{"name":"Show/E1.mkv","path":"Show/E1.mkv","folder":false,"size":5,"locator":"L1","id":"Show/E1.mkv"},)"
      R"({"name":"Show/Sub/E2.mkv","path":"Show/Sub/E2.mkv","folder":false,"size":-1,"locator":"L2","id":"Show/Sub/E2.mkv"},)"
      R"({"name":"notes.txt","path":"notes.txt","folder":false,"size":9,"locator":null,"id":"notes.txt"},)"
      R"({"name":null,"path":null,"folder":false,"size":1,"locator":"L3","id":null}])");
}

TEST_F(Ops, FileListingFailures) {
  host.answer("GET", api("/magnet/files", "id[]=0"), 429, "slow down");
  EXPECT_EQ(list("m0"), TAVRO_E_LIMIT);
  EXPECT_EQ(got(), err("magnet/files answered HTTP 429"));
  host.answer("GET", api("/magnet/files", "id[]=1"), 200,
              tt::error_env("MAGNET_INVALID_ID", "bad id"));
  EXPECT_EQ(list("m1"), TAVRO_E_NOT_FOUND);
  EXPECT_EQ(got(), err("AllDebrid error MAGNET_INVALID_ID: bad id"));
}

TEST_F(Ops, IdsAndSizesKeepAll64Bits) {
  // Past 32 bits, where a C runtime that formats %lld as a long would cut them.
  for (std::string n : {"4294967296", "1099511627776", "9007199254740993", "9223372036854775807"}) {
    host.answer("GET", api("/magnet/status"), 200,
                ok(R"({"magnets":[{"id":)" + n + R"(,"filename":"F","size":)" + n + "}]}"));
    ASSERT_EQ(list("torrents"), TAVRO_OK) << n;
    EXPECT_EQ(got(), R"([{"name":"F","path":"m)" + n + R"(","folder":true,"size":)" + n +
                         R"(,"id":"m)" + n + R"(","locator":"m)" + n + R"("}])")
        << n;
    host.answer("GET", api("/magnet/files", "id[]=" + n), 200,
                ok(R"({"magnets":[{"id":1,"files":[{"n":"a.mkv","s":)" + n + R"(,"l":"L"}]}]})"));
    ASSERT_EQ(list(("m" + n).c_str()), TAVRO_OK) << n;
    EXPECT_EQ(got(), R"([{"name":"a.mkv","path":"a.mkv","folder":false,"size":)" + n +
                         R"(,"locator":"L","id":"a.mkv"}])")
        << n;
    host.answer("GET", api("/link/unlock", "link=L"), 200,
                ok(R"({"link":"https://cdn/a","filename":"a.mkv","filesize":)" + n + "}"));
    ASSERT_EQ(stream(R"({"locator":"L"})"), TAVRO_OK) << n;
    EXPECT_EQ(got(), R"({"url":"https://cdn/a","name":"a.mkv","size":)" + n + "}") << n;
  }
}

// ---- Stream ---------------------------------------------------------------------

TEST_F(Ops, StreamUnlocksTheEntrysLocatorLinkOrPath) {
  host.answer("GET", api("/link/unlock", "link=L%201"), 200,
              ok(R"({"link":"https://cdn/f.mkv","filename":"f.mkv","filesize":700})"));
  host.answer("GET", api("/link/unlock", "link=p"), 200, ok(R"({"link":"https://cdn/p"})"));
  struct Row {
    std::string entry, want;
  } rows[] = {
      {R"({"locator":"L 1","link":"x","path":"y"})",
       R"({"url":"https://cdn/f.mkv","name":"f.mkv","size":700})"},
      {R"({"locator":"","link":"L 1"})",
       R"({"url":"https://cdn/f.mkv","name":"f.mkv","size":700})"},
      {R"({"locator":null,"link":5,"path":"p"})",
       R"({"url":"https://cdn/p","name":null,"size":-1})"},
  };
  for (auto &r : rows) {
    EXPECT_EQ(stream(r.entry), TAVRO_OK) << r.entry;
    EXPECT_EQ(got(), r.want) << r.entry;
  }
}

TEST_F(Ops, StreamRefusesBadEntriesBeforeAnyRequest) {
  struct Row {
    const char *entry;
    int code;
    const char *msg;
  } rows[] = {
      {"{}", TAVRO_E_NOT_FOUND, "entry has no locator/link/path"},
      {"[]", TAVRO_E_ARG, "entry is not a JSON object"},
      {"nope", TAVRO_E_ARG, "entry is not a JSON object"},
      {nullptr, TAVRO_E_ARG, "entry is not a JSON object"},
  };
  for (auto &r : rows) {
    EXPECT_EQ(T.tavro_stream_url(tt::kSettings.c_str(), r.entry, out.data(), (int32_t)out.size()),
              r.code);
    EXPECT_EQ(got(), err(r.msg));
  }
  EXPECT_EQ(host.calls().size(), 0u);
}

TEST_F(Ops, StreamingAFolderEntrySendsItsLocatorUnchanged) {
  host.answer("GET", api("/link/unlock", "link=m12"), 200,
              tt::error_env("LINK_NOT_SUPPORTED", "no"));
  EXPECT_EQ(stream(R"({"locator":"m12"})"), TAVRO_E_NOT_FOUND);
  EXPECT_EQ(got(), err("AllDebrid error LINK_NOT_SUPPORTED: no"));
  host.answer("GET", api("/link/unlock", "link=m12"), 200, ok(R"({"link":""})"));
  EXPECT_EQ(stream(R"({"locator":"m12"})"), TAVRO_E_FAILED);
  EXPECT_EQ(got(), err("link/unlock returned no link"));
}

// ---- Download -------------------------------------------------------------------

const std::string kH40 = "0123456789abcdef0123456789ABCDEF01234567";
const std::string kMagnet = "magnet:?xt=urn:btih:" + kH40 + "&dn=Show";
const std::string kMagnetEnc = "magnet%3A%3Fxt%3Durn%3Abtih%3A" + kH40 + "%26dn%3DShow";
const std::string kTorrent = "d8:announce9:udp://t/a4:infod4:name1:xee";

std::string upload_answer(const std::string &magnet) {
  return ok(R"({"magnets":[)" + magnet + "]}");
}

TEST_F(Ops, DownloadRequestIsChecked) {
  struct Row {
    std::string req;
    const char *msg;
  } rows[] = {
      {"[]", "config is not a JSON object"},
      {"null", "config is not a JSON object"},
      {"", "config is not a JSON object"},
      {"{}", "config has no Link"},
      {R"({"Link":""})", "config has no Link"},
      {R"({"Link":5})", "config has no Link"},
      {R"({"Link":"\u0000https://h/t"})", "config has no Link"},
      {R"({"Link":")" + std::string(3073, 'a') + "\"}", "Link longer than 3 KiB"},
  };
  for (auto &r : rows) {
    EXPECT_EQ(download(r.req), TAVRO_E_ARG) << r.req.substr(0, 40);
    EXPECT_EQ(got(), err(r.msg)) << r.req.substr(0, 40);
  }
  EXPECT_EQ(host.calls().size(), 0u);
}

TEST_F(Ops, MagnetIsAddedWithOneFormPost) {
  std::string url = api("/magnet/upload", "magnets[]=" + kMagnetEnc);
  host.answer("POST", url, 200, upload_answer(R"({"id":42,"name":"Show","ready":false})"));
  ASSERT_EQ(download(R"({"Link":")" + kMagnet + "\"}"), TAVRO_OK) << got();
  EXPECT_EQ(got(), R"({"id":42,"name":"Show","ready":false})");
  auto calls = host.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].method, "POST");
  EXPECT_EQ(calls[0].url, url);
  EXPECT_EQ(calls[0].body, "");
  EXPECT_EQ(calls[0].content_type, "application/x-www-form-urlencoded");
}

TEST_F(Ops, NotReadyMagnetIsDeletedWhenOnlyInstantOnesAreKept) {
  host.answer("POST", api("/magnet/upload", "magnets[]=" + kMagnetEnc), 200,
              upload_answer(R"({"id":42,"ready":false})"));
  std::string del = api("/magnet/delete", "id=42");
  host.answer("GET", del, 200, ok(R"({"message":"deleted"})"));
  std::string req = R"({"Link":")" + kMagnet + R"(","KeepInstantOnly":true})";
  ASSERT_EQ(download(req), TAVRO_OK) << got();
  EXPECT_EQ(got(), R"({"id":42,"ready":false})");
  EXPECT_EQ(host.count("GET", del), 1u);

  host.answer("GET", del, 404, "gone");
  EXPECT_EQ(download(req), TAVRO_E_NOT_FOUND);
  EXPECT_EQ(got(), err("magnet/delete answered HTTP 404"));
}

TEST_F(Ops, RedirectToMagnetAddsItsFirstLine) {
  host.answer("GET", "https://site/r", 404, "magnet:?xt=urn:btih:short\r\nmore text");
  host.answer("POST", api("/magnet/upload", "magnets[]=magnet%3A%3Fxt%3Durn%3Abtih%3Ashort"), 200,
              upload_answer(R"({"id":7})"));
  ASSERT_EQ(download(R"({"Link":"https://site/r"})"), TAVRO_OK) << got();
  EXPECT_EQ(got(), R"({"id":7})");
  EXPECT_EQ(host.count("GET", "https://site/r"), 1u);
}

TEST_F(Ops, TorrentLinkIsFetchedTwiceThenUploaded) {
  host.answer("GET", "https://site/t.torrent", 404, kTorrent);
  host.answer("POST", api("/magnet/upload/file"), 200, upload_answer(R"({"id":8,"ready":false})"));
  ASSERT_EQ(download(R"({"Link":"https://site/t.torrent"})"), TAVRO_OK) << got();
  EXPECT_EQ(got(), R"({"id":8,"ready":false})");
  EXPECT_EQ(host.count("GET", "https://site/t.torrent"), 2u);
  auto calls = host.calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[2].body, kTorrent);
  EXPECT_EQ(calls[2].content_type, "multipart/form-data; boundary=tavrotorrent");
}

TEST_F(Ops, HashThatFailsTheMagnetTestIsFetchedAsAWebLink) {
  std::string bad = "magnet:?xt=urn:btih:" + kH40.substr(1);
  EXPECT_EQ(download(R"({"Link":")" + bad + "\"}"), TAVRO_E_FAILED);
  EXPECT_EQ(got(), err("Link is not a magnet, a redirect-to-magnet or a torrent file"));
  EXPECT_EQ(host.count("GET", bad), 2u);
  // A blank before "magnet:?" is no redirect.
  host.answer("GET", "https://site/b", 200, " magnet:?xt=urn:btih:x");
  EXPECT_EQ(download(R"({"Link":"https://site/b"})"), TAVRO_E_FAILED);
}

TEST_F(Ops, FailedLinkFetches) {
  host.fail("GET", "https://site/x?apikey=SECRET", -1, std::string("refused"));
  EXPECT_EQ(download(R"({"Link":"https://site/x?apikey=SECRET"})"), TAVRO_E_TRANSPORT);
  EXPECT_EQ(got(), err("GET https://site/x?apikey=***: refused"));
  EXPECT_EQ(host.count("GET", "https://site/x?apikey=SECRET"), 2u);
}

TEST_F(Ops, AddAnswerFailures) {
  std::string url = api("/magnet/upload", "magnets[]=" + kMagnetEnc);
  std::string req = R"({"Link":")" + kMagnet + "\"}";
  AnswerRow rows[] = {
      {"429", 429, "", TAVRO_E_LIMIT, "magnet/upload answered HTTP 429"},
      {"no id", 200, upload_answer(R"({"id":"42"})"), TAVRO_E_FAILED,
       "magnet/upload returned no magnet id"},
      {"negative id", 200, upload_answer(R"({"id":-1,"ready":true})"), TAVRO_E_FAILED,
       "upload returned no magnet id"},
      {"premium", 200, tt::error_env("MAGNET_MUST_BE_PREMIUM", "pay"), TAVRO_E_LIMIT,
       "AllDebrid error MAGNET_MUST_BE_PREMIUM: pay"},
  };
  for (auto &r : rows) {
    host.answer("POST", url, r.status, r.body);
    EXPECT_EQ(download(req), r.code) << r.name;
    EXPECT_EQ(got(), err(r.msg)) << r.name;
  }
  host.answer("GET", "https://site/t", 200, kTorrent);
  host.answer("POST", api("/magnet/upload/file"), 429, "");
  EXPECT_EQ(download(R"({"Link":"https://site/t"})"), TAVRO_E_LIMIT);
  EXPECT_EQ(got(), err("magnet/upload answered HTTP 429"));
  host.fail("POST", url, 1, std::nullopt);
  EXPECT_EQ(download(req), TAVRO_E_TRANSPORT);
  EXPECT_EQ(got(), err("POST " + tt::kRoot +
                       "/magnet/upload?agent=quorvelindash&apikey=***&magnets[]=" + kMagnetEnc +
                       ": transport failure"));
}

// ---- Download: the instant pick --------------------------------------------------

class Instant : public Ops {
protected:
  std::string payload = R"({"id":42,"ready":true})";
  std::string files_url = api("/magnet/files", "id[]=42");

  void SetUp() override {
    Ops::SetUp();
    host.answer("POST", api("/magnet/upload", "magnets[]=" + kMagnetEnc), 200,
                upload_answer(payload));
  }
  void files(const std::string &nodes) {
    host.answer("GET", files_url, 200, ok(R"({"magnets":[{"id":42,"files":)" + nodes + "}]}"));
  }
  void unlocks(const std::string &link, const std::string &data) {
    host.answer("GET", api("/link/unlock", "link=" + link), 200, ok(data));
  }
  int add(const std::string &extra = "") {
    return download(R"({"Link":")" + kMagnet + "\"" + extra + "}");
  }
  size_t unlock_calls() {
    size_t n = 0;
    for (auto &c : host.calls()) n += c.url.find("/link/unlock") != std::string::npos;
    return n;
  }
};

TEST_F(Instant, LargestFileWinsAndTheFirstOfEqualSizes) {
  files(R"([{"n":"a","s":5,"l":"A"},{"n":"b","s":9,"l":"B"},{"n":"c","s":9,"l":"C"},)"
        R"({"n":"big","s":99}])");
  unlocks("B", R"({"link":"https://cdn/b","filename":"b.mkv","filesize":9})");
  ASSERT_EQ(add(), TAVRO_OK) << got();
  EXPECT_EQ(got(), R"({"InstantURL":"https://cdn/b","InstantName":"b.mkv","InstantSize":9,)"
                   R"("Payload":{"id":42,"ready":true}})");
}

TEST_F(Instant, UnknownSizesNeverWin) {
  files(R"([{"n":"a","l":"A"},{"n":"b","s":1.5,"l":"B"}])");
  EXPECT_EQ(add(), TAVRO_E_FAILED);
  EXPECT_EQ(got(), err("ready magnet has no usable links"));
  files(R"([{"n":"a","l":"A"},{"n":"zero","s":0,"l":""}])");
  unlocks("", R"({"link":"https://cdn/z"})");
  ASSERT_EQ(add(), TAVRO_OK) << got();
  EXPECT_EQ(got(), R"({"InstantURL":"https://cdn/z","InstantName":null,"InstantSize":-1,)"
                   R"("Payload":{"id":42,"ready":true}})");
}

TEST_F(Instant, EpisodeModePicksTheRequestedEpisode) {
  files(
      R"([{"n":"Show.S01","e":[{"n":"E01.mkv","s":900,"l":"E1"},{"n":"E02.mkv","s":5,"l":"E2"}]}])");
  unlocks("E2", R"({"link":"https://cdn/e2","filename":"E02.mkv","filesize":5})");
  ASSERT_EQ(add(R"(,"FullSeason":true,"Season":1,"Episode":2)"), TAVRO_OK) << got();
  EXPECT_EQ(got(), R"({"InstantURL":"https://cdn/e2","InstantName":"E02.mkv","InstantSize":5,)"
                   R"("Payload":{"id":42,"ready":true}})");
}

TEST_F(Instant, ModeNeedsFullSeasonAndAnEpisode) {
  files(R"([{"n":"Show.S01E01.mkv","s":900,"l":"E1"},{"n":"Show.S01E02.mkv","s":5,"l":"E2"}])");
  unlocks("E1", R"({"link":"https://cdn/e1"})");
  for (std::string extra : {R"(,"FullSeason":true,"Season":1)", R"(,"Season":1,"Episode":2)",
                            R"(,"FullSeason":"true","Episode":2)"}) {
    ASSERT_EQ(add(extra), TAVRO_OK) << extra;
    EXPECT_EQ(got().substr(0, 30), R"({"InstantURL":"https://cdn/e1")") << extra;
  }
}

TEST_F(Instant, EpisodeNotFoundReturnsThePayloadAndKeepsTheMagnet) {
  files(R"([{"n":"Show.S01E01.mkv","s":900,"l":"E1"},{"n":"Show.S01E03.mkv","s":5}])");
  ASSERT_EQ(add(R"(,"FullSeason":true,"Season":1,"Episode":3,"KeepInstantOnly":true)"), TAVRO_OK);
  EXPECT_EQ(got(), payload);
  EXPECT_EQ(unlock_calls(), 0u);
  EXPECT_EQ(host.count("GET", api("/magnet/delete", "id=42")), 0u);
}

TEST_F(Instant, PickReadsTheWholeTreeAndItsLimitInBothModes) {
  // Only the first matching episode counts, and an episode or a large file
  // found early does not exempt a tree from the file limit.
  auto tree = [](int more) {
    std::string t = R"([{"n":"Show.S01E02.mkv","s":7,"l":"E2"},{"n":"Again.S01E02.mkv","s":90,)"
                    R"("l":"E2b"})";
    for (int i = 0; i < more; ++i) t += R"(,{"n":"x.srt","s":1,"l":"X"})";
    return t + "]";
  };
  files(tree(65535));
  for (std::string extra :
       {std::string(), std::string(R"(,"FullSeason":true,"Season":1,"Episode":2)")}) {
    EXPECT_EQ(add(extra), TAVRO_E_FAILED) << extra;
    EXPECT_EQ(got(), err("magnet tree larger than 65536 files")) << extra;
  }
  EXPECT_EQ(unlock_calls(), 0u);
  files(tree(65534));
  unlocks("E2", R"({"link":"https://cdn/e2"})");
  ASSERT_EQ(add(R"(,"FullSeason":true,"Season":1,"Episode":2)"), TAVRO_OK) << got();
  EXPECT_EQ(got().substr(0, 30), R"({"InstantURL":"https://cdn/e2")");
  unlocks("E2b", R"({"link":"https://cdn/e2b"})");
  ASSERT_EQ(add(), TAVRO_OK) << got();
  EXPECT_EQ(got().substr(0, 31), R"({"InstantURL":"https://cdn/e2b")");
}

TEST_F(Instant, ReadyMagnetWithoutFilesIsHandledAsNotReady) {
  files("[]");
  std::string del = api("/magnet/delete", "id=42");
  host.answer("GET", del, 200, ok("{}"));
  ASSERT_EQ(add(R"(,"KeepInstantOnly":true)"), TAVRO_OK) << got();
  EXPECT_EQ(got(), payload);
  EXPECT_EQ(host.count("GET", del), 1u);
}

TEST_F(Instant, FailedUnlockEndsTheDownload) {
  files(R"([{"n":"a","s":9,"l":"A"},{"n":"b","s":5,"l":"B"}])");
  host.answer("GET", api("/link/unlock", "link=A"), 503, "busy");
  EXPECT_EQ(add(), TAVRO_E_TRANSPORT);
  EXPECT_EQ(got(), err("link/unlock answered HTTP 503"));
  EXPECT_EQ(unlock_calls(), 1u) << "no second file is tried";
  host.answer("GET", files_url, 500, "");
  EXPECT_EQ(add(), TAVRO_E_TRANSPORT);
  EXPECT_EQ(got(), err("magnet/files answered HTTP 500"));
}

// ---- The same operations on the fake transport ------------------------------------

TEST_F(Ops, FakeTransportServesTheWholeFlow) {
  ASSERT_EQ(T.tavro_use_fake(), 0);
  ASSERT_EQ(T.tavro_fake_set("GET", api("/user").c_str(), 200, ok("{}").c_str()), 0);
  ASSERT_EQ(validate(), TAVRO_OK) << got();
  // An answer stored under the default agent serves any other agent.
  ASSERT_EQ(validate(R"({"APIKey":"KEY123","CustomName":"other","ID":"1"})"), TAVRO_OK);
  EXPECT_EQ(got(), R"({"ClientId":"other","RuntimeType":"ALLDEBRID","ID":"1"})");
  EXPECT_EQ(T.tavro_fake_calls("GET", api("/user").c_str()), 2);

  // The sentinel key answers the service's invalid-key error.
  EXPECT_EQ(validate(R"({"APIKey":"QV-NOT-KEY"})"), TAVRO_E_AUTH);
  EXPECT_EQ(got(), err("AllDebrid error AUTH_BAD_APIKEY: The apikey is invalid"));

  ASSERT_EQ(T.tavro_fake_fail("GET", api("/magnet/status").c_str(), nullptr), 0);
  EXPECT_EQ(list("torrents"), TAVRO_E_TRANSPORT);
  EXPECT_EQ(got(), err("GET " + tt::kRoot +
                       "/magnet/status?agent=quorvelindash&apikey=***: connection refused"));
  EXPECT_EQ(T.tavro_fake_last_url(), api("/magnet/status"));

  ASSERT_EQ(T.tavro_fake_set("GET", "https://site/t", 200, kTorrent.c_str()), 0);
  ASSERT_EQ(T.tavro_fake_set("POST", api("/magnet/upload/file").c_str(), 200,
                             upload_answer(R"({"id":5})").c_str()),
            0);
  ASSERT_EQ(download(R"({"Link":"https://site/t"})"), TAVRO_OK) << got();
  EXPECT_EQ(got(), R"({"id":5})");
  EXPECT_EQ(T.tavro_fake_last_body(api("/magnet/upload/file").c_str()), kTorrent);
  EXPECT_EQ(T.tavro_fake_calls("GET", "https://site/t"), 2);
}

} // namespace

namespace {

TEST(OpsNullFree, TableWithoutFreeReleasesWithTheStandardFree) {
  // The host's strings come from malloc; LeakSanitizer and ASan's
  // allocation checks see any string left behind or released wrongly.
  tt::Host host;
  tavro_io io = host.table(false);
  host.raw("GET", api("/user"), {0, 200, ok("{}"), std::string("ignored error text")});
  host.fail("GET", api("/magnet/status"), -1, std::string("down"), std::string("partial"));
  ASSERT_EQ(T.tavro_set_io(&io), 0);
  char out[512];
  EXPECT_EQ(T.tavro_validate(tt::kSettings.c_str(), out, sizeof out), TAVRO_OK) << out;
  EXPECT_EQ(T.tavro_list(tt::kSettings.c_str(), "torrents", out, sizeof out), TAVRO_E_TRANSPORT);
  EXPECT_EQ(host.handed(), 4);
  EXPECT_EQ(host.released(), 0) << "the table's own free is never called when it is null";
  T.tavro_set_io(nullptr);
}

} // namespace

namespace {

TEST(Hostile, BadInputsGetTheirDocumentedAnswers) {
  tt::Host host;
  tavro_io io = host.table();
  ASSERT_EQ(T.tavro_set_io(&io), 0);
  T.tavro_allow_writes(1);
  const std::string deep_open(1000000, '[');
  const std::string deep_entry = R"({"x":)" + deep_open + std::string(1000000, ']') + "}";
  const std::string huge_settings = R"({"APIKey":"k","pad":")" + std::string(1 << 20, 'p') + "\"}";
  const std::string long_link(9000, 'L');
  const std::string binary = "\x01\x02\x7f\xff\xfe \x1b[31m";
  struct Row {
    const char *name;
    char op; // v validate, l list, s stream, d download
    std::string settings, arg;
    int code;
    std::string msg;
  } rows[] = {
      {"settings past 1 MiB", 'v', huge_settings, "", TAVRO_E_ARG,
       "settings are larger than 1 MiB"},
      {"settings nested a million deep", 'v', deep_open, "", TAVRO_E_ARG,
       "settings are not a JSON object"},
      {"settings of control bytes", 'l', binary, "", TAVRO_E_ARG, "settings are not a JSON object"},
      {"entry nested a million deep", 's', tt::kSettings, deep_entry, TAVRO_E_NOT_FOUND,
       "entry has no locator/link/path"},
      {"entry past the URL limit", 's', tt::kSettings, R"({"locator":")" + long_link + "\"}",
       TAVRO_E_TRANSPORT, "request URL longer than 8 KiB"},
      {"request nested a million deep", 'd', tt::kSettings, deep_open, TAVRO_E_ARG,
       "config is not a JSON object"},
      {"link past 3 KiB", 'd', tt::kSettings, R"({"Link":")" + long_link + "\"}", TAVRO_E_ARG,
       "Link longer than 3 KiB"},
      {"link of control bytes", 'd', tt::kSettings, "{\"Link\":\"\\u0001\\u001b\"}", TAVRO_E_FAILED,
       "Link is not a magnet, a redirect-to-magnet or a torrent file"},
      {"folder of control bytes", 'l', tt::kSettings, binary, TAVRO_E_NOT_FOUND,
       "no such folder: " + binary},
  };
  std::vector<char> out(1 << 16);
  for (auto &r : rows) {
    const char *s = r.settings.c_str(), *a = r.arg.c_str();
    int32_t n = (int32_t)out.size();
    int code = r.op == 'v'   ? T.tavro_validate(s, out.data(), n)
               : r.op == 'l' ? T.tavro_list(s, a, out.data(), n)
               : r.op == 's' ? T.tavro_stream_url(s, a, out.data(), n)
                             : T.tavro_download(s, a, out.data(), n);
    EXPECT_EQ(code, r.code) << r.name;
    EXPECT_EQ(std::string(T.tavro_last_error()), r.msg) << r.name;
    EXPECT_STREQ(T.tavro_result_json(), "") << r.name;
  }
  T.tavro_allow_writes(0);
  T.tavro_set_io(nullptr);
  EXPECT_EQ(host.live(), 0u);
}

} // namespace
