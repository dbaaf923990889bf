// SPDX-License-Identifier: MIT
// Concurrent calls: operations on several threads through one host transport
// and through the fake, each thread seeing only its own results, while the
// selection and the writes switch change under them.
#include "abi_loader.h"
#include "support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

const TavroApi &T = tavro_api();
using tt::api;
using tt::ok;

constexpr int kThreads = 6;
constexpr int kRounds = 150;

TEST(Threads, OperationsOnAHostTransportKeepTheirOwnResults) {
  tt::Host host;
  tavro_io io = host.table();
  host.answer("GET", api("/user"), 200, ok("{}"));
  host.answer(tt::form(tt::status_url(), ""), 200,
              ok(R"({"magnets":[{"id":1,"filename":"a","size":3}]})"));
  ASSERT_EQ(T.tavro_set_io(&io), 0);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::string settings = R"({"APIKey":"KEY123","ID":"thread-)" + std::to_string(t) + "\"}";
      std::string mine = R"({"ClientId":"quorvelindash","RuntimeType":"ALLDEBRID","ID":"thread-)" +
                         std::to_string(t) + "\"}";
      std::string folder = "no-" + std::to_string(t);
      char out[512];
      for (int i = 0; i < kRounds; ++i) {
        switch (i % 3) {
        case 0:
          if (T.tavro_validate(settings.c_str(), nullptr, 0) != TAVRO_OK ||
              mine != T.tavro_result_json() || *T.tavro_last_error())
            ++failures;
          break;
        case 1:
          if (T.tavro_list(settings.c_str(), "torrents", out, sizeof out) != TAVRO_OK ||
              std::string(out) != T.tavro_result_json())
            ++failures;
          break;
        default:
          if (T.tavro_list(settings.c_str(), folder.c_str(), out, sizeof out) !=
                  TAVRO_E_NOT_FOUND ||
              "no such folder: " + folder != T.tavro_last_error() || *T.tavro_result_json())
            ++failures;
        }
      }
    });
  }
  for (auto &th : threads) th.join();
  T.tavro_set_io(nullptr);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(host.calls().size(), (size_t)kThreads * (kRounds / 3) * 2);
  EXPECT_EQ(host.live(), 0u);
}

TEST(Threads, FakeCountsEveryCallWhileTheSelectionAndWritesChange) {
  T.tavro_fake_reset();
  ASSERT_EQ(T.tavro_fake_set("GET", api("/user").c_str(), 200, ok("{}").c_str()), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> validated{0}, unexpected{0};
  std::thread toggler([&] {
    for (int i = 0; !stop; ++i) {
      T.tavro_allow_writes(i & 1);
      if (i % 2)
        T.tavro_use_fake();
      else
        T.tavro_set_io(nullptr);
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      char out[512];
      for (int i = 0; i < kRounds; ++i) {
        int code = T.tavro_validate(tt::kSettings.c_str(), out, sizeof out);
        if (code == TAVRO_OK)
          ++validated;
        else if (code != TAVRO_E_TRANSPORT || std::string(T.tavro_last_error()) != "no transport")
          ++unexpected;
        code = T.tavro_download(tt::kSettings.c_str(), "{}", out, sizeof out);
        if (code != TAVRO_E_WRITES_OFF && code != TAVRO_E_ARG && code != TAVRO_E_TRANSPORT)
          ++unexpected;
        T.tavro_fake_set("GET", "https://x/extra", 200, "x");
      }
    });
  }
  for (auto &th : threads) th.join();
  stop = true;
  toggler.join();
  T.tavro_set_io(nullptr);
  T.tavro_allow_writes(0);
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(T.tavro_fake_calls("GET", api("/user").c_str()), validated.load());
  T.tavro_fake_reset();
}

TEST(Threads, PerThreadCopiesAreReleasedWhenThreadsEnd) {
  // Under LeakSanitizer, copies left behind by ended threads show as leaks.
  tt::Host host;
  tavro_io io = host.table();
  ASSERT_EQ(T.tavro_set_io(&io), 0);
  for (int i = 0; i < 20; ++i) {
    std::thread([] {
      T.tavro_list(tt::kSettings.c_str(), nullptr, nullptr, 0);
      T.tavro_redact("https://u:p@h/");
      T.tavro_fake_last_url();
    }).join();
  }
  T.tavro_set_io(nullptr);
}

} // namespace
