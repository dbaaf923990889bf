// SPDX-License-Identifier: MIT
// The built-in fake transport and its store.
#include "tavro_io_fake.h"

#include "tavro_http.h"
#include "tavro_keep.h"
#include "tavro_lock.h"
#include "tavro_service.h"
#include "tavro_text.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

const char kBadKeyMarker[] = "apikey=QV-NOT-KEY";
const char kBadKeyAnswer[] = "{\"status\":\"error\",\"error\":{\"code\":\"AUTH_BAD_APIKEY\","
                             "\"message\":\"The apikey is invalid\"}}";
const char kNotFound[] = "The requested resource could not be found.";
const char kRefused[] = "connection refused";
const char kAgentKey[] = "agent=";

// One (method, URL) pair of the store. An entry answers (body set, fail
// null) or fails (fail set, body null).
struct fake_entry {
  char *method;
  char *url;
  char *body;
  char *fail;
  char *last_body;
  int32_t status;
  int32_t count;
  int32_t serial;  // g_total at the entry's latest call: which call came last
  size_t body_len; // of body, measured once when it is stored
};

// Everything below is guarded by g_fl.
constinit tavro::Lock g_fl;
fake_entry *g_r = nullptr;
size_t g_n = 0;
size_t g_cap = 0;
int32_t g_total = 0;
char *g_last_url = nullptr;

fake_entry *find(const char *method, const char *url) {
  for (size_t i = 0; i < g_n; ++i) {
    if (std::strcmp(g_r[i].method, method) == 0 && std::strcmp(g_r[i].url, url) == 0)
      return &g_r[i];
  }
  return nullptr;
}

// Appends an empty entry for (method, url); null when memory runs out, with
// the store as it was.
fake_entry *append(const char *method, const char *url) {
  tavro::Text m(tavro_strdup(method));
  tavro::Text u(tavro_strdup(url));
  if (!m.get() || !u.get()) return nullptr;
  if (g_n == g_cap) {
    size_t cap = g_cap ? g_cap * 2 : 32;
    if (cap < g_cap || cap > SIZE_MAX / sizeof(fake_entry)) return nullptr;
    void *grown = tavro_realloc(g_r, cap * sizeof(fake_entry));
    if (!grown) return nullptr;
    g_r = static_cast<fake_entry *>(grown);
    g_cap = cap;
  }
  fake_entry *e = &g_r[g_n++];
  *e = fake_entry{};
  e->method = m.release();
  e->url = u.release();
  return e;
}

fake_entry *entry_for(const char *method, const char *url) {
  fake_entry *e = find(method, url);
  return e ? e : append(method, url);
}

void entry_free(fake_entry *e) {
  std::free(e->method);
  std::free(e->url);
  std::free(e->body);
  std::free(e->fail);
  std::free(e->last_body);
}

// The URL with the value of its first "agent=" replaced by the default agent,
// as a heap text. Null when url has no agent, already names the default
// one, or memory runs out (the URL is then looked up as it is).
char *rewrite_agent(const char *url) {
  const char *key = std::strstr(url, kAgentKey);
  if (!key) return nullptr;
  const char *value = key + (sizeof kAgentKey - 1);
  const char *rest = std::strchr(value, '&');
  if (!rest) rest = value + std::strlen(value);
  size_t value_len = (size_t)(rest - value);
  size_t agent_len = sizeof TAVRO_DEFAULT_AGENT - 1;
  if (value_len == agent_len && std::memcmp(value, TAVRO_DEFAULT_AGENT, agent_len) == 0)
    return nullptr;
  size_t head_len = (size_t)(value - url);
  size_t rest_len = std::strlen(rest);
  char *area = static_cast<char *>(tavro_malloc(head_len + agent_len + rest_len + 1));
  if (!area) return nullptr;
  std::memcpy(area, url, head_len);
  std::memcpy(area + head_len, TAVRO_DEFAULT_AGENT, agent_len);
  std::memcpy(area + head_len + agent_len, rest, rest_len + 1);
  return area;
}

