// SPDX-License-Identifier: MIT
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

// The requests of the service the operations make.
const tt::Call kStatus = tt::form(tt::status_url(), "");
tt::Call files_of(const std::string &id) {
  return tt::form(api("/magnet/files"), "id[]=" + id);
}
tt::Call unlock_of(const std::string &encoded_link) {
  return tt::form(api("/link/unlock"), "link=" + encoded_link);
}
tt::Call status_of(const std::string &id) {
  return tt::form(tt::status_url(), "id=" + id);
}
tt::Call delete_of(const std::string &id) {
  return tt::form(api("/magnet/delete"), "id=" + id);
}
tt::Call upload_of(const std::string &encoded_magnet) {
  return tt::form(api("/magnet/upload"), "magnets[]=" + encoded_magnet);
}
const std::string kUploadFile = api("/magnet/upload/file");

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
  int change(const std::string &req) {
    return T.tavro_change(tt::kSettings.c_str(), req.c_str(), out.data(), (int32_t)out.size());
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
  host.answer(kStatus, 200, ok(R"({"magnets":[
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
      R"([{"name":"Film","path":"m12","folder":true,"size":700,"id":"m12","locator":"m12",)"
      R"("state":null,"status":"Ready","downloaded":-1,"speed":-1},)"
      R"({"name":"Say \"hi\"","path":"m13","folder":true,"size":-1,"id":"m13","locator":"m13",)"
      R"("state":null,"status":null,"downloaded":-1,"speed":-1},)"
      R"({"name":"x","path":"m14","folder":true,"size":-1,"id":"m14","locator":"m14",)"
      R"("state":null,"status":null,"downloaded":-1,"speed":-1}])");
  EXPECT_EQ(list("/torrents"), TAVRO_OK);
  EXPECT_EQ(host.calls(), (std::vector<tt::Call>{kStatus, kStatus}));
}

TEST_F(Ops, EmptyMagnetListings) {
  for (std::string data : {R"({"magnets":[]})", "{}", "null", R"({"magnets":{}})"}) {
    host.answer(kStatus, 200, ok(data));
    EXPECT_EQ(list("torrents"), TAVRO_OK) << data;
    EXPECT_EQ(got(), "[]") << data;
  }
  host.answer(kStatus, 404, "x");
  EXPECT_EQ(list("torrents"), TAVRO_E_NOT_FOUND);
  EXPECT_EQ(got(), err("magnet/status answered HTTP 404"));
}

