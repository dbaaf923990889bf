// SPDX-License-Identifier: MIT
// Readers of the service's answers and of the host's entries: the envelope and
// its error codes, the flattened file tree (order, paths, limits, depth), the
// upload and unlock payloads, and the link picked out of an entry.
#include "support.h"
#include "tavro_answers.h"
#include "tavro_base.h"
#include "tavro_input.h"
#include "tavro_service.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr size_t kErrSize = TAVRO_ERR_SIZE;

// Stands in for an out pointer a reader must overwrite before anything else.
char g_untouched;
char *const kUntouched = &g_untouched;

void free_unless_untouched(char *p) {
  if (p != kUntouched) std::free(p);
}

// Joins the parts (GCC 12 warns falsely about "literal" + temporary string).
std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view part : parts) out += part;
  return out;
}

std::string success(const std::string &data) {
  return R"({"status":"success","data":)" + data + "}";
}

std::string service_error(const std::string &error) {
  return R"({"status":"error","error":)" + error + "}";
}

// ---- Envelope -------------------------------------------------------------

struct EnvelopeRow {
  const char *why;
  std::string body;
  int code;
  const char *message; // null on success
};

TEST(Envelope, ReadsStatusDataAndErrorsByTheRows) {
  const EnvelopeRow rows[] = {
      {"null data is still data", success("null"), TAVRO_OK, nullptr},
      {"white space around the object", cat({" \n\t", success("[1]"), " \r\n"}), TAVRO_OK, nullptr},
      {"other members ignored", R"({"x":1,"status":"success","data":{},"error":{}})", TAVRO_OK,
       nullptr},
      {"empty body", "", TAVRO_E_FAILED, "empty response body"},
      {"array root", R"([{"status":"success","data":1}])", TAVRO_E_FAILED,
       "response is not a JSON object"},
      {"text after the object", success("1") + " x", TAVRO_E_FAILED,
       "response is not a JSON object"},
      {"two objects", success("1") + success("1"), TAVRO_E_FAILED, "response is not a JSON object"},
      {"trailing comma", R"({"status":"success","data":1,})", TAVRO_E_FAILED,
       "response is not a JSON object"},
      {"comment", R"({"status":"success",/*c*/"data":1})", TAVRO_E_FAILED,
       "response is not a JSON object"},
      {"invalid UTF-8", "{\"status\":\"success\",\"data\":\"\xff\"}", TAVRO_E_FAILED,
       "response is not a JSON object"},
      {"plain text", "Bad Gateway", TAVRO_E_FAILED, "response is not a JSON object"},
      {"no status", R"({"data":1})", TAVRO_E_FAILED, "response has no status field"},
      {"numeric status", R"({"status":1,"data":1})", TAVRO_E_FAILED,
       "response has no status field"},
      {"boolean status", R"({"status":true,"data":1})", TAVRO_E_FAILED,
       "response has no status field"},
      {"status key in another case", R"({"Status":"success","data":1})", TAVRO_E_FAILED,
       "response has no status field"},
      {"success without data", R"({"status":"success"})", TAVRO_E_FAILED,
       "success response has no data"},
      {"data key in another case", R"({"status":"success","Data":1})", TAVRO_E_FAILED,
       "success response has no data"},
      {"service error",
       service_error(R"({"code":"AUTH_BAD_APIKEY","message":"The apikey is invalid"})"),
       TAVRO_E_AUTH, "AllDebrid error AUTH_BAD_APIKEY: The apikey is invalid"},
      {"capitalised success is a failure", R"({"status":"Success","data":1})", TAVRO_E_FAILED,
       "AllDebrid error (no code): (no message)"},
      {"success with a NUL inside", R"({"status":"success\u0000","data":1})", TAVRO_E_FAILED,
       "AllDebrid error (no code): (no message)"},
      {"error is a string", service_error(R"("AUTH_BAD_APIKEY")"), TAVRO_E_FAILED,
       "AllDebrid error (no code): (no message)"},
      {"numeric code", service_error(R"({"code":401,"message":"nope"})"), TAVRO_E_FAILED,
       "AllDebrid error (no code): nope"},
      {"empty message", service_error(R"({"code":"BAD_LINK","message":""})"), TAVRO_E_NOT_FOUND,
       "AllDebrid error BAD_LINK: (no message)"},
      {"message not a string", service_error(R"({"code":"BAD_LINK","message":["x"]})"),
       TAVRO_E_NOT_FOUND, "AllDebrid error BAD_LINK: (no message)"},
      {"first status decides", R"({"status":"error","status":"success","data":1})", TAVRO_E_FAILED,
       "AllDebrid error (no code): (no message)"},
      {"first status decides for success", R"({"status":"success","status":"error","data":1})",
       TAVRO_OK, nullptr},
      {"first error code counts",
       service_error(R"({"code":"BAD_LINK","code":"AUTH_X","message":"a","message":"b"})"),
       TAVRO_E_NOT_FOUND, "AllDebrid error BAD_LINK: a"},
  };
  for (const EnvelopeRow &row : rows) {
    SCOPED_TRACE(row.why);
    char err[kErrSize] = {};
    yyjson_doc *doc = reinterpret_cast<yyjson_doc *>(kUntouched);
    yyjson_val *data = reinterpret_cast<yyjson_val *>(kUntouched);
    int rc = tavro_parse_envelope(row.body.data(), row.body.size(), &doc, &data, err, kErrSize);
    EXPECT_EQ(rc, row.code);
    if (row.code == TAVRO_OK) {
      ASSERT_NE(doc, nullptr);
      ASSERT_NE(data, nullptr);
      EXPECT_EQ(data, yyjson_obj_get(yyjson_doc_get_root(doc), "data"));
      EXPECT_STREQ(err, "");
      yyjson_doc_free(doc);
    } else {
      EXPECT_EQ(doc, nullptr);
      EXPECT_EQ(data, nullptr);
      EXPECT_STREQ(err, row.message);
    }
  }
}

TEST(Envelope, NullTextIsAnEmptyBody) {
  char err[kErrSize] = {};
  yyjson_doc *doc = nullptr;
  yyjson_val *data = nullptr;
  EXPECT_EQ(tavro_parse_envelope(nullptr, 10, &doc, &data, err, kErrSize), TAVRO_E_FAILED);
  EXPECT_STREQ(err, "empty response body");
}

