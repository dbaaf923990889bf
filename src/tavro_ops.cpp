// SPDX-License-Identifier: MIT
// The operations on the service.
#include "tavro_ops.h"

#include "tavro_answers.h"
#include "tavro_http.h"
#include "tavro_recognise.h"
#include "tavro_service.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string_view>

// ---- Session and URLs -----------------------------------------------------

void tavro_sess_open(tavro_sess *sess, const tavro_io *io, const tavro_cfg *cfg) {
  *sess = tavro_sess{};
  sess->io = io;
  sess->cfg = cfg;
}

void tavro_sess_open_bytes(tavro_sess *sess, const tavro_transport *t, const tavro_cfg *cfg) {
  *sess = tavro_sess{};
  sess->bytes = t;
  sess->cfg = cfg;
}

void tavro_sess_close(tavro_sess *sess) {
  *sess = tavro_sess{};
}

// The root, the endpoint path, then agent and apikey. A byte transport
// carries the key in a header instead, so its URLs hold no apikey; nor does
// a request without the key (with_key false: a public endpoint). The
// settings' APIRoot, when given, stands for the service's origin in every
// root (the version segment kept).
static int url_start(tavro_buf *url, const tavro_sess *sess, const char *root, const char *path,
                     bool with_key = true) {
  const char *client = sess->cfg && sess->cfg->client ? sess->cfg->client : TAVRO_DEFAULT_AGENT;
  const char *key = sess->cfg ? sess->cfg->api_key : nullptr;
  const char *api_root = sess->cfg ? sess->cfg->api_root : nullptr;
  constexpr size_t kOrigin = sizeof TAVRO_API_ORIGIN - 1;
  if (api_root && std::strncmp(root, TAVRO_API_ORIGIN, kOrigin) == 0) {
    if (tavro_buf_adds(url, api_root)) return -1;
    root += kOrigin;
  }
  if (tavro_buf_adds(url, root) || tavro_buf_adds(url, path) ||
      tavro_buf_query(url, "agent", client) ||
      (!sess->bytes && with_key && tavro_buf_query(url, "apikey", key)))
    return -1;
  return 0;
}

// What one exchange sends, whichever table carries it.
namespace {
enum class Kind {
  get,       // a GET of a service URL
  fetch,     // a GET of the host's web link: no key goes with it
  form,      // a form POST to the service; body is the form
  torrent,   // a torrent file's upload to the service; body is the file
  open,      // a GET of a public endpoint of the service: no key goes with it
  open_form, // a form POST to a public endpoint: no key goes with it
};
} // namespace

static constexpr const char kBearer[] = "Authorization: Bearer ";

// One exchange on the session's transport. The text table takes the body up
// to its first NUL byte; the byte transport takes body_len bytes, and the
// key in a header on every request to the service. 0, or -1 with the
// message written.
static int exchange(const tavro_sess *sess, Kind kind, const char *url, const char *body,
                    size_t body_len, tavro_resp *resp, char *err, size_t err_size) {
  if (!sess->bytes) {
    switch (kind) {
    case Kind::get:
    case Kind::fetch:
    case Kind::open:
      return tavro_http(sess->io, url, nullptr, resp, err, err_size);
    case Kind::form:
    case Kind::open_form:
      return tavro_http_post(sess->io, url, TAVRO_FORM_TYPE, body, resp, err, err_size);
    case Kind::torrent:
      return tavro_http(sess->io, url, body, resp, err, err_size);
    }
  }
  tavro::Text auth;
  const char *key = sess->cfg ? sess->cfg->api_key : nullptr;
  if (kind != Kind::fetch && kind != Kind::open && kind != Kind::open_form && key) {
    size_t n = std::strlen(key);
    auth.reset(static_cast<char *>(tavro_malloc(sizeof kBearer + n)));
    if (!auth.get()) {
      *resp = tavro_resp{};
      return tavro_fail(err, err_size, -1, "out of memory");
    }
    std::memcpy(auth.get(), kBearer, sizeof kBearer - 1);
    std::memcpy(auth.get() + sizeof kBearer - 1, key, n + 1);
  }
  const char *headers[2] = {auth.get(), nullptr};
  tavro_http_request req{};
  req.url = url;
  req.headers = headers;
  if (kind == Kind::get || kind == Kind::fetch || kind == Kind::open) {
    req.method = "GET";
  } else {
    req.method = "POST";
    req.body = body_len ? body : nullptr;
    req.body_len = body_len;
    req.content_type = kind == Kind::torrent ? TAVRO_TORRENT_TYPE : TAVRO_FORM_TYPE;
    if (kind == Kind::torrent) {
      req.file_field = TAVRO_UPLOAD_FIELD;
      req.file_name = TAVRO_UPLOAD_NAME;
    }
  }
  int rc = tavro_send(sess->bytes, &req, resp, err, err_size);
  // The header held the key: nothing of it stays behind in freed memory.
  if (auth.get()) {
    volatile char *p = auth.get();
    for (size_t i = 0; p[i]; ++i) p[i] = 0;
  }
  return rc;
}

