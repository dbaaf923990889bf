// SPDX-License-Identifier: MIT
// The built-in fake transport, driven through its table and the control
// functions as a host or test harness would.
#include "support.h"
#include "tavro_base.h"
#include "tavro_io_fake.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kNotFound[] = "The requested resource could not be found.";
const char kBadKeyAnswer[] = "{\"status\":\"error\",\"error\":{\"code\":\"AUTH_BAD_APIKEY\","
                             "\"message\":\"The apikey is invalid\"}}";

// What one transport call handed back, copied out and released through the
// table's free.
struct Answer {
  int rc = 0;
  int32_t status = 0;
  std::optional<std::string> body;
  std::optional<std::string> error;
};

Answer collect(const tavro_io *io, int rc, int32_t status, char *body, char *error) {
  Answer a;
  a.rc = rc;
  a.status = status;
  if (body) a.body = body;
  if (error) a.error = error;
  if (body) io->free(io->ctx, body);
  if (error) io->free(io->ctx, error);
  return a;
}

Answer get(const char *url) {
  const tavro_io *io = tavro_io_fake();
  char *body = nullptr, *error = nullptr;
  int32_t status = -1;
  int rc = io->get(io->ctx, url, &body, &status, &error);
  return collect(io, rc, status, body, error);
}

const char kForm[] = "application/x-www-form-urlencoded";
const char kMultipart[] = "multipart/form-data; boundary=tavrotorrent";

// A POST with the given content type. The store's own rules (one entry per
// method and URL, counts, failures, recorded bodies) are shown with the
// torrent upload's type, whose POSTs are filed by their URL alone; form()
// posts form fields, filed with the fields appended to the URL.
Answer post(const char *url, const char *request, const char *type = kMultipart) {
  const tavro_io *io = tavro_io_fake();
  char *body = nullptr, *error = nullptr;
  int32_t status = -1;
  int rc = io->post(io->ctx, url, request, type, &body, &status, &error);
  return collect(io, rc, status, body, error);
}

Answer form(const char *url, const char *fields) {
  return post(url, fields, kForm);
}

Answer call(const char *method, const char *url, const char *request = nullptr) {
  return std::string(method) == "POST" ? post(url, request) : get(url);
}

// Every test starts and ends with an empty store.
class FakeStore : public ::testing::Test {
protected:
  void SetUp() override { tavro_fake_reset(); }
  void TearDown() override { tavro_fake_reset(); }
};

TEST_F(FakeStore, TableIsTheFakeWithAllFunctions) {
  const tavro_io *io = tavro_io_fake();
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(io, tavro_io_fake());
  EXPECT_EQ(io->ctx, nullptr);
  EXPECT_NE(io->get, nullptr);
  EXPECT_NE(io->post, nullptr);
  EXPECT_NE(io->free, nullptr);
}

TEST_F(FakeStore, BadMethodOrNullUrlIsRefusedAndStoresNothing) {
  const char *url = "https://h/v4/user";
  struct Row {
    const char *name;
    const char *method;
    const char *url;
  } rows[] = {
      {"small letters", "get", url},  {"trailing blank", "GET ", url},
      {"POST in small", "post", url}, {"other verb", "PUT", url},
      {"empty method", "", url},      {"null method", nullptr, url},
      {"null url", "GET", nullptr},   {"null url POST", "POST", nullptr},
  };
  for (const Row &r : rows) {
    EXPECT_EQ(tavro_fake_set(r.method, r.url, 200, "x"), TAVRO_E_ARG) << r.name;
    EXPECT_EQ(tavro_fake_fail(r.method, r.url, "boom"), TAVRO_E_ARG) << r.name;
  }
  for (const char *method : {"GET", "POST"}) {
    Answer a = call(method, url, "b=1");
    EXPECT_EQ(a.rc, 0) << method;
    EXPECT_EQ(a.status, 404) << method;
  }
  EXPECT_EQ(tavro_fake_calls(nullptr, url), 0);
}