TEST(Envelope, NullDataIsHandedOverAsTheNullValue) {
  char err[kErrSize] = {};
  yyjson_doc *doc = nullptr;
  yyjson_val *data = nullptr;
  std::string body = success("null");
  ASSERT_EQ(tavro_parse_envelope(body.data(), body.size(), &doc, &data, err, kErrSize), TAVRO_OK);
  EXPECT_TRUE(yyjson_is_null(data));
  yyjson_doc_free(doc);
}

TEST(Envelope, ReadsExactlyLengthBytes) {
  // The bytes after the length are not part of the body, and the body need
  // not end in a NUL.
  std::string object = success("7");
  std::string padded = object + "garbage";
  std::vector<char> unterminated(object.begin(), object.end());
  char err[kErrSize] = {};
  yyjson_doc *doc = nullptr;
  yyjson_val *data = nullptr;

  ASSERT_EQ(tavro_parse_envelope(padded.c_str(), object.size(), &doc, &data, err, kErrSize),
            TAVRO_OK);
  EXPECT_EQ(yyjson_get_int(data), 7);
  yyjson_doc_free(doc);

  ASSERT_EQ(
      tavro_parse_envelope(unterminated.data(), unterminated.size(), &doc, &data, err, kErrSize),
      TAVRO_OK);
  EXPECT_EQ(yyjson_get_int(data), 7);
  yyjson_doc_free(doc);

  EXPECT_EQ(tavro_parse_envelope(object.c_str(), object.size() - 1, &doc, &data, err, kErrSize),
            TAVRO_E_FAILED);
  EXPECT_STREQ(err, "response is not a JSON object");
}

TEST(Envelope, LongMessageIsCutToTheErrorBuffer) {
  std::string body =
      service_error(cat({R"({"code":"BAD_LINK","message":")", std::string(2000, 'm'), R"("})"}));
  char err[32];
  std::memset(err, 'x', sizeof err);
  yyjson_doc *doc = nullptr;
  yyjson_val *data = nullptr;
  EXPECT_EQ(tavro_parse_envelope(body.data(), body.size(), &doc, &data, err, sizeof err),
            TAVRO_E_NOT_FOUND);
  EXPECT_EQ(std::string(err), "AllDebrid error BAD_LINK: mmmmm");
}

struct CodeRow {
  const char *code;
  int expected;
};

class ServiceErrorCode : public ::testing::TestWithParam<CodeRow> {};

TEST_P(ServiceErrorCode, MapsToTheResultCodeAndQuotesTheCode) {
  const CodeRow &row = GetParam();
  std::string body = service_error(std::string(R"({"message":"m","code":")") + row.code + "\"}");
  char err[kErrSize] = {};
  yyjson_doc *doc = nullptr;
  yyjson_val *data = nullptr;
  EXPECT_EQ(tavro_parse_envelope(body.data(), body.size(), &doc, &data, err, kErrSize),
            row.expected);
  EXPECT_EQ(std::string(err),
            std::string("AllDebrid error ") + (row.code[0] ? row.code : "(no code)") + ": m");
  EXPECT_EQ(doc, nullptr);
}

const CodeRow kCodeRows[] = {
    {"AUTH_MAX_TOKENS", TAVRO_E_LIMIT},
    {"AUTH_MAX_TOKENS_EXTRA", TAVRO_E_AUTH},
    {"AUTH_BAD_APIKEY", TAVRO_E_AUTH},
    {"AUTH_BLOCKED", TAVRO_E_AUTH},
    {"AUTH_", TAVRO_E_AUTH},
    {"AUTH", TAVRO_E_FAILED},
    {"auth_bad_apikey", TAVRO_E_FAILED},
    {"XAUTH_BAD_APIKEY", TAVRO_E_FAILED},
    {"MAGNET_MUST_BE_PREMIUM", TAVRO_E_LIMIT},
    {"MAGNET_MUST_BE_PREMIUM_NOW", TAVRO_E_LIMIT},
    {"MAGNET_MUST_BE_PREMIU", TAVRO_E_FAILED},
    {"FREE_ACCOUNT_LIMIT_REACHED", TAVRO_E_LIMIT},
    {"FREE_ACCOUNT_LIMIT_REACHED_TODAY", TAVRO_E_FAILED},
    {"MAGNET_INVALID", TAVRO_E_NOT_FOUND},
    {"MAGNET_INVALID_URI", TAVRO_E_NOT_FOUND},
    {"MAGNET_INVALI", TAVRO_E_FAILED},
    {"LINK_HOST_NOT_SUPPORTED", TAVRO_E_NOT_FOUND},
    {"LINK_HOST_NOT_SUPPORTED2", TAVRO_E_FAILED},
    {"LINK_NOT_SUPPORTED", TAVRO_E_NOT_FOUND},
    {"LINK_NOT_SUPPORTED_YET", TAVRO_E_FAILED},
    {"BAD_LINK", TAVRO_E_NOT_FOUND},
    {"BAD_LINKS", TAVRO_E_FAILED},
    {"bad_link", TAVRO_E_FAILED},
    {"MAGNET_NO_URI", TAVRO_E_FAILED},
    // Limits of the plan, the account or the hoster: exact codes only.
    {"MUST_BE_PREMIUM", TAVRO_E_LIMIT},
    {"MUST_BE_PREMIUM_NOW", TAVRO_E_FAILED},
    {"FREE_TRIAL_LIMIT_REACHED", TAVRO_E_LIMIT},
    {"LINK_HOST_LIMIT_REACHED", TAVRO_E_LIMIT},
    {"LINK_TOO_MANY_DOWNLOADS", TAVRO_E_LIMIT},
    {"MAGNET_TOO_MANY_ACTIVE", TAVRO_E_LIMIT},
    {"MAGNET_TOO_MANY", TAVRO_E_LIMIT},
    {"MAGNET_TOO_MAN", TAVRO_E_FAILED},
    {"MAGNET_TOO_LARGE", TAVRO_E_LIMIT},
    {"MAGNET_MAGNET_TOO_BIG", TAVRO_E_LIMIT},
    {"MAGNET_TOO_BIG", TAVRO_E_FAILED},
    {"INSUFFICIENT_BALANCE", TAVRO_E_LIMIT},
    {"insufficient_balance", TAVRO_E_FAILED},
    // Content that is gone.
    {"LINK_DOWN", TAVRO_E_NOT_FOUND},
    {"LINK_DOWNLOADS", TAVRO_E_FAILED},
    {"MAGNET_LINKS_REMOVED", TAVRO_E_NOT_FOUND},
    {"MAGNET_LINKS_REMOVE", TAVRO_E_FAILED},
    // Down for now: worth trying again, as a failed exchange is.
    {"MAINTENANCE", TAVRO_E_TRANSPORT},
    {"MAINTENANCE_MODE", TAVRO_E_FAILED},
    {"LINK_HOST_UNAVAILABLE", TAVRO_E_TRANSPORT},
    {"LINK_TEMPORARY_UNAVAILABLE", TAVRO_E_TRANSPORT},
    {"LINK_HOST_FULL", TAVRO_E_TRANSPORT},
    {"LINK_HOST_FULLY", TAVRO_E_FAILED},
    // Requests from a server or a VPN refused.
    {"NO_SERVER", TAVRO_E_AUTH},
    {"NO_SERVERS", TAVRO_E_FAILED},
    // Streams and delayed links the service does not know.
    {"STREAM_INVALID_GEN_ID", TAVRO_E_NOT_FOUND},
    {"STREAM_INVALID_STREAM_ID", TAVRO_E_NOT_FOUND},
    {"STREAM_INVALID", TAVRO_E_FAILED},
    {"DELAYED_INVALID_ID", TAVRO_E_NOT_FOUND},
    {"DELAYED_INVALID_IDS", TAVRO_E_FAILED},
    // Saved links missing from a request or refused: the host's argument.
    {"USER_LINK_MISSING", TAVRO_E_ARG},
    {"USER_LINK_INVALID", TAVRO_E_ARG},
    {"USER_LINK", TAVRO_E_FAILED},
    {"DISCONTINUED", TAVRO_E_FAILED},
    {"", TAVRO_E_FAILED},
};