static constexpr const char kOom[] = "out of memory";
static constexpr const char kTorrentCut[] =
    "the torrent file could not be carried whole by the host's transport (its bodies end at "
    "the first NUL byte)";

// Accepts only a 2xx status; otherwise the response is released and the
// message written. what names the request ("magnet/files"); an APIRoot in
// use is named after it.
static int status_ok(const tavro_sess *sess, tavro::Resp &resp, const char *what, char *err,
                     size_t err_size) {
  int code = tavro_map_status(resp->status);
  if (!code) return TAVRO_OK;
  long status = resp->status;
  tavro_resp_free(resp.get());
  // (A checked root holds no user-info or query: nothing of it to redact.)
  if (const char *api_root = sess->cfg ? sess->cfg->api_root : nullptr)
    return tavro_fail(err, err_size, code, "%s answered HTTP %ld (%s)", what, status, api_root);
  return tavro_fail(err, err_size, code, "%s answered HTTP %ld", what, status);
}

// A magnet id in decimal, in area.
static const char *id_text(char (&area)[24], int64_t id) {
  std::snprintf(area, sizeof area, "%lld", (long long)id);
  return area;
}

// One request to the service (tavro_ops.h).
using tavro::Answer;
using tavro::ask;
using tavro::get_ok;
using tavro::post_ok;
using tavro::Request;

// Sends the request as a form POST. On success the response is in resp,
// whatever its status; otherwise the message is written and the code
// returned.
static int post_form(const tavro_sess *sess, const Request &req, tavro::Resp &resp, char *err,
                     size_t err_size) {
  tavro::Buf url, form;
  if (url_start(url.get(), sess, req.root, req.path) ||
      (req.key && tavro_buf_form(form.get(), req.key, req.value)) ||
      (req.key2 && tavro_buf_form(form.get(), req.key2, req.value2)))
    return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  if (exchange(sess, Kind::form, url.c_str(), form.c_str(), (size_t)form.size(), resp.get(), err,
               err_size))
    return TAVRO_E_TRANSPORT;
  return TAVRO_OK;
}

// The same, accepting only a 2xx status.
int tavro::post_ok(const tavro_sess *sess, const Request &req, tavro::Resp &resp, char *err,
                   size_t err_size) {
  if (int code = post_form(sess, req, resp, err, err_size)) return code;
  return status_ok(sess, resp, req.what, err, err_size);
}

// The same as a GET, with the parameter in the query: the account check.
int tavro::get_ok(const tavro_sess *sess, const Request &req, tavro::Resp &resp, char *err,
                  size_t err_size) {
  int rc;
  {
    tavro::Buf url;
    if (url_start(url.get(), sess, req.root, req.path) ||
        (req.key && tavro_buf_query(url.get(), req.key, req.value)))
      return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
    rc = exchange(sess, Kind::get, url.c_str(), nullptr, 0, resp.get(), err, err_size);
  }
  if (rc) return TAVRO_E_TRANSPORT;
  return status_ok(sess, resp, req.what, err, err_size);
}

// The request, then the answer's envelope, parsed where the exchange put
// the body: no further copy of it is made.
int tavro::ask(const tavro_sess *sess, const Request &req, bool post, Answer &a, char *err,
               size_t err_size) {
  int code =
      post ? post_ok(sess, req, a.resp, err, err_size) : get_ok(sess, req, a.resp, err, err_size);
  if (code) return code;
  return tavro_parse_envelope_in_place(a.resp->body, a.resp->body_len, a.doc.out(), &a.data, err,
                                       err_size, sess->verification);
}

int tavro_sess_request(const tavro_sess *sess, const tavro_request &req, tavro_resp *resp,
                       char *err, size_t err_size) {
  *resp = tavro_resp{};
  tavro::Resp answer;
  bool key = req.with_key && sess->cfg && sess->cfg->api_key;
  int rc;
  {
    tavro::Buf url;
    if (url_start(url.get(), sess, req.root, req.path, key))
      return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
    Kind kind = req.form ? (key ? Kind::form : Kind::open_form) : (key ? Kind::get : Kind::open);
    rc = exchange(sess, kind, url.c_str(), req.form, req.form ? std::strlen(req.form) : 0,
                  answer.get(), err, err_size);
  }
  if (rc) return TAVRO_E_TRANSPORT;
  if (int code = status_ok(sess, answer, req.what, err, err_size)) return code;
  // Handed over as it stands.
  *resp = *answer.get();
  *answer.get() = tavro_resp{};
  return TAVRO_OK;
}

// ---- Validation -----------------------------------------------------------

// A generator seeded once per thread from the random device, mixed with the
// clock and the thread's own address so that threads and runs differ even
// where the device is missing.
static std::mt19937 seeded_engine() {
  uint32_t mix = (uint32_t)std::chrono::steady_clock::now().time_since_epoch().count();
  uint32_t here = (uint32_t)(uintptr_t)&mix;
  try {
    std::random_device dev;
    uint32_t seed[4] = {dev(), dev(), dev() ^ mix, dev() ^ here};
    std::seed_seq seq(seed, seed + 4);
    return std::mt19937(seq);
  } catch (...) {
    return std::mt19937(mix ^ (here * 2654435761u));
  }
}

