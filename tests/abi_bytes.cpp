// SPDX-License-Identifier: MIT
// The byte transport (tavro_set_transport) through the exports: the exact
// shape of every request, bodies as bytes both ways, the key in a header and
// never in a URL, every handed-back text released once, and the selection
// rules between the transports.
#include "abi_loader.h"
#include "byte_host.h"
#include "support.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

const TavroApi &T = tavro_api();
using tt::ok;

const std::string kAuth = "Authorization: Bearer KEY123";

// A service URL as the byte transport sends it: agent, and no apikey.
std::string url(const std::string &path, const std::string &root = tt::kRoot) {
  return root + path + "?agent=quorvelindash";
}

// A torrent whose piece hashes hold NUL bytes, as real ones nearly always do.
std::string torrent_with_nuls() {
  std::string pieces(
      "\x00\x01\x00\xff\x00\x00\x10\x20\x00\x30\x00\x00\x00\x00\x7f\x00\x00\x01\x02\x00", 20);
  return "d8:announce20:udp://tracker.test/a4:infod6:lengthi5e4:name5:a.mkv12:piece lengthi16384e"
         "6:pieces20:" +
         pieces + "ee";
}

class Bytes : public ::testing::Test {
protected:
  tt::ByteHost host;
  tavro_transport table = host.table();
  std::array<char, 1 << 16> out{};

  void SetUp() override {
    T.tavro_fake_reset();
    ASSERT_EQ(T.tavro_set_transport(&table), 0);
    T.tavro_allow_writes(1);
  }
  void TearDown() override {
    T.tavro_set_io(nullptr);
    T.tavro_allow_writes(0);
    EXPECT_EQ(host.live(), 0u) << "every text the transport handed back is released";
    EXPECT_EQ(host.bad_releases(), 0);
    for (const tt::ByteCall &c : host.calls()) {
      EXPECT_EQ(c.url.find("apikey"), std::string::npos) << c.url;
      EXPECT_EQ(c.request_size, sizeof(tavro_http_request));
      EXPECT_EQ(c.response_size, sizeof(tavro_http_response));
    }
    EXPECT_EQ(std::string(T.tavro_last_error()).find("KEY123"), std::string::npos);
    EXPECT_EQ(std::string(T.tavro_result_json()).find("KEY123"), std::string::npos);
  }
  std::string got() const { return out.data(); }
  int list(const char *folder) {
    return T.tavro_list(tt::kSettings.c_str(), folder, out.data(), (int32_t)out.size());
  }
  int download(const std::string &link, const std::string &extra = "") {
    std::string req = R"({"Link":)" + tt::json_literal(link) + extra + "}";
    return T.tavro_download(tt::kSettings.c_str(), req.c_str(), out.data(), (int32_t)out.size());
  }
};

// What one request must look like on the byte transport.
struct Shape {
  std::string method, url, content_type, body;
  bool with_key;
};

void expect_shape(const tt::ByteCall &c, const Shape &s, const std::string &name) {
  EXPECT_EQ(c.method, s.method) << name;
  EXPECT_EQ(c.url, s.url) << name;
  EXPECT_EQ(c.content_type, s.content_type) << name;
  EXPECT_EQ(c.content_type_null, s.content_type.empty()) << name;
  EXPECT_EQ(c.body, s.body) << name;
  EXPECT_EQ(c.body_null, s.body.empty()) << name;
  EXPECT_EQ(c.headers, s.with_key ? std::vector<std::string>{kAuth} : std::vector<std::string>{})
      << name;
}

const std::string kForm = "application/x-www-form-urlencoded";
const std::string kMagnet = "magnet:?xt=urn:btih:0123456789abcdef0123456789abcdef01234567&dn=a b";
const std::string kMagnetForm = "magnets[]=magnet%3A%3Fxt%3Durn%3Abtih%3A"
                                "0123456789abcdef0123456789abcdef01234567%26dn%3Da%20b";