INSTANTIATE_TEST_SUITE_P(Table, ServiceErrorCode, ::testing::ValuesIn(kCodeRows),
                         [](const ::testing::TestParamInfo<CodeRow> &info) {
                           return info.param.code[0] ? std::string(info.param.code)
                                                     : std::string("empty");
                         });

// ---- File tree ------------------------------------------------------------

std::string files_body(const std::string &files) {
  return success(R"({"magnets":[{"id":12,"files":)" + files + "}]}");
}

// Holds the list a reader fills, and releases it whatever the test does.
struct Files {
  tavro_links list{};
  int has_entries = -1;
  char err[kErrSize] = {};
  int rc = 1;

  explicit Files(const std::string &body) {
    rc = tavro_parse_files(body.data(), body.size(), &list, &has_entries, err, kErrSize);
  }
  ~Files() { tavro_links_free(&list); }
  Files(const Files &) = delete;
  Files &operator=(const Files &) = delete;

  // "path|link|size" per entry, ";" between, <null> for a null text.
  std::string rendered() const {
    std::string out;
    for (uint64_t i = 0; i < list.len; ++i) {
      const tavro_link &e = list.data[i];
      if (i) out += ';';
      out += e.path ? e.path : "<null>";
      out += '|';
      out += e.link ? e.link : "<null>";
      out += '|' + std::to_string(e.size);
    }
    return out;
  }
};

struct TreeRow {
  const char *why;
  std::string files; // the "files" array of the first magnet
  const char *entries;
};

TEST(FileTree, FlattensNodesInDocumentOrderByTheRows) {
  const TreeRow rows[] = {
      {"one file", R"([{"n":"a.mkv","s":10,"l":"L"}])", "a.mkv|L|10"},
      {"folders nest, order kept",
       R"([{"n":"Show","e":[{"n":"E1.mkv","s":1,"l":"L1"},{"n":"Sub","e":[{"n":"E2.mkv","l":"L2"}]}]}])",
       "Show/E1.mkv|L1|1;Show/Sub/E2.mkv|L2|-1"},
      {"siblings after a folder lose its name",
       R"([{"n":"A","e":[{"n":"B","e":[{"n":"x"}]},{"n":"y"}]},{"n":"z"}])",
       "A/B/x|<null>|-1;A/y|<null>|-1;z|<null>|-1"},
      {"two top-level nodes",
       R"([{"n":"Show","e":[{"n":"E1.mkv","s":5,"l":"L1"}]},)"
       R"({"n":"notes.txt","s":9,"l":"L2"}])",
       "Show/E1.mkv|L1|5;notes.txt|L2|9"},
      {"folder without a name adds no component",
       R"([{"n":"A","e":[{"e":[{"n":"f","l":"x"}]}]},{"e":[{"n":"g"}]}])", "A/f|x|-1;g|<null>|-1"},
      {"empty or non-string name adds nothing",
       R"([{"n":"A","e":[{"n":"","e":[{"n":5,"l":"x"}]}]}])", "A|x|-1"},
      {"name starting with NUL counts as empty", R"([{"n":"A","e":[{"n":"\u0000b","l":"x"}]}])",
       "A|x|-1"},
      {"top-level file without a name has no path", R"([{"s":3,"l":"x"}])", "<null>|x|3"},
      {"no link is null, empty link is empty", R"([{"n":"a"},{"n":"b","l":""},{"n":"c","l":7}])",
       "a|<null>|-1;b||-1;c|<null>|-1"},
      {"sizes only as integers",
       R"([{"n":"a","s":1.5},{"n":"b","s":"10"},{"n":"c","s":true},{"n":"d","s":1e3},)"
       R"({"n":"e","s":-4},{"n":"f","s":9007199254740993}])",
       "a|<null>|-1;b|<null>|-1;c|<null>|-1;d|<null>|-1;e|<null>|-4;f|<null>|9007199254740993"},
      {"folder's own link and size are ignored",
       R"([{"n":"D","l":"x","s":5,"e":[{"n":"f","l":"y","s":1}]}])", "D/f|y|1"},
      {"e not an array makes a file",
       R"([{"n":"a","e":"x","l":"L","s":1},{"n":"b","e":{"n":"c"},"s":2}])", "a|L|1;b|<null>|2"},
      {"non-object nodes are entries with the current path",
       R"(["str",5,null,[],{},{"n":"D","e":["x",{}]}])",
       "<null>|<null>|-1;<null>|<null>|-1;<null>|<null>|-1;<null>|<null>|-1;<null>|<null>|-1;"
       "D|<null>|-1;D|<null>|-1"},
      {"empty folders add nothing", R"([{"n":"A","e":[]},{"n":"f"},{"n":"B","e":[{"e":[]}]}])",
       "f|<null>|-1"},
      {"names are copied unchanged", R"([{"n":"a/b","e":[{"n":"c d\"é","l":"x"}]}])",
       "a/b/c d\"é|x|-1"},
      {"first of duplicate keys counts",
       R"([{"n":"a","n":"b","l":"x","l":"y","s":1,"s":2,"e":"no","e":[]}])", "a|x|1"},
      {"other members ignored", R"([{"n":"a","id":3,"folder":true,"l":"x"}])", "a|x|-1"},
  };
  for (const TreeRow &row : rows) {
    SCOPED_TRACE(row.why);
    Files f(files_body(row.files));
    EXPECT_EQ(f.rc, TAVRO_OK) << f.err;
    EXPECT_EQ(f.rendered(), row.entries);
    EXPECT_EQ(f.has_entries, f.list.len > 0 ? 1 : 0);
  }
}

