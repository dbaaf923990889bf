// SPDX-License-Identifier: MIT
// The walk through the demo account.
#include "demo.h"

#include "settings.h"
#include "texts.h"

#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

class Walk {
public:
  Walk(const Library &lib, const Style &style, std::string settings)
      : lib_(lib), style_(style), settings_(std::move(settings)) {}

  // Prints one step; counts it as unexpected when its code is not expected,
  // or when a failure's document does not hold the expected text.
  // folder: the folder a listing step lists, or null for another result.
  void step(const char *title, const std::string &command, const Outcome &o, const char *folder,
            int expected = TAVRO_OK, const char *expected_error = nullptr) {
    ++steps_;
    std::printf("%s== %d. %s\n$ tavro %s\n", steps_ > 1 ? "\n" : "", steps_, title,
                command.c_str());
    if (o.code == TAVRO_OK) {
      folder ? print_listing(stdout, style_, o.result, folder)
             : print_document(stdout, style_, o.result);
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
  int steps() const { return steps_; }
  int unexpected() const { return unexpected_; }

private:
  const Library &lib_;
  const Style &style_;
  std::string settings_;
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

  w.step("A failure inside a success answer: a magnet id the account does not hold", "ls m404",
         do_list(lib, s, "m404"), "m404", TAVRO_E_NOT_FOUND, "AllDebrid error MAGNET_INVALID_ID");
  w.note("the files answer is a success holding one item with an error");

  w.step("A failure: a key the service refuses", "validate --api-key QV-NOT-KEY",
         do_validate(lib, settings_for_key("QV-NOT-KEY")), nullptr, TAVRO_E_AUTH,
         "AllDebrid error AUTH_BAD_APIKEY");

  int bad = w.unexpected() + (deletes != 1);
  if (bad) {
    std::printf("\ndemo: %d of %d steps did not go as expected\n", bad, w.steps());
    return kExitHost;
  }
  std::printf("\ndemo: %d steps, each as expected\n", w.steps());
  return kExitOk;
}

} // namespace tavro_cli