TEST_F(Bytes, EveryRequestCarriesTheKeyInAHeaderAndTheParametersInTheBody) {
  host.answer("GET", url("/user"), 200, ok("{}"));
  host.answer("POST", "https://api.alldebrid.com/v4.1/magnet/status?agent=quorvelindash", 200,
              ok(R"({"magnets":[{"id":7,"filename":"A","size":3}]})"));
  host.answer("POST", url("/magnet/files"), 200,
              ok(R"({"magnets":[{"id":7,"files":[{"n":"a.mkv","s":3,"l":"L1"}]}]})"), "id[]=7");
  host.answer("POST", url("/link/unlock"), 200, ok(R"({"link":"https://d/a","filename":"a"})"),
              "link=https%3A%2F%2Fs%2Ff%3Fx%3D1");
  ASSERT_EQ(T.tavro_validate(tt::kSettings.c_str(), out.data(), (int32_t)out.size()), TAVRO_OK)
      << got();
  ASSERT_EQ(list("torrents"), TAVRO_OK) << got();
  EXPECT_EQ(got(), R"([{"name":"A","path":"m7","folder":true,"size":3,"id":"m7","locator":"m7",)"
                   R"("state":null,"status":null,"downloaded":-1,"speed":-1}])");
  ASSERT_EQ(list("m7"), TAVRO_OK) << got();
  ASSERT_EQ(T.tavro_stream_url(tt::kSettings.c_str(), R"({"locator":"https://s/f?x=1"})",
                               out.data(), (int32_t)out.size()),
            TAVRO_OK)
      << got();
  EXPECT_EQ(got(), R"({"url":"https://d/a","name":"a","size":-1})");

  Shape want[] = {
      {"GET", url("/user"), "", "", true},
      {"POST", "https://api.alldebrid.com/v4.1/magnet/status?agent=quorvelindash", kForm, "", true},
      {"POST", url("/magnet/files"), kForm, "id[]=7", true},
      {"POST", url("/link/unlock"), kForm, "link=https%3A%2F%2Fs%2Ff%3Fx%3D1", true},
  };
  auto calls = host.calls();
  ASSERT_EQ(calls.size(), std::size(want));
  for (size_t i = 0; i < calls.size(); ++i) expect_shape(calls[i], want[i], want[i].url);
}

TEST_F(Bytes, NotReadyMagnetIsAddedAndDeletedWithFormBodies) {
  host.answer("POST", url("/magnet/upload"), 200, ok(R"({"magnets":[{"id":9,"ready":false}]})"),
              kMagnetForm);
  host.answer("POST", url("/magnet/delete"), 200, ok(R"({"message":"deleted"})"), "id=9");
  ASSERT_EQ(download(kMagnet, R"(,"KeepInstantOnly":true)"), TAVRO_OK) << got();
  EXPECT_EQ(got(), R"({"id":9,"ready":false})");
  auto calls = host.calls();
  ASSERT_EQ(calls.size(), 2u);
  expect_shape(calls[0], {"POST", url("/magnet/upload"), kForm, kMagnetForm, true}, "upload");
  expect_shape(calls[1], {"POST", url("/magnet/delete"), kForm, "id=9", true}, "delete");
}

TEST_F(Bytes, TorrentWithNulBytesIsFetchedOnceAndUploadedWhole) {
  const std::string link = "https://web.test/files/a.torrent";
  const std::string torrent = torrent_with_nuls();
  ASSERT_NE(torrent.find('\0'), std::string::npos);
  host.answer("GET", link, 200, torrent);
  host.answer("POST", url("/magnet/upload/file"), 200,
              ok(R"({"files":[{"file":"upload.torrent","id":11,"ready":false}]})"));
  ASSERT_EQ(download(link), TAVRO_OK) << got();
  EXPECT_EQ(got(), R"({"file":"upload.torrent","id":11,"ready":false})");
  auto calls = host.calls();
  ASSERT_EQ(calls.size(), 2u) << "one fetch, one upload";
  expect_shape(calls[0], {"GET", link, "", "", false}, "the web link goes without the key");
  expect_shape(calls[1],
               {"POST", url("/magnet/upload/file"), "application/x-bittorrent", torrent, true},
               "upload");
  EXPECT_EQ(calls[1].body.size(), torrent.size());
  EXPECT_EQ(calls[1].file_field, "files[0]");
  EXPECT_EQ(calls[1].file_name, "upload.torrent");
  EXPECT_TRUE(calls[0].file_field_null);
}

TEST_F(Bytes, TorrentOfSeveralMebibytesArrivesByteForByte) {
  const std::string link = "https://web.test/big.torrent";
  std::string pieces;
  for (size_t i = 0; i < (3u << 20); ++i) pieces += (char)((i * 7919u) >> 3);
  std::string torrent = "d8:announce5:udp:/4:infod6:lengthi1e4:name1:x6:pieces" +
                        std::to_string(pieces.size()) + ":" + pieces + "ee";
  host.answer("GET", link, 200, torrent);
  host.answer("POST", url("/magnet/upload/file"), 200, ok(R"({"files":[{"id":12}]})"));
  ASSERT_EQ(download(link), TAVRO_OK) << got();
  auto calls = host.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_TRUE(calls[1].body == torrent)
      << "sizes " << calls[1].body.size() << " and " << torrent.size();
}

TEST_F(Bytes, UnfollowedRedirectToAMagnetAddsItsLocation) {
  const std::string link = "https://web.test/go";
  host.raw("GET", link, {0, 302, std::nullopt, kMagnet + "\r\nignored", std::nullopt});
  host.answer("POST", url("/magnet/upload"), 200, ok(R"({"magnets":[{"id":3,"ready":false}]})"),
              kMagnetForm);
  ASSERT_EQ(download(link), TAVRO_OK) << got();
  auto calls = host.calls();
  ASSERT_EQ(calls.size(), 2u);
  expect_shape(calls[0], {"GET", link, "", "", false}, "fetch");
  expect_shape(calls[1], {"POST", url("/magnet/upload"), kForm, kMagnetForm, true}, "add");

  // A Location on a status that is no redirect is no magnet.
  host.raw("GET", link, {0, 200, std::string("hello"), kMagnet, std::nullopt});
  EXPECT_EQ(download(link), TAVRO_E_FAILED);
  EXPECT_EQ(got(), R"({"error":"Link is not a magnet, a redirect-to-magnet or a torrent file"})");
}

TEST_F(Bytes, AnswersAreReadToTheirLength) {
  // The text table would cut this answer at its NUL and take the success;
  // read to its length it is no JSON object.
  std::string answer = ok("{}") + std::string("\0trailing", 9);
  host.answer("GET", url("/user"), 200, answer);
  EXPECT_EQ(T.tavro_validate(tt::kSettings.c_str(), out.data(), (int32_t)out.size()),
            TAVRO_E_FAILED);
  EXPECT_EQ(got(), R"({"error":"response is not a JSON object"})");
  // An empty answer may come back without a body.
  host.raw("GET", url("/user"), {0, 200, std::nullopt, std::nullopt, std::nullopt});
  EXPECT_EQ(T.tavro_validate(tt::kSettings.c_str(), out.data(), (int32_t)out.size()),
            TAVRO_E_FAILED);
  EXPECT_EQ(got(), R"({"error":"empty response body"})");
}

TEST_F(Bytes, FailuresQuoteTheFirstLineAndMaskTheKey) {
  struct Row {
    const char *name;
    tt::ByteHost::Answer answer;
    int code;
    std::string msg;
  } rows[] = {
      {"refused, all texts released",
       {-1, 0, std::string("partial"), std::string("loc"), std::string("connect: refused\nmore")},
       TAVRO_E_TRANSPORT,
       "GET " + url("/user") + ": connect: refused"},
      {"no error text",
       {7, 0, std::nullopt, std::nullopt, std::nullopt},
       TAVRO_E_TRANSPORT,
       "GET " + url("/user") + ": transport failure"},
      {"the host quotes its header",
       {-1, 0, std::nullopt, std::nullopt, std::string("sent " + kAuth)},
       TAVRO_E_TRANSPORT,
       "GET " + url("/user") + ": sent Authorization: Bearer ******"},
      {"HTTP 401",
       {0, 401, std::string("no"), std::nullopt, std::string("ignored")},
       TAVRO_E_AUTH,
       "user request answered HTTP 401"},
  };
  for (auto &r : rows) {
    host.raw("GET", url("/user"), r.answer);
    EXPECT_EQ(T.tavro_validate(tt::kSettings.c_str(), out.data(), (int32_t)out.size()), r.code)
        << r.name;
    EXPECT_EQ(T.tavro_last_error(), r.msg) << r.name;
    EXPECT_EQ(host.live(), 0u) << r.name;
  }
}

TEST_F(Bytes, RequestAndAnswerRulesAreThoseOfTheTextTable) {
  struct Row {
    const char *name;
    std::string folder, body;
    int code;
    std::string msg;
  } rows[] = {
      {"unknown magnet id", "m5",
       ok(R"({"magnets":[{"id":"5","error":{"code":"MAGNET_INVALID_ID","message":"bad id"}}]})"),
       TAVRO_E_NOT_FOUND, "AllDebrid error MAGNET_INVALID_ID: bad id"},
      {"maintenance", "m5", tt::error_env("MAINTENANCE", "later"), TAVRO_E_TRANSPORT,
       "AllDebrid error MAINTENANCE: later"},
  };
  for (auto &r : rows) {
    host.answer("POST", url("/magnet/files"), 200, r.body, "id[]=5");
    EXPECT_EQ(list(r.folder.c_str()), r.code) << r.name;
    EXPECT_EQ(T.tavro_last_error(), r.msg) << r.name;
  }
}

TEST_F(Bytes, TableWithoutFreeReleasesWithTheStandardFree) {
  tavro_transport bare = host.table(false);
  ASSERT_EQ(T.tavro_set_transport(&bare), 0);
  host.raw("GET", url("/user"), {0, 200, ok("{}"), std::string("loc"), std::string("err")});
  EXPECT_EQ(T.tavro_validate(tt::kSettings.c_str(), out.data(), (int32_t)out.size()), TAVRO_OK);
  EXPECT_EQ(host.bad_releases(), 0);
  // LeakSanitizer reports any of the three texts left behind.
  host.forget_live();
}

// Which transport an operation uses after each selection call.
TEST_F(Bytes, TheLastSelectionWins) {
  tt::Host text;
  tavro_io io = text.table();
  host.answer("GET", url("/user"), 200, ok("{}"));
  text.answer("GET", tt::api("/user"), 200, ok("{}"));
  T.tavro_fake_set("GET", tt::api("/user").c_str(), 200, ok("{}").c_str());

  enum Used { kBytes, kText, kFake, kNone };
  struct Step {
    const char *name;
    int (*select)(tavro_transport *, tavro_io *);
    int rc;
    Used used;
  } steps[] = {
      {"byte table", [](tavro_transport *t, tavro_io *) { return T.tavro_set_transport(t); }, 0,
       kBytes},
      {"text table replaces it", [](tavro_transport *, tavro_io *i) { return T.tavro_set_io(i); },
       0, kText},
      {"byte table replaces the text table",
       [](tavro_transport *t, tavro_io *) { return T.tavro_set_transport(t); }, 0, kBytes},
      {"the fake replaces it", [](tavro_transport *, tavro_io *) { return T.tavro_use_fake(); }, 0,
       kFake},
      {"byte table replaces the fake",
       [](tavro_transport *t, tavro_io *) { return T.tavro_set_transport(t); }, 0, kBytes},
      {"tavro_set_io(NULL) leaves none",
       [](tavro_transport *, tavro_io *) { return T.tavro_set_io(nullptr); }, 0, kNone},
      {"byte table again", [](tavro_transport *t, tavro_io *) { return T.tavro_set_transport(t); },
       0, kBytes},
      {"tavro_set_transport(NULL) leaves none",
       [](tavro_transport *, tavro_io *) { return T.tavro_set_transport(nullptr); }, 0, kNone},
      {"the fake", [](tavro_transport *, tavro_io *) { return T.tavro_use_fake(); }, 0, kFake},
      {"tavro_use_curl refused, the fake stays",
       [](tavro_transport *, tavro_io *) { return T.tavro_use_curl(); }, TAVRO_E_UNAVAILABLE,
       kFake},
      {"a table without send is refused, the fake stays",
       [](tavro_transport *t, tavro_io *) {
         tavro_transport bad = *t;
         bad.send = nullptr;
         return T.tavro_set_transport(&bad);
       },
       TAVRO_E_ARG, kFake},
      {"a table too small is refused, the fake stays",
       [](tavro_transport *t, tavro_io *) {
         tavro_transport bad = *t;
         bad.size = offsetof(tavro_transport, free);
         return T.tavro_set_transport(&bad);
       },
       TAVRO_E_ARG, kFake},
      {"a larger table from a newer header is taken",
       [](tavro_transport *t, tavro_io *) {
         struct {
           tavro_transport known;
           void *later;
         } big{*t, nullptr};
         big.known.size = sizeof big;
         return T.tavro_set_transport(&big.known);
       },
       0, kBytes},
  };
  for (const Step &s : steps) {
    size_t bytes_before = host.calls().size(), text_before = text.calls().size();
    int fake_before = T.tavro_fake_calls(nullptr, nullptr);
    EXPECT_EQ(s.select(&table, &io), s.rc) << s.name;
    int code = T.tavro_validate(tt::kSettings.c_str(), out.data(), (int32_t)out.size());
    EXPECT_EQ(code, s.used == kNone ? TAVRO_E_TRANSPORT : TAVRO_OK) << s.name;
    EXPECT_EQ(host.calls().size() - bytes_before, s.used == kBytes ? 1u : 0u) << s.name;
    EXPECT_EQ(text.calls().size() - text_before, s.used == kText ? 1u : 0u) << s.name;
    EXPECT_EQ(T.tavro_fake_calls(nullptr, nullptr) - fake_before, s.used == kFake ? 1 : 0)
        << s.name;
  }
  T.tavro_set_io(nullptr);
  EXPECT_EQ(text.live(), 0u);
}

TEST_F(Bytes, HandlerRecordUsesTheTableItIsGiven) {
  tt::Host text;
  tavro_io io = text.table();
  text.answer("GET", tt::api("/user"), 200, ok("{}"));
  const tavro_handler *h = T.halvo_get();
  EXPECT_EQ(h->validate(&io, tt::kSettings.c_str(), out.data(), (int32_t)out.size()), TAVRO_OK);
  EXPECT_EQ(text.calls().size(), 1u);
  EXPECT_EQ(host.calls().size(), 0u) << "the selected byte transport is not used";
}

TEST_F(Bytes, ThreadsKeepTheirOwnResults) {
  for (int i = 0; i < 4; ++i) {
    std::string id = std::to_string(100 + i);
    host.answer("POST", url("/magnet/files"), 200,
                ok(R"({"magnets":[{"files":[{"n":"f)" + id + R"(","s":1,"l":"L"}]}]})"),
                "id[]=" + id);
  }
  std::vector<std::thread> threads;
  std::vector<int> failures(4);
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([i, &failures] {
      std::string id = std::to_string(100 + i), folder = "m" + id;
      std::string want = R"([{"name":"f)" + id + R"(","path":"f)" + id +
                         R"(","folder":false,"size":1,"locator":"L","id":"f)" + id + R"("}])";
      for (int round = 0; round < 200; ++round) {
        int code = T.tavro_list(tt::kSettings.c_str(), folder.c_str(), nullptr, 0);
        if (code != TAVRO_OK || T.tavro_result_json() != want) ++failures[i];
      }
    });
  }
  for (auto &t : threads) t.join();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(failures[i], 0) << "thread " << i;
  EXPECT_EQ(host.calls().size(), 800u);
}

} // namespace