TEST_F(FakeStore, CannedAnswersAndFailuresReachTheCaller) {
  ASSERT_EQ(tavro_fake_set("GET", "https://h/a", 200, "{\"ok\":1}"), 0);
  ASSERT_EQ(tavro_fake_set("GET", "https://h/b", 204, nullptr), 0);
  ASSERT_EQ(tavro_fake_set("GET", "https://h/c", 503, "busy"), 0);
  ASSERT_EQ(tavro_fake_fail("GET", "https://h/d", nullptr), 0);
  ASSERT_EQ(tavro_fake_fail("POST", "https://h/e", "socket closed"), 0);
  ASSERT_EQ(tavro_fake_set("POST", "https://h/a", 201, "posted"), 0);

  struct Row {
    const char *name;
    const char *method;
    const char *url;
    int rc;
    int32_t status;
    const char *body;  // null: no body handed back
    const char *error; // null: no error handed back
  } rows[] = {
      {"stored GET", "GET", "https://h/a", 0, 200, "{\"ok\":1}", nullptr},
      {"null body answers empty", "GET", "https://h/b", 0, 204, "", nullptr},
      {"server status is still a delivery", "GET", "https://h/c", 0, 503, "busy", nullptr},
      {"default failure", "GET", "https://h/d", -1, 0, nullptr, "connection refused"},
      {"given failure", "POST", "https://h/e", -1, 0, nullptr, "socket closed"},
      {"method is part of the pair", "POST", "https://h/a", 0, 201, "posted", nullptr},
      {"GET on a POST-only pair", "GET", "https://h/e", 0, 404, kNotFound, nullptr},
      {"unknown URL", "GET", "https://h/nowhere", 0, 404, kNotFound, nullptr},
      {"prefix of a stored URL", "GET", "https://h/", 0, 404, kNotFound, nullptr},
      {"null url", "GET", nullptr, -1, 0, nullptr, "null url"},
      {"null url POST", "POST", nullptr, -1, 0, nullptr, "null url"},
      {"invalid key", "GET", "https://h/user?agent=quorvelindash&apikey=QV-NOT-KEY", 0, 200,
       kBadKeyAnswer, nullptr},
  };
  for (const Row &r : rows) {
    Answer a = call(r.method, r.url, "q=1");
    EXPECT_EQ(a.rc, r.rc) << r.name;
    EXPECT_EQ(a.status, r.status) << r.name;
    EXPECT_EQ(a.body, r.body ? std::optional<std::string>(r.body) : std::nullopt) << r.name;
    EXPECT_EQ(a.error, r.error ? std::optional<std::string>(r.error) : std::nullopt) << r.name;
  }
}

TEST_F(FakeStore, NullPostBodyIsTakenAsEmpty) {
  ASSERT_EQ(tavro_fake_set("POST", "https://h/p", 200, "ok"), 0);
  Answer a = post("https://h/p", nullptr);
  EXPECT_EQ(a.rc, 0);
  EXPECT_EQ(a.body, "ok");
  EXPECT_STREQ(tavro_fake_last_body("https://h/p"), "");
}

TEST_F(FakeStore, UnknownRequestCountsInTotalButNotPerUrl) {
  const char *url = "https://h/v4/missing";
  Answer a = get(url);
  EXPECT_EQ(a.status, 404);
  EXPECT_EQ(tavro_fake_calls(nullptr, nullptr), 1);
  EXPECT_STREQ(tavro_fake_last_url(), url);
  EXPECT_EQ(tavro_fake_calls(nullptr, url), 0);
  EXPECT_EQ(tavro_fake_calls("GET", url), 0);
}

TEST_F(FakeStore, NullUrlIsNeitherCountedNorRemembered) {
  get("https://h/first");
  get(nullptr);
  post(nullptr, "x");
  EXPECT_EQ(tavro_fake_calls(nullptr, nullptr), 1);
  EXPECT_STREQ(tavro_fake_last_url(), "https://h/first");
}

