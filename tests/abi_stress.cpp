// SPDX-License-Identifier: MIT
// Concurrency stress, meant for ThreadSanitizer: eight threads run all four
// operations and the three sign-in exports, through the exports on whatever transport is selected
// and through the handler record on a host transport, while another thread flips the writes switch
// and the selection (fake or none) under them and every thread also drives the fake's control
// functions. Each thread keeps to its own API key, so its requests, answers and counters are its
// own: the results a thread reads must be those of its own last call, and every request it caused
// must be counted by the fake or the host.
#include "abi_loader.h"
#include "support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

const TavroApi &T = tavro_api();
using tt::api;
using tt::ok;

constexpr int kWorkers = 8;
constexpr int kRounds = 1000;

std::string percent(const std::string &s) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += (char)c;
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// Everything one worker asks for and expects, all of it marked with its
// number.
struct Worker {
  int n;
  std::string key, settings, magnet, torrent, torrent_link;
  // The requests as the host sees them.
  tt::Call user, status, unlock, upload, upload_file, files, removal;
  std::string extra;
  std::string validated, listed, streamed, payload, folder, folder_listed, change, changed;
  // Signing in: settings naming the worker as the client (the PIN
  // endpoints carry no key), its PIN, its approval token and their results.
  std::string client_settings, pin, verif_request, started, activated, allowed;
  tt::Call pin_get, pin_check, verif;
  // Requests this worker caused, by where they went.
  int fake_user = 0, fake_status = 0, fake_unlock = 0, fake_upload = 0, fake_torrent = 0,
      fake_upload_file = 0, fake_removal = 0, fake_pin_get = 0, fake_pin_check = 0, fake_verif = 0;
  int host_user = 0, host_files = 0, host_upload = 0;
  // Outcomes that only the selection or the switch explain.
  int no_transport = 0, refused = 0;
  int mismatches = 0;
  std::string first_mismatch;

