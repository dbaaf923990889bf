// SPDX-License-Identifier: MIT
// Scenario files for the library's fake transport: canned answers (or
// injected failures) per request, plus optional account settings.
//
//   {"settings": {"APIKey": "..."},
//    "answers": [
//      {"path": "/user", "body": {"status": "success", "data": {...}}},
//      {"method": "POST", "version": "v4.1", "path": "/magnet/status", "body": {...}},
//      {"path": "/magnet/files", "form": {"id[]": "12"},
//       "status": 200, "body": {"status": "success", "data": {...}}},
//      {"method": "GET", "url": "https://example.test/x.torrent", "body": "d8:announce..."},
//      {"path": "/link/unlock", "form": {"link": "..."}, "fail": "connection reset"}]}
//
// "path" is an endpoint on the library's API root, or with "version" ("v4.1")
// on that version of the API instead of the root's own: the request URL is
// built as the library builds it (agent, apikey, then "query" in its order,
// values percent-encoded). "form" holds the fields of a form POST's body, in
// their order; the fake transport looks such a POST up by its URL, '&' and
// the body, which is how they are appended. "url" is taken as it is.
// "method" defaults to POST when there is a "form", else to GET; "status" to
// 200; a "body" that is not a string is written as compact JSON. "key" is
// the API key the answer is for, in place of the settings' (null: none, as
// for the service's public endpoints, whose URLs carry no apikey). An
// answer with a "stage" is left out when the scenario is installed, and
// installed later by install_stage (the demo's second answer to the same
// request). The top level may also be the answers array alone.
#pragma once

#include "library.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavro_cli {

struct Answer {
  std::string method = "GET";
  std::string url;     // absolute, or empty when path is used
  std::string path;    // on the API root
  std::string version; // of the API, in place of the root's own; empty: the root's
  std::vector<std::pair<std::string, std::string>> query;
  std::vector<std::pair<std::string, std::string>> form; // a form POST's body
  int status = 200;
  std::string body;
  std::optional<std::string> fail;
  std::optional<std::string> key; // in place of the settings' key
  bool keyless = false;           // "key": null
  std::string stage;              // empty: installed at once
};

struct Scenario {
  std::optional<std::string> settings; // compact JSON text
  std::vector<Answer> answers;
};

// Reads a scenario text; false with a one-line reason on a malformed one.
bool parse_scenario(const std::string &text, Scenario &scenario, std::string &error);

// The URL the fake transport looks the answer up by, under api_root with
// api_key: the request URL, then '&' and the form body when there is one.
std::string answer_url(const Answer &a, const std::string &api_root, const std::string &api_key);

// Empties the fake transport's store and fills it with the answers that
// have no stage.
bool install_scenario(const Library &lib, const Scenario &scenario, const std::string &api_key,
                      std::string &error);

// Adds the answers of one stage to the store, replacing what it held for
// their requests.
bool install_stage(const Library &lib, const Scenario &scenario, const std::string &stage,
                   const std::string &api_key, std::string &error);

} // namespace tavro_cli