TEST_F(Ops, FileListingFlattensTheTree) {
  host.answer(files_of("12"), 200, ok(R"({"magnets":[{"id":12,"files":[
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
  EXPECT_EQ(host.calls(), std::vector<tt::Call>{files_of("12")});
}

TEST_F(Ops, FileListingFailures) {
  struct Row {
    const char *name;
    const char *folder;
    int32_t status;
    std::string body;
    int code;
    std::string msg;
  } rows[] = {
      {"429", "m0", 429, "slow down", TAVRO_E_LIMIT, "magnet/files answered HTTP 429"},
      {"error envelope", "m1", 200, tt::error_env("MAGNET_INVALID_ID", "bad id"), TAVRO_E_NOT_FOUND,
       "AllDebrid error MAGNET_INVALID_ID: bad id"},
      {"unknown id, as the item's error", "m2", 200,
       ok(R"({"magnets":[{"id":2,"error":{"code":"MAGNET_INVALID_ID","message":"not found"}}]})"),
       TAVRO_E_NOT_FOUND, "AllDebrid error MAGNET_INVALID_ID: not found"},
      {"item error without a code", "m3", 200, ok(R"({"magnets":[{"id":3,"error":{}}]})"),
       TAVRO_E_FAILED, "AllDebrid error (no code): (no message)"},
      {"service down, as the item's error", "m4", 200,
       ok(R"({"magnets":[{"error":{"code":"MAINTENANCE","message":"back soon"}}]})"),
       TAVRO_E_TRANSPORT, "AllDebrid error MAINTENANCE: back soon"},
  };
  for (const Row &r : rows) {
    std::string id = r.folder + 1;
    host.answer(files_of(id), r.status, r.body);
    // The state asked after an error item says nothing more: the item's
    // error stands.
    host.answer(status_of(id), 200, tt::error_env("MAGNET_INVALID_ID", "unknown"));
    size_t before = host.calls().size();
    EXPECT_EQ(list(r.folder), r.code) << r.name;
    EXPECT_EQ(got(), err(r.msg)) << r.name;
    auto calls = host.calls();
    std::vector<tt::Call> want{files_of(id)};
    if (r.status == 200 && r.body.find("\"magnets\"") != std::string::npos)
      want.push_back(status_of(id));
    EXPECT_EQ(std::vector<tt::Call>(calls.begin() + (long)before, calls.end()), want) << r.name;
  }
}

TEST_F(Ops, UnknownMagnetIdIsNotFound) {
  // Only magnet 12 is known; the service answers any other id with an item
  // holding the error, inside a success envelope.
  host.answer(files_of("12"), 200, ok(R"({"magnets":[{"id":12,"files":[{"n":"a","l":"L"}]}]})"));
  host.answer("POST", api("/magnet/files"), 200,
              ok(R"({"magnets":[{"id":13,"error":{"code":"MAGNET_INVALID_ID",)"
                 R"("message":"This magnet ID does not exists or is invalid"}}]})"));
  host.answer(status_of("13"), 200,
              tt::error_env("MAGNET_INVALID_ID", "This magnet ID does not exists or is invalid"));
  EXPECT_EQ(list("m12"), TAVRO_OK) << got();
  EXPECT_EQ(list("m13"), TAVRO_E_NOT_FOUND);
  EXPECT_EQ(got(), err("AllDebrid error MAGNET_INVALID_ID: This magnet ID does not exists or is "
                       "invalid"));
  EXPECT_EQ(host.calls(), (std::vector<tt::Call>{files_of("12"), files_of("13"), status_of("13")}));
}

TEST_F(Ops, IdsAndSizesKeepAll64Bits) {
  // Past 32 bits, where a C runtime that formats %lld as a long would cut them.
  for (std::string n : {"4294967296", "1099511627776", "9007199254740993", "9223372036854775807"}) {
    host.answer(kStatus, 200,
                ok(R"({"magnets":[{"id":)" + n + R"(,"filename":"F","size":)" + n +
                   R"(,"downloaded":)" + n + R"(,"downloadSpeed":)" + n + "}]}"));
    ASSERT_EQ(list("torrents"), TAVRO_OK) << n;
    EXPECT_EQ(got(), R"([{"name":"F","path":"m)" + n + R"(","folder":true,"size":)" + n +
                         R"(,"id":"m)" + n + R"(","locator":"m)" + n +
                         R"(","state":null,"status":null,"downloaded":)" + n + R"(,"speed":)" + n +
                         "}]")
        << n;
    host.answer(files_of(n), 200,
                ok(R"({"magnets":[{"id":1,"files":[{"n":"a.mkv","s":)" + n + R"(,"l":"L"}]}]})"));
    ASSERT_EQ(list(("m" + n).c_str()), TAVRO_OK) << n;
    EXPECT_EQ(got(), R"([{"name":"a.mkv","path":"a.mkv","folder":false,"size":)" + n +
                         R"(,"locator":"L","id":"a.mkv"}])")
        << n;
    host.answer(unlock_of("L"), 200,
                ok(R"({"link":"https://cdn/a","filename":"a.mkv","filesize":)" + n + "}"));
    ASSERT_EQ(stream(R"({"locator":"L"})"), TAVRO_OK) << n;
    EXPECT_EQ(got(), R"({"url":"https://cdn/a","name":"a.mkv","size":)" + n + "}") << n;
  }
}

// ---- Magnet states --------------------------------------------------------------

// The members a magnet's entry ends with, after its locator.
std::string state_tail(const std::string &state, const std::string &status,
                       const std::string &downloaded, const std::string &speed) {
  return R"(,"state":)" + state + R"(,"status":)" + status + R"(,"downloaded":)" + downloaded +
         R"(,"speed":)" + speed + "}";
}

TEST_F(Ops, MagnetEntryEndsWithItsState) {
  struct Row {
    std::string name, members, tail;
  };
  std::vector<Row> rows;
  for (int code = 0; code <= 15; ++code) {
    std::string state = code <= 3 ? R"("processing")" : code == 4 ? R"("ready")" : R"("error")";
    rows.push_back({"statusCode " + std::to_string(code),
                    R"("status":"S","statusCode":)" + std::to_string(code),
                    state_tail(state, R"("S")", "-1", "-1")});
  }
  std::vector<Row> odd = {
      {"no statusCode", R"("status":"Ready")", state_tail("null", R"("Ready")", "-1", "-1")},
      {"statusCode as a string", R"("statusCode":"4")", state_tail("null", "null", "-1", "-1")},
      {"statusCode past the table", R"("statusCode":16)", state_tail("null", "null", "-1", "-1")},
      {"negative statusCode", R"("statusCode":-1)", state_tail("null", "null", "-1", "-1")},
      {"fractional statusCode", R"("statusCode":4.0)", state_tail("null", "null", "-1", "-1")},
      {"status that is no string", R"("status":4,"statusCode":4)",
       state_tail(R"("ready")", "null", "-1", "-1")},
      {"status that needs escapes", R"("status":"a\"b\u0001","statusCode":1)",
       state_tail(R"("processing")", R"("a\"b\u0001")", "-1", "-1")},
      {"figures", R"("statusCode":1,"downloaded":0,"downloadSpeed":18874368)",
       state_tail(R"("processing")", "null", "0", "18874368")},
      {"mistyped figures", R"("statusCode":1,"downloaded":"5","downloadSpeed":1.5)",
       state_tail(R"("processing")", "null", "-1", "-1")},
      {"null figures", R"("statusCode":1,"downloaded":null,"downloadSpeed":false)",
       state_tail(R"("processing")", "null", "-1", "-1")},
  };
  rows.insert(rows.end(), odd.begin(), odd.end());
  for (const Row &r : rows) {
    host.answer(kStatus, 200,
                ok(R"({"magnets":[{"id":5,"filename":"F","size":9,)" + r.members + "}]}"));
    ASSERT_EQ(list("torrents"), TAVRO_OK) << r.name << got();
    EXPECT_EQ(got(), R"([{"name":"F","path":"m5","folder":true,"size":9,"id":"m5","locator":"m5")" +
                         r.tail + "]")
        << r.name;
  }
}

// The service's documented v4.1 status answer: one magnet downloading, one
// ready.
const std::string kDocumentedStatus = ok(R"({"magnets":[{"id":123456,
    "filename":"ubuntu-16.04.2-live-server-amd64.iso","size":587400285,"status":"Downloading",
    "statusCode":1,"downloaded":255400192,"uploaded":0,"seeders":7,"downloadSpeed":18874368,
    "uploadSpeed":0,"uploadDate":1557133868,"completionDate":0},{"id":56789,
    "filename":"ubuntu-20.04.2-live-server-amd64.iso","size":256400192,"status":"Ready",
    "statusCode":4,"uploadDate":1657133868,"completionDate":1657133968}]})");
const std::string kDownloadingEntry =
    R"({"name":"ubuntu-16.04.2-live-server-amd64.iso","path":"m123456","folder":true,)"
    R"("size":587400285,"id":"m123456","locator":"m123456","state":"processing",)"
    R"("status":"Downloading","downloaded":255400192,"speed":18874368})";
