// SPDX-License-Identifier: MIT
// The links through the exports, as a host loads them (also the Windows
// program under Wine): a video of several qualities on the three
// transports, the waits that end without a sleep, the folders of saved
// links and history, and all of it from several threads at once. The rows
// that sleep are the unit tests' (tests/unit_links.cpp), on a virtual clock.
#include "abi_loader.h"
#include "byte_host.h"
#include "support.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>
#include <vector>

namespace {

const TavroApi &T = tavro_api();
using tt::api;
using tt::ok;

// The service's documented answers, as it writes them.
const std::string kChoice = ok(
    R"j({"link":"","host":"stream","filename":"Rick Astley - Never Gonna Give You Up (Video)","filesize":0,"id":"1nsjw3315ad","streams":[{"id":"140","ext":"mp3","quality":"mp3","filesize":3433538,"proto":"https","name":"","tb":130.621,"abr":128},{"id":"137+140","ext":"mp4","quality":1080,"filesize":75910363,"proto":"https","name":""},{"id":"398+140","ext":"mp4","quality":720,"filesize":32752789,"proto":"https","name":""}]})j");
const std::string kStreamed = ok(
    R"j({"link":"https://p1cjev.alldeb.ovh/dl/1nsjw3315ad/Rick%20Astley.360.mp4","filename":"Rick Astley (Video).360.mp4","filesize":113129149})j");
const std::string kResult = R"({"url":"https://p1cjev.alldeb.ovh/dl/1nsjw3315ad/Rick%20Astley.)"
                            R"(360.mp4","name":"Rick Astley (Video).360.mp4","size":113129149,)";
const std::string kSaved = ok(
    R"j({"links":[{"link":"https:\/\/example.com\/somefile1","filename":"somefile1.txt","size":751267520,"date":1569420668,"host":"example"},{"link":"http:\/\/youtube.com\/watch?v=dQw4w9WgXcQ","filename":"","size":0,"date":1583253075,"host":"stream"}]})j");
const std::string kSavedListing =
    R"([{"name":"somefile1.txt","path":"somefile1.txt","folder":false,"size":751267520,)"
    R"("locator":"https://example.com/somefile1","id":"https://example.com/somefile1"},)"
    R"({"name":"http://youtube.com/watch?v=dQw4w9WgXcQ","path":"http://youtube.com/watch?v=)"
    R"(dQw4w9WgXcQ","folder":false,"size":-1,"locator":"http://youtube.com/watch?v=dQw4w9WgXcQ",)"
    R"("id":"http://youtube.com/watch?v=dQw4w9WgXcQ"}])";

const tt::Call kUnlock = tt::form(api("/link/unlock"), "link=https%3A%2F%2Fyt%2Fv");
tt::Call streaming(const std::string &stream) {
  return tt::form(api("/link/streaming"), "id=1nsjw3315ad&stream=" + stream);
}
const std::string kEntry = R"({"locator":"https://yt/v"})";

class Links : public ::testing::Test {
protected:
  std::array<char, 1 << 14> out{};
  void SetUp() override { T.tavro_fake_reset(); }
  void TearDown() override {
    T.tavro_set_io(nullptr);
    T.tavro_fake_reset();
  }
  int stream(const std::string &settings = tt::kSettings) {
    return T.tavro_stream_url(settings.c_str(), kEntry.c_str(), out.data(), (int32_t)out.size());
  }
  std::string got() const { return out.data(); }
};