TEST_F(FakeStore, DefaultAgentAnswerServesOtherAgents) {
  struct Row {
    const char *name;
    const char *stored;
    const char *called;
    bool answered;
  } rows[] = {
      {"other agent, parameters after", "https://h/user?agent=quorvelindash&apikey=K",
       "https://h/user?agent=kodi&apikey=K", true},
      {"empty agent", "https://h/user?agent=quorvelindash&apikey=K",
       "https://h/user?agent=&apikey=K", true},
      {"agent last", "https://h/user?apikey=K&agent=quorvelindash",
       "https://h/user?apikey=K&agent=other", true},
      {"inside a longer name", "https://h/a?useragent=quorvelindash&b=1",
       "https://h/a?useragent=zz&b=1", true},
      {"first occurrence only", "https://h/a?agent=quorvelindash&agent=y",
       "https://h/a?agent=x&agent=y", true},
      {"second occurrence kept", "https://h/a?agent=quorvelindash&agent=quorvelindash",
       "https://h/a?agent=x&agent=x", false},
      {"rest differs", "https://h/user?agent=quorvelindash&apikey=K",
       "https://h/user?agent=kodi&apikey=L", false},
      {"stored under another agent", "https://h/user?agent=kodi",
       "https://h/user?agent=quorvelindash", false},
      {"only to the default", "https://h/user?agent=kodi", "https://h/user?agent=vlc", false},
      {"no agent at all", "https://h/user?apikey=K", "https://h/user?apikey=K&x=1", false},
  };
  for (const Row &r : rows) {
    tavro_fake_reset();
    ASSERT_EQ(tavro_fake_set("GET", r.stored, 200, "stored"), 0) << r.name;
    Answer a = get(r.called);
    EXPECT_EQ(a.rc, 0) << r.name;
    EXPECT_EQ(a.status, r.answered ? 200 : 404) << r.name;
    EXPECT_EQ(tavro_fake_calls("GET", r.stored), r.answered ? 1 : 0) << r.name;
    EXPECT_EQ(tavro_fake_calls("GET", r.called), 0) << r.name;
    EXPECT_STREQ(tavro_fake_last_url(), r.called) << r.name;
  }
}

TEST_F(FakeStore, AgentRewriteServesUrlsOfAnyLength) {
  // The rewritten URL is made whole, however long: an answer stored under a
  // URL cut short never answers.
  const std::string head = "https://h/u?agent=";
  struct Row {
    const char *name;
    size_t rest_len; // "&" and then 'a's
  } rows[] = {
      {"short", 10},
      {"just past 8,200 characters", 8200 - head.size()},
      {"far past it", 100000},
  };
  for (const Row &r : rows) {
    tavro_fake_reset();
    std::string rest = "&" + std::string(r.rest_len - 1, 'a');
    std::string called = head + "vlc" + rest;
    std::string stored = head + "quorvelindash" + rest;
    std::string cut = stored.substr(0, 8199);
    ASSERT_EQ(tavro_fake_set("GET", stored.c_str(), 200, "whole"), 0) << r.name;
    if (cut != stored) {
      ASSERT_EQ(tavro_fake_set("GET", cut.c_str(), 200, "cut"), 0) << r.name;
    }
    Answer a = get(called.c_str());
    EXPECT_EQ(a.status, 200) << r.name;
    EXPECT_EQ(a.body, "whole") << r.name;
    EXPECT_EQ(tavro_fake_calls("GET", stored.c_str()), 1) << r.name;
    EXPECT_EQ(tavro_fake_calls(nullptr, nullptr), 1) << r.name;
    EXPECT_EQ(tavro_fake_last_url(), called) << r.name;
  }
}

TEST_F(FakeStore, InvalidKeyCreatesAnEntryForTheExactUrl) {
  const char *url = "https://h/v4/user?agent=kodi&apikey=QV-NOT-KEY";
  EXPECT_EQ(tavro_fake_calls("GET", url), 0);
  Answer a = get(url);
  EXPECT_EQ(a.rc, 0);
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.body, kBadKeyAnswer);
  EXPECT_EQ(tavro_fake_calls("GET", url), 1);
  EXPECT_EQ(get(url).body, kBadKeyAnswer);
  EXPECT_EQ(tavro_fake_calls("GET", url), 2);
  EXPECT_EQ(tavro_fake_calls("POST", url), 0);

  // The entry is an ordinary one: POST has its own, and a stored answer
  // replaces the invalid-key one while the count goes on.
  EXPECT_EQ(post(url, "x=1").body, kBadKeyAnswer);
  EXPECT_EQ(tavro_fake_calls("POST", url), 1);
  ASSERT_EQ(tavro_fake_set("GET", url, 200, "{}"), 0);
  EXPECT_EQ(get(url).body, "{}");
  EXPECT_EQ(tavro_fake_calls("GET", url), 3);
}