// The low n hexadecimal digits of v, lowercase, at w; returns the end.
static char *hex_digits(char *w, uint32_t v, int n) {
  static constexpr char hex[] = "0123456789abcdef";
  for (int i = n - 1; i >= 0; --i, v >>= 4) w[i] = hex[v & 15];
  return w + n;
}

void tavro_id_text(const uint32_t (&w)[4], char (&out)[40]) {
  // "%08x-%04x-4%03x-9%03x-%08x%04x" of w0, the high half of w1, the low 12
  // bits of w1 and of w2, w3 and the low half of w2, without printf.
  char *p = hex_digits(out, w[0], 8);
  *p++ = '-';
  p = hex_digits(p, w[1] >> 16, 4);
  *p++ = '-';
  *p++ = '4';
  p = hex_digits(p, w[1] & 0xfff, 3);
  *p++ = '-';
  *p++ = '9';
  p = hex_digits(p, w[2] & 0xfff, 3);
  *p++ = '-';
  p = hex_digits(p, w[3], 8);
  p = hex_digits(p, w[2] & 0xffff, 4);
  *p = '\0';
}

// A fresh identifier in the layout of a version-4 UUID with variant digit 9.
static void fresh_id(char (&out)[40]) {
  thread_local std::mt19937 engine = seeded_engine();
  uint32_t w[4];
  for (auto &x : w) x = (uint32_t)engine();
  tavro_id_text(w, out);
}

// An integer of the answer, written as it is; false, with nothing written,
// when v is no integer.
static bool add_int_value(tavro_buf *out, yyjson_val *v, int *failed) {
  if (yyjson_is_sint(v)) {
    *failed = tavro_buf_addi(out, yyjson_get_sint(v));
  } else if (yyjson_is_uint(v)) {
    uint64_t u = yyjson_get_uint(v);
    *failed = u <= (uint64_t)INT64_MAX ? tavro_buf_addi(out, (int64_t)u)
                                       : tavro_buf_addf(out, "%llu", (unsigned long long)u);
  } else {
    return false;
  }
  return true;
}

// A string of decimal digits (one to eighteen, so that it fits an int64) as
// a number; false for anything else.
static bool digits_value(yyjson_val *v, int64_t *n) {
  const char *s = yyjson_get_str(v);
  size_t len = s ? std::strlen(s) : 0;
  if (!len || len > 18) return false;
  int64_t x = 0;
  for (size_t i = 0; i < len; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    x = x * 10 + (s[i] - '0');
  }
  *n = x;
  return true;
}

// The account answer's user, as the validation result tells it: "User",
// "Premium" and "PremiumUntil", each only when the answer holds it with its
// type. 0, or -1 when memory runs out.
static int add_user(tavro_buf *out, yyjson_val *data) {
  yyjson_val *user = yyjson_is_obj(data) ? yyjson_obj_get(data, "user") : nullptr;
  if (!yyjson_is_obj(user)) return 0;
  const char *name = yyjson_get_str(yyjson_obj_get(user, "username"));
  if (name && *name && (tavro_buf_adds(out, ",\"User\":") || tavro_buf_json_str(out, name)))
    return -1;
  yyjson_val *premium = yyjson_obj_get(user, "isPremium");
  if (yyjson_is_bool(premium) &&
      tavro_buf_adds(out, yyjson_get_bool(premium) ? ",\"Premium\":true" : ",\"Premium\":false"))
    return -1;
  yyjson_val *until = yyjson_obj_get(user, "premiumUntil");
  int64_t n = 0;
  if (yyjson_is_int(until) || digits_value(until, &n)) {
    if (tavro_buf_adds(out, ",\"PremiumUntil\":")) return -1;
    int failed = 0;
    if (!add_int_value(out, until, &failed)) failed = tavro_buf_addi(out, n);
    if (failed) return -1;
  }
  return 0;
}

int tavro_do_validate(const tavro_sess *sess, const char *id, tavro_buf *out, char *err,
                      size_t err_size) {
  // Any successful envelope validates the account; its user, when the
  // payload has one, is told after the ID.
  Answer answer;
  Request req{TAVRO_API_ROOT, "/user", nullptr, nullptr, "user request"};
  int code = ask(sess, req, false, answer, err, err_size);
  if (code) return code;
  char fresh[40];
  fresh_id(fresh);
  const char *client = sess->cfg && sess->cfg->client ? sess->cfg->client : TAVRO_DEFAULT_AGENT;
  const char *shown = id && *id ? id : fresh;
  if (tavro_buf_adds(out, "{\"ClientId\":") || tavro_buf_json_str(out, client) ||
      tavro_buf_adds(out, ",\"RuntimeType\":\"" TAVRO_RUNTIME_TYPE "\",\"ID\":") ||
      tavro_buf_json_str(out, shown) || add_user(out, answer.data) || tavro_buf_adds(out, "}"))
    return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  return TAVRO_OK;
}

// ---- Listings and stream --------------------------------------------------