  explicit Worker(int i) : n(i) {
    std::string id = std::to_string(i);
    key = "KEY-W" + id + "x";
    settings = R"({"APIKey":")" + key + R"(","ID":"id-)" + id + "\"}";
    char hash[41];
    std::snprintf(hash, sizeof hash, "0123456789abcdef0123456789abcdef012345%02x", i);
    magnet = std::string("magnet:?xt=urn:btih:") + hash;
    torrent = "d8:announce3:u" + id + "x4:infod6:lengthi5e4:pathl1:aeee";
    torrent_link = "https://h/w" + id + ".torrent";
    user = tt::get(api("/user", "", key));
    status = tt::form(tt::status_url(key), "");
    unlock = tt::form(api("/link/unlock", "", key), "link=L-" + id);
    upload = tt::form(api("/magnet/upload", "", key), "magnets[]=" + percent(magnet));
    upload_file = tt::multipart(api("/magnet/upload/file", "", key), torrent);
    files = tt::form(api("/magnet/files", "", key), "id[]=" + id);
    removal = tt::form(api("/magnet/delete", "", key), "id=" + id);
    change = R"({"Action":"delete","Magnet":"m)" + id + "\"}";
    changed = R"({"Action":"delete","Magnet":"m)" + id + R"(","message":"deleted )" + id + "\"}";
    extra = "https://h/extra-" + id;
    validated = R"({"ClientId":"quorvelindash","RuntimeType":"ALLDEBRID","ID":"id-)" + id + "\"}";
    listed = R"([{"name":"film-)" + id + R"(","path":"m)" + id + R"(","folder":true,"size":)" + id +
             R"(,"id":"m)" + id + R"(","locator":"m)" + id +
             R"(","state":null,"status":null,"downloaded":-1,"speed":-1}])";
    streamed = R"({"url":"https://cdn/)" + id + R"(","name":"f-)" + id + R"(","size":)" + id + "}";
    payload = R"({"id":)" + id + R"(,"ready":false})";
    folder = "m" + id;
    client_settings = R"({"CustomName":"w)" + id + "\"}";
    pin_get = tt::get("https://api.alldebrid.com/v4.1/pin/get?agent=w" + id);
    pin_check = tt::form(tt::kRoot + "/pin/check?agent=w" + id, "pin=P" + id + "&check=C" + id);
    verif = tt::form(api("/user/verif", "", key), "token=T" + id);
    started = R"({"pin":"P)" + id + R"(","user_url":"https://alldebrid.com/pin/?pin=P)" + id +
              R"(","check":"C)" + id + R"(","expires_in":600})";
    pin = started;
    activated = R"({"activated":true,"APIKey":"NEWKEY-)" + id + R"(","expires_in":)" + id + "}";
    verif_request = R"({"token":"T)" + id + "\"}";
    allowed = R"({"verif":"allowed","APIKey":"ALLOWED-)" + id + "\"}";
    folder_listed = R"([{"name":"f)" + id + R"(.mkv","path":"f)" + id +
                    R"(.mkv","folder":false,"size":)" + id + R"(,"locator":"L-)" + id +
                    R"(","id":"f)" + id + R"(.mkv"}])";
  }

  // The service's answers, in the fake and in the host.
  void answers(tt::Host &host) const {
    std::string id = std::to_string(n);
    std::string film = ok(R"({"magnets":[{"id":)" + id + R"(,"filename":"film-)" + id +
                          R"(","size":)" + id + "}]}");
    std::string unlocked = ok(R"({"link":"https://cdn/)" + id + R"(","filename":"f-)" + id +
                              R"(","filesize":)" + id + "}");
    std::string added = ok(R"({"magnets":[)" + payload + "]}");
    std::string listing = ok(R"({"magnets":[{"id":)" + id + R"(,"files":[{"n":"f)" + id +
                             R"(.mkv","s":)" + id + R"(,"l":"L-)" + id + R"("}]}]})");
    std::string pin_answer =
        ok(R"({"pin":"P)" + id + R"(","check":"C)" + id +
           R"(","expires_in":600,"user_url":"https://alldebrid.com/pin/?pin=P)" + id + "\"}");
    std::string check_answer =
        ok(R"({"activated":true,"apikey":"NEWKEY-)" + id + R"(","expires_in":)" + id + "}");
    std::string verif_answer = ok(R"({"verif":"allowed","apikey":"ALLOWED-)" + id + "\"}");
    for (auto [req, b] :
         {std::pair{pin_get, pin_answer}, {pin_check, check_answer}, {verif, verif_answer}})
      T.tavro_fake_set(req.method.c_str(), tt::fake_url(req).c_str(), 200, b.c_str());
    for (auto [req, b] : {std::pair{user, ok("{}")},
                          {status, film},
                          {unlock, unlocked},
                          {upload, added},
                          {tt::get(torrent_link), torrent},
                          {upload_file, added},
                          {files, listing},
                          {removal, ok(R"({"message":"deleted )" + id + "\"}")}}) {
      T.tavro_fake_set(req.method.c_str(), tt::fake_url(req).c_str(), 200, b.c_str());
      host.answer(req, 200, b);
    }
  }

  // This thread's copies must be those of the call just made.
  void expect(const char *what, int code, int want_code, const std::string &result,
              const std::string &error, const char *out) {
    std::string r = T.tavro_result_json(), e = T.tavro_last_error();
    bool good =
        code == want_code && r == result && e == error &&
        (!out || std::string(out) == (code == 0 ? result : "{\"error\":\"" + error + "\"}"));
    if (good) return;
    if (!mismatches++)
      first_mismatch =
          std::string(what) + ": code " + std::to_string(code) + ", result " + r + ", error " + e;
  }

  // An export on the selected transport: the fake, or none at all.
  // The refusal of each export that writes, while writes are off.
  static constexpr const char *kAddRefused =
      "download() adds transfers to the account; call tavro_allow_writes(1) first";
  static constexpr const char *kChangeRefused =
      "change() changes the account; call tavro_allow_writes(1) first";

  // refusal is the export's message while writes are off, or null for an
  // export that does not write.
  template <class Call>
  bool on_selection(const char *what, Call call, const std::string &result, const char *refusal) {
    char out[4096];
    int code = call(out, (int32_t)sizeof out);
    if (code == TAVRO_E_TRANSPORT) {
      ++no_transport;
      expect(what, code, TAVRO_E_TRANSPORT, "", "no transport", out);
      return false;
    }
    if (refusal && code == TAVRO_E_WRITES_OFF) {
      ++refused;
      expect(what, code, TAVRO_E_WRITES_OFF, "", refusal, out);
      return false;
    }
    expect(what, code, TAVRO_OK, result, "", out);
    return code == TAVRO_OK;
  }

  void round(int i, const tavro_io *host_io) {
    const tavro_handler *h = T.halvo_get();
    const char *s = settings.c_str();
    std::string entry = R"({"locator":"L-)" + std::to_string(n) + "\"}";
    std::string by_magnet = R"({"Link":")" + magnet + "\"}";
    std::string by_torrent = R"({"Link":")" + torrent_link + "\"}";
    char out[4096];
    switch ((i + n) % 8) {
    case 0: {
      // Without a buffer: the result is read from the per-thread copy.
      int code = T.tavro_validate(s, nullptr, 0);
      if (code == TAVRO_OK) ++fake_user;
      if (code == TAVRO_OK) {
        expect("validate", code, TAVRO_OK, validated, "", nullptr);
      } else {
        ++no_transport;
        expect("validate", code, TAVRO_E_TRANSPORT, "", "no transport", nullptr);
      }
      break;
    }
    case 1:
      // Every other time round, the magnet is removed instead.
      if ((i / 8) % 2)
        fake_removal += on_selection(
            "change", [&](char *o, int32_t l) { return T.tavro_change(s, change.c_str(), o, l); },
            changed, kChangeRefused);
      else
        fake_status += on_selection(
            "list", [&](char *o, int32_t l) { return T.tavro_list(s, "torrents", o, l); }, listed,
            nullptr);
      break;
    case 2:
      fake_unlock += on_selection(
          "stream", [&](char *o, int32_t l) { return T.tavro_stream_url(s, entry.c_str(), o, l); },
          streamed, nullptr);
      break;
    case 3:
      fake_upload += on_selection(
          "download magnet",
          [&](char *o, int32_t l) { return T.tavro_download(s, by_magnet.c_str(), o, l); }, payload,
          kAddRefused);
      break;
    case 4:
      if (on_selection(
              "download torrent",
              [&](char *o, int32_t l) { return T.tavro_download(s, by_torrent.c_str(), o, l); },
              payload, kAddRefused)) {
        fake_torrent += 2; // fetched once for a redirect, once as a torrent
        ++fake_upload_file;
        if (torrent != T.tavro_fake_last_body(upload_file.url.c_str()) && !mismatches++)
          first_mismatch = "posted torrent";
      }
      break;
    case 5:
      expect("record validate", h->validate(host_io, s, out, sizeof out), TAVRO_OK, validated, "",
             out);
      ++host_user;
      break;
    case 6:
      expect("record list", h->list(host_io, s, folder.c_str(), out, sizeof out), TAVRO_OK,
             folder_listed, "", out);
      ++host_files;
      break;
    default: {
      int code = h->download(host_io, s, by_magnet.c_str(), out, sizeof out);
      if (code == TAVRO_OK) {
        ++host_upload;
        expect("record download", code, TAVRO_OK, payload, "", out);
      } else {
        ++refused;
        expect("record download", code, TAVRO_E_WRITES_OFF, "", kAddRefused, out);
      }
      // A transport given as NULL is no transport, whatever is selected.
      expect("record without transport", h->list(nullptr, s, "torrents", out, sizeof out),
             TAVRO_E_TRANSPORT, "", "no transport", out);
    }
    }
    // A sign-in export in every other round, on the selected transport.
    if (i % 2 == 0) {
      switch ((i / 2 + n) % 3) {
      case 0:
        fake_pin_get += on_selection(
            "pin start",
            [&](char *o, int32_t l) { return T.tavro_pin_start(client_settings.c_str(), o, l); },
            started, nullptr);
        break;
      case 1:
        fake_pin_check += on_selection(
            "pin check",
            [&](char *o, int32_t l) {
              return T.tavro_pin_check(client_settings.c_str(), pin.c_str(), o, l);
            },
            activated, nullptr);
        break;
      default:
        fake_verif += on_selection(
            "verify",
            [&](char *o, int32_t l) { return T.tavro_verify(s, verif_request.c_str(), o, l); },
            allowed, nullptr);
      }
    }
    // The fake's controls, concurrently with everyone's requests.
    if (i % 2)
      T.tavro_fake_fail("GET", extra.c_str(), "down");
    else
      T.tavro_fake_set("GET", extra.c_str(), 200, "up");
    std::string last = T.tavro_fake_last_url();
    if (!last.empty() && last.compare(0, 8, "https://") != 0 && !mismatches++)
      first_mismatch = "last url " + last;
    T.tavro_fake_calls(nullptr, nullptr);
  }
};