TEST_F(FakeStore, StoredAnswerWinsOverInvalidKeyRule) {
  const char *url = "https://h/v4/user?apikey=QV-NOT-KEY";
  ASSERT_EQ(tavro_fake_set("GET", url, 401, "denied"), 0);
  Answer a = get(url);
  EXPECT_EQ(a.status, 401);
  EXPECT_EQ(a.body, "denied");
}

TEST_F(FakeStore, SettingAPairAgainReplacesItsAnswerAndKeepsItsCount) {
  const char *url = "https://h/x";
  ASSERT_EQ(tavro_fake_set("GET", url, 200, "first"), 0);
  get(url);
  get(url);
  ASSERT_EQ(tavro_fake_set("GET", url, 202, "second"), 0);
  Answer a = get(url);
  EXPECT_EQ(a.status, 202);
  EXPECT_EQ(a.body, "second");
  EXPECT_EQ(tavro_fake_calls("GET", url), 3);
  EXPECT_EQ(tavro_fake_calls(nullptr, url), 3);
}

TEST_F(FakeStore, FailureAndAnswerAlternate) {
  const char *url = "https://h/x";
  struct Step {
    const char *name;
    int fail; // 1: tavro_fake_fail, 0: tavro_fake_set
    int rc;
    const char *text; // body or error message
  } steps[] = {
      {"answering", 0, 0, "one"},
      {"failing", 1, -1, "reset by peer"},
      {"answering again", 0, 0, "one"},
  };
  for (const Step &s : steps) {
    int set = s.fail ? tavro_fake_fail("POST", url, "reset by peer")
                     : tavro_fake_set("POST", url, 200, "one");
    ASSERT_EQ(set, 0) << s.name;
    Answer a = post(url, "b");
    EXPECT_EQ(a.rc, s.rc) << s.name;
    EXPECT_EQ(s.fail ? a.error : a.body, s.text) << s.name;
    EXPECT_EQ(s.fail ? a.body : a.error, std::nullopt) << s.name;
  }
  EXPECT_EQ(tavro_fake_calls("POST", url), 3);
}

TEST_F(FakeStore, RecordedBodyIsTheLastNonEmptyPost) {
  const char *url = "https://h/upload";
  ASSERT_EQ(tavro_fake_set("POST", url, 200, "ok"), 0);
  ASSERT_EQ(tavro_fake_set("GET", "https://h/got", 200, "ok"), 0);
  ASSERT_EQ(tavro_fake_fail("POST", "https://h/down", nullptr), 0);
  struct Step {
    const char *name;
    const char *url;
    const char *request;
    const char *query;
    const char *recorded;
  } steps[] = {
      {"first body", url, "a=1", url, "a=1"},
      {"later body replaces", url, "b=2", url, "b=2"},
      {"empty body keeps", url, "", url, "b=2"},
      {"null body keeps", url, nullptr, url, "b=2"},
      {"failing pair still records", "https://h/down", "c=3", "https://h/down", "c=3"},
      {"unknown URL records nothing", "https://h/none", "d=4", "https://h/none", ""},
      {"GET-only URL has none", "https://h/got", nullptr, "https://h/got", ""},
      {"null url asks for nothing", url, "e=5", nullptr, ""},
  };
  for (const Step &s : steps) {
    post(s.url, s.request);
    EXPECT_STREQ(tavro_fake_last_body(s.query), s.recorded) << s.name;
  }
}

TEST_F(FakeStore, CallsCountByMethodAndUrl) {
  const char *url = "https://h/both";
  ASSERT_EQ(tavro_fake_set("GET", url, 200, ""), 0);
  ASSERT_EQ(tavro_fake_set("POST", url, 200, ""), 0);
  ASSERT_EQ(tavro_fake_set("GET", "https://h/other", 200, ""), 0);
  for (int i = 0; i < 3; ++i) get(url);
  for (int i = 0; i < 2; ++i) post(url, "x");
  get("https://h/other");
  get("https://h/unknown");
  struct Row {
    const char *name;
    const char *method;
    const char *url;
    int calls;
  } rows[] = {
      {"total", nullptr, nullptr, 7},
      {"total whatever the method", "GET", nullptr, 7},
      {"total even for a bad method", "PUT", nullptr, 7},
      {"both methods", nullptr, url, 5},
      {"GET only", "GET", url, 3},
      {"POST only", "POST", url, 2},
      {"other URL", nullptr, "https://h/other", 1},
      {"unknown URL", nullptr, "https://h/unknown", 0},
      {"method of no entry", "PUT", url, 0},
  };
  for (const Row &r : rows) EXPECT_EQ(tavro_fake_calls(r.method, r.url), r.calls) << r.name;
}