// The invalid-key entry for (method, url), made on its first request. Null
// when memory runs out; the request is then answered as unknown.
fake_entry *add_bad_key(const char *method, const char *url) {
  tavro::Text body(tavro_strdup(kBadKeyAnswer));
  if (!body.get()) return nullptr;
  fake_entry *e = append(method, url);
  if (!e) return nullptr;
  e->status = 200;
  e->body_len = sizeof kBadKeyAnswer - 1;
  e->body = body.release();
  return e;
}

void f_free(void *, void *text);

// The caller's copy of a stored answer: in a block this thread keeps, with
// TAVRO_BODY_PADDING zero bytes after the text, and noted as the fake's, so
// that the library's exchange takes it as it stands. f_free releases it
// all the same.
char *answer_copy(const char *text, size_t n) {
  if (n > SIZE_MAX - TAVRO_BODY_PADDING) return nullptr;
  size_t cap = 0;
  char *p = static_cast<char *>(tavro_keep_take(n + TAVRO_BODY_PADDING, &cap));
  if (!p) return nullptr;
  std::memcpy(p, text, n);
  std::memset(p + n, 0, TAVRO_BODY_PADDING);
  tavro_keep_note(p, cap, n, f_free);
  return p;
}

// Answers one transport call; req is the request body, null for a GET.
int fake_do(const char *method, const char *url, const char *req, char **out_body,
            int32_t *out_status, char **out_error) {
  *out_body = nullptr;
  *out_error = nullptr;
  *out_status = 0;
  // No note of an earlier answer outlives this call.
  tavro_keep_note(nullptr, 0, 0, nullptr);
  if (!url) {
    *out_error = tavro_strdup("null url");
    return -1;
  }

  tavro::Text rewritten(rewrite_agent(url));
  tavro::Text url_copy(tavro_strdup(url));
  tavro::Text previous_url;
  bool failed = false;
  {
    tavro::Guard guard(g_fl);
    ++g_total;
    previous_url.reset(g_last_url);
    g_last_url = url_copy.release();

    fake_entry *e = find(method, url);
    if (!e && rewritten.get()) e = find(method, rewritten.get());
    if (!e && std::strstr(url, kBadKeyMarker)) e = add_bad_key(method, url);
    if (!e) {
      *out_status = 404;
      *out_body = tavro_strdup(kNotFound);
    } else {
      ++e->count;
      e->serial = g_total;
      if (req && *req) {
        std::free(e->last_body);
        e->last_body = tavro_strdup(req);
      }
      if (e->fail) {
        *out_error = tavro_strdup(e->fail);
        failed = true;
      } else {
        *out_status = e->status;
        if (e->body) *out_body = answer_copy(e->body, e->body_len);
      }
    }
  }
  if (failed) {
    *out_status = 0;
    return -1;
  }
  if (!*out_body) {
    *out_status = 0;
    *out_error = tavro_strdup("out of memory");
    return -1;
  }
  return 0;
}

int f_get(void *, const char *url, char **body, int32_t *status, char **error) {
  return fake_do("GET", url, nullptr, body, status, error);
}

bool is_form(const char *content_type) {
  static constexpr size_t n = sizeof TAVRO_FORM_TYPE - 1;
  return content_type && std::strncmp(content_type, TAVRO_FORM_TYPE, n) == 0 &&
         (content_type[n] == '\0' || content_type[n] == ';');
}

// A form POST with fields is looked up, counted and reported by its URL
// followed by '&' and the form body, as if the fields were in the query; so
// answers to the same endpoint for different fields stay apart.
int f_post(void *, const char *url, const char *body, const char *content_type, char **out_body,
           int32_t *status, char **error) {
  if (!body) body = "";
  if (!url || !*body || !is_form(content_type))
    return fake_do("POST", url, body, out_body, status, error);
  size_t url_len = std::strlen(url), body_len = std::strlen(body);
  tavro::Text key(static_cast<char *>(tavro_malloc(url_len + 1 + body_len + 1)));
  if (!key.get()) {
    *out_body = nullptr;
    *status = 0;
    *error = tavro_strdup("out of memory");
    return -1;
  }
  std::memcpy(key.get(), url, url_len);
  key.get()[url_len] = '&';
  std::memcpy(key.get() + url_len + 1, body, body_len + 1);
  return fake_do("POST", key.get(), body, out_body, status, error);
}