int tavro_do_list_root(tavro_buf *out) {
  if (tavro_buf_adds(out, "[{\"name\":\"torrents\",\"path\":\"torrents\",\"folder\":true,"
                          "\"size\":-1},{\"name\":\"links\",\"path\":\"links\",\"folder\":true,"
                          "\"size\":-1},{\"name\":\"history\",\"path\":\"history\","
                          "\"folder\":true,\"size\":-1}]"))
    return TAVRO_E_FAILED;
  return TAVRO_OK;
}

static int64_t int_or(yyjson_val *v, int64_t fallback) {
  if (yyjson_is_sint(v)) return yyjson_get_sint(v);
  if (yyjson_is_uint(v)) return (int64_t)yyjson_get_uint(v);
  return fallback;
}

template <size_t N> static char *put(char *w, const char (&text)[N]) {
  std::memcpy(w, text, N - 1);
  return w + N - 1;
}

static char *put(char *w, const char *bytes, size_t n) {
  std::memcpy(w, bytes, n);
  return w + n;
}

// The state's name in a listing entry: a JSON string, or null.
static std::string_view state_json(tavro_magnet_state s) {
  switch (s) {
  case tavro_magnet_state::processing:
    return "\"processing\"";
  case tavro_magnet_state::ready:
    return "\"ready\"";
  case tavro_magnet_state::error:
    return "\"error\"";
  case tavro_magnet_state::unknown:
    break;
  }
  return "null";
}

// A magnet folder entry is {"name":N,"path":"mI","folder":true,"size":S,
// "id":"mI","locator":"mI","state":T,"status":X,"downloaded":D,"speed":V}:
// the filename N as a JSON string, the id I three times, the size S, the
// state T and status text X (JSON strings, or null), the bytes downloaded D
// and the download speed V (-1 when unknown), written into one reservation.
static int magnet_entry(tavro_buf *out, yyjson_val *m) {
  if (!yyjson_is_obj(m) || yyjson_obj_size(m) == 0) return 0;
  yyjson_val *id = yyjson_obj_get(m, "id");
  yyjson_val *name = yyjson_obj_get(m, "filename");
  if (!yyjson_is_int(id) || !yyjson_is_str(name) || yyjson_get_len(name) == 0) return 0;
  static constexpr char kName[] = "{\"name\":", kPath[] = ",\"path\":\"m",
                        kSize[] = "\",\"folder\":true,\"size\":", kId[] = ",\"id\":\"m",
                        kLocator[] = "\",\"locator\":\"m",
                        kState[] = "\",\"state\":", kStatus[] = ",\"status\":",
                        kDownloaded[] = ",\"downloaded\":", kSpeed[] = ",\"speed\":";
  const char *text = yyjson_get_str(name);
  size_t text_n = std::strlen(text);
  uint64_t name_size = tavro_json_str_size(text, text_n);
  const char *status = yyjson_get_str(yyjson_obj_get(m, "status"));
  size_t status_n = status ? std::strlen(status) : 0;
  uint64_t status_size = status ? tavro_json_str_size(status, status_n) : 4;
  std::string_view state = state_json(tavro_magnet_state_of(m));
  int64_t id_v = int_or(id, -1), size_v = int_or(yyjson_obj_get(m, "size"), -1);
  int64_t downloaded_v = int_or(yyjson_obj_get(m, "downloaded"), -1);
  int64_t speed_v = int_or(yyjson_obj_get(m, "downloadSpeed"), -1);
  size_t id_n = tavro_int_len(id_v), size_n = tavro_int_len(size_v);
  // The comma before every entry but the first; the buffer holds "[" first.
  bool with_comma = out->len > 1;
  uint64_t bytes = with_comma + name_size + 3 * id_n + size_n + state.size() + status_size +
                   tavro_int_len(downloaded_v) + tavro_int_len(speed_v) + sizeof kName +
                   sizeof kPath + sizeof kSize + sizeof kId + sizeof kLocator + sizeof kState +
                   sizeof kStatus + sizeof kDownloaded + sizeof kSpeed - 9 + 1; // and the '}'
  if (tavro_buf_reserve(out, bytes)) return -1;
  char *w = out->data + out->len;
  if (with_comma) *w++ = ',';
  w = put(w, kName);
  w = tavro_json_str_write(w, text, text_n, name_size);
  const char *id_text = w = put(w, kPath);
  w = tavro_int_write(w, id_v);
  w = tavro_int_write(put(w, kSize), size_v);
  w = put(put(w, kId), id_text, id_n);
  w = put(put(w, kLocator), id_text, id_n);
  w = put(put(w, kState), state.data(), state.size());
  w = put(w, kStatus);
  w = status ? tavro_json_str_write(w, status, status_n, status_size) : put(w, "null");
  w = tavro_int_write(put(w, kDownloaded), downloaded_v);
  w = tavro_int_write(put(w, kSpeed), speed_v);
  *w++ = '}';
  *w = '\0';
  out->len = (uint64_t)(w - out->data);
  return 0;
}