TEST_F(FakeStore, LastUrlFollowsTheMostRecentCall) {
  EXPECT_STREQ(tavro_fake_last_url(), "");
  ASSERT_EQ(tavro_fake_set("GET", "https://h/a", 200, ""), 0);
  struct Step {
    const char *name;
    const char *method;
    const char *url;
    const char *last;
  } steps[] = {
      {"stored GET", "GET", "https://h/a", "https://h/a"},
      {"unknown POST", "POST", "https://h/b", "https://h/b"},
      {"null url changes nothing", "GET", nullptr, "https://h/b"},
  };
  for (const Step &s : steps) {
    call(s.method, s.url, "x");
    EXPECT_STREQ(tavro_fake_last_url(), s.last) << s.name;
  }
  tavro_fake_reset();
  EXPECT_STREQ(tavro_fake_last_url(), "");
}

TEST_F(FakeStore, ResetForgetsEverything) {
  const char *url = "https://h/p";
  ASSERT_EQ(tavro_fake_set("POST", url, 200, "ok"), 0);
  post(url, "body");
  get("https://h/q");
  tavro_fake_reset();
  EXPECT_EQ(tavro_fake_calls(nullptr, nullptr), 0);
  EXPECT_EQ(tavro_fake_calls(nullptr, url), 0);
  EXPECT_STREQ(tavro_fake_last_body(url), "");
  EXPECT_STREQ(tavro_fake_last_url(), "");
  EXPECT_EQ(post(url, "again").status, 404);
  EXPECT_EQ(tavro_fake_calls(nullptr, url), 0);
}

// ---- Form POSTs ------------------------------------------------------------

const std::string kFiles = "https://h/v4/magnet/files?agent=quorvelindash&apikey=K";

TEST_F(FakeStore, FormPostIsFiledUnderItsUrlAndFields) {
  const std::string kodi = "https://h/v4/magnet/files?agent=kodi&apikey=K";
  struct Row {
    const char *name;
    std::string stored; // the POST entry that answers "stored"
    std::string url;
    const char *body;
    const char *type;
    bool answered;
    std::string filed; // the URL the call is counted and reported under
  } rows[] = {
      {"fields appended", kFiles + "&id[]=12", kFiles, "id[]=12", kForm, true, kFiles + "&id[]=12"},
      {"the bare URL answers no fields", kFiles, kFiles, "id[]=12", kForm, false,
       kFiles + "&id[]=12"},
      {"other fields are another request", kFiles + "&id[]=12", kFiles, "id[]=13", kForm, false,
       kFiles + "&id[]=13"},
      {"several fields as they are", kFiles + "&a=1&b=%20", kFiles, "a=1&b=%20", kForm, true,
       kFiles + "&a=1&b=%20"},
      {"form type with a parameter", kFiles + "&id[]=12", kFiles, "id[]=12",
       "application/x-www-form-urlencoded; charset=UTF-8", true, kFiles + "&id[]=12"},
      {"empty form by the URL alone", kFiles, kFiles, "", kForm, true, kFiles},
      {"null form by the URL alone", kFiles, kFiles, nullptr, kForm, true, kFiles},
      {"multipart by the URL alone", kFiles, kFiles, "d8:announce", kMultipart, true, kFiles},
      {"multipart never with its body", kFiles + "&d8:announce", kFiles, "d8:announce", kMultipart,
       false, kFiles},
      {"no content type by the URL alone", kFiles, kFiles, "id[]=12", nullptr, true, kFiles},
      {"a longer type is no form", kFiles, kFiles, "id[]=12", "application/x-www-form-urlencodedX",
       true, kFiles},
      {"other agent, fields appended", kFiles + "&id[]=12", kodi, "id[]=12", kForm, true,
       kodi + "&id[]=12"},
  };
  for (const Row &r : rows) {
    tavro_fake_reset();
    ASSERT_EQ(tavro_fake_set("POST", r.stored.c_str(), 200, "stored"), 0) << r.name;
    Answer a = post(r.url.c_str(), r.body, r.type);
    EXPECT_EQ(a.rc, 0) << r.name;
    EXPECT_EQ(a.status, r.answered ? 200 : 404) << r.name;
    EXPECT_EQ(a.body, r.answered ? "stored" : kNotFound) << r.name;
    EXPECT_EQ(tavro_fake_calls("POST", r.stored.c_str()), r.answered ? 1 : 0) << r.name;
    EXPECT_EQ(tavro_fake_calls(nullptr, nullptr), 1) << r.name;
    EXPECT_EQ(tavro_fake_last_url(), r.filed) << r.name;
  }
}