TEST_F(Links, AVideoOfSeveralQualitiesPlaysItsHighestOrItsCappedOne) {
  tt::Host host;
  tavro_io io = host.table();
  ASSERT_EQ(T.tavro_set_io(&io), 0);
  host.answer(kUnlock, 200, kChoice);
  host.answer(streaming("137%2B140"), 200, kStreamed);
  host.answer(streaming("398%2B140"), 200, kStreamed);
  ASSERT_EQ(stream(), TAVRO_OK) << got();
  EXPECT_EQ(got(), kResult + R"("quality":1080})");
  EXPECT_EQ(T.tavro_result_json(), got());
  ASSERT_EQ(stream(R"({"APIKey":"KEY123","MaxQuality":720})"), TAVRO_OK) << got();
  EXPECT_EQ(got(), kResult + R"("quality":720})");
  EXPECT_EQ(host.calls(), (std::vector<tt::Call>{kUnlock, streaming("137%2B140"), kUnlock,
                                                 streaming("398%2B140")}));
  T.tavro_set_io(nullptr);
  EXPECT_EQ(host.live(), 0u);
}

TEST_F(Links, TheByteTransportCarriesBothFieldsInTheBodyAndTheKeyInAHeader) {
  tt::ByteHost host;
  tavro_transport table = host.table();
  ASSERT_EQ(T.tavro_set_transport(&table), 0);
  const std::string root = tt::kRoot;
  host.answer("POST", root + "/link/unlock?agent=quorvelindash", 200, kChoice,
              "link=https%3A%2F%2Fyt%2Fv");
  host.answer("POST", root + "/link/streaming?agent=quorvelindash", 200, kStreamed,
              "id=1nsjw3315ad&stream=137%2B140");
  ASSERT_EQ(stream(), TAVRO_OK) << got();
  EXPECT_EQ(got(), kResult + R"("quality":1080})");
  auto calls = host.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].url, root + "/link/streaming?agent=quorvelindash");
  EXPECT_EQ(calls[1].body, "id=1nsjw3315ad&stream=137%2B140");
  EXPECT_EQ(calls[1].content_type, "application/x-www-form-urlencoded");
  EXPECT_EQ(calls[1].headers, std::vector<std::string>{"Authorization: Bearer KEY123"});
  T.tavro_set_io(nullptr);
  EXPECT_EQ(host.live(), 0u);
}

TEST_F(Links, OnTheFakeTheWaitsThatNeedNoSleepByTheRows) {
  ASSERT_EQ(T.tavro_use_fake(), 0);
  const std::string unlock = tt::fake_url(kUnlock);
  const std::string poll = tt::fake_url(tt::form(api("/link/delayed"), "id=2277564"));
  const std::string delayed =
      ok(R"({"link":"","filename":"big.iso","filesize":7,"delayed":2277564})");
  const struct {
    const char *why;
    std::string settings, unlock, poll;
    int code;
    std::string out;
    int polls;
  } rows[] = {
      {"ready on the first poll", tt::kSettings, delayed,
       ok(R"({"status":2,"time_left":0,"link":"https:\/\/d\/big.iso"})"), TAVRO_OK,
       R"({"url":"https://d/big.iso","name":"big.iso","size":7})", 1},
      {"failed on the first poll", tt::kSettings, delayed, ok(R"({"status":3})"), TAVRO_E_FAILED,
       R"({"error":"the service could not generate the link"})", 1},
      {"DelayedWait 3 ends before the second poll", R"({"APIKey":"KEY123","DelayedWait":3})",
       delayed, ok(R"({"status":1,"time_left":45})"), TAVRO_E_TRANSPORT,
       R"({"error":"the service is still preparing the link (time_left 45 s), and DelayedWait )"
       R"((3 s) ends before the next poll"})",
       1},
      {"DelayedWait 0 polls not at all", R"({"APIKey":"KEY123","DelayedWait":0})", delayed,
       ok(R"({"status":2,"link":"x"})"), TAVRO_E_TRANSPORT,
       R"({"error":"the service is preparing the link, and DelayedWait is 0: it is not waited )"
       R"(for"})",
       0},
      {"an unknown delayed id", tt::kSettings, delayed,
       tt::error_env("DELAYED_INVALID_ID", "Invalid delayed ID"), TAVRO_E_NOT_FOUND,
       R"({"error":"AllDebrid error DELAYED_INVALID_ID: Invalid delayed ID"})", 1},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.why);
    T.tavro_fake_reset();
    ASSERT_EQ(T.tavro_fake_set("POST", unlock.c_str(), 200, row.unlock.c_str()), 0);
    ASSERT_EQ(T.tavro_fake_set("POST", poll.c_str(), 200, row.poll.c_str()), 0);
    EXPECT_EQ(stream(row.settings), row.code);
    EXPECT_EQ(got(), row.out);
    EXPECT_EQ(T.tavro_fake_calls("POST", poll.c_str()), row.polls);
    EXPECT_EQ(T.tavro_fake_calls(nullptr, nullptr), 1 + row.polls);
  }
}