TEST(FileTree, UnexpectedShapeIsSuccessWithNoEntries) {
  const struct {
    const char *why;
    std::string body;
  } rows[] = {
      {"data null", success("null")},
      {"data an array", success(R"([{"magnets":[{"files":[{"n":"a"}]}]}])")},
      {"no magnets", success(R"({"files":[{"n":"a"}]})")},
      {"magnets an object", success(R"({"magnets":{"files":[{"n":"a"}]}})")},
      {"magnets empty", success(R"({"magnets":[]})")},
      {"first magnet not an object", success(R"({"magnets":[[{"files":[{"n":"a"}]}]]})")},
      {"first magnet empty", success(R"({"magnets":[{},{"files":[{"n":"a"}]}]})")},
      {"no files", success(R"({"magnets":[{"id":1}]})")},
      {"files an object", success(R"({"magnets":[{"files":{"n":"a"}}]})")},
      {"files empty", success(R"({"magnets":[{"files":[]}]})")},
      {"only empty folders", files_body(R"([{"n":"A","e":[]},{"e":[{"e":[]}]}])")},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.why);
    Files f(row.body);
    EXPECT_EQ(f.rc, TAVRO_OK);
    EXPECT_EQ(f.list.len, 0u);
    EXPECT_EQ(f.list.data, nullptr);
    EXPECT_EQ(f.has_entries, 0);
    EXPECT_STREQ(f.err, "");
  }
}

TEST(FileTree, OnlyTheFirstMagnetIsRead) {
  Files f(success(R"({"magnets":[{"files":[{"n":"one"}]},{"files":[{"n":"two"}]}]})"));
  EXPECT_EQ(f.rc, TAVRO_OK);
  EXPECT_EQ(f.rendered(), "one|<null>|-1");
  EXPECT_EQ(f.has_entries, 1);
}

TEST(FileTree, FirstMagnetHoldingAnErrorFailsWithItsCode) {
  const struct {
    const char *why;
    std::string body;
    int code;
    const char *message;
  } rows[] = {
      {"unknown id",
       success(
           R"({"magnets":[{"id":12,"error":{"code":"MAGNET_INVALID_ID","message":"unknown"}}]})"),
       TAVRO_E_NOT_FOUND, "AllDebrid error MAGNET_INVALID_ID: unknown"},
      {"an error wins over files",
       success(R"({"magnets":[{"files":[{"n":"a","l":"x"}],"error":{"code":"LINK_DOWN"}}]})"),
       TAVRO_E_NOT_FOUND, "AllDebrid error LINK_DOWN: (no message)"},
      {"error without code or message", success(R"({"magnets":[{"id":12,"error":{}}]})"),
       TAVRO_E_FAILED, "AllDebrid error (no code): (no message)"},
      {"numeric code", success(R"({"magnets":[{"error":{"code":7,"message":"m"}}]})"),
       TAVRO_E_FAILED, "AllDebrid error (no code): m"},
      {"down for now", success(R"({"magnets":[{"error":{"code":"MAINTENANCE","message":"m"}}]})"),
       TAVRO_E_TRANSPORT, "AllDebrid error MAINTENANCE: m"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.why);
    Files f(row.body);
    EXPECT_EQ(f.rc, row.code);
    EXPECT_STREQ(f.err, row.message);
    EXPECT_EQ(f.list.data, nullptr);
    EXPECT_EQ(f.list.len, 0u);
    EXPECT_EQ(f.has_entries, 0);
  }
}

TEST(FileTree, OnlyAnErrorObjectOfTheFirstMagnetCounts) {
  const struct {
    const char *why;
    std::string body;
    const char *entries;
  } rows[] = {
      {"error as a string", success(R"({"magnets":[{"error":"x","files":[{"n":"a","l":"L"}]}]})"),
       "a|L|-1"},
      {"error null", success(R"({"magnets":[{"error":null,"files":[{"n":"a","l":"L"}]}]})"),
       "a|L|-1"},
      {"error in the second magnet",
       success(R"({"magnets":[{"files":[{"n":"a","l":"L"}]},{"error":{"code":"BAD_LINK"}}]})"),
       "a|L|-1"},
      {"error beside the magnets",
       success(R"({"error":{"code":"BAD_LINK"},"magnets":[{"files":[{"n":"a","l":"L"}]}]})"),
       "a|L|-1"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.why);
    Files f(row.body);
    EXPECT_EQ(f.rc, TAVRO_OK) << f.err;
    EXPECT_EQ(f.rendered(), row.entries);
    EXPECT_EQ(f.has_entries, 1);
  }
}

TEST(FileTree, EnvelopeFailureComesBackUnchanged) {
  Files f(service_error(R"({"code":"MAGNET_INVALID_ID","message":"gone"})"));
  EXPECT_EQ(f.rc, TAVRO_E_NOT_FOUND);
  EXPECT_STREQ(f.err, "AllDebrid error MAGNET_INVALID_ID: gone");
  EXPECT_EQ(f.list.data, nullptr);
  EXPECT_EQ(f.has_entries, 0);
}

// count leaf files, e.g. {"l":"x"}, joined by commas.
std::string leaves(int count) {
  std::string out;
  out.reserve(static_cast<size_t>(count) * 10);
  for (int i = 0; i < count; ++i) {
    if (i) out += ',';
    out += R"({"l":"x"})";
  }
  return out;
}