TEST_F(FakeStore, DifferentFieldsAreAnsweredApart) {
  ASSERT_EQ(tavro_fake_set("POST", (kFiles + "&id[]=12").c_str(), 200, "twelve"), 0);
  ASSERT_EQ(tavro_fake_fail("POST", (kFiles + "&id[]=13").c_str(), "thirteen is down"), 0);
  struct Row {
    const char *fields;
    int rc;
    int32_t status;
    std::optional<std::string> body, error;
  } rows[] = {
      {"id[]=12", 0, 200, "twelve", std::nullopt},
      {"id[]=13", -1, 0, std::nullopt, "thirteen is down"},
      {"id[]=14", 0, 404, kNotFound, std::nullopt},
      {"id[]=12", 0, 200, "twelve", std::nullopt},
  };
  for (const Row &r : rows) {
    Answer a = form(kFiles.c_str(), r.fields);
    EXPECT_EQ(a.rc, r.rc) << r.fields;
    EXPECT_EQ(a.status, r.status) << r.fields;
    EXPECT_EQ(a.body, r.body) << r.fields;
    EXPECT_EQ(a.error, r.error) << r.fields;
  }
  EXPECT_EQ(tavro_fake_calls("POST", (kFiles + "&id[]=12").c_str()), 2);
  EXPECT_EQ(tavro_fake_calls("POST", (kFiles + "&id[]=13").c_str()), 1);
  EXPECT_EQ(tavro_fake_calls("POST", (kFiles + "&id[]=14").c_str()), 0);
  EXPECT_EQ(tavro_fake_calls(nullptr, kFiles.c_str()), 0) << "nothing is filed under the bare URL";
  EXPECT_EQ(tavro_fake_calls(nullptr, nullptr), 4);
}

TEST_F(FakeStore, LastFormBodyIsFoundByEitherUrl) {
  const std::string twelve = kFiles + "&id[]=12", thirteen = kFiles + "&id[]=13";
  const std::string kodi = "https://h/v4/magnet/files?agent=kodi&apikey=K";
  ASSERT_EQ(tavro_fake_set("POST", twelve.c_str(), 200, "a"), 0);
  ASSERT_EQ(tavro_fake_set("POST", thirteen.c_str(), 200, "b"), 0);
  struct Step {
    const char *name;
    std::string url; // null fields: no call in this step
    const char *fields;
    const char *bare;  // tavro_fake_last_body(kFiles) afterwards
    const char *by_12; // ... of kFiles&id[]=12
    const char *by_13; // ... of kFiles&id[]=13
  } steps[] = {
      {"nothing posted", kFiles, nullptr, "", "", ""},
      {"first form", kFiles, "id[]=12", "id[]=12", "id[]=12", ""},
      {"the most recent entry answers the bare URL", kFiles, "id[]=13", "id[]=13", "id[]=12",
       "id[]=13"},
      {"called again, first again", kFiles, "id[]=12", "id[]=12", "id[]=12", "id[]=13"},
      {"an unknown form records nothing", kFiles, "id[]=14", "id[]=12", "id[]=12", "id[]=13"},
      {"by the URL the answer is stored under", kodi, "id[]=13", "id[]=13", "id[]=12", "id[]=13"},
  };
  for (const Step &s : steps) {
    if (s.fields) form(s.url.c_str(), s.fields);
    EXPECT_STREQ(tavro_fake_last_body(kFiles.c_str()), s.bare) << s.name;
    EXPECT_STREQ(tavro_fake_last_body(twelve.c_str()), s.by_12) << s.name;
    EXPECT_STREQ(tavro_fake_last_body(thirteen.c_str()), s.by_13) << s.name;
    EXPECT_STREQ(tavro_fake_last_body((kFiles + "&").c_str()), "") << s.name;
    EXPECT_STREQ(tavro_fake_last_body("https://h/v4/magnet/files"), "") << s.name;
  }
}