int tavro_do_list_torrents(const tavro_sess *sess, tavro_buf *out, char *err, size_t err_size) {
  Answer answer;
  Request req{TAVRO_STATUS_ROOT, "/magnet/status", nullptr, nullptr, "magnet/status"};
  int code = ask(sess, req, true, answer, err, err_size);
  if (code) return code;
  if (sess->room) tavro_buf_lend(out, sess->room, sess->room_cap);
  if (tavro_buf_add(out, "[", 1)) return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  yyjson_val *magnets =
      yyjson_is_obj(answer.data) ? yyjson_obj_get(answer.data, "magnets") : nullptr;
  if (yyjson_is_arr(magnets)) {
    yyjson_arr_iter it = yyjson_arr_iter_with(magnets);
    for (yyjson_val *m; (m = yyjson_arr_iter_next(&it));)
      if (magnet_entry(out, m)) return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  }
  if (tavro_buf_add(out, "]", 1)) return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  return TAVRO_OK;
}

// A file entry is {"name":P,"path":P,"folder":false,"size":N,"locator":L,
// "id":P}: the same JSON string P (the path, or null) three times, the size
// N in decimal and the link L (a JSON string, or null).
constexpr char kEntryName[] = "{\"name\":";
constexpr char kEntryPath[] = ",\"path\":";
constexpr char kEntrySize[] = ",\"folder\":false,\"size\":";
constexpr char kEntryLocator[] = ",\"locator\":";
constexpr char kEntryId[] = ",\"id\":";
constexpr uint64_t kEntryFixed = sizeof kEntryName + sizeof kEntryPath + sizeof kEntrySize +
                                 sizeof kEntryLocator + sizeof kEntryId - 5 + 1; // and the '}'

// The walk's visitor: one file's entry onto the listing in ctx (a buffer
// holding "[" and the entries so far), with the comma before all but the
// first. The path comes escaped already; it is quoted once and copied.
static int list_file(void *ctx, const tavro_file &file, char *err, size_t err_size) {
  tavro_buf *out = static_cast<tavro_buf *>(ctx);
  uint64_t path_n = file.path_len ? file.path_len + 2 : 4;
  bool with_comma = out->len > 1;
  uint64_t fixed = with_comma + kEntryFixed + 3 * path_n + tavro_int_len(file.size);
  // The link is escaped as it is copied. Where the room left may not hold
  // its longest escape (near the end of a caller's buffer, or when the
  // buffer must grow), its exact length is measured first, so that the
  // entry takes exactly its size.
  size_t link_len = (size_t)file.link_len;
  uint64_t link_n = file.link ? tavro_json_chars_room(link_len) + 2 : 4;
  if (out->cap - out->len - 1 < fixed + link_n && file.link)
    link_n = tavro_json_chars_measure(file.link, &link_len) + 2;
  if (tavro_buf_reserve(out, fixed + link_n)) return tavro_fail(err, err_size, -1, kOom);
  char *w = out->data + out->len;
  if (with_comma) *w++ = ',';
  w = put(w, kEntryName);
  char *path = w;
  if (file.path_len) {
    *w++ = '"';
    w = put(w, file.path, (size_t)file.path_len);
    *w++ = '"';
  } else {
    w = put(w, "null");
  }
  w = put(put(w, kEntryPath), path, (size_t)path_n);
  w = tavro_int_write(put(w, kEntrySize), file.size);
  w = put(w, kEntryLocator);
  if (file.link) {
    *w++ = '"';
    w = tavro_json_chars_copy(w, file.link, &link_len);
    *w++ = '"';
  } else {
    w = put(w, "null");
  }
  w = put(put(w, kEntryId), path, (size_t)path_n);
  *w++ = '}';
  *w = '\0';
  out->len = (uint64_t)(w - out->data);
  return 0;
}

// Fetches the files answer of one magnet and reads its envelope, as ask
// does.
static int fetch_tree(const tavro_sess *sess, int64_t id, Answer &answer, char *err,
                      size_t err_size) {
  char idtext[24];
  Request req{TAVRO_API_ROOT, "/magnet/files", "id[]", id_text(idtext, id), "magnet/files"};
  return ask(sess, req, true, answer, err, err_size);
}

// Asks the state of magnet id alone; on success *magnet is its status
// entry, inside answer.
static int ask_status(const tavro_sess *sess, int64_t id, Answer &answer, yyjson_val **magnet,
                      char *err, size_t err_size) {
  char idtext[24];
  Request req{TAVRO_STATUS_ROOT, "/magnet/status", "id", id_text(idtext, id), "magnet/status"};
  if (int code = ask(sess, req, true, answer, err, err_size)) return code;
  *magnet = tavro_status_magnet(answer.data, id);
  if (!*magnet)
    return tavro_fail(err, err_size, TAVRO_E_NOT_FOUND, "magnet/status has no magnet %lld",
                      (long long)id);
  return TAVRO_OK;
}

int tavro_do_list_magnet(const tavro_sess *sess, int64_t id, tavro_buf *out, char *err,
                         size_t err_size) {
  Answer answer;
  yyjson_val *magnet = nullptr;
  if (int code = ask_status(sess, id, answer, &magnet, err, err_size)) return code;
  if (sess->room) tavro_buf_lend(out, sess->room, sess->room_cap);
  if (tavro_buf_add(out, "[", 1) || magnet_entry(out, magnet) || tavro_buf_add(out, "]", 1))
    return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  return TAVRO_OK;
}