TEST(FileTree, AcceptsAtMostTheEntryLimit) {
  const struct {
    const char *why;
    std::string files;
    bool accepted;
  } rows[] = {
      {"exactly the limit at the top", cat({"[", leaves(TAVRO_FILES_MAX), "]"}), true},
      {"exactly the limit across levels",
       cat({R"([{"n":"D","e":[)", leaves(TAVRO_FILES_MAX - 1), "]},", leaves(1), "]"}), true},
      {"one more at the top", cat({"[", leaves(TAVRO_FILES_MAX + 1), "]"}), false},
      {"one more inside a folder", cat({R"([{"n":"D","e":[)", leaves(TAVRO_FILES_MAX + 1), "]}]"}),
       false},
      {"one more across levels",
       cat({R"([{"n":"D","e":[)", leaves(TAVRO_FILES_MAX), "]},", leaves(1), "]"}), false},
      {"non-object nodes count", cat({"[", leaves(TAVRO_FILES_MAX), ",7]"}), false},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.why);
    Files f(files_body(row.files));
    if (row.accepted) {
      EXPECT_EQ(f.rc, TAVRO_OK) << f.err;
      EXPECT_EQ(f.list.len, static_cast<uint64_t>(TAVRO_FILES_MAX));
      EXPECT_EQ(f.has_entries, 1);
    } else {
      EXPECT_EQ(f.rc, TAVRO_E_FAILED);
      EXPECT_STREQ(f.err, "magnet tree larger than 65536 files");
      EXPECT_EQ(f.list.data, nullptr);
      EXPECT_EQ(f.list.len, 0u);
      EXPECT_EQ(f.list.cap, 0u);
      EXPECT_EQ(f.has_entries, 0);
    }
  }
}

TEST(FileTree, ListHoldsEveryFileInOrderWhateverItsLength) {
  for (int files : {1, 16, 17, 33, 1000}) {
    SCOPED_TRACE(files);
    std::string nodes;
    for (int i = 0; i < files; ++i)
      nodes += cat({i ? "," : "", R"({"n":"f)", std::to_string(i), R"(","l":"L)", std::to_string(i),
                    R"(","s":)", std::to_string(i), "}"});
    Files f(files_body(cat({"[", nodes, "]"})));
    ASSERT_EQ(f.rc, TAVRO_OK);
    ASSERT_EQ(f.list.len, static_cast<uint64_t>(files));
    for (int i = 0; i < files; ++i) {
      const tavro_link &e = f.list.data[i];
      const std::string number = std::to_string(i);
      ASSERT_STREQ(e.path, cat({"f", number}).c_str());
      ASSERT_STREQ(e.link, cat({"L", number}).c_str());
      ASSERT_EQ(e.size, i);
    }
  }
}

TEST(FileTree, MillionNestedFoldersYieldTheirFileWithoutCrashing) {
  constexpr int kDepth = 1000000;
  const std::string open = R"({"n":"d","e":[)";
  std::string files = "[";
  files.reserve(static_cast<size_t>(kDepth) * (open.size() + 2) + 100);
  for (int i = 0; i < kDepth; ++i) files += open;
  files += R"({"n":"f.mkv","s":42,"l":"deep"})";
  for (int i = 0; i < kDepth; ++i) files += "]}";
  files += R"(,{"n":"after.txt","l":"top"}])";

  Files f(files_body(files));
  ASSERT_EQ(f.rc, TAVRO_OK) << f.err;
  ASSERT_EQ(f.list.len, 2u);
  const tavro_link &deep = f.list.data[0];
  ASSERT_NE(deep.path, nullptr);
  std::string path = deep.path;
  EXPECT_EQ(path.size(), static_cast<size_t>(kDepth) * 2 + 5);
  EXPECT_EQ(path.substr(0, 6), "d/d/d/");
  EXPECT_EQ(path.substr(path.size() - 8), "/d/f.mkv");
  EXPECT_EQ(path.find("//"), std::string::npos);
  EXPECT_STREQ(deep.link, "deep");
  EXPECT_EQ(deep.size, 42);
  // The walk climbs all the way back: the next top-level node starts afresh.
  EXPECT_STREQ(f.list.data[1].path, "after.txt");
  EXPECT_STREQ(f.list.data[1].link, "top");
}

TEST(FileTree, FreeingResetsAndToleratesEmptyAndNull) {
  Files f(files_body(R"([{"n":"a","l":"x"}])"));
  ASSERT_EQ(f.list.len, 1u);
  tavro_links_free(&f.list);
  EXPECT_EQ(f.list.data, nullptr);
  EXPECT_EQ(f.list.len, 0u);
  EXPECT_EQ(f.list.cap, 0u);
  tavro_links_free(&f.list);
  tavro_links_free(nullptr);
}

// ---- Upload ---------------------------------------------------------------

using UploadParser = int (*)(const char *, size_t, int64_t *, int *, char **, char *, size_t);

struct Upload {
  int64_t id = 99;
  int ready = 99;
  char *payload = kUntouched;
  char err[kErrSize] = {};
  int rc = 1;

  explicit Upload(const std::string &body, UploadParser parse = tavro_parse_upload) {
    rc = parse(body.data(), body.size(), &id, &ready, &payload, err, kErrSize);
  }
  ~Upload() { free_unless_untouched(payload); }
  Upload(const Upload &) = delete;
  Upload &operator=(const Upload &) = delete;
};

// The two add answers: a magnet's reads "magnets", a torrent file's reads
// "files" (and "magnets" when there is no "files" array).
const struct {
  const char *name;
  UploadParser parse;
} kUploadParsers[] = {{"magnet", tavro_parse_upload}, {"torrent file", tavro_parse_upload_file}};

std::string magnets(const std::string &list) {
  return success(R"({"magnets":)" + list + "}");
}