TEST_F(FakeStore, InvalidKeyRuleReadsTheFiledUrl) {
  const std::string url = "https://h/v4/magnet/files?agent=kodi&apikey=QV-NOT-KEY";
  const std::string filed = url + "&id[]=12";
  Answer a = form(url.c_str(), "id[]=12");
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.body, kBadKeyAnswer);
  EXPECT_EQ(tavro_fake_calls("POST", filed.c_str()), 1);
  EXPECT_EQ(tavro_fake_calls(nullptr, url.c_str()), 0);
  EXPECT_STREQ(tavro_fake_last_body(url.c_str()), "id[]=12");
  // The entry made is the filed URL's: other fields make another one.
  EXPECT_EQ(form(url.c_str(), "id[]=13").body, kBadKeyAnswer);
  EXPECT_EQ(tavro_fake_calls("POST", filed.c_str()), 1);
  EXPECT_EQ(tavro_fake_calls("POST", (url + "&id[]=13").c_str()), 1);
}

TEST_F(FakeStore, StoreGrowsPastItsFirstCapacity) {
  const int n = 300;
  for (int i = 0; i < n; ++i) {
    std::string url = "https://h/item/" + std::to_string(i);
    ASSERT_EQ(
        tavro_fake_set(i % 2 ? "POST" : "GET", url.c_str(), 200 + i % 7, std::to_string(i).c_str()),
        0)
        << url;
  }
  for (int i = 0; i < n; ++i) {
    std::string url = "https://h/item/" + std::to_string(i);
    Answer a = call(i % 2 ? "POST" : "GET", url.c_str(), "x");
    EXPECT_EQ(a.status, 200 + i % 7) << url;
    EXPECT_EQ(a.body, std::to_string(i)) << url;
    EXPECT_EQ(tavro_fake_calls(nullptr, url.c_str()), 1) << url;
  }
}

TEST_F(FakeStore, ReturnedTextsBelongToTheirThread) {
  const char *url = "https://h/p";
  ASSERT_EQ(tavro_fake_set("POST", url, 200, "ok"), 0);
  post(url, "mine");
  const char *mine = tavro_fake_last_body(url);
  std::thread other([] {
    for (int i = 0; i < 10; ++i) {
      post("https://h/p", "theirs");
      EXPECT_STREQ(tavro_fake_last_body("https://h/p"), "theirs");
      EXPECT_STREQ(tavro_fake_last_url(), "https://h/p");
    }
  });
  other.join();
  EXPECT_STREQ(mine, "mine");
}

TEST_F(FakeStore, ConcurrentCallsLoseNoCount) {
  const char *urls[] = {"https://h/c0", "https://h/c1", "https://h/c2"};
  for (const char *u : urls) {
    ASSERT_EQ(tavro_fake_set("GET", u, 200, "g"), 0);
    ASSERT_EQ(tavro_fake_set("POST", u, 200, "p"), 0);
  }
  const int threads = 4, per_thread = 2000;
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::thread setter([&] {
    // Re-setting keeps the counts; new pairs make the store grow under the
    // callers.
    int i = 0;
    while (!done.load()) {
      tavro_fake_set("GET", urls[i % 3], 200, "g");
      std::string fresh = "https://h/fresh/" + std::to_string(i);
      if (i < 500) tavro_fake_set("POST", fresh.c_str(), 201, "new");
      tavro_fake_last_body(urls[i % 3]);
      ++i;
    }
  });
  std::vector<std::thread> callers;
  for (int t = 0; t < threads; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < per_thread; ++i) {
        const char *u = urls[(t + i) % 3];
        Answer a = i % 2 ? post(u, "b") : get(u);
        if (a.rc != 0 || a.status != 200) bad.fetch_add(1);
        if (i % 100 == 0) tavro_fake_last_url();
      }
    });
  }
  for (std::thread &c : callers) c.join();
  done.store(true);
  setter.join();

  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(tavro_fake_calls(nullptr, nullptr), threads * per_thread);
  int sum = 0;
  for (const char *u : urls) sum += tavro_fake_calls(nullptr, u);
  EXPECT_EQ(sum, threads * per_thread);
  // Each caller spreads its calls evenly over the URLs and the two methods.
  for (const char *u : urls) {
    int g = tavro_fake_calls("GET", u), p = tavro_fake_calls("POST", u);
    EXPECT_NEAR(g, threads * per_thread / 6, 4) << u;
    EXPECT_NEAR(p, threads * per_thread / 6, 4) << u;
  }
}

