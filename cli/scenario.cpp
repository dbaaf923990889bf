// SPDX-License-Identifier: MIT
// Reads scenario files and fills the library's fake transport with them.
#include "scenario.h"

#include "tavro_service.h"
#include "tavro_text.h"
#include "texts.h"

#include <yyjson.h>

#include <cstdlib>
#include <new>

namespace tavro_cli {
namespace {

std::string compact(yyjson_val *v) {
  size_t len = 0;
  char *t = yyjson_val_write(v, YYJSON_WRITE_ALLOW_INVALID_UNICODE, &len);
  if (!t) throw std::bad_alloc();
  std::string s(t, len);
  std::free(t);
  return s;
}

bool fail_with(std::string &error, size_t index, const std::string &why) {
  error = "scenario answer " + std::to_string(index + 1) + ": " + why;
  return false;
}

// The fields of v's member named key (an object), if there is one, as
// (name, value) pairs in their order; values are strings or integers.
bool read_fields(yyjson_val *v, const char *key,
                 std::vector<std::pair<std::string, std::string>> &out, size_t index,
                 std::string &error) {
  yyjson_val *q = yyjson_obj_get(v, key);
  if (!q) return true;
  std::string name = std::string(1, '"').append(key).append(1, '"');
  if (!yyjson_is_obj(q)) return fail_with(error, index, name + " is not an object");
  yyjson_obj_iter it = yyjson_obj_iter_with(q);
  while (yyjson_val *k = yyjson_obj_iter_next(&it)) {
    yyjson_val *qv = yyjson_obj_iter_get_val(k);
    if (!yyjson_is_str(qv) && !yyjson_is_int(qv))
      return fail_with(error, index, name + " values must be strings or integers");
    std::string value =
        yyjson_is_str(qv) ? std::string(yyjson_get_str(qv), yyjson_get_len(qv)) : compact(qv);
    out.emplace_back(yyjson_get_str(k), value);
  }
  return true;
}

bool read_answer(yyjson_val *v, size_t index, Answer &a, std::string &error) {
  if (!yyjson_is_obj(v)) return fail_with(error, index, "not an object");
  yyjson_val *method = yyjson_obj_get(v, "method");
  if (method) {
    if (!yyjson_is_str(method)) return fail_with(error, index, "\"method\" is not a string");
    a.method = yyjson_get_str(method);
    if (a.method != "GET" && a.method != "POST")
      return fail_with(error, index, "\"method\" must be GET or POST");
  }
  yyjson_val *url = yyjson_obj_get(v, "url");
  yyjson_val *path = yyjson_obj_get(v, "path");
  if ((url != nullptr) == (path != nullptr))
    return fail_with(error, index, "give either \"url\" or \"path\"");
  if (url && !yyjson_is_str(url)) return fail_with(error, index, "\"url\" is not a string");
  if (path && !yyjson_is_str(path)) return fail_with(error, index, "\"path\" is not a string");
  if (url) a.url = yyjson_get_str(url);
  if (path) a.path = yyjson_get_str(path);
  if (yyjson_val *ver = yyjson_obj_get(v, "version")) {
    if (!yyjson_is_str(ver) || !path)
      return fail_with(error, index, "\"version\" is a string, beside a \"path\"");
    a.version = yyjson_get_str(ver);
    if (a.version.empty() || a.version.find_first_of("/?&#") != std::string::npos)
      return fail_with(error, index, "\"version\" is one path segment, such as \"v4.1\"");
  }
  if (!read_fields(v, "query", a.query, index, error) ||
      !read_fields(v, "form", a.form, index, error))
    return false;
  if (!method && !a.form.empty()) a.method = "POST";
  if (a.method != "POST" && !a.form.empty())
    return fail_with(error, index, "a \"form\" is the body of a POST");
  if (yyjson_val *s = yyjson_obj_get(v, "status")) {
    if (!yyjson_is_int(s)) return fail_with(error, index, "\"status\" is not an integer");
    a.status = static_cast<int>(yyjson_get_sint(s));
  }
  yyjson_val *body = yyjson_obj_get(v, "body");
  if (yyjson_is_str(body))
    a.body.assign(yyjson_get_str(body), yyjson_get_len(body));
  else if (body)
    a.body = compact(body);
  if (yyjson_val *f = yyjson_obj_get(v, "fail")) {
    if (!yyjson_is_str(f)) return fail_with(error, index, "\"fail\" is not a string");
    a.fail = yyjson_get_str(f);
  }
  if (yyjson_val *k = yyjson_obj_get(v, "key")) {
    if (!yyjson_is_str(k) && !yyjson_is_null(k))
      return fail_with(error, index, "\"key\" is a string, or null for none");
    if (yyjson_is_str(k))
      a.key = yyjson_get_str(k);
    else
      a.keyless = true;
  }
  if (yyjson_val *st = yyjson_obj_get(v, "stage")) {
    if (!yyjson_is_str(st)) return fail_with(error, index, "\"stage\" is not a string");
    a.stage = yyjson_get_str(st);
  }
  return true;
}

} // namespace

bool parse_scenario(const std::string &text, Scenario &scenario, std::string &error) {
  scenario = Scenario{};
  yyjson_read_err err{};
  tavro::Doc doc(yyjson_read_opts(const_cast<char *>(text.data()), text.size(),
                                  YYJSON_READ_ALLOW_COMMENTS, nullptr, &err));
  if (!doc.get()) {
    error = "scenario is not JSON (" + std::string(err.msg ? err.msg : "?") + " at byte " +
            std::to_string(err.pos) + ")";
    return false;
  }
  yyjson_val *root = doc.root();
  yyjson_val *answers = root;
  if (yyjson_is_obj(root)) {
    if (yyjson_val *s = yyjson_obj_get(root, "settings")) {
      if (!yyjson_is_obj(s)) {
        error = "scenario \"settings\" is not an object";
        return false;
      }
      scenario.settings = compact(s);
    }
    answers = yyjson_obj_get(root, "answers");
  }
  if (!yyjson_is_arr(answers)) {
    error = "scenario has no \"answers\" array";
    return false;
  }
  size_t i = 0, max = 0;
  yyjson_val *v = nullptr;
  yyjson_arr_foreach(answers, i, max, v) {
    Answer a;
    if (!read_answer(v, i, a, error)) return false;
    scenario.answers.push_back(std::move(a));
  }
  return true;
}

std::string answer_url(const Answer &a, const std::string &api_root, const std::string &api_key) {
  if (!a.url.empty()) return a.url;
  std::string root = api_root;
  if (!a.version.empty()) {
    // The root's last segment is its version: "https://api.alldebrid.com/v4".
    root.erase(root.rfind('/') + 1);
    root.append(a.version);
  }
  // As the library starts every request: its agent when the settings name
  // no client, the key, then the parameters.
  tavro::Buf u;
  bool ok = !tavro_buf_adds(u.get(), root.c_str()) && !tavro_buf_adds(u.get(), a.path.c_str()) &&
            !tavro_buf_query(u.get(), "agent", TAVRO_DEFAULT_AGENT) &&
            (a.keyless || !tavro_buf_query(u.get(), "apikey", a.key.value_or(api_key).c_str()));
  for (const auto &[k, v] : a.query) ok = ok && !tavro_buf_query(u.get(), k.c_str(), v.c_str());
  for (const auto &[k, v] : a.form) ok = ok && !tavro_buf_query(u.get(), k.c_str(), v.c_str());
  if (!ok) throw std::bad_alloc();
  return std::string(u.c_str(), u.size());
}

namespace {

bool install_answers(const Library &lib, const Scenario &scenario, const std::string &stage,
                     const std::string &api_key, std::string &error) {
  std::string root = lib.tavro_base_url();
  for (size_t i = 0; i < scenario.answers.size(); ++i) {
    const Answer &a = scenario.answers[i];
    if (a.stage != stage) continue;
    std::string url = answer_url(a, root, api_key);
    int rc = a.fail ? lib.tavro_fake_fail(a.method.c_str(), url.c_str(), a.fail->c_str())
                    : lib.tavro_fake_set(a.method.c_str(), url.c_str(), a.status, a.body.c_str());
    if (rc != TAVRO_OK) return fail_with(error, i, "the fake transport refused it");
  }
  return true;
}

} // namespace

bool install_scenario(const Library &lib, const Scenario &scenario, const std::string &api_key,
                      std::string &error) {
  lib.tavro_fake_reset();
  return install_answers(lib, scenario, "", api_key, error);
}

bool install_stage(const Library &lib, const Scenario &scenario, const std::string &stage,
                   const std::string &api_key, std::string &error) {
  return install_answers(lib, scenario, stage, api_key, error);
}

} // namespace tavro_cli
