// SPDX-License-Identifier: MIT
// The memory a thread keeps between calls: what it reuses, its bound, and
// its release when the thread ends; and the listing that writes into the
// caller's buffer and reuses the thread's result copy.
#include "support.h"
#include "tavro_http.h"
#include "tavro_io_fake.h"
#include "tavro_keep.h"
#include "tavro_service.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// A files answer of magnet 12 with n files in two folders, through the fake.
std::string files_answer(int n) {
  std::string files;
  for (int i = 0; i < n; ++i) {
    if (i) files += ',';
    files.append(R"({"n":"Show.S01E)").append(std::to_string(i)).append(R"(.mkv","s":)");
    files.append(std::to_string(1000 + i)).append(R"(,"l":"https://l/)");
    files.append(std::to_string(i)).append("\"}");
  }
  return tt::ok(R"({"magnets":[{"id":12,"files":[{"n":"Show","e":[{"n":"Season 1","e":[)" + files +
                "]}]}]}]}");
}

class Kept : public ::testing::Test {
protected:
  void SetUp() override {
    tavro_fake_reset();
    tavro_use_fake();
  }
  void TearDown() override {
    tavro_keep_clear();
    tavro_fake_reset();
    tavro_set_io(nullptr);
  }
  // Lists magnet 12 with n files into out; the result code.
  static int list(int n, std::vector<char> &out) {
    std::string url = tt::api("/magnet/files", "id[]=12");
    std::string body = files_answer(n);
    EXPECT_EQ(tavro_fake_set("POST", url.c_str(), 200, body.c_str()), 0);
    return tavro_list(tt::kSettings.c_str(), "m12", out.data(), (int32_t)out.size());
  }
};

TEST_F(Kept, TakeReusesABlockThatFitsAndNotOneFarLarger) {
  tavro_keep_clear();
  size_t cap = 0;
  void *big = tavro_keep_take(4 << 20, &cap);
  ASSERT_NE(big, nullptr);
  ASSERT_EQ(cap, size_t(4) << 20);
  tavro_keep_give(big, cap);
  // Half the size and a little less reuse it; a far smaller one does not.
  size_t again = 0;
  void *half = tavro_keep_take((2 << 20) - 100, &again);
  EXPECT_EQ(half, big);
  EXPECT_EQ(again, cap);
  tavro_keep_give(half, again);
  size_t small_cap = 0;
  void *small = tavro_keep_take(1000, &small_cap);
  EXPECT_NE(small, big);
  EXPECT_EQ(small_cap, 1000u);
  tavro_keep_give(small, small_cap);
  // Larger than the block kept: a new one.
  size_t larger_cap = 0;
  void *larger = tavro_keep_take((4 << 20) + 1, &larger_cap);
  EXPECT_NE(larger, big);
  tavro_keep_give(larger, larger_cap);
}

void release_a(void *, void *) {}
void release_b(void *, void *) {}

TEST_F(Kept, ANotedBlockIsClaimedOnceByItsOwnerOnItsThread) {
  size_t cap = 0;
  void *block = tavro_keep_take(100, &cap);
  ASSERT_NE(block, nullptr);
  tavro_keep_note(block, cap, 90, release_a);
  size_t got_cap = 0, got_len = 0;
  EXPECT_FALSE(tavro_keep_claim(block, release_b, &got_cap, &got_len)) << "another owner";
  char elsewhere[8];
  EXPECT_FALSE(tavro_keep_claim(elsewhere, release_a, &got_cap, &got_len)) << "another block";
  bool on_other_thread = true;
  std::thread([&] {
    size_t c = 0, l = 0;
    on_other_thread = tavro_keep_claim(block, release_a, &c, &l);
  }).join();
  EXPECT_FALSE(on_other_thread);
  ASSERT_TRUE(tavro_keep_claim(block, release_a, &got_cap, &got_len));
  EXPECT_EQ(got_cap, cap);
  EXPECT_EQ(got_len, 90u);
  EXPECT_FALSE(tavro_keep_claim(block, release_a, &got_cap, &got_len)) << "claimed once";
  tavro_keep_note(block, cap, 90, release_a);
  tavro_keep_note(nullptr, 0, 0, nullptr);
  EXPECT_FALSE(tavro_keep_claim(block, release_a, &got_cap, &got_len)) << "the note was cleared";
  tavro_keep_give(block, cap);
}

// The fake's own answers, with the block of the last one seen.
const char *g_seen = nullptr;
int seen_get(void *ctx, const char *url, char **body, int32_t *status, char **error) {
  int rc = tavro_io_fake()->get(ctx, url, body, status, error);
  g_seen = *body;
  return rc;
}

TEST_F(Kept, TheFakesAnswerIsTakenByTheExchangeAsItStands) {
  // The fake notes its answer, padded for the parser; an exchange over a
  // table whose texts the fake releases takes that block instead of
  // copying it.
  std::string url = tt::api("/user");
  ASSERT_EQ(tavro_fake_set("GET", url.c_str(), 200, R"({"status":"success"})"), 0);
  const tavro_io *fake = tavro_io_fake();
  char *body = nullptr, *error = nullptr;
  int32_t status = 0;
  ASSERT_EQ(fake->get(fake->ctx, url.c_str(), &body, &status, &error), 0);
  size_t cap = 0, len = 0;
  ASSERT_TRUE(tavro_keep_claim(body, fake->free, &cap, &len));
  EXPECT_EQ(len, std::strlen(body));
  for (size_t i = 0; i < TAVRO_BODY_PADDING; ++i) EXPECT_EQ(body[len + i], '\0');
  fake->free(fake->ctx, body);

  tavro_io seen{nullptr, seen_get, fake->post, fake->free};
  char err[256] = {};
  tavro::Resp resp;
  ASSERT_EQ(tavro_http(&seen, url.c_str(), nullptr, resp.get(), err, sizeof err), 0) << err;
  EXPECT_EQ(resp->body, g_seen) << "the answer was copied";
  EXPECT_EQ(std::string(resp->body, resp->body_len), R"({"status":"success"})");
}

// A host table that hands on the fake's answers, and counts what the
// library gives back to its free.
struct Relay {
  int answers = 0, freed = 0;
  static int get(void *ctx, const char *url, char **body, int32_t *status, char **error) {
    static_cast<Relay *>(ctx)->answers += 1;
    return tavro_io_fake()->get(nullptr, url, body, status, error);
  }
  static int post(void *ctx, const char *url, const char *body, const char *type, char **out,
                  int32_t *status, char **error) {
    static_cast<Relay *>(ctx)->answers += 1;
    return tavro_io_fake()->post(nullptr, url, body, type, out, status, error);
  }
  static void release(void *ctx, void *text) {
    static_cast<Relay *>(ctx)->freed += 1;
    tavro_io_fake()->free(nullptr, text);
  }
};

TEST_F(Kept, TheFakesAnswerThroughAHostsTableGoesBackThroughItsFree) {
  // The library takes the fake's answer block as it stands only from the
  // fake's own table: relayed by a host's table, the answer is the host's
  // text and is released through the host's free, once.
  std::vector<char> out(1 << 16);
  ASSERT_EQ(list(20, out), TAVRO_OK) << tavro_last_error();
  std::string direct = out.data();
  Relay relay;
  tavro_io table{&relay, Relay::get, Relay::post, Relay::release};
  ASSERT_EQ(tavro_set_io(&table), TAVRO_OK);
  ASSERT_EQ(tavro_list(tt::kSettings.c_str(), "m12", out.data(), (int32_t)out.size()), TAVRO_OK)
      << tavro_last_error();
  EXPECT_EQ(std::string(out.data()), direct);
  EXPECT_EQ(relay.answers, 1);
  EXPECT_EQ(relay.freed, 1);
}

TEST_F(Kept, ABoundOnWhatAThreadKeeps) {
  tavro_keep_clear();
  uint64_t before = tavro_keep_total();
  // More than the bound, in blocks of a quarter of it: the thread keeps at
  // most the bound; a block larger than the bound is never kept.
  std::vector<std::pair<void *, size_t>> blocks;
  for (int i = 0; i < 6; ++i) {
    size_t cap = 0;
    void *p = tavro_keep_take(TAVRO_KEEP_MAX / 4 + i, &cap);
    ASSERT_NE(p, nullptr);
    blocks.emplace_back(p, cap);
  }
  for (auto &[p, cap] : blocks) tavro_keep_give(p, cap);
  EXPECT_LE(tavro_keep_total() - before, uint64_t(TAVRO_KEEP_MAX));
  EXPECT_GT(tavro_keep_total() - before, uint64_t(TAVRO_KEEP_MAX) / 2);
  size_t cap = 0;
  void *huge = tavro_keep_take(TAVRO_KEEP_MAX + 1, &cap);
  ASSERT_NE(huge, nullptr);
  uint64_t with = tavro_keep_total();
  tavro_keep_give(huge, cap);
  EXPECT_EQ(tavro_keep_total(), with);
  tavro_keep_clear();
  EXPECT_EQ(tavro_keep_total(), before);
}

TEST_F(Kept, AThreadsMemoryGoesWhenTheThreadEnds) {
  uint64_t before = tavro_keep_total();
  uint64_t during = 0;
  std::thread t([&] {
    std::vector<char> out(4 << 20);
    ASSERT_EQ(list(2000, out), TAVRO_OK) << tavro_last_error();
    ASSERT_EQ(list(2000, out), TAVRO_OK) << tavro_last_error();
    during = tavro_keep_total();
  });
  t.join();
  EXPECT_GT(during, before) << "the listing's answer and document are kept";
  EXPECT_LE(during - before, uint64_t(TAVRO_KEEP_MAX));
  EXPECT_EQ(tavro_keep_total(), before);
}

TEST_F(Kept, ARepeatedListingReusesTheResultCopyAndGivesTheSameBytes) {
  std::vector<char> out(4 << 20);
  ASSERT_EQ(list(3000, out), TAVRO_OK) << tavro_last_error();
  std::string first = out.data();
  const char *copy = tavro_result_json();
  EXPECT_EQ(first, copy);
  for (int round = 0; round < 3; ++round) {
    std::fill(out.begin(), out.end(), 'x');
    ASSERT_EQ(list(3000, out), TAVRO_OK) << tavro_last_error();
    EXPECT_EQ(std::string(out.data()), first);
    // The same block holds the copy: no new pages for it.
    EXPECT_EQ(tavro_result_json(), copy);
    EXPECT_EQ(std::string(tavro_result_json()), first);
  }
  // A far smaller result gets a block of its own, and the bytes are right.
  ASSERT_EQ(list(3, out), TAVRO_OK);
  EXPECT_EQ(std::string(tavro_result_json()), std::string(out.data()));
}

TEST_F(Kept, AListingThatEndsElsewhereLeavesNothingOfItInTheBuffer) {
  // The listing is written into the caller's buffer as it goes. When it
  // outgrows the buffer, or the call fails part of the way, the buffer
  // keeps none of it: the bytes written are zero again, the others as they
  // were, and a failure's document stands at the start.
  struct Row {
    int files;
    size_t buffer;
    int code;
    const char *starts;
  } rows[] = {
      {100, 64, TAVRO_E_BUFFER, ""},
      {100, 5000, TAVRO_E_BUFFER, ""},
      {TAVRO_FILES_MAX + 1, 16 << 20, TAVRO_E_FAILED, R"({"error":"magnet tree larger than)"},
  };
  for (const Row &r : rows) {
    std::vector<char> out(r.buffer, 'x');
    ASSERT_EQ(list(r.files, out), r.code) << r.files;
    std::string text(out.data());
    EXPECT_EQ(text.substr(0, std::strlen(r.starts)), r.starts);
    std::string rest(out.begin() + (std::ptrdiff_t)text.size(), out.end());
    EXPECT_EQ(rest.find("Show"), std::string::npos) << r.files << " files: a listing was left";
    size_t zeros = rest.find_first_not_of('\0');
    EXPECT_TRUE(zeros == std::string::npos ||
                rest.find_first_not_of('x', zeros) == std::string::npos)
        << "the bytes past what was written are as they were";
  }
  std::vector<char> big(1 << 20);
  ASSERT_EQ(list(100, big), TAVRO_OK);
  EXPECT_EQ(std::string(tavro_result_json()), std::string(big.data()));
}

} // namespace