// What a files answer without a file means: the magnet's state, asked once.
// *failed is the code of a magnet that is not ready (its message written),
// 0 when it is ready or its state unknown; the result is the status
// request's own code.
static int ask_ready(const tavro_sess *sess, int64_t id, int *failed, char *err, size_t err_size) {
  *failed = 0;
  Answer answer;
  yyjson_val *magnet = nullptr;
  if (int code = ask_status(sess, id, answer, &magnet, err, err_size)) return code;
  *failed = tavro_magnet_not_ready(magnet, id, err, err_size);
  return TAVRO_OK;
}

// After a files answer that held no file (item_code 0) or an error item
// (item_code its code, with its message in err): the failure to report, or
// 0 for a magnet that has no files. A status request that fails reports
// its own failure, but for an error item, whose message says more.
static int files_missing(const tavro_sess *sess, int64_t id, int item_code, int *not_ready,
                         char *err, size_t err_size) {
  char item_msg[TAVRO_ERR_SIZE] = "";
  if (item_code) std::snprintf(item_msg, sizeof item_msg, "%s", err);
  int failed = 0;
  int code = ask_ready(sess, id, &failed, err, err_size);
  *not_ready = failed;
  if (!code && failed) return failed;
  if (item_code) return tavro_fail(err, err_size, item_code, "%s", item_msg);
  return code;
}

int tavro_do_list_folder(const tavro_sess *sess, int64_t id, tavro_buf *out, char *err,
                         size_t err_size) {
  Answer answer;
  if (int code = fetch_tree(sess, id, answer, err, err_size)) return code;
  // The listing is written straight into the caller's buffer while it fits
  // there, so that the document and a copy of the result are not held
  // together: the thread's copy is made once the document is gone.
  if (sess->room) tavro_buf_lend(out, sess->room, sess->room_cap);
  if (tavro_buf_add(out, "[", 1)) return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  int has_entries = 0;
  int code = tavro_walk_files(answer.data, list_file, out, &has_entries, err, err_size,
                              tavro_path_form::json);
  bool item_error = code && tavro_files_item_error(answer.data);
  if (code && !item_error) return code;
  if (!has_entries) {
    // No file yet: a magnet still downloading, or one that failed, says so
    // rather than listing nothing.
    answer.release();
    int not_ready = 0;
    if (int failed = files_missing(sess, id, code, &not_ready, err, err_size)) return failed;
  }
  if (tavro_buf_add(out, "]", 1)) return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  return TAVRO_OK;
}

// Unlocks a service link into (url, name, size).
static int unlock(const tavro_sess *sess, const char *link, tavro::Text &url, tavro::Text &name,
                  int64_t *size, char *err, size_t err_size) {
  tavro::Resp resp;
  Request req{TAVRO_API_ROOT, "/link/unlock", "link", link, "link/unlock"};
  int code = post_ok(sess, req, resp, err, err_size);
  if (code) return code;
  return tavro_parse_unlock(resp->body, resp->body_len, url.out(), name.out(), size, err, err_size,
                            sess->verification);
}

// ---- Download -------------------------------------------------------------

int tavro_do_delete(const tavro_sess *sess, int64_t id, char *err, size_t err_size) {
  char idtext[24];
  // The answer's payload is not used.
  Answer answer;
  Request req{TAVRO_API_ROOT, "/magnet/delete", "id", id_text(idtext, id), "magnet/delete"};
  return ask(sess, req, true, answer, err, err_size);
}

// A magnet that is not handed over at once: deleted again when only instant
// ones are wanted, then the payload is the result.
static int not_ready(const tavro_sess *sess, int64_t id, const tavro_dlcfg &req,
                     const char *payload, tavro_buf *out, char *err, size_t err_size) {
  if (req.keep_instant_only) {
    int code = tavro_do_delete(sess, id, err, err_size);
    if (code) return code;
  }
  if (tavro_buf_adds(out, payload)) return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  return TAVRO_OK;
}

// The file a ready magnet hands over, chosen as the walk meets the files: in
// episode mode the first whose path is the wanted episode, else the first of
// the largest known size; only files with a link count. Only the chosen
// file's link is copied.
namespace {
struct Pick {
  bool episode_mode = false;
  int32_t season = 0, episode = 0;
  bool found = false;
  int64_t size = -1;
  tavro::Text link;
};
} // namespace

static int pick_file(void *ctx, const tavro_file &file, char *err, size_t err_size) {
  Pick *pick = static_cast<Pick *>(ctx);
  const char *path = file.path, *link = file.link;
  uint64_t path_len = file.path_len;
  int64_t size = file.size;
  if (!link || (pick->episode_mode && pick->found)) return 0;
  if (pick->episode_mode) {
    int s = 0, e = 0;
    if (!path_len || !tavro_season_episode(path, &s, &e) || s != pick->season || e != pick->episode)
      return 0;
  } else if (size < 0 || (pick->found && size <= pick->size)) {
    return 0;
  }
  char *copy = tavro_strdup(link);
  if (!copy) return tavro_fail(err, err_size, -1, kOom);
  pick->link.reset(copy);
  pick->size = size;
  pick->found = true;
  return 0;
}