TEST_F(Links, TheFoldersOfSavedLinksAndHistoryOnTheFake) {
  ASSERT_EQ(T.tavro_use_fake(), 0);
  ASSERT_EQ(T.tavro_fake_set("GET", api("/user/links").c_str(), 200, kSaved.c_str()), 0);
  ASSERT_EQ(
      T.tavro_fake_set("GET", api("/user/history").c_str(), 200, ok(R"({"links":[]})").c_str()), 0);
  ASSERT_EQ(T.tavro_list(tt::kSettings.c_str(), "links", out.data(), (int32_t)out.size()),
            TAVRO_OK);
  EXPECT_EQ(got(), kSavedListing);
  ASSERT_EQ(T.tavro_list(tt::kSettings.c_str(), "history", out.data(), (int32_t)out.size()),
            TAVRO_OK);
  EXPECT_EQ(got(), "[]");
  EXPECT_EQ(T.tavro_fake_calls("GET", api("/user/links").c_str()), 1);
  EXPECT_EQ(T.tavro_fake_calls("GET", api("/user/history").c_str()), 1);
}

TEST(LinksThreads, SeveralThreadsStreamQualitiesAndListSavedLinksAtOnce) {
  // Each thread has its own key, so its requests and results are its own.
  constexpr int kThreads = 6, kRounds = 150;
  tt::Host host;
  tavro_io io = host.table();
  std::vector<std::string> settings;
  for (int t = 0; t < kThreads; ++t) {
    std::string key = "KEY-T" + std::to_string(t);
    settings.push_back(R"({"APIKey":")" + key + R"(","MaxQuality":)" + (t % 2 ? "720" : "2000") +
                       "}");
    host.answer(tt::form(api("/link/unlock", "", key), "link=https%3A%2F%2Fyt%2Fv"), 200, kChoice);
    host.answer(tt::form(api("/link/streaming", "", key), "id=1nsjw3315ad&stream=137%2B140"), 200,
                kStreamed);
    host.answer(tt::form(api("/link/streaming", "", key), "id=1nsjw3315ad&stream=398%2B140"), 200,
                kStreamed);
    host.answer("GET", api("/user/links", "", key), 200, kSaved);
  }
  std::vector<int> bad(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const tavro_handler *h = T.halvo_get();
      std::string want = kResult + (t % 2 ? R"("quality":720})" : R"("quality":1080})");
      char out[4096];
      for (int i = 0; i < kRounds; ++i) {
        if (h->stream_url(&io, settings[t].c_str(), kEntry.c_str(), out, sizeof out) != TAVRO_OK ||
            want != out || want != T.tavro_result_json())
          ++bad[t];
        if (h->list(&io, settings[t].c_str(), "links", out, sizeof out) != TAVRO_OK ||
            kSavedListing != out)
          ++bad[t];
      }
    });
  }
  for (auto &th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(bad[t], 0) << "thread " << t;
  EXPECT_EQ(host.calls().size(), (size_t)kThreads * kRounds * 3);
  EXPECT_EQ(host.live(), 0u);
  EXPECT_EQ(host.bad_releases(), 0);
}

} // namespace