TEST(UploadAnswer, ReadsIdReadyFlagAndCompactMagnetByTheRows) {
  const struct {
    const char *why;
    std::string body;
    int64_t id;
    int ready;
    const char *payload;
  } rows[] = {
      {"ready magnet", magnets(R"([ { "id" : 42, "ready" : true, "name" : "x y" } ])"), 42, 1,
       R"({"id":42,"ready":true,"name":"x y"})"},
      {"ready false", magnets(R"([{"id":42,"ready":false}])"), 42, 0, R"({"id":42,"ready":false})"},
      {"ready missing", magnets(R"([{"id":42}])"), 42, 0, R"({"id":42})"},
      {"ready 1", magnets(R"([{"id":42,"ready":1}])"), 42, 0, R"({"id":42,"ready":1})"},
      {"ready as a string", magnets(R"([{"ready":"true","id":42}])"), 42, 0,
       R"({"ready":"true","id":42})"},
      {"only the first magnet",
       magnets(R"([{"id":1,"ready":false},{"id":2,"ready":true,"x":[1]}])"), 1, 0,
       R"({"id":1,"ready":false})"},
      {"first id counts, order and duplicates kept", magnets(R"([{"id":5,"id":6,"a":{"b":[]}}])"),
       5, 0, R"({"id":5,"id":6,"a":{"b":[]}})"},
      {"large id", magnets(R"([{"id":9007199254740993}])"), 9007199254740993, 0,
       R"({"id":9007199254740993})"},
      {"negative id", magnets(R"([{"id":-7}])"), -7, 0, R"({"id":-7})"},
      {"escapes survive", magnets(R"([{"id":3,"name":"a\"b\\c\u00e9"}])"), 3, 0,
       "{\"id\":3,\"name\":\"a\\\"b\\\\c\xc3\xa9\"}"},
      {"an error string is no error", magnets(R"([{"id":3,"error":"x"}])"), 3, 0,
       R"({"id":3,"error":"x"})"},
      {"an error in the second magnet", magnets(R"([{"id":3},{"error":{"code":"BAD_LINK"}}])"), 3,
       0, R"({"id":3})"},
  };
  for (const auto &parser : kUploadParsers) {
    for (const auto &row : rows) {
      SCOPED_TRACE(cat({parser.name, ": ", row.why}));
      Upload u(row.body, parser.parse);
      EXPECT_EQ(u.rc, TAVRO_OK) << u.err;
      EXPECT_EQ(u.id, row.id);
      EXPECT_EQ(u.ready, row.ready);
      ASSERT_NE(u.payload, nullptr);
      EXPECT_STREQ(u.payload, row.payload);
    }
  }
}

TEST(UploadAnswer, TorrentFileAnswerReadsFilesThenMagnets) {
  const struct {
    const char *why;
    std::string data;
    int64_t magnet_id; // what the magnet's reader finds, -1 for none
    int64_t file_id;   // what the torrent file's reader finds
    const char *file_payload;
  } rows[] = {
      {"files only", R"({"files":[{"id":9,"ready":true,"file":"a.torrent"}]})", -1, 9,
       R"({"id":9,"ready":true,"file":"a.torrent"})"},
      {"magnets only, the older answer", R"({"magnets":[{"id":8}]})", 8, 8, R"({"id":8})"},
      {"files before magnets", R"({"magnets":[{"id":8}],"files":[{"id":9}]})", 8, 9, R"({"id":9})"},
      {"files not an array", R"({"files":{"id":9},"magnets":[{"id":8}]})", 8, 8, R"({"id":8})"},
      {"files null", R"({"files":null,"magnets":[{"id":8}]})", 8, 8, R"({"id":8})"},
      {"an empty files array is the answer", R"({"files":[],"magnets":[{"id":8}]})", 8, -1,
       nullptr},
      {"first of duplicate files", R"({"files":[{"id":9}],"files":[{"id":7}]})", -1, 9,
       R"({"id":9})"},
  };
  // The id read, or the failure when there is none.
  auto expect_id = [](const Upload &u, int64_t id) {
    if (id < 0) {
      EXPECT_EQ(u.rc, TAVRO_E_FAILED);
      EXPECT_STREQ(u.err, "magnet/upload returned no magnet id");
      EXPECT_EQ(u.payload, nullptr);
    } else {
      EXPECT_EQ(u.rc, TAVRO_OK) << u.err;
      EXPECT_EQ(u.id, id);
    }
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.why);
    Upload m(success(row.data), tavro_parse_upload);
    expect_id(m, row.magnet_id);
    Upload f(success(row.data), tavro_parse_upload_file);
    expect_id(f, row.file_id);
    if (row.file_payload) {
      EXPECT_STREQ(f.payload, row.file_payload);
    }
  }
}

TEST(UploadAnswer, ItemHoldingAnErrorFailsWithItsCode) {
  const struct {
    const char *why;
    std::string data;
    UploadParser parse;
    int code;
    const char *message;
  } rows[] = {
      {"invalid magnet",
       R"({"magnets":[{"magnet":"x","error":{"code":"MAGNET_INVALID_URI","message":"bad"}}]})",
       tavro_parse_upload, TAVRO_E_NOT_FOUND, "AllDebrid error MAGNET_INVALID_URI: bad"},
      {"an error wins over an id",
       R"({"magnets":[{"id":42,"error":{"code":"MAGNET_TOO_MANY_ACTIVE","message":"wait"}}]})",
       tavro_parse_upload, TAVRO_E_LIMIT, "AllDebrid error MAGNET_TOO_MANY_ACTIVE: wait"},
      {"error without code or message", R"({"magnets":[{"error":{}}]})", tavro_parse_upload,
       TAVRO_E_FAILED, "AllDebrid error (no code): (no message)"},
      {"refused torrent file",
       R"({"files":[{"file":"a.torrent","error":{"code":"MAGNET_TOO_LARGE","message":"big"}}]})",
       tavro_parse_upload_file, TAVRO_E_LIMIT, "AllDebrid error MAGNET_TOO_LARGE: big"},
      {"refused torrent file, older answer",
       R"({"magnets":[{"error":{"code":"MAGNET_INVALID_FILE","message":"no"}}]})",
       tavro_parse_upload_file, TAVRO_E_NOT_FOUND, "AllDebrid error MAGNET_INVALID_FILE: no"},
      {"the files item decides",
       R"({"files":[{"error":{"code":"NO_SERVER","message":"vpn"}}],"magnets":[{"id":8}]})",
       tavro_parse_upload_file, TAVRO_E_AUTH, "AllDebrid error NO_SERVER: vpn"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.why);
    Upload u(success(row.data), row.parse);
    EXPECT_EQ(u.rc, row.code);
    EXPECT_STREQ(u.err, row.message);
    EXPECT_EQ(u.id, -1);
    EXPECT_EQ(u.ready, 0);
    EXPECT_EQ(u.payload, nullptr);
  }
}