// A ready magnet: walk its files, pick one, unlock it and write the instant
// result around the payload.
static int instant(const tavro_sess *sess, int64_t id, const tavro_dlcfg &req, const char *payload,
                   tavro_buf *out, char *err, size_t err_size) {
  Pick pick;
  pick.episode_mode = req.full_season == 1 && req.episode >= 1;
  pick.season = req.season;
  pick.episode = req.episode;
  int has_entries = 0;
  {
    Answer answer;
    int code = fetch_tree(sess, id, answer, err, err_size);
    if (code) return code;
    // The whole tree is walked even once an episode is found: a tree past
    // the file limit is refused whatever it holds.
    code = tavro_walk_files(answer.data, pick_file, &pick, &has_entries, err, err_size);
    if (code && !tavro_files_item_error(answer.data)) return code;
    if (!has_entries) {
      // No file to pick: the magnet's state says why. One still processing
      // is handed over as not ready; one that failed is a failure.
      answer.release();
      int processing = 0;
      int failed = files_missing(sess, id, code, &processing, err, err_size);
      if (failed && processing != TAVRO_E_NOT_FOUND) return failed;
      return not_ready(sess, id, req, payload, out, err, err_size);
    }
  }
  if (!pick.found) {
    if (pick.episode_mode) {
      if (tavro_buf_adds(out, payload)) return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
      return TAVRO_OK;
    }
    return tavro_fail(err, err_size, TAVRO_E_FAILED, "ready magnet has no usable links");
  }
  tavro::Text url, name;
  int64_t size = -1;
  if (int code = unlock(sess, pick.link.get(), url, name, &size, err, err_size)) return code;
  if (tavro_buf_adds(out, "{\"InstantURL\":") || tavro_buf_json_str(out, url.get()) ||
      tavro_buf_adds(out, ",\"InstantName\":") || tavro_buf_json_str(out, name.get()) ||
      tavro_buf_addf(out, ",\"InstantSize\":%lld,\"Payload\":", (long long)size) ||
      tavro_buf_adds(out, payload) || tavro_buf_add(out, "}", 1))
    return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  return TAVRO_OK;
}

// The first line of a body that redirects to a magnet, or of the Location
// of an unfollowed redirect to one (a byte transport's); null when neither.
static char *redirect_magnet(const tavro_resp &r) {
  std::string_view body(r.body, r.body_len);
  if (!body.starts_with("magnet:?") && r.location && r.status >= 300 && r.status <= 399)
    body = r.location;
  if (!body.starts_with("magnet:?")) return nullptr;
  return tavro_strndup(body.data(), body.substr(0, body.find_first_of("\r\n")).size());
}

// Posts the link as a magnet to the account, in the form body.
static int add_magnet(const tavro_sess *sess, const char *magnet, tavro::Resp &resp, char *err,
                      size_t err_size) {
  // Its status is judged with the torrent upload's, by the caller.
  Request req{TAVRO_API_ROOT, "/magnet/upload", "magnets[]", magnet, "magnet/upload"};
  return post_form(sess, req, resp, err, err_size);
}

// Uploads a fetched torrent file; the fetched response is released here.
static int add_torrent(const tavro_sess *sess, tavro::Resp &fetched, tavro::Resp &resp, char *err,
                       size_t err_size) {
  int rc;
  {
    tavro::Buf url;
    if (url_start(url.get(), sess, TAVRO_API_ROOT, "/magnet/upload/file"))
      return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
    rc = exchange(sess, Kind::torrent, url.c_str(), fetched->body, fetched->body_len, resp.get(),
                  err, err_size);
  }
  tavro_resp_free(fetched.get());
  return rc ? TAVRO_E_TRANSPORT : TAVRO_OK;
}

// Classifies the link and adds it; resp receives the add answer, and
// as_file says whether it answers a torrent file's upload.
static int add_link(const tavro_sess *sess, const char *link, tavro::Resp &resp, bool *as_file,
                    char *err, size_t err_size) {
  *as_file = false;
  if (tavro_link_is_magnet(link)) return add_magnet(sess, link, resp, err, err_size);
  tavro::Resp fetched;
  if (sess->bytes) {
    // Bodies come whole with their length: one fetch tells a redirect to a
    // magnet from a torrent file.
    if (exchange(sess, Kind::fetch, link, nullptr, 0, fetched.get(), err, err_size))
      return TAVRO_E_TRANSPORT;
    tavro::Text magnet(redirect_magnet(*fetched.get()));
    if (magnet.get()) {
      tavro_resp_free(fetched.get());
      return add_magnet(sess, magnet.get(), resp, err, err_size);
    }
  } else {
    {
      // A failure of this first fetch is not reported: the torrent fetch
      // below tries again and reports its own.
      tavro::Resp first;
      char ignored[TAVRO_ERR_SIZE];
      if (exchange(sess, Kind::fetch, link, nullptr, 0, first.get(), ignored, sizeof ignored) ==
          0) {
        tavro::Text magnet(redirect_magnet(*first.get()));
        if (magnet.get()) {
          tavro_resp_free(first.get());
          return add_magnet(sess, magnet.get(), resp, err, err_size);
        }
      }
    }
    if (exchange(sess, Kind::fetch, link, nullptr, 0, fetched.get(), err, err_size))
      return TAVRO_E_TRANSPORT;
  }
  if (fetched->body_len == 0 || !tavro_sniff_torrent(fetched->body, fetched->body_len))
    return tavro_fail(err, err_size, TAVRO_E_FAILED,
                      "Link is not a magnet, a redirect-to-magnet or a torrent file");
  // Bodies through the host's text table end at their first NUL byte, and
  // the piece hashes of a real torrent nearly always hold one: a torrent
  // that stops early is refused rather than uploaded broken. The byte
  // transport carries it whole.
  if (!sess->bytes && !tavro_bencode_whole(fetched->body, fetched->body_len))
    return tavro_fail(err, err_size, TAVRO_E_FAILED, kTorrentCut);
  *as_file = true;
  return add_torrent(sess, fetched, resp, err, err_size);
}