namespace {

// Selections change while operations run: each call uses the transport it
// found, whole, and nothing races (ThreadSanitizer watches this one).
TEST_F(Bytes, SelectionMayChangeWhileOperationsRun) {
  host.answer("GET", url("/user"), 200, ok("{}"));
  T.tavro_fake_set("GET", tt::api("/user").c_str(), 200, ok("{}").c_str());
  std::atomic<bool> stop{false};
  std::atomic<int> unexpected{0}, done{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < 3; ++i) {
    workers.emplace_back([&] {
      char buf[256];
      while (!stop.load()) {
        int code = T.tavro_validate(tt::kSettings.c_str(), buf, sizeof buf);
        if (code != TAVRO_OK &&
            !(code == TAVRO_E_TRANSPORT && T.tavro_last_error() == std::string("no transport")))
          ++unexpected;
        ++done;
      }
    });
  }
  for (int round = 0; round < 300; ++round) {
    switch (round % 3) {
    case 0:
      T.tavro_set_transport(&table);
      break;
    case 1:
      T.tavro_use_fake();
      break;
    case 2:
      T.tavro_set_io(nullptr);
      break;
    }
    std::this_thread::yield();
  }
  while (done.load() < 300) std::this_thread::yield();
  stop = true;
  for (auto &w : workers) w.join();
  EXPECT_EQ(unexpected.load(), 0);
}

} // namespace
