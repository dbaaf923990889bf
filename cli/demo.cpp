// SPDX-License-Identifier: MIT
// The walk through the demo account.
#include "demo.h"

#include "settings.h"
#include "texts.h"

#include <yyjson.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace tavro_cli {
namespace {

// The entry of a listing whose path is path, as compact JSON, or "".
std::string entry_with_path(const std::string &listing, const char *path) {
  tavro::Doc doc = read_json(listing);
  yyjson_val *root = doc.root();
  size_t i = 0, max = 0;
  yyjson_val *e = nullptr;
  yyjson_arr_foreach(root, i, max, e) {
    if (yyjson_equals_str(yyjson_obj_get(e, "path"), path)) {
      size_t len = 0;
      char *t = yyjson_val_write(e, 0, &len);
      std::string s = t ? std::string(t, len) : "";
      std::free(t);
      return s;
    }
  }
  return "";
}

constexpr const char *kNight = "magnet:?xt=urn:btih:"
                               "1be2a44cb53dde903be8466c08dee9067da8ede3&dn=Night.Train.2021.720p";
constexpr const char *kPack = "magnet:?xt=urn:btih:"
                              "6acd621280932e6f3f2f8783e06992590b6c7a53&dn=Blue.Harbour.S01.1080p";
constexpr const char *kSlow = "magnet:?xt=urn:btih:"
                              "57e8a7776d6892a83f2a49678f8141f4fb883e62&dn=Quiet.Valley.2019.2160p";
constexpr const char *kRedirect = "https://tracker.demo.invalid/get/4417";
constexpr const char *kTorrent = "https://tracker.demo.invalid/files/lecture-01.torrent";
constexpr const char *kVideo = "https://video.demo.invalid/watch?v=lighthouse";
constexpr const char *kSlowName = "Harbour.Lights.2022.iso";
// The service's answer to the first poll of the link it prepares.
constexpr const char *kSlowProcessing = R"({"status":"success","data":{"status":1,"time_left":5}})";

class Walk {
public:
  Walk(const Library &lib, const Style &style, std::string settings)
      : lib_(lib), style_(style), settings_(std::move(settings)) {}

  // Prints one step; counts it as unexpected when its code is not expected,
  // or when a failure's document does not hold the expected text.
  // folder: the folder a listing step lists, or null for another result.
  void step(const char *title, const std::string &command, const Outcome &o, const char *folder,
            int expected = TAVRO_OK, const char *expected_error = nullptr) {
    shown(title, "$ tavro " + command, o, folder, expected, expected_error);
  }

  // A step that shows a call of the library rather than a command (one
  // question of a command that asks again and again, such as tavro login).
  void call(const char *title, const std::string &call, const Outcome &o, int expected = TAVRO_OK,
            const char *expected_error = nullptr) {
    shown(title, "library: " + call, o, nullptr, expected, expected_error);
  }

  void shown(const char *title, const std::string &what, const Outcome &o, const char *folder,
             int expected, const char *expected_error) {
    ++steps_;
    std::printf("%s== %d. %s\n%s\n", steps_ > 1 ? "\n" : "", steps_, title, what.c_str());
    if (o.code == TAVRO_OK) {
      if (folder && std::strcmp(folder, "links") == 0)
        print_saved(stdout, style_, o.result, saved_answer_, folder);
      else if (folder)
        print_listing(stdout, style_, o.result, folder);
      else
        print_document(stdout, style_, o.result);
    } else {
      std::printf("error document: %s\n", o.document.c_str());
    }
    bool as_expected = o.code == expected &&
                       (!expected_error || o.document.find(expected_error) != std::string::npos);
    std::printf("-> %d %s%s\n", o.code, code_name(o.code),
                as_expected ? "" : "  (not what the demo expects)");
    if (!as_expected) ++unexpected_;
  }

  void note(const std::string &text) { std::printf("   %s\n", text.c_str()); }