const std::string kReadyEntry =
    R"({"name":"ubuntu-20.04.2-live-server-amd64.iso","path":"m56789","folder":true,)"
    R"("size":256400192,"id":"m56789","locator":"m56789","state":"ready","status":"Ready",)"
    R"("downloaded":-1,"speed":-1})";

TEST_F(Ops, DocumentedStatusAnswerListsEachMagnetsState) {
  host.answer(kStatus, 200, kDocumentedStatus);
  ASSERT_EQ(list("torrents"), TAVRO_OK) << got();
  EXPECT_EQ(got(), "[" + kDownloadingEntry + "," + kReadyEntry + "]");
}

TEST_F(Ops, OneMagnetsFolderAsksItsStateAlone) {
  // The service answers the id it was asked; the entry is that of the whole
  // listing, in an array of its own.
  host.answer(status_of("123456"), 200, kDocumentedStatus);
  ASSERT_EQ(list("torrents/m123456"), TAVRO_OK) << got();
  EXPECT_EQ(got(), "[" + kDownloadingEntry + "]");
  host.answer(status_of("56789"), 200,
              ok(R"({"magnets":{"id":56789,"filename":"ubuntu-20.04.2-live-server-amd64.iso",)"
                 R"("size":256400192,"status":"Ready","statusCode":4}})"));
  ASSERT_EQ(list("torrents/m56789"), TAVRO_OK) << got();
  EXPECT_EQ(got(), "[" + kReadyEntry + "]");
  EXPECT_EQ(host.calls(), (std::vector<tt::Call>{status_of("123456"), status_of("56789")}));

  host.answer(status_of("7"), 200,
              tt::error_env("MAGNET_INVALID_ID", "This magnet ID does not exists or is invalid"));
  EXPECT_EQ(list("torrents/m7"), TAVRO_E_NOT_FOUND);
  EXPECT_EQ(got(), err("AllDebrid error MAGNET_INVALID_ID: This magnet ID does not exists or is "
                       "invalid"));
  host.answer(status_of("8"), 200, kDocumentedStatus);
  EXPECT_EQ(list("torrents/m8"), TAVRO_E_NOT_FOUND);
  EXPECT_EQ(got(), err("magnet/status has no magnet 8"));

  size_t asked = host.calls().size();
  for (const char *folder : {"torrents/m", "torrents/m12x", "torrents/m-1", "torrents/12",
                             "torrents/m99999999999999999999"}) {
    EXPECT_EQ(list(folder), TAVRO_E_NOT_FOUND) << folder;
    EXPECT_EQ(got(), err(std::string("no such folder: ") + folder)) << folder;
  }
  EXPECT_EQ(host.calls().size(), asked) << "a folder that is no magnet is sent nowhere";
}

TEST_F(Ops, MagnetWithoutFilesSaysWhyInsteadOfListingNothing) {
  struct Row {
    const char *name;
    std::string state; // the magnet's members in its status answer
    int code;
    std::string result;
  } rows[] = {
      {"downloading, the documented figures",
       R"("status":"Downloading","statusCode":1,"size":587400285,"downloaded":255400192,)"
       R"("downloadSpeed":18874368,"seeders":7)",
       TAVRO_E_NOT_FOUND,
       err("magnet 9 is not ready: Downloading, 43 % of 587.4 MB at 18.9 MB/s, 7 seeders")},
      {"queued, no figures", R"("status":"In Queue","statusCode":0)", TAVRO_E_NOT_FOUND,
       err("magnet 9 is not ready: In Queue")},
      {"size alone, one seeder", R"("status":"Uploading","statusCode":3,"size":512,"seeders":1)",
       TAVRO_E_NOT_FOUND, err("magnet 9 is not ready: Uploading, 512 B, 1 seeder")},
      {"speed alone, no status text", R"("statusCode":2,"downloadSpeed":999)", TAVRO_E_NOT_FOUND,
       err("magnet 9 is not ready: status 2, at 999 B/s")},
      {"all done, large",
       R"("status":"Downloading","statusCode":1,"size":2000000000000,)"
       R"("downloaded":2000000000000,"downloadSpeed":0)",
       TAVRO_E_NOT_FOUND, err("magnet 9 is not ready: Downloading, 100 % of 2.0 TB at 0 B/s")},
      {"failed", R"("status":"File not available - no peer","statusCode":15)", TAVRO_E_FAILED,
       err("magnet 9 failed: File not available - no peer (status 15)")},
      {"failed, no status text", R"("statusCode":8)", TAVRO_E_FAILED,
       err("magnet 9 failed: no status text (status 8)")},
      {"ready", R"("status":"Ready","statusCode":4)", TAVRO_OK, "[]"},
      {"state unknown", R"("status":"Ready","statusCode":"1")", TAVRO_OK, "[]"},
  };
  for (const Row &r : rows) {
    host.answer(status_of("9"), 200,
                ok(R"({"magnets":[{"id":9,"filename":"Show",)" + r.state + "}]}"));
    for (std::string files : {R"({"magnets":[{"id":9,"files":[]}]})", R"({"magnets":[]})"}) {
      host.answer(files_of("9"), 200, ok(files));
      size_t before = host.calls().size();
      EXPECT_EQ(list("m9"), r.code) << r.name << files;
      EXPECT_EQ(got(), r.result) << r.name << files;
      auto calls = host.calls();
      EXPECT_EQ(std::vector<tt::Call>(calls.begin() + (long)before, calls.end()),
                (std::vector<tt::Call>{files_of("9"), status_of("9")}))
          << r.name << files;
    }
    // An error item of the files answer: a magnet not ready says so, any
    // other keeps the item's error.
    host.answer(
        files_of("9"), 200,
        ok(R"({"magnets":[{"id":9,"error":{"code":"MAGNET_PROCESSING","message":"busy"}}]})"));
    EXPECT_EQ(list("m9"), r.code ? r.code : TAVRO_E_FAILED) << r.name;
    EXPECT_EQ(got(), r.code ? r.result : err("AllDebrid error MAGNET_PROCESSING: busy")) << r.name;
  }
  // A status request that fails reports its own failure.
  host.answer(files_of("9"), 200, ok(R"({"magnets":[{"id":9,"files":[]}]})"));
  host.answer(status_of("9"), 503, "");
  EXPECT_EQ(list("m9"), TAVRO_E_TRANSPORT);
  EXPECT_EQ(got(), err("magnet/status answered HTTP 503"));
}