TEST(UploadAnswer, WithoutAnIntegerIdFailsByTheRows) {
  const struct {
    const char *why;
    std::string body;
  } rows[] = {
      {"id as a string", magnets(R"([{"id":"42","ready":true}])")},
      {"id as a real", magnets(R"([{"id":4.2}])")},
      {"id as an exponent", magnets(R"([{"id":1e2}])")},
      {"no id", magnets(R"([{"ready":true}])")},
      {"empty magnets", magnets("[]")},
      {"magnets an object", magnets(R"({"id":42})")},
      {"first magnet empty", magnets(R"([{},{"id":42}])")},
      {"first magnet an array", magnets(R"([[{"id":42}]])")},
      {"no magnets", success(R"({"id":42})")},
      {"data null", success("null")},
      {"data an array", success(R"([{"magnets":[{"id":42}]}])")},
  };
  for (const auto &parser : kUploadParsers) {
    for (const auto &row : rows) {
      SCOPED_TRACE(cat({parser.name, ": ", row.why}));
      Upload u(row.body, parser.parse);
      EXPECT_EQ(u.rc, TAVRO_E_FAILED);
      EXPECT_STREQ(u.err, "magnet/upload returned no magnet id");
      EXPECT_EQ(u.id, -1);
      EXPECT_EQ(u.ready, 0);
      EXPECT_EQ(u.payload, nullptr);
    }
  }
}

TEST(UploadAnswer, EnvelopeFailureComesBackUnchanged) {
  for (const auto &parser : kUploadParsers) {
    SCOPED_TRACE(parser.name);
    Upload u(service_error(R"({"code":"MAGNET_MUST_BE_PREMIUM","message":"pay"})"), parser.parse);
    EXPECT_EQ(u.rc, TAVRO_E_LIMIT);
    EXPECT_STREQ(u.err, "AllDebrid error MAGNET_MUST_BE_PREMIUM: pay");
    EXPECT_EQ(u.id, -1);
    EXPECT_EQ(u.ready, 0);
    EXPECT_EQ(u.payload, nullptr);
  }
}

// ---- Unlock ---------------------------------------------------------------

struct Unlock {
  char *link = kUntouched;
  char *name = kUntouched;
  int64_t size = 99;
  char err[kErrSize] = {};
  int rc = 1;

  explicit Unlock(const std::string &body) {
    rc = tavro_parse_unlock(body.data(), body.size(), &link, &name, &size, err, kErrSize);
  }
  ~Unlock() {
    free_unless_untouched(link);
    free_unless_untouched(name);
  }
  Unlock(const Unlock &) = delete;
  Unlock &operator=(const Unlock &) = delete;
};

TEST(UnlockAnswer, ReadsLinkNameAndSizeByTheRows) {
  const struct {
    const char *why;
    std::string data;
    const char *link;
    const char *name; // null when none
    int64_t size;
  } rows[] = {
      {"all three", R"({"link":"https://x/f","filename":"f.mkv","filesize":123})", "https://x/f",
       "f.mkv", 123},
      {"link only", R"({"link":"L"})", "L", nullptr, -1},
      {"real size", R"({"link":"L","filesize":1.5})", "L", nullptr, -1},
      {"size as a string", R"({"link":"L","filesize":"12"})", "L", nullptr, -1},
      {"large size", R"({"link":"L","filesize":9007199254740993})", "L", nullptr, 9007199254740993},
      {"empty name is a name", R"({"link":"L","filename":""})", "L", "", -1},
      {"name not a string", R"({"link":"L","filename":7})", "L", nullptr, -1},
      {"first link counts", R"({"link":"A","link":"B","filename":"n","filename":"m"})", "A", "n",
       -1},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.why);
    Unlock u(success(row.data));
    EXPECT_EQ(u.rc, TAVRO_OK) << u.err;
    EXPECT_STREQ(u.link, row.link);
    if (row.name) {
      EXPECT_STREQ(u.name, row.name);
    } else {
      EXPECT_EQ(u.name, nullptr);
    }
    EXPECT_EQ(u.size, row.size);
  }
}

TEST(UnlockAnswer, WithoutANonEmptyLinkFailsByTheRows) {
  const struct {
    const char *why;
    std::string data;
  } rows[] = {
      {"empty link", R"({"link":"","filename":"f","filesize":3})"},
      {"link starting with NUL", R"({"link":"\u0000x"})"},
      {"numeric link", R"({"link":5})"},
      {"no link", R"({"filename":"f"})"},
      {"first link empty", R"({"link":"","link":"B"})"},
      {"data an array", R"([{"link":"L"}])"},
      {"data a string", R"("L")"},
      {"data null", "null"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.why);
    Unlock u(success(row.data));
    EXPECT_EQ(u.rc, TAVRO_E_FAILED);
    EXPECT_STREQ(u.err, "link/unlock returned no link");
    EXPECT_EQ(u.link, nullptr);
    EXPECT_EQ(u.name, nullptr);
    EXPECT_EQ(u.size, -1);
  }
}

TEST(UnlockAnswer, EnvelopeFailureComesBackUnchanged) {
  Unlock u("");
  EXPECT_EQ(u.rc, TAVRO_E_FAILED);
  EXPECT_STREQ(u.err, "empty response body");
  EXPECT_EQ(u.link, nullptr);
  EXPECT_EQ(u.name, nullptr);
  EXPECT_EQ(u.size, -1);
}

// ---- Entries --------------------------------------------------------------