  Outcome add(const char *link, bool full_season, int season, int episode, bool keep) {
    JsonObject r;
    r.str("Link", link);
    if (full_season) r.flag("FullSeason", true).num("Season", season).num("Episode", episode);
    if (keep) r.flag("KeepInstantOnly", true);
    return do_download(lib_, settings_, r.text());
  }

  const std::string &settings() const { return settings_; }
  // The service's answer of the saved links, for their hosts and dates.
  void saved_answer(std::string answer) { saved_answer_ = std::move(answer); }
  int steps() const { return steps_; }
  int unexpected() const { return unexpected_; }

private:
  const Library &lib_;
  const Style &style_;
  std::string settings_;
  std::string saved_answer_;
  int steps_ = 0;
  int unexpected_ = 0;
};

} // namespace

int run_demo(Session &session, const Parsed &) {
  const Library &lib = session.lib;
  const Style &style = session.style;
  Scenario scenario;
  std::string error;
  if (!parse_scenario(kDemoScenario, scenario, error) || !scenario.settings) {
    std::fprintf(stderr, "tavro: the demo scenario: %s\n", error.c_str());
    return kExitHost;
  }
  std::string key = api_key_of(*scenario.settings);
  if (!install_scenario(lib, scenario, key, error)) {
    std::fprintf(stderr, "tavro: the demo scenario: %s\n", error.c_str());
    return kExitHost;
  }
  lib.tavro_use_fake();
  lib.tavro_allow_writes(1);
  std::printf("tavro demo: library %s, the fake transport answering for a demo account\n"
              "(no network, no account). Each step is one call of the library; the same\n"
              "runs as `tavro --fake cli/demo.json COMMAND`.\n\n",
              lib.tavro_version());

  Walk w(lib, style, *scenario.settings);
  const std::string &s = w.settings();
  w.step("Validate the account", "validate", do_validate(lib, s), nullptr);
  w.step("List the root", "ls", do_list(lib, s, nullptr), "");
  w.step("List the account's magnets", "ls torrents", do_list(lib, s, "torrents"), "torrents");
  Outcome files = do_list(lib, s, "m101");
  w.step("List the files of the season pack (nested folders)", "ls m101", files, "m101");

  std::string entry =
      entry_with_path(files.result, "Blue.Harbour.S01/Season 1/Blue.Harbour.S01E01.1080p.mkv");
  w.step("Resolve a listed file into a direct URL", "stream https://demo.invalid/f/bh101e01",
         do_stream(lib, s, entry), nullptr);
  w.note("the host hands back the entry of step 4; its locator is that link");

  // A magnet the service is still downloading, followed until it is ready.
  w.step("A magnet still downloading: its folder says so", "ls m103", do_list(lib, s, "m103"),
         "m103", TAVRO_E_NOT_FOUND, "magnet 103 is not ready: Downloading, 42 %");
  // tavro wait m103 asks for that magnet's state alone every 5 seconds; the
  // fake answers the second question as the service would once it is done.
  bool now_ready = false;
  bool set = false;
  {
    Outcome first = do_list(lib, s, "torrents/m103");
    w.note("tavro wait m103, first look (ls torrents/m103): " +
           std::string(first.result.find("\"state\":\"processing\"") != std::string::npos
                           ? "processing"
                           : "not processing (not what the demo expects)"));
    const std::string name = "Quiet.Valley.2019.2160p";
    const std::string size = "19327352832", link = "https://demo.invalid/f/qv103";
    const char *base = lib.tavro_base_url();
    auto answer = [&](const char *method, const char *version, const char *path, const char *field,
                      const std::string &value, const std::string &body) {
      Answer a;
      a.method = method;
      a.version = version;
      a.path = path;
      a.form = {{field, value}};
      return lib.tavro_fake_set(method, answer_url(a, base, key).c_str(), 200, body.c_str()) == 0;
    };
    set = answer("POST", "v4.1", "/magnet/status", "id", "103",
                 R"({"status":"success","data":{"magnets":[{"id":103,"filename":")" + name +
                     R"(","size":)" + size + R"(,"status":"Ready","statusCode":4}]}})") &&
          answer("POST", "", "/magnet/files", "id[]", "103",
                 R"({"status":"success","data":{"magnets":[{"id":103,"files":[{"n":")" + name +
                     R"(.mkv","s":)" + size + R"(,"l":")" + link + R"("}]}]}})") &&
          answer("POST", "", "/link/unlock", "link", link,
                 R"({"status":"success","data":{"link":"https://cdn.demo.invalid/dl/Zq4v/)" + name +
                     R"(.mkv","filename":")" + name + R"(.mkv","filesize":)" + size + "}}");
    Outcome next = do_list(lib, s, "torrents/m103");
    now_ready = set && next.result.find("\"state\":\"ready\"") != std::string::npos;
    w.note(std::string("5 seconds later: ") + (now_ready ? "ready" : "not ready"));
    Outcome files = do_list(lib, s, "m103");
    w.step("...until it is ready; then wait prints its largest file, as add does", "wait m103",
           do_stream(lib, s, entry_with_path(files.result, (name + ".mkv").c_str())), nullptr);
    w.note("(the demo's fake answered the second look as ready; under --fake cli/demo.json, "
           "wait would go on waiting)");
  }

  w.step("Add a magnet the service holds already: its largest file at once",
         std::string("add --allow-writes '") + kNight + "'", w.add(kNight, false, 0, 0, false),
         nullptr);
  w.step("Add a season pack and pick episode 2 of season 1",
         std::string("add --allow-writes --full-season --season 1 --episode 2 '") + kPack + "'",
         w.add(kPack, true, 1, 2, false), nullptr);

  Answer delete_203;
  delete_203.method = "POST";
  delete_203.path = "/magnet/delete";
  delete_203.form = {{"id", "203"}};
  std::string del = answer_url(delete_203, lib.tavro_base_url(), key);
  w.step("Add a magnet that is not ready, keeping instant ones only",
         std::string("add --allow-writes --keep-instant-only '") + kSlow + "'",
         w.add(kSlow, false, 0, 0, true), nullptr);
  int deletes = lib.tavro_fake_calls("POST", del.c_str());
  w.note("magnet 203 was deleted again: " + std::to_string(deletes) + " delete request(s)");
  if (deletes != 1) w.note("(not what the demo expects)");

  w.step("Add a web link that redirects to a magnet",
         std::string("add --allow-writes ") + kRedirect, w.add(kRedirect, false, 0, 0, false),
         nullptr);
  w.step("Add a web link to a torrent file (uploaded as multipart)",
         std::string("add --allow-writes ") + kTorrent, w.add(kTorrent, false, 0, 0, false),
         nullptr);

  for (const Answer &a : scenario.answers)
    if (a.path == "/user/links") w.saved_answer(a.body);
  Outcome saved = do_list(lib, s, "links");
  w.step("List the links the account saved", "ls links", saved, "links");
  std::string video = entry_with_path(saved.result, kVideo);
  w.step("Stream a saved video of several qualities: the highest",
         std::string("stream 'links/") + kVideo + "'", do_stream(lib, s, video), nullptr);
  w.step("The same at most 720 lines high",
         std::string("stream --quality 720 'links/") + kVideo + "'",
         do_stream(lib, with_number(s, "MaxQuality", 720), video), nullptr);

  // The service prepares this link: the demo plays the service's part, its
  // first poll answering "still at it" and the second, 5 seconds later as
  // the library polls, the scenario's answer: the link. (Under --fake the
  // scenario's answer comes at the first poll.)
  const Answer *poll = nullptr;
  for (const Answer &a : scenario.answers)
    if (a.path == "/link/delayed") poll = &a;
  std::string poll_url = poll ? answer_url(*poll, lib.tavro_base_url(), key) : "";
  if (poll) lib.tavro_fake_set("POST", poll_url.c_str(), 200, kSlowProcessing);
  std::atomic<bool> streamed{false};
  std::thread service([&] {
    while (poll && !streamed && lib.tavro_fake_calls("POST", poll_url.c_str()) < 1)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (poll) lib.tavro_fake_set("POST", poll_url.c_str(), 200, poll->body.c_str());
  });
  auto started = std::chrono::steady_clock::now();
  Outcome slow = do_stream(lib, s, entry_with_path(saved.result, kSlowName));
  streamed = true;
  service.join();
  long waited = static_cast<long>(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started)
          .count());
  w.step("Stream a saved link the service takes time to prepare (the call waits)",
         std::string("stream links/") + kSlowName, slow, nullptr);
  int polls = lib.tavro_fake_calls("POST", poll_url.c_str());
  w.note("ready on poll " + std::to_string(polls) + " (" + std::to_string(waited) +
         " s here: the fake's polls come a tenth of a second apart, the service's 5 s); at most "
         "60 s are waited unless --wait-link says otherwise");
  if (polls < 2) w.note("(not what the demo expects)");

  w.step("A failure inside a success answer: a magnet id the account does not hold", "ls m404",
         do_list(lib, s, "m404"), "m404", TAVRO_E_NOT_FOUND, "AllDebrid error MAGNET_INVALID_ID");
  w.note("the files answer is a success holding one item with an error");

  w.step("A failure: a key the service refuses", "validate --api-key QV-NOT-KEY",
         do_validate(lib, settings_for_key("QV-NOT-KEY")), nullptr, TAVRO_E_AUTH,
         "AllDebrid error AUTH_BAD_APIKEY");

  // Signing in with a PIN, as tavro login does: the PIN first, then a check
  // every 5 seconds until the user has entered it on the page.
  Outcome start = do_pin_start(lib, s);
  w.call("Sign in with a PIN: the PIN and the page to enter it on (tavro login)", "tavro_pin_start",
         start);
  w.call("Ask whether the PIN was entered: not yet", "tavro_pin_check",
         do_pin_check(lib, s, start.result));
  bool staged = install_stage(lib, scenario, "entered", key, error);
  w.call("Ask again once it was entered: the new key, which tavro login stores", "tavro_pin_check",
         do_pin_check(lib, s, start.result));

  // A key used from a new place, and its approval, as tavro approve waits
  // for it.
  std::string elsewhere = settings_for_key("demo-new-place");
  Outcome blocked = do_validate(lib, elsewhere);
  w.step("A key used from a new place: the service blocks it and e-mails the account",
         "validate --api-key demo-new-place", blocked, nullptr, TAVRO_E_AUTH, "\"verification\":");
  w.note("the error document hands over the approval's token; tavro approve asks about it");
  std::string token = string_member(blocked.document, "verification").value_or("");
  std::string request = JsonObject().str("token", token).text();
  w.call("Ask whether the new sign-in was approved: not yet", "tavro_verify",
         do_verify(lib, elsewhere, request));
  staged = install_stage(lib, scenario, "approved", key, error) && staged;
  w.call("Ask again once it was approved from the e-mail", "tavro_verify",
         do_verify(lib, elsewhere, request));
  if (!staged) {
    std::fprintf(stderr, "tavro: the demo scenario: %s\n", error.c_str());
    return kExitHost;
  }

  int bad = w.unexpected() + (deletes != 1) + !set + !now_ready + (polls < 2);
  if (bad) {
    std::printf("\ndemo: %d of %d steps did not go as expected\n", bad, w.steps());
    return kExitHost;
  }
  std::printf("\ndemo: %d steps, each as expected\n", w.steps());
  return kExitOk;
}

} // namespace tavro_cli