// The entry that last took a form body posted to url: one whose URL is url,
// '&' and that body.
const fake_entry *last_form_entry(const char *url) {
  size_t n = std::strlen(url);
  const fake_entry *best = nullptr;
  for (size_t i = 0; i < g_n; ++i) {
    const fake_entry &e = g_r[i];
    if (!e.last_body || std::strcmp(e.method, "POST") != 0) continue;
    if (std::strncmp(e.url, url, n) != 0 || e.url[n] != '&' ||
        std::strcmp(e.url + n + 1, e.last_body) != 0)
      continue;
    if (!best || e.serial > best->serial) best = &e;
  }
  return best;
}

void f_free(void *, void *text) {
  std::free(text);
}

const tavro_io g_fake = {nullptr, f_get, f_post, f_free};

bool method_ok(const char *method) {
  return method && (std::strcmp(method, "GET") == 0 || std::strcmp(method, "POST") == 0);
}

} // namespace

const tavro_io *tavro_io_fake(void) {
  return &g_fake;
}

void tavro_fake_clear(void) {
  fake_entry *r;
  size_t n;
  char *last_url;
  {
    tavro::Guard guard(g_fl);
    r = g_r;
    n = g_n;
    last_url = g_last_url;
    g_r = nullptr;
    g_n = 0;
    g_cap = 0;
    g_total = 0;
    g_last_url = nullptr;
  }
  for (size_t i = 0; i < n; ++i) entry_free(&r[i]);
  std::free(r);
  std::free(last_url);
}

// Gives (method, url) a fresh answer or failure: the entry's body and fail
// are released, then the status and the one text are set.
static int store(const char *method, const char *url, int32_t status, const char *body,
                 const char *fail) {
  if (!method_ok(method) || !url) return TAVRO_E_ARG;
  tavro::Guard guard(g_fl);
  fake_entry *e = entry_for(method, url);
  if (!e) return TAVRO_E_BUFFER;
  std::free(e->body);
  std::free(e->fail);
  e->body = nullptr;
  e->fail = nullptr;
  e->status = status;
  if (fail) {
    e->fail = tavro_strdup(fail);
    return e->fail ? 0 : TAVRO_E_BUFFER;
  }
  e->body_len = std::strlen(body);
  e->body = tavro_strndup(body, e->body_len);
  return e->body ? 0 : TAVRO_E_BUFFER;
}

int tavro_fake_answer(const char *method, const char *url, int32_t status, const char *body) {
  return store(method, url, status, body ? body : "", nullptr);
}

int tavro_fake_failure(const char *method, const char *url, const char *message) {
  return store(method, url, 0, nullptr, message ? message : kRefused);
}

int tavro_fake_count(const char *method, const char *url) {
  tavro::Guard guard(g_fl);
  if (!url) return g_total;
  int32_t sum = 0;
  for (size_t i = 0; i < g_n; ++i) {
    if (std::strcmp(g_r[i].url, url) != 0) continue;
    if (method && std::strcmp(g_r[i].method, method) != 0) continue;
    sum += g_r[i].count;
  }
  return sum;
}

char *tavro_fake_copy_last_body(const char *url) {
  if (!url) return nullptr;
  tavro::Guard guard(g_fl);
  const fake_entry *e = find("POST", url);
  // A form body was posted to url, though its answer is stored under the
  // URL with the fields appended.
  if (!e || !e->last_body) e = last_form_entry(url);
  return e && e->last_body ? tavro_strdup(e->last_body) : nullptr;
}

char *tavro_fake_copy_last_url(void) {
  tavro::Guard guard(g_fl);
  return g_last_url ? tavro_strdup(g_last_url) : nullptr;
}