TEST(EntryLink, PicksLocatorThenLinkThenPathByTheRows) {
  const struct {
    const char *why;
    const char *entry;
    int code;
    const char *result; // the link, or the message on failure
  } rows[] = {
      {"locator wins", R"({"path":"p","link":"l","locator":"loc"})", TAVRO_OK, "loc"},
      {"empty locator passed over", R"({"locator":"","link":"l","path":"p"})", TAVRO_OK, "l"},
      {"null locator passed over", R"({"locator":null,"link":"l"})", TAVRO_OK, "l"},
      {"numeric locator and link passed over", R"({"locator":1,"link":[],"path":"p"})", TAVRO_OK,
       "p"},
      {"path alone", R"({"path":"Show/E1.mkv"})", TAVRO_OK, "Show/E1.mkv"},
      {"only the first of duplicates", R"({"locator":"","locator":"x","path":"p"})", TAVRO_OK, "p"},
      {"keys are case-sensitive", R"({"Locator":"x","LINK":"y","path":"p"})", TAVRO_OK, "p"},
      {"white space around", " {\"link\":\"l\"}\n", TAVRO_OK, "l"},
      {"empty object", "{}", TAVRO_E_NOT_FOUND, "entry has no locator/link/path"},
      {"all empty", R"({"locator":"","link":"","path":""})", TAVRO_E_NOT_FOUND,
       "entry has no locator/link/path"},
      {"other members only", R"({"name":"x","url":"y"})", TAVRO_E_NOT_FOUND,
       "entry has no locator/link/path"},
      {"array", R"([{"link":"l"}])", TAVRO_E_ARG, "entry is not a JSON object"},
      {"string", R"("l")", TAVRO_E_ARG, "entry is not a JSON object"},
      {"not JSON", "locator=x", TAVRO_E_ARG, "entry is not a JSON object"},
      {"empty text", "", TAVRO_E_ARG, "entry is not a JSON object"},
      {"text after the object", R"({"link":"l"} x)", TAVRO_E_ARG, "entry is not a JSON object"},
      {"trailing comma", R"({"link":"l",})", TAVRO_E_ARG, "entry is not a JSON object"},
      {"null text", nullptr, TAVRO_E_ARG, "entry is not a JSON object"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.why);
    char err[kErrSize] = {};
    char *link = kUntouched;
    int rc = tavro_entry_link(row.entry, &link, err, kErrSize);
    EXPECT_EQ(rc, row.code);
    if (row.code == TAVRO_OK) {
      EXPECT_STREQ(link, row.result);
      EXPECT_STREQ(err, "");
    } else {
      EXPECT_EQ(link, nullptr);
      EXPECT_STREQ(err, row.result);
    }
    free_unless_untouched(link);
  }
}

#if defined(TAVRO_FAULT_INJECTION)
// ---- Exhausted memory -----------------------------------------------------

// Every failure point of run(), which returns its result code: the run that
// had all its memory succeeds. Returns the number of failure points.
template <class Run> int fail_each_allocation(Run run) {
  return static_cast<int>(tt::fail_each([&] {
    int rc = run();
    if (!tt::failure_reached()) EXPECT_EQ(rc, TAVRO_OK);
  }));
}

// A failed parse of the answer reads as a malformed answer.
bool is_memory_failure(const char *err) {
  return std::strcmp(err, "out of memory") == 0 ||
         std::strcmp(err, "response is not a JSON object") == 0 ||
         std::strcmp(err, "out of memory serialising the add result") == 0;
}

TEST(ExhaustedMemory, FileTreeReleasesEverythingAndReportsIt) {
  // Deep and wide enough to grow the walk's stack, the list and the path.
  std::string files;
  for (int i = 0; i < 20; ++i) files += R"({"n":"folder-with-a-long-name","e":[)";
  files += leaves(40);
  for (int i = 0; i < 20; ++i) files += "]}";
  std::string body = files_body(cat({"[", files, "]"}));
  int failures = fail_each_allocation([&] {
    tavro_links list{};
    int has = 0;
    char err[kErrSize] = {};
    int rc = tavro_parse_files(body.data(), body.size(), &list, &has, err, kErrSize);
    if (rc != TAVRO_OK) {
      EXPECT_EQ(rc, TAVRO_E_FAILED);
      EXPECT_TRUE(is_memory_failure(err)) << err;
      EXPECT_EQ(list.data, nullptr);
      EXPECT_EQ(has, 0);
    } else {
      EXPECT_EQ(list.len, 40u);
    }
    tavro_links_free(&list);
    return rc;
  });
  // A parse, a stack and list growth, path growth and 80 copies at least.
  EXPECT_GT(failures, 80);
}

TEST(ExhaustedMemory, UploadReleasesEverythingAndReportsIt) {
  for (const auto &parser : kUploadParsers) {
    SCOPED_TRACE(parser.name);
    std::string list = R"([{"id":42,"ready":true,"name":"n","files":[1,2,3]}])";
    std::string body = success(cat({R"({"files":)", list, R"(,"magnets":)", list, "}"}));
    int failures = fail_each_allocation([&] {
      int64_t id = 0;
      int ready = 0;
      char *payload = nullptr;
      char err[kErrSize] = {};
      int rc = parser.parse(body.data(), body.size(), &id, &ready, &payload, err, kErrSize);
      if (rc != TAVRO_OK) {
        EXPECT_EQ(rc, TAVRO_E_FAILED);
        EXPECT_TRUE(is_memory_failure(err)) << err;
        EXPECT_EQ(payload, nullptr);
        // The id and the flag are read before the magnet is written back.
        if (std::strcmp(err, "out of memory serialising the add result") == 0) {
          EXPECT_EQ(id, 42);
          EXPECT_EQ(ready, 1);
        }
      }
      std::free(payload);
      return rc;
    });
    EXPECT_GT(failures, 1);
  }
}

TEST(ExhaustedMemory, UnlockDropsOnlyTheNameOrFailsWhole) {
  std::string body = success(R"({"link":"https://x/f","filename":"f.mkv","filesize":1})");
  int failures = fail_each_allocation([&] {
    char *link = nullptr;
    char *name = nullptr;
    int64_t size = 0;
    char err[kErrSize] = {};
    int rc = tavro_parse_unlock(body.data(), body.size(), &link, &name, &size, err, kErrSize);
    if (rc != TAVRO_OK) {
      EXPECT_EQ(rc, TAVRO_E_FAILED);
      EXPECT_TRUE(is_memory_failure(err)) << err;
      EXPECT_EQ(link, nullptr);
      EXPECT_EQ(name, nullptr);
      EXPECT_EQ(size, -1);
    } else {
      EXPECT_STREQ(link, "https://x/f");
      EXPECT_EQ(size, 1);
      if (name) {
        EXPECT_STREQ(name, "f.mkv");
      }
    }
    std::free(link);
    std::free(name);
    return rc;
  });
  EXPECT_GT(failures, 1);
}

TEST(ExhaustedMemory, EntryLinkReleasesEverythingAndReportsIt) {
  int failures = fail_each_allocation([&] {
    char *link = nullptr;
    char err[kErrSize] = {};
    int rc = tavro_entry_link(R"({"link":"l"})", &link, err, kErrSize);
    if (rc == TAVRO_E_FAILED) {
      EXPECT_STREQ(err, "out of memory");
    } else if (rc != TAVRO_OK) {
      EXPECT_EQ(rc, TAVRO_E_ARG);
    }
    if (rc != TAVRO_OK) {
      EXPECT_EQ(link, nullptr);
    }
    std::free(link);
    return rc;
  });
  EXPECT_GT(failures, 1);
}
#endif

} // namespace