#if defined(TAVRO_FAULT_INJECTION)

// Makes the n-th library allocation from now fail, for the holder's lifetime.
class FailAllocation {
public:
  explicit FailAllocation(long n) { tavro_fi_countdown.store(n); }
  ~FailAllocation() { tavro_fi_countdown.store(0); }
};

TEST_F(FakeStore, ControlFunctionsReportExhaustedMemory) {
  const char *url = "https://h/oom";
  struct Row {
    const char *name;
    bool fail;
  } rows[] = {{"set", false}, {"fail", true}};
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    long failures = tt::fail_each([&] {
      tavro_fake_reset();
      int rc = r.fail ? tavro_fake_fail("GET", url, "down") : tavro_fake_set("GET", url, 200, "up");
      if (!tt::failure_reached()) {
        EXPECT_EQ(rc, 0);
        return;
      }
      EXPECT_EQ(rc, TAVRO_E_BUFFER);
      // The store stays usable: the pair can be given an answer afterwards.
      ASSERT_EQ(tavro_fake_set("GET", url, 200, "later"), 0);
      EXPECT_EQ(get(url).body, "later");
    });
    EXPECT_GT(failures, 0);
  }
}

TEST_F(FakeStore, TransportReportsOutOfMemory) {
  ASSERT_EQ(tavro_fake_set("GET", "https://h/big", 200, "payload"), 0);
  ASSERT_EQ(tavro_fake_set("POST", (kFiles + "&id[]=12").c_str(), 200, "payload"), 0);
  struct Row {
    const char *name;
    std::function<Answer()> call;
  } rows[] = {
      {"GET", [] { return get("https://h/big"); }},
      {"form POST", [] { return form(kFiles.c_str(), "id[]=12"); }},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    int out_of_memory = 0;
    tt::fail_each([&] {
      Answer a = r.call();
      if (a.rc == 0) {
        EXPECT_EQ(a.body, "payload");
        return;
      }
      ++out_of_memory;
      EXPECT_EQ(a.rc, -1);
      EXPECT_EQ(a.error, "out of memory");
      EXPECT_EQ(a.body, std::nullopt);
    });
    EXPECT_GT(out_of_memory, 0);
  }
}

TEST_F(FakeStore, InvalidKeyWithoutMemoryAnswersAsUnknown) {
  const char *url = "https://h/user?apikey=QV-NOT-KEY";
  int unknown = 0;
  tt::fail_each([&] {
    tavro_fake_reset();
    Answer a = get(url);
    if (a.rc == 0 && a.status == 404) {
      ++unknown;
      EXPECT_EQ(a.body, kNotFound);
      EXPECT_EQ(tavro_fake_calls("GET", url), 0);
      // Nothing half-made was kept: the next call makes the entry.
      EXPECT_EQ(get(url).body, kBadKeyAnswer);
    } else if (a.rc == 0) {
      EXPECT_EQ(a.body, kBadKeyAnswer);
    } else {
      EXPECT_EQ(a.error, "out of memory");
    }
  });
  EXPECT_GT(unknown, 0);
}

TEST_F(FakeStore, GettersGiveEmptyTextWithoutMemory) {
  const char *url = "https://h/p";
  ASSERT_EQ(tavro_fake_set("POST", url, 200, "ok"), 0);
  post(url, "body");
  {
    FailAllocation fault(1);
    EXPECT_STREQ(tavro_fake_last_url(), "");
  }
  {
    FailAllocation fault(1);
    EXPECT_STREQ(tavro_fake_last_body(url), "");
  }
  EXPECT_STREQ(tavro_fake_last_url(), url);
  EXPECT_STREQ(tavro_fake_last_body(url), "body");
}

#endif

} // namespace