// ---- Changes ----------------------------------------------------------------------

TEST_F(Ops, ChangeDeletesOrRestartsOneMagnet) {
  host.answer(delete_of("102"), 200, ok(R"({"message":"Magnet was successfully deleted"})"));
  host.answer(tt::form(api("/magnet/restart"), "id=104"), 200,
              ok(R"({"message":"Magnet was successfully restarted"})"));
  ASSERT_EQ(change(R"({"Action":"delete","Magnet":"m102"})"), TAVRO_OK) << got();
  EXPECT_EQ(got(),
            R"({"Action":"delete","Magnet":"m102","message":"Magnet was successfully deleted"})");
  ASSERT_EQ(change(R"({"Magnet":"m104","Action":"restart","Other":1})"), TAVRO_OK) << got();
  EXPECT_EQ(got(), R"({"Action":"restart","Magnet":"m104",)"
                   R"("message":"Magnet was successfully restarted"})");
  EXPECT_EQ(host.calls(),
            (std::vector<tt::Call>{delete_of("102"), tt::form(api("/magnet/restart"), "id=104")}));
}

TEST_F(Ops, ChangeSavesOrDeletesASavedLink) {
  // Reserved characters travel percent-encoded; the result holds the link
  // as given.
  const std::string link = "https://mega.nz/file/AbC#k3y&x=1 y";
  const std::string encoded = "https%3A%2F%2Fmega.nz%2Ffile%2FAbC%23k3y%26x%3D1%20y";
  tt::Call save = tt::form(api("/user/links/save"), "links[]=" + encoded);
  tt::Call remove = tt::form(api("/user/links/delete"), "links[]=" + encoded);
  host.answer(save, 200, ok(R"({"message":"Link was successfully saved"})"));
  host.answer(remove, 200, ok(R"({"message":"Link was successfully deleted"})"));
  ASSERT_EQ(change(R"({"Action":"save","Link":")" + link + "\"}"), TAVRO_OK) << got();
  EXPECT_EQ(got(), R"({"Action":"save","Link":")" + link +
                       R"(","message":"Link was successfully saved"})");
  ASSERT_EQ(change(R"({"Action":"delete","Link":")" + link + "\"}"), TAVRO_OK) << got();
  EXPECT_EQ(got(), R"({"Action":"delete","Link":")" + link +
                       R"(","message":"Link was successfully deleted"})");
  EXPECT_EQ(host.calls(), (std::vector<tt::Call>{save, remove}));

  const struct {
    const char *code, *message;
    int want;
  } errors[] = {
      {"USER_LINK_MISSING", "No link was sent", TAVRO_E_ARG},
      {"USER_LINK_INVALID", "This link is not valid", TAVRO_E_ARG},
  };
  for (const auto &e : errors) {
    host.answer(save, 200, tt::error_env(e.code, e.message));
    EXPECT_EQ(change(R"({"Action":"save","Link":")" + link + "\"}"), e.want) << e.code;
    EXPECT_EQ(got(), err(std::string("AllDebrid error ") + e.code + ": " + e.message)) << e.code;
  }
  T.tavro_allow_writes(0);
  size_t before = host.calls().size();
  EXPECT_EQ(change(R"({"Action":"save","Link":"https://h/f"})"), TAVRO_E_WRITES_OFF);
  EXPECT_EQ(host.calls().size(), before);
}

TEST_F(Ops, ChangeFailures) {
  host.answer(tt::form(api("/magnet/restart"), "id=5"), 200,
              tt::error_env("MAGNET_PROCESSING", "Magnet is processing or completed"));
  host.answer(delete_of("6"), 200,
              tt::error_env("MAGNET_INVALID_ID", "This magnet ID does not exists or is invalid"));
  host.answer(delete_of("7"), 200,
              ok(R"({"magnets":[{"magnet":"7","error":{"code":"MAGNET_INVALID_ID",)"
                 R"("message":"gone"}}]})"));
  host.answer(delete_of("8"), 500, "");
  const struct {
    const char *request;
    int code;
    std::string msg;
  } rows[] = {
      {R"({"Action":"restart","Magnet":"m5"})", TAVRO_E_FAILED,
       "AllDebrid error MAGNET_PROCESSING: Magnet is processing or completed"},
      {R"({"Action":"delete","Magnet":"m6"})", TAVRO_E_NOT_FOUND,
       "AllDebrid error MAGNET_INVALID_ID: This magnet ID does not exists or is invalid"},
      {R"({"Action":"delete","Magnet":"m7"})", TAVRO_E_NOT_FOUND,
       "AllDebrid error MAGNET_INVALID_ID: gone"},
      {R"({"Action":"delete","Magnet":"m8"})", TAVRO_E_TRANSPORT,
       "magnet/delete answered HTTP 500"},
  };
  for (const auto &r : rows) {
    EXPECT_EQ(change(r.request), r.code) << r.request;
    EXPECT_EQ(got(), err(r.msg)) << r.request;
  }
  EXPECT_EQ(host.calls().size(), std::size(rows));
}

TEST_F(Ops, ChangeRequestsThatAreNotUnderstoodAreSentNowhere) {
  const std::string action =
      "change request's Action is not \\\"delete\\\", \\\"restart\\\" or \\\"save\\\"";
  const std::string magnet = "change request's Magnet is not \\\"m\\\" and the magnet's id";
  const struct {
    std::string request;
    std::string msg;
  } rows[] = {
      {"[]", "change request is not a JSON object"},
      {"not json", "change request is not a JSON object"},
      {R"({"Magnet":"m1"})", action},
      {R"({"Action":"Delete","Magnet":"m1"})", action},
      {R"({"Action":"remove","Magnet":"m1"})", action},
      {R"({"Action":1,"Magnet":"m1"})", action},
      {R"({"Action":"delete\u0000x","Magnet":"m1"})", action},
      {R"({"Action":"delete"})", magnet},
      {R"({"Action":"delete","Magnet":"102"})", magnet},
      {R"({"Action":"delete","Magnet":"m"})", magnet},
      {R"({"Action":"delete","Magnet":"m12x"})", magnet},
      {R"({"Action":"delete","Magnet":"m-1"})", magnet},
      {R"({"Action":"delete","Magnet":"M1"})", magnet},
      {R"({"Action":"delete","Magnet":102})", magnet},
      {R"({"Action":"delete","Magnet":"m9223372036854775808"})", magnet},
      {R"({"Action":"restart","Link":"https://h/f"})", magnet},
      {R"({"Action":"save","Magnet":"m1"})", "change request has no Link"},
      {R"({"Action":"save","Link":""})", "change request has no Link"},
      {R"({"Action":"save","Link":"\u0000x"})", "change request has no Link"},
      {R"({"Action":"save","Link":5})", "change request has no Link"},
      {R"({"Action":"delete","Magnet":"m1","Link":"https://h/f"})",
       "change request names both a Magnet and a Link: give one"},
      {R"({"Action":"save","Link":")" + std::string(3073, 'x') + "\"}", "Link longer than 3 KiB"},
  };
  for (const auto &r : rows) {
    EXPECT_EQ(change(r.request), TAVRO_E_ARG) << r.request;
    EXPECT_EQ(got(), err(r.msg)) << r.request;
  }
  EXPECT_EQ(T.tavro_change(tt::kSettings.c_str(), nullptr, out.data(), (int32_t)out.size()),
            TAVRO_E_ARG);
  T.tavro_allow_writes(0);
  EXPECT_EQ(change(R"({"Action":"delete","Magnet":"m1"})"), TAVRO_E_WRITES_OFF);
  EXPECT_EQ(got(), err("change() changes the account; call tavro_allow_writes(1) first"));
  EXPECT_EQ(host.calls().size(), 0u);
}

// ---- Stream ---------------------------------------------------------------------

TEST_F(Ops, StreamUnlocksTheEntrysLocatorLinkOrPath) {
  host.answer(unlock_of("L%201"), 200,
              ok(R"({"link":"https://cdn/f.mkv","filename":"f.mkv","filesize":700})"));
  host.answer(unlock_of("p"), 200, ok(R"({"link":"https://cdn/p"})"));
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
  EXPECT_EQ(host.calls(),
            (std::vector<tt::Call>{unlock_of("L%201"), unlock_of("L%201"), unlock_of("p")}));
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
  host.answer(unlock_of("m12"), 200, tt::error_env("LINK_NOT_SUPPORTED", "no"));
  EXPECT_EQ(stream(R"({"locator":"m12"})"), TAVRO_E_NOT_FOUND);
  EXPECT_EQ(got(), err("AllDebrid error LINK_NOT_SUPPORTED: no"));
  host.answer(unlock_of("m12"), 200, ok(R"({"link":""})"));
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
  host.answer(upload_of(kMagnetEnc), 200,
              upload_answer(R"({"id":42,"name":"Show","ready":false})"));
  ASSERT_EQ(download(R"({"Link":")" + kMagnet + "\"}"), TAVRO_OK) << got();
  EXPECT_EQ(got(), R"({"id":42,"name":"Show","ready":false})");
  EXPECT_EQ(host.calls(), std::vector<tt::Call>{upload_of(kMagnetEnc)});
}

TEST_F(Ops, NotReadyMagnetIsDeletedWhenOnlyInstantOnesAreKept) {
  host.answer(upload_of(kMagnetEnc), 200, upload_answer(R"({"id":42,"ready":false})"));
  host.answer(delete_of("42"), 200, ok(R"({"message":"deleted"})"));
  std::string req = R"({"Link":")" + kMagnet + R"(","KeepInstantOnly":true})";
  ASSERT_EQ(download(req), TAVRO_OK) << got();
  EXPECT_EQ(got(), R"({"id":42,"ready":false})");
  EXPECT_EQ(host.calls(), (std::vector<tt::Call>{upload_of(kMagnetEnc), delete_of("42")}));

  host.answer(delete_of("42"), 404, "gone");
  EXPECT_EQ(download(req), TAVRO_E_NOT_FOUND);
  EXPECT_EQ(got(), err("magnet/delete answered HTTP 404"));
}

TEST_F(Ops, RedirectToMagnetAddsItsFirstLine) {
  host.answer("GET", "https://site/r", 404, "magnet:?xt=urn:btih:short\r\nmore text");
  std::string short_enc = "magnet%3A%3Fxt%3Durn%3Abtih%3Ashort";
  host.answer(upload_of(short_enc), 200, upload_answer(R"({"id":7})"));
  ASSERT_EQ(download(R"({"Link":"https://site/r"})"), TAVRO_OK) << got();
  EXPECT_EQ(got(), R"({"id":7})");
  EXPECT_EQ(host.calls(), (std::vector<tt::Call>{tt::get("https://site/r"), upload_of(short_enc)}));
}

TEST_F(Ops, TorrentLinkIsFetchedTwiceThenUploaded) {
  // The upload's answer names the new magnet under "files"; older answers
  // name it under "magnets". The rows' msg is the result on success.
  host.answer("GET", "https://site/t.torrent", 404, kTorrent);
  AnswerRow rows[] = {
      {"files", 200, ok(R"({"files":[{"file":"t.torrent","id":8,"ready":false}]})"), TAVRO_OK,
       R"({"file":"t.torrent","id":8,"ready":false})"},
      {"magnets, the older answer", 200, upload_answer(R"({"id":8,"ready":false})"), TAVRO_OK,
       R"({"id":8,"ready":false})"},
      {"files before magnets", 200, ok(R"({"magnets":[{"id":8}],"files":[{"id":9}]})"), TAVRO_OK,
       R"({"id":9})"},
      {"files not an array", 200, ok(R"({"files":{"id":9},"magnets":[{"id":8}]})"), TAVRO_OK,
       R"({"id":8})"},
      {"an empty files array", 200, ok(R"({"files":[],"magnets":[{"id":8}]})"), TAVRO_E_FAILED,
       "magnet/upload returned no magnet id"},
      {"file refused as too large", 200,
       ok(R"({"files":[{"file":"t.torrent","error":{"code":"MAGNET_TOO_LARGE","message":"big"}}]})"),
       TAVRO_E_LIMIT, "AllDebrid error MAGNET_TOO_LARGE: big"},
      {"file refused as invalid", 200,
       ok(R"({"files":[{"error":{"code":"MAGNET_INVALID_FILE","message":"not a torrent"}}]})"),
       TAVRO_E_NOT_FOUND, "AllDebrid error MAGNET_INVALID_FILE: not a torrent"},
  };
  for (auto &r : rows) {
    host.answer("POST", kUploadFile, r.status, r.body);
    size_t before = host.calls().size();
    EXPECT_EQ(download(R"({"Link":"https://site/t.torrent"})"), r.code) << r.name;
    EXPECT_EQ(got(), r.code == TAVRO_OK ? r.msg : err(r.msg)) << r.name;
    auto calls = host.calls();
    EXPECT_EQ(
        std::vector<tt::Call>(calls.begin() + (long)before, calls.end()),
        (std::vector<tt::Call>{tt::get("https://site/t.torrent"), tt::get("https://site/t.torrent"),
                               tt::multipart(kUploadFile, kTorrent)}))
        << r.name;
  }
}

TEST_F(Ops, TorrentCutAtANulIsNotUploaded) {
  // The host hands bodies over as C texts: a NUL ends them there. The
  // bodies below are what the site sends.
  const std::string cut = "the torrent file could not be carried whole by the host's transport "
                          "(its bodies end at the first NUL byte)";
  const std::string not_a_link = "Link is not a magnet, a redirect-to-magnet or a torrent file";
  auto nul = [](const std::string &before, const std::string &after) {
    return before + '\0' + after;
  };
  struct Row {
    const char *name;
    std::string sent;
    int code;
    std::string msg;    // "" on success
    std::string posted; // the torrent uploaded, "" for none
  } rows[] = {
      {"complete torrent", kTorrent, TAVRO_OK, "", kTorrent},
      {"NUL in the piece hashes",
       nul("d8:announce9:udp://t/a4:infod6:lengthi5e4:name1:x6:pieces4:",
           std::string("\xff\x01\x02") + "ee"),
       TAVRO_E_FAILED, cut, ""},
      {"NUL in the name", nul("d8:announce9:udp://t/a4:infod4:name3:a", "bee"), TAVRO_E_FAILED, cut,
       ""},
      {"short of its end without a NUL", kTorrent.substr(0, kTorrent.size() - 1), TAVRO_E_FAILED,
       cut, ""},
      {"NUL before the torrent keys", nul("d8:announce", "9:udp://t/a4:infoe"), TAVRO_E_FAILED,
       not_a_link, ""},
  };
  host.answer("POST", kUploadFile, 200, upload_answer(R"({"id":8})"));
  for (const Row &r : rows) {
    host.answer("GET", "https://site/t", 200, r.sent);
    size_t before = host.calls().size();
    EXPECT_EQ(download(R"({"Link":"https://site/t"})"), r.code) << r.name;
    EXPECT_EQ(got(), r.code == TAVRO_OK ? R"({"id":8})" : err(r.msg)) << r.name;
    auto calls = host.calls();
    std::vector<tt::Call> want = {tt::get("https://site/t"), tt::get("https://site/t")};
    if (!r.posted.empty()) want.push_back(tt::multipart(kUploadFile, r.posted));
    EXPECT_EQ(std::vector<tt::Call>(calls.begin() + (long)before, calls.end()), want) << r.name;
  }
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
  std::string req = R"({"Link":")" + kMagnet + "\"}";
  AnswerRow rows[] = {
      {"429", 429, "", TAVRO_E_LIMIT, "magnet/upload answered HTTP 429"},
      {"no id", 200, upload_answer(R"({"id":"42"})"), TAVRO_E_FAILED,
       "magnet/upload returned no magnet id"},
      {"negative id", 200, upload_answer(R"({"id":-1,"ready":true})"), TAVRO_E_FAILED,
       "upload returned no magnet id"},
      {"premium", 200, tt::error_env("MAGNET_MUST_BE_PREMIUM", "pay"), TAVRO_E_LIMIT,
       "AllDebrid error MAGNET_MUST_BE_PREMIUM: pay"},
      {"invalid magnet, as the item's error", 200,
       upload_answer(R"({"magnet":"x","error":{"code":"MAGNET_INVALID_URI","message":"bad"}})"),
       TAVRO_E_NOT_FOUND, "AllDebrid error MAGNET_INVALID_URI: bad"},
      {"too many magnets, as the item's error", 200,
       upload_answer(R"({"error":{"code":"MAGNET_TOO_MANY_ACTIVE","message":"wait"}})"),
       TAVRO_E_LIMIT, "AllDebrid error MAGNET_TOO_MANY_ACTIVE: wait"},
      {"item error without a code", 200, upload_answer(R"({"id":42,"error":{"message":"m"}})"),
       TAVRO_E_FAILED, "AllDebrid error (no code): m"},
  };
  for (auto &r : rows) {
    host.answer(upload_of(kMagnetEnc), r.status, r.body);
    EXPECT_EQ(download(req), r.code) << r.name;
    EXPECT_EQ(got(), err(r.msg)) << r.name;
    EXPECT_EQ(host.calls().back(), upload_of(kMagnetEnc)) << r.name;
  }
  EXPECT_EQ(host.calls().size(), std::size(rows)) << "nothing after a failed add";
  host.answer("GET", "https://site/t", 200, kTorrent);
  host.answer("POST", kUploadFile, 429, "");
  EXPECT_EQ(download(R"({"Link":"https://site/t"})"), TAVRO_E_LIMIT);
  EXPECT_EQ(got(), err("magnet/upload answered HTTP 429"));
  host.fail(upload_of(kMagnetEnc), 1, std::nullopt);
  EXPECT_EQ(download(req), TAVRO_E_TRANSPORT);
  // The magnet travels in the body: the URL quoted ends with the key.
  EXPECT_EQ(got(), err("POST " + tt::kRoot +
                       "/magnet/upload?agent=quorvelindash&apikey=***: transport failure"));
}

// ---- Download: the instant pick --------------------------------------------------

class Instant : public Ops {
protected:
  std::string payload = R"({"id":42,"ready":true})";
  tt::Call files_req = files_of("42");

  void SetUp() override {
    Ops::SetUp();
    host.answer(upload_of(kMagnetEnc), 200, upload_answer(payload));
  }
  void files(const std::string &nodes) {
    host.answer(files_req, 200, ok(R"({"magnets":[{"id":42,"files":)" + nodes + "}]}"));
  }
  void unlocks(const std::string &link, const std::string &data) {
    host.answer(unlock_of(link), 200, ok(data));
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
  EXPECT_EQ(host.calls(),
            (std::vector<tt::Call>{upload_of(kMagnetEnc), files_req, unlock_of("B")}));
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
  EXPECT_EQ(host.count(delete_of("42")), 0u);
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

TEST_F(Instant, MagnetWithoutFilesIsHandedOverByItsState) {
  // The upload said ready, yet the files answer holds none: the state,
  // asked once, says whether the magnet is still on its way (handed over as
  // not ready, and deleted when only instant ones are kept) or failed.
  files("[]");
  host.answer(delete_of("42"), 200, ok("{}"));
  const struct {
    const char *name;
    std::string state;
    int code;
    std::string result;
  } rows[] = {
      {"ready", R"("status":"Ready","statusCode":4)", TAVRO_OK, payload},
      {"no state", R"("status":"Ready","statusCode":"4")", TAVRO_OK, payload},
      {"processing", R"("status":"Downloading","statusCode":1,"size":10,"downloaded":5)", TAVRO_OK,
       payload},
      {"failed", R"("status":"Upload fail","statusCode":5)", TAVRO_E_FAILED,
       err("magnet 42 failed: Upload fail (status 5)")},
  };
  for (const auto &r : rows) {
    host.answer(status_of("42"), 200,
                ok(R"({"magnets":[{"id":42,"filename":"Show",)" + r.state + "}]}"));
    size_t before = host.calls().size();
    EXPECT_EQ(add(R"(,"KeepInstantOnly":true)"), r.code) << r.name;
    EXPECT_EQ(got(), r.result) << r.name;
    auto calls = host.calls();
    std::vector<tt::Call> want{upload_of(kMagnetEnc), files_req, status_of("42")};
    if (r.code == TAVRO_OK) want.push_back(delete_of("42"));
    EXPECT_EQ(std::vector<tt::Call>(calls.begin() + (long)before, calls.end()), want) << r.name;
  }
}

TEST_F(Instant, FilesAnswerHoldingAnErrorEndsTheDownloadAndKeepsTheMagnet) {
  // An error is no empty magnet: nothing is deleted, even when only instant
  // magnets are kept.
  host.answer(delete_of("42"), 200, ok("{}"));
  const struct {
    const char *name;
    std::string error;
    int code;
    std::string msg;
  } rows[] = {
      {"unknown id", R"({"code":"MAGNET_INVALID_ID","message":"not found"})", TAVRO_E_NOT_FOUND,
       "AllDebrid error MAGNET_INVALID_ID: not found"},
      {"links removed", R"({"code":"MAGNET_LINKS_REMOVED","message":"gone"})", TAVRO_E_NOT_FOUND,
       "AllDebrid error MAGNET_LINKS_REMOVED: gone"},
      {"down for now", R"({"code":"LINK_HOST_UNAVAILABLE","message":"later"})", TAVRO_E_TRANSPORT,
       "AllDebrid error LINK_HOST_UNAVAILABLE: later"},
      {"no code", R"({})", TAVRO_E_FAILED, "AllDebrid error (no code): (no message)"},
  };
  // The magnet's state, asked after the error item, finds nothing amiss.
  host.answer(status_of("42"), 200,
              ok(R"({"magnets":[{"id":42,"filename":"Show","status":"Ready","statusCode":4}]})"));
  for (const auto &r : rows) {
    for (std::string extra : {R"(,"KeepInstantOnly":true)", ""}) {
      host.answer(files_req, 200, ok(R"({"magnets":[{"id":42,"error":)" + r.error + "}]}"));
      size_t before = host.calls().size();
      EXPECT_EQ(add(extra), r.code) << r.name << extra;
      EXPECT_EQ(got(), err(r.msg)) << r.name << extra;
      auto calls = host.calls();
      EXPECT_EQ(std::vector<tt::Call>(calls.begin() + (long)before, calls.end()),
                (std::vector<tt::Call>{upload_of(kMagnetEnc), files_req, status_of("42")}))
          << r.name << extra;
    }
  }
  EXPECT_EQ(host.count(delete_of("42")), 0u);
}

TEST_F(Instant, FailedUnlockEndsTheDownload) {
  files(R"([{"n":"a","s":9,"l":"A"},{"n":"b","s":5,"l":"B"}])");
  host.answer(unlock_of("A"), 503, "busy");
  EXPECT_EQ(add(), TAVRO_E_TRANSPORT);
  EXPECT_EQ(got(), err("link/unlock answered HTTP 503"));
  EXPECT_EQ(unlock_calls(), 1u) << "no second file is tried";
  host.answer(files_req, 500, "");
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

  // The magnets are asked for with an empty form: filed under the URL alone.
  ASSERT_EQ(T.tavro_fake_fail("POST", tt::status_url().c_str(), nullptr), 0);
  EXPECT_EQ(list("torrents"), TAVRO_E_TRANSPORT);
  EXPECT_EQ(got(), err("POST " + tt::kStatusRoot +
                       "/magnet/status?agent=quorvelindash&apikey=***: connection refused"));
  EXPECT_EQ(T.tavro_fake_last_url(), tt::status_url());

  // A form with fields is filed under the URL and the fields.
  const std::string files12 = api("/magnet/files", "id[]=12");
  ASSERT_EQ(T.tavro_fake_set("POST", files12.c_str(), 200,
                             ok(R"({"magnets":[{"id":12,"files":[{"n":"a","l":"L"}]}]})").c_str()),
            0);
  ASSERT_EQ(list("m12"), TAVRO_OK) << got();
  EXPECT_EQ(got(), R"([{"name":"a","path":"a","folder":false,"size":-1,"locator":"L","id":"a"}])");
  EXPECT_EQ(T.tavro_fake_last_url(), files12);
  EXPECT_STREQ(T.tavro_fake_last_body(api("/magnet/files").c_str()), "id[]=12");
  EXPECT_STREQ(T.tavro_fake_last_body(files12.c_str()), "id[]=12");
  EXPECT_EQ(list("m13"), TAVRO_E_NOT_FOUND);
  EXPECT_EQ(got(), err("magnet/files answered HTTP 404"));
  EXPECT_EQ(T.tavro_list(R"({"APIKey":"KEY123","CustomName":"other"})", "m12", out.data(),
                         (int32_t)out.size()),
            TAVRO_OK)
      << got();
  EXPECT_EQ(T.tavro_fake_calls("POST", files12.c_str()), 2);
  EXPECT_EQ(T.tavro_list(R"({"APIKey":"QV-NOT-KEY"})", "m12", out.data(), (int32_t)out.size()),
            TAVRO_E_AUTH);

  const std::string upload = api("/magnet/upload", "magnets[]=" + kMagnetEnc);
  ASSERT_EQ(T.tavro_fake_set("POST", upload.c_str(), 200, upload_answer(R"({"id":4})").c_str()), 0);
  ASSERT_EQ(download(R"({"Link":")" + kMagnet + "\"}"), TAVRO_OK) << got();
  EXPECT_EQ(got(), R"({"id":4})");
  EXPECT_EQ(T.tavro_fake_last_body(api("/magnet/upload").c_str()), "magnets[]=" + kMagnetEnc);

  // The torrent upload is filed under its URL alone.
  ASSERT_EQ(T.tavro_fake_set("GET", "https://site/t", 200, kTorrent.c_str()), 0);
  ASSERT_EQ(
      T.tavro_fake_set("POST", kUploadFile.c_str(), 200, ok(R"({"files":[{"id":5}]})").c_str()), 0);
  ASSERT_EQ(download(R"({"Link":"https://site/t"})"), TAVRO_OK) << got();
  EXPECT_EQ(got(), R"({"id":5})");
  EXPECT_EQ(T.tavro_fake_last_body(kUploadFile.c_str()), kTorrent);
  EXPECT_EQ(T.tavro_fake_calls("GET", "https://site/t"), 2);
  EXPECT_EQ(T.tavro_fake_calls("POST", kUploadFile.c_str()), 1);
}

} // namespace

namespace {

TEST(OpsNullFree, TableWithoutFreeReleasesWithTheStandardFree) {
  // The host's strings come from malloc; LeakSanitizer and ASan's
  // allocation checks see any string left behind or released wrongly.
  tt::Host host;
  tavro_io io = host.table(false);
  host.raw("GET", api("/user"), {0, 200, ok("{}"), std::string("ignored error text")});
  host.fail(kStatus, -1, std::string("down"), std::string("partial"));
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
  const std::string long_key(9000, 'K');
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
      {"entry longer than the URL limit, sent in the body", 's', tt::kSettings,
       R"({"locator":")" + long_link + "\"}", TAVRO_E_NOT_FOUND, "link/unlock answered HTTP 404"},
      {"key past the URL limit", 's', R"({"APIKey":")" + long_key + "\"}", R"({"locator":"L"})",
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
  EXPECT_EQ(host.count(unlock_of(long_link)), 1u);
  for (const tt::Call &c : host.calls())
    EXPECT_EQ(c.url.find(long_key), std::string::npos) << "the long key's request was sent";
}

} // namespace