TEST(Stress, EightThreadsMixAllOperationsWhileTheSelectionAndWritesChange) {
  T.tavro_fake_reset();
  tt::Host host;
  tavro_io io = host.table();
  std::vector<Worker> workers;
  for (int i = 0; i < kWorkers; ++i) workers.emplace_back(i);

  std::atomic<int> ready{0};
  std::atomic<bool> done{false};
  std::atomic<long> flips{0};
  std::thread toggler([&] {
    // The states follow a pseudo-random sequence, so that workers woken by
    // a flip cannot fall into step with one state.
    uint32_t x = 2463534242u;
    for (long i = 0; !done; ++i) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      T.tavro_allow_writes((int)((x >> 7) & 1));
      if ((x >> 19) & 1)
        T.tavro_use_fake();
      else
        T.tavro_set_io(nullptr);
      T.tavro_fake_calls("GET", nullptr);
      flips = i + 1;
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> threads;
  for (Worker &w : workers) {
    threads.emplace_back([&host, &io, &ready, &flips, worker = &w] {
      // Each worker stores its own answers, concurrently with the others.
      worker->answers(host);
      ++ready;
      while (ready < kWorkers) std::this_thread::yield();
      long seen = flips;
      for (int i = 0; i < kRounds; ++i) {
        // However busy the machine, the selection and the switch change
        // several times between a worker's stretches of rounds.
        if (i % 50 == 0) {
          while (flips < seen + 4) std::this_thread::yield();
          seen = flips;
        }
        worker->round(i, &io);
      }
    });
  }
  for (auto &t : threads) t.join();
  done = true;
  toggler.join();
  T.tavro_set_io(nullptr);
  T.tavro_allow_writes(0);

  long fake_total = 0;
  int fake_successes = 0, writes = 0, no_transport = 0, refused = 0, signins = 0;
  for (const Worker &w : workers) {
    SCOPED_TRACE("worker " + std::to_string(w.n));
    EXPECT_EQ(w.mismatches, 0) << w.first_mismatch;
    // No call lost or counted twice, per URL.
    auto fake_calls = [](const tt::Call &req) {
      return T.tavro_fake_calls(req.method.c_str(), tt::fake_url(req).c_str());
    };
    EXPECT_EQ(fake_calls(w.user), w.fake_user);
    EXPECT_EQ(fake_calls(w.status), w.fake_status);
    EXPECT_EQ(fake_calls(w.removal), w.fake_removal);
    EXPECT_EQ(fake_calls(w.unlock), w.fake_unlock);
    EXPECT_EQ(fake_calls(w.upload), w.fake_upload);
    EXPECT_EQ(T.tavro_fake_calls("GET", w.torrent_link.c_str()), w.fake_torrent);
    EXPECT_EQ(fake_calls(w.upload_file), w.fake_upload_file);
    EXPECT_EQ(fake_calls(w.pin_get), w.fake_pin_get);
    EXPECT_EQ(fake_calls(w.pin_check), w.fake_pin_check);
    EXPECT_EQ(fake_calls(w.verif), w.fake_verif);
    EXPECT_EQ(host.count(w.user), (size_t)w.host_user);
    EXPECT_EQ(host.count(w.files), (size_t)w.host_files);
    EXPECT_EQ(host.count(w.upload), (size_t)w.host_upload);
    fake_total += w.fake_user + w.fake_status + w.fake_unlock + w.fake_upload + w.fake_torrent +
                  w.fake_upload_file + w.fake_removal + w.fake_pin_get + w.fake_pin_check +
                  w.fake_verif;
    fake_successes += w.fake_user + w.fake_status + w.fake_unlock;
    signins += w.fake_pin_get + w.fake_pin_check + w.fake_verif;
    writes += w.fake_upload + w.fake_upload_file + w.host_upload + w.fake_removal;
    no_transport += w.no_transport;
    refused += w.refused;
  }
  // Every request the fake answered was one of the workers'.
  EXPECT_EQ(T.tavro_fake_calls(nullptr, nullptr), fake_total);
  EXPECT_EQ(host.live(), 0u);
  EXPECT_EQ(host.bad_releases(), 0);
  // The mix really happened: the fake and no transport were both met, and
  // writes were both allowed and refused.
  EXPECT_GT(fake_successes, 0);
  EXPECT_GT(signins, 0);
  EXPECT_GT(no_transport, 0);
  EXPECT_GT(writes, 0);
  EXPECT_GT(refused, 0);
  std::printf("  %d threads x %d rounds; %ld fake requests, %zu host requests, %d without a "
              "transport, %d writes refused, %ld flips\n",
              kWorkers, kRounds, fake_total, host.calls().size(), no_transport, refused,
              flips.load());
  T.tavro_fake_reset();
}

} // namespace
