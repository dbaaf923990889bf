// The built-in fake transport: answers requests from a process-wide store of
// canned answers and injected failures per (method, URL), and counts them.
// Judging the status and reading the bodies is left to the HTTP layer.
#include "tavro_io_fake.h"

#include "tavro_dialect.h"
#include "tavro_lock.h"
#include "tavro_thread.h"
#include "tavro_util.h"

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

// Room for a URL with its agent rewritten to the default, NUL included.
constexpr size_t kRewriteArea = 8200;

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
  size_t body_len; // of body, measured once when it is stored
};

// Everything below is guarded by g_fl.
constinit tavro::Lock g_fl;
fake_entry *g_r = nullptr;
size_t g_n = 0;
size_t g_cap = 0;
int32_t g_total = 0;
char *g_last_url = nullptr;

// The text most recently handed out by tavro_fake_last_body or
// tavro_fake_last_url on this thread; released when the thread ends.
struct ReturnCopy {
  tavro::Text text;
};

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
// written into area (kRewriteArea bytes, cut to fit). False when url has no
// agent, already names the default one, or is too long to rewrite.
bool rewrite_agent(const char *url, char *area) {
  const char *key = std::strstr(url, kAgentKey);
  if (!key) return false;
  const char *value = key + (sizeof kAgentKey - 1);
  const char *rest = std::strchr(value, '&');
  if (!rest) rest = value + std::strlen(value);
  size_t value_len = (size_t)(rest - value);
  size_t agent_len = sizeof TAVRO_DEFAULT_AGENT - 1;
  if (value_len == agent_len && std::memcmp(value, TAVRO_DEFAULT_AGENT, agent_len) == 0)
    return false;
  size_t head_len = (size_t)(value - url);
  size_t rest_len = std::strlen(rest);
  if (head_len + rest_len > kRewriteArea - 1) return false;

  size_t n = head_len;
  std::memcpy(area, url, head_len);
  size_t take = agent_len < kRewriteArea - 1 - n ? agent_len : kRewriteArea - 1 - n;
  std::memcpy(area + n, TAVRO_DEFAULT_AGENT, take);
  n += take;
  take = rest_len < kRewriteArea - 1 - n ? rest_len : kRewriteArea - 1 - n;
  std::memcpy(area + n, rest, take);
  n += take;
  area[n] = '\0';
  return true;
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

// Answers one transport call; req is the request body, null for a GET.
int fake_do(const char *method, const char *url, const char *req, char **out_body,
            int32_t *out_status, char **out_error) {
  *out_body = nullptr;
  *out_error = nullptr;
  *out_status = 0;
  if (!url) {
    *out_error = tavro_strdup("null url");
    return -1;
  }

  char rewritten[kRewriteArea];
  bool has_rewrite = rewrite_agent(url, rewritten);
  tavro::Text url_copy(tavro_strdup(url));
  tavro::Text previous_url;
  bool failed = false;
  {
    tavro::Guard guard(g_fl);
    ++g_total;
    previous_url.reset(g_last_url);
    g_last_url = url_copy.release();

    fake_entry *e = find(method, url);
    if (!e && has_rewrite) e = find(method, rewritten);
    if (!e && std::strstr(url, kBadKeyMarker)) e = add_bad_key(method, url);
    if (!e) {
      *out_status = 404;
      *out_body = tavro_strdup(kNotFound);
    } else {
      ++e->count;
      if (req && *req) {
        std::free(e->last_body);
        e->last_body = tavro_strdup(req);
      }
      if (e->fail) {
        *out_error = tavro_strdup(e->fail);
        failed = true;
      } else {
        *out_status = e->status;
        if (e->body) *out_body = tavro_strndup(e->body, e->body_len);
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

int f_post(void *, const char *url, const char *body, const char *, char **out_body,
           int32_t *status, char **error) {
  return fake_do("POST", url, body ? body : "", out_body, status, error);
}

void f_free(void *, void *text) {
  std::free(text);
}

const tavro_io g_fake = {nullptr, f_get, f_post, f_free};

bool method_ok(const char *method) {
  return method && (std::strcmp(method, "GET") == 0 || std::strcmp(method, "POST") == 0);
}

// Gives (method, url) a fresh answer or failure: the entry's body and fail
// are released, then the status and the one text are set.
int store(const char *method, const char *url, int32_t status, const char *body, const char *fail) {
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

// Makes text this thread's return copy, releasing the previous one.
const char *hand_out(char *text) {
  ReturnCopy *copy = tavro::this_thread<ReturnCopy>();
  if (!copy) {
    std::free(text);
    return "";
  }
  copy->text.reset(text);
  return text ? text : "";
}

} // namespace

const tavro_io *tavro_io_fake(void) {
  return &g_fake;
}

extern "C" {

TAVRO_API void tavro_fake_reset(void) {
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

TAVRO_API int tavro_fake_set(const char *method, const char *url, int status, const char *body) {
  return store(method, url, status, body ? body : "", nullptr);
}

TAVRO_API int tavro_fake_fail(const char *method, const char *url, const char *message) {
  return store(method, url, 0, nullptr, message ? message : kRefused);
}

TAVRO_API int tavro_fake_calls(const char *method, const char *url) {
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

TAVRO_API const char *tavro_fake_last_body(const char *url) {
  char *copy = nullptr;
  if (url) {
    tavro::Guard guard(g_fl);
    fake_entry *e = find("POST", url);
    if (e && e->last_body) copy = tavro_strdup(e->last_body);
  }
  return hand_out(copy);
}

TAVRO_API const char *tavro_fake_last_url(void) {
  char *copy = nullptr;
  {
    tavro::Guard guard(g_fl);
    if (g_last_url) copy = tavro_strdup(g_last_url);
  }
  return hand_out(copy);
}

} // extern "C"