int tavro_do_download(const tavro_sess *sess, const char *request, int writes_allowed,
                      tavro_buf *out, char *err, size_t err_size) {
  if (!writes_allowed)
    return tavro_fail(err, err_size, TAVRO_E_WRITES_OFF,
                      "download() adds transfers to the account; call tavro_allow_writes(1) "
                      "first");
  tavro_dlcfg req{};
  tavro::Owned<tavro_dlcfg, tavro_dlcfg_free> req_holder(&req);
  int code = tavro_dlcfg_parse(request, &req, err, err_size);
  if (code) return code;

  tavro::Resp resp;
  bool as_file = false;
  code = add_link(sess, req.link, resp, &as_file, err, err_size);
  if (code) return code;
  code = status_ok(sess, resp, "magnet/upload", err, err_size);
  if (code) return code;
  int64_t id = -1;
  int ready = 0;
  tavro::Text payload;
  {
    tavro::Text parsed;
    code = as_file ? tavro_parse_upload_file(resp->body, resp->body_len, &id, &ready, parsed.out(),
                                             err, err_size, sess->verification)
                   : tavro_parse_upload(resp->body, resp->body_len, &id, &ready, parsed.out(), err,
                                        err_size, sess->verification);
    tavro_resp_free(resp.get());
    if (code) return code;
    payload.reset(tavro_strdup(parsed.get()));
    if (!payload.get()) return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  }
  if (id < 0) return tavro_fail(err, err_size, TAVRO_E_FAILED, "upload returned no magnet id");
  if (!ready) return not_ready(sess, id, req, payload.get(), out, err, err_size);
  return instant(sess, id, req, payload.get(), out, err, err_size);
}

// ---- Changes --------------------------------------------------------------

int tavro_do_change(const tavro_sess *sess, const char *request, int writes_allowed, tavro_buf *out,
                    char *err, size_t err_size) {
  if (!writes_allowed)
    return tavro_fail(err, err_size, TAVRO_E_WRITES_OFF,
                      "change() changes the account; call tavro_allow_writes(1) first");
  tavro_change_req req{};
  tavro::Owned<tavro_change_req, tavro_change_free> req_holder(&req);
  if (int code = tavro_change_parse(request, &req, err, err_size)) return code;
  char idtext[24];
  Request ask_req{TAVRO_API_ROOT, "/magnet/delete", "id", nullptr, "magnet/delete"};
  switch (req.action) {
  case tavro_change_action::delete_magnet:
    ask_req.value = id_text(idtext, req.magnet_id);
    break;
  case tavro_change_action::restart_magnet:
    ask_req = {TAVRO_API_ROOT, "/magnet/restart", "id", id_text(idtext, req.magnet_id),
               "magnet/restart"};
    break;
  case tavro_change_action::save_link:
    ask_req = {TAVRO_API_ROOT, "/user/links/save", "links[]", req.link, "user/links/save"};
    break;
  case tavro_change_action::delete_link:
    ask_req = {TAVRO_API_ROOT, "/user/links/delete", "links[]", req.link, "user/links/delete"};
    break;
  }
  Answer answer;
  if (int code = ask(sess, ask_req, true, answer, err, err_size)) return code;
  // Asked for several magnets, the service answers per item; one item that
  // failed is the service's failure.
  yyjson_val *items = yyjson_obj_get(answer.data, "magnets");
  if (int code = tavro_item_error(yyjson_arr_get_first(items), err, err_size)) return code;
  const char *message = yyjson_get_str(yyjson_obj_get(answer.data, "message"));
  bool magnet = req.action == tavro_change_action::delete_magnet ||
                req.action == tavro_change_action::restart_magnet;
  if (tavro_buf_adds(out, "{\"Action\":\"") || tavro_buf_adds(out, req.action_name) ||
      (magnet ? tavro_buf_addf(out, "\",\"Magnet\":\"m%lld\"", (long long)req.magnet_id)
              : (tavro_buf_adds(out, "\",\"Link\":") || tavro_buf_json_str(out, req.link))) ||
      tavro_buf_adds(out, ",\"message\":") || tavro_buf_json_str(out, message) ||
      tavro_buf_adds(out, "}"))
    return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  return TAVRO_OK;
}
