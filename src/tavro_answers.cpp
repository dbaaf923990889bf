// SPDX-License-Identifier: MIT
// Readers of the service's answers.
#include "tavro_answers.h"

#include "tavro_keep.h"
#include "tavro_service.h"
#include "tavro_text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

// ---- Envelope -------------------------------------------------------------

struct ErrorRule {
  std::string_view text;
  bool prefix; // compare only the first text.size() characters of the code
  int code;
};

// The service's error codes, first matching rule wins; anything else (the
// empty code included) is a plain failure.
constexpr ErrorRule kErrorRules[] = {
    {"AUTH_MAX_TOKENS", false, TAVRO_E_LIMIT},
    {"AUTH_", true, TAVRO_E_AUTH},
    {"MAGNET_MUST_BE_PREMIUM", true, TAVRO_E_LIMIT},
    {"FREE_ACCOUNT_LIMIT_REACHED", false, TAVRO_E_LIMIT},
    {"MAGNET_INVALID", true, TAVRO_E_NOT_FOUND},
    {"LINK_HOST_NOT_SUPPORTED", false, TAVRO_E_NOT_FOUND},
    {"LINK_NOT_SUPPORTED", false, TAVRO_E_NOT_FOUND},
    {"BAD_LINK", false, TAVRO_E_NOT_FOUND},
    // A stream, a stream generation or a delayed link the service does not know.
    {"STREAM_INVALID_GEN_ID", false, TAVRO_E_NOT_FOUND},
    {"STREAM_INVALID_STREAM_ID", false, TAVRO_E_NOT_FOUND},
    {"DELAYED_INVALID_ID", false, TAVRO_E_NOT_FOUND},
    // A saved link missing from the request, or one the service refuses.
    {"USER_LINK_MISSING", false, TAVRO_E_ARG},
    {"USER_LINK_INVALID", false, TAVRO_E_ARG},
    // Limits of the account, its plan or the hoster.
    {"MUST_BE_PREMIUM", false, TAVRO_E_LIMIT},
    {"FREE_TRIAL_LIMIT_REACHED", false, TAVRO_E_LIMIT},
    {"LINK_HOST_LIMIT_REACHED", false, TAVRO_E_LIMIT},
    {"LINK_TOO_MANY_DOWNLOADS", false, TAVRO_E_LIMIT},
    {"MAGNET_TOO_MANY_ACTIVE", false, TAVRO_E_LIMIT},
    {"MAGNET_TOO_MANY", false, TAVRO_E_LIMIT},
    {"MAGNET_TOO_LARGE", false, TAVRO_E_LIMIT},
    {"MAGNET_MAGNET_TOO_BIG", false, TAVRO_E_LIMIT},
    {"INSUFFICIENT_BALANCE", false, TAVRO_E_LIMIT},
    // Content that is gone.
    {"LINK_DOWN", false, TAVRO_E_NOT_FOUND},
    {"MAGNET_LINKS_REMOVED", false, TAVRO_E_NOT_FOUND},
    // The service or the hoster is down for now: worth trying again later.
    {"MAINTENANCE", false, TAVRO_E_TRANSPORT},
    {"LINK_HOST_UNAVAILABLE", false, TAVRO_E_TRANSPORT},
    {"LINK_TEMPORARY_UNAVAILABLE", false, TAVRO_E_TRANSPORT},
    {"LINK_HOST_FULL", false, TAVRO_E_TRANSPORT},
    // The service refuses requests from this origin (a server or a VPN).
    {"NO_SERVER", false, TAVRO_E_AUTH},
    // Signing in: a PIN or an approval token that is spent or wrong, and a
    // second request for the approval e-mail.
    {"PIN_EXPIRED", false, TAVRO_E_AUTH},
    {"PIN_INVALID", false, TAVRO_E_AUTH},
    {"ALREADY_SENT", false, TAVRO_E_LIMIT},
};

static_assert(kErrorRules[1].text.size() == 5 && kErrorRules[2].text.size() == 22 &&
                  kErrorRules[4].text.size() == 14,
              "prefix rules compare 5, 22 and 14 characters");

constexpr int map_error_code(std::string_view code) {
  for (const ErrorRule &rule : kErrorRules) {
    if (rule.prefix ? code.starts_with(rule.text) : code == rule.text) return rule.code;
  }
  return TAVRO_E_FAILED;
}

static_assert(map_error_code("AUTH_MAX_TOKENS") == TAVRO_E_LIMIT);
static_assert(map_error_code("AUTH_BAD_APIKEY") == TAVRO_E_AUTH);
static_assert(map_error_code("") == TAVRO_E_FAILED);
static_assert(map_error_code("DISCONTINUED") == TAVRO_E_FAILED);
static_assert(map_error_code("PIN_EXPIRED") == TAVRO_E_AUTH);
static_assert(map_error_code("ALREADY_SENT") == TAVRO_E_LIMIT);

// The text of a string member, or "" when the member is missing or not a
// string. JSON texts are read as C texts: an embedded NUL ends them.
const char *str_member(yyjson_val *obj, const char *key) {
  const char *s = yyjson_get_str(yyjson_obj_get(obj, key));
  return s ? s : "";
}

// A string member with at least one character, or null.
const char *nonempty_str_member(yyjson_val *obj, const char *key) {
  const char *s = yyjson_get_str(yyjson_obj_get(obj, key));
  return s && s[0] != '\0' ? s : nullptr;
}

bool ascii_letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Whether the '<' at p opens an HTML tag: a letter, "/" and a letter, or
// "!" (a comment or a declaration) follows it.
bool opens_tag(const char *p) {
  return ascii_letter(p[1]) || (p[1] == '/' && ascii_letter(p[2])) || p[1] == '!';
}

// text (a C text) without its HTML tags, written into out (size bytes,
// NUL-terminated, cut to fit): a tag runs from a '<' that opens one to the
// next '>'; a '<' with no '>' after it is kept as it is. One pass: a search
// for '>' either skips the tag it ends or finds none, once.
void strip_tags(const char *text, char *out, size_t size) {
  size_t n = 0;
  bool closes = true; // a '>' may still follow
  for (const char *p = text; *p && n + 1 < size; ++p) {
    if (*p == '<' && closes && opens_tag(p)) {
      const char *end = std::strchr(p, '>');
      if (end) {
        p = end;
        continue;
      }
      closes = false;
    }
    out[n++] = *p;
  }
  out[n] = '\0';
}

// The service's failure, from an error object (or anything else, which reads
// as neither code nor message): the mapped code, and the one line that
// quotes it, the message without HTML. A "token" string beside them (an
// AUTH_BLOCKED error's approval token) is copied into *token when token is
// given, replacing what it held; a token that cannot be copied is left out.
int service_error(yyjson_val *error, char *err, size_t err_size, char **token = nullptr) {
  const char *code = "";
  const char *message = "";
  if (yyjson_is_obj(error)) {
    code = str_member(error, "code");
    message = str_member(error, "message");
    const char *given = token ? nonempty_str_member(error, "token") : nullptr;
    if (char *copy = given ? tavro_strdup(given) : nullptr) {
      std::free(*token);
      *token = copy;
    }
  }
  // The message is cut to the error buffer anyway: the tags go first.
  char shown[TAVRO_ERR_SIZE];
  strip_tags(message, shown, sizeof shown);
  return tavro_fail(err, err_size, map_error_code(code), "AllDebrid error %s: %s",
                    code[0] ? code : "(no code)", shown[0] ? shown : "(no message)");
}

// The failure an answer reports for the one item the library asked about:
// an object holding an "error" object, inside a success envelope. 0 when
// the item is anything else.
int item_error(yyjson_val *item, char *err, size_t err_size) {
  yyjson_val *error = yyjson_is_obj(item) ? yyjson_obj_get(item, "error") : nullptr;
  if (!yyjson_is_obj(error)) return 0;
  return service_error(error, err, err_size);
}

// ---- File tree ------------------------------------------------------------

constexpr int32_t kFilesMax = TAVRO_FILES_MAX;

// One folder being walked: the iterator over its entries and the length the
// path had before the folder's name was appended.
struct Frame {
  yyjson_arr_iter iter;
  uint64_t path_len;
};

// The walk's own stack, on the heap so that nesting depth costs no call stack.
struct FrameStack {
  Frame *data = nullptr;
  uint64_t len = 0;
  uint64_t cap = 0;

  FrameStack() = default;
  FrameStack(const FrameStack &) = delete;
  FrameStack &operator=(const FrameStack &) = delete;
  ~FrameStack() { std::free(data); }

  // 0, or -1 when the stack cannot grow.
  int push(yyjson_val *arr, uint64_t path_len) {
    if (len == cap) {
      uint64_t want = cap ? cap * 2 : 16;
      void *grown = tavro_realloc(data, want * sizeof(Frame));
      if (!grown) return -1;
      data = static_cast<Frame *>(grown);
      cap = want;
    }
    Frame &f = data[len++];
    yyjson_arr_iter_init(arr, &f.iter);
    f.path_len = path_len;
    return 0;
  }
};

void cut_path(tavro_buf *path, uint64_t len) {
  path->len = len;
  if (path->data) path->data[len] = '\0';
}

// The visitor of tavro_parse_files: adds one file to the list, with a copy
// of the path (null when the path is empty) and of the link (null when
// there is none). 0, or -1 with the message written.
int add_entry(void *ctx, const tavro_file &file, char *err, size_t err_size) {
  tavro_links *list = static_cast<tavro_links *>(ctx);
  const char *path = file.path, *link_src = file.link;
  uint64_t path_len = file.path_len;
  int64_t size = file.size;
  tavro::Text p(path_len ? tavro_strndup(path, path_len) : nullptr);
  tavro::Text l(link_src ? tavro_strdup(link_src) : nullptr);
  if ((path_len && !p.get()) || (link_src && !l.get())) {
    return tavro_fail(err, err_size, -1, "out of memory");
  }
  if (list->len == list->cap) {
    uint64_t want = list->cap ? list->cap * 2 : 16;
    void *grown = tavro_realloc(list->data, want * sizeof(tavro_link));
    if (!grown) return tavro_fail(err, err_size, -1, "out of memory");
    list->data = static_cast<tavro_link *>(grown);
    list->cap = want;
  }
  list->data[list->len++] = tavro_link{p.release(), l.release(), size};
  return 0;
}

// The members of a node that the walk reads: for each one-letter key the
// first member with that key, as yyjson_obj_get would find it.
struct NodeMembers {
  yyjson_val *n = nullptr, *e = nullptr, *s = nullptr, *l = nullptr;
};

// Reads them in one pass over the node's members rather than one lookup,
// each a scan of its own, per key.
NodeMembers node_members(yyjson_val *node) {
  NodeMembers m;
  yyjson_obj_iter it = yyjson_obj_iter_with(node);
  for (yyjson_val *key; (key = yyjson_obj_iter_next(&it));) {
    if (yyjson_get_len(key) != 1) continue;
    yyjson_val *value = yyjson_obj_iter_get_val(key);
    yyjson_val **slot = nullptr;
    switch (yyjson_get_str(key)[0]) {
    case 'n':
      slot = &m.n;
      break;
    case 'e':
      slot = &m.e;
      break;
    case 's':
      slot = &m.s;
      break;
    case 'l':
      slot = &m.l;
      break;
    }
    if (slot && !*slot) *slot = value;
  }
  return m;
}

// Appends "/" (unless the path is empty) and name to the path, escaped
// when the form is JSON. The name is a C text of at most n bytes (it ends
// at an escaped NUL); an empty one adds nothing. 0, or -1 when memory runs
// out.
int add_name(tavro_buf *path, const char *name, size_t n, tavro_path_form form) {
  bool slash = path->len != 0;
  if (form == tavro_path_form::raw) {
    n = strnlen(name, n);
    if (n == 0) return 0;
    if (tavro_buf_reserve(path, slash + n) != 0) return -1;
    char *w = path->data + path->len;
    if (slash) *w++ = '/';
    std::memcpy(w, name, n);
    w[n] = '\0';
    path->len += slash + n;
    return 0;
  }
  // Escaped in one pass, into room for the longest escape of every byte.
  if (tavro_buf_reserve(path, slash + tavro_json_chars_room(n)) != 0) return -1;
  char *w = path->data + path->len;
  char *end = tavro_json_chars_copy(w + slash, name, &n);
  if (n == 0) return 0;
  if (slash) *w = '/';
  *end = '\0';
  path->len = (uint64_t)(end - path->data);
  return 0;
}

// Walks the nodes of one files array depth first, in document order, handing
// each file to visit. Folders are frames on a heap stack; the shared path
// gets a node's name on the way in and is cut back when the node is done.
// 0, or -1 with the message written (the path may then be left longer).
int flatten(yyjson_val *nodes, tavro_buf *path, tavro_path_form form, tavro_file_visit visit,
            void *ctx, int32_t *count, char *err, size_t err_size) {
  FrameStack stack;
  if (stack.push(nodes, path->len) != 0) return tavro_fail(err, err_size, -1, "out of memory");
  while (stack.len) {
    Frame &top = stack.data[stack.len - 1];
    yyjson_val *node = yyjson_arr_iter_next(&top.iter);
    if (!node) {
      // A folder is done: its children no longer see its name.
      cut_path(path, top.path_len);
      --stack.len;
      continue;
    }
    uint64_t entry_len = path->len;
    if (!yyjson_is_obj(node) || yyjson_obj_size(node) == 0) {
      tavro_file f{path->data, path->len, nullptr, 0, -1};
      if (visit(ctx, f, err, err_size) != 0) return -1;
    } else {
      NodeMembers m = node_members(node);
      const char *name = yyjson_get_str(m.n);
      if (name && add_name(path, name, yyjson_get_len(m.n), form) != 0)
        return tavro_fail(err, err_size, -1, "out of memory");
      if (yyjson_is_arr(m.e)) {
        // The folder's entries are walked next; an empty one adds nothing.
        if (stack.push(m.e, entry_len) != 0) return tavro_fail(err, err_size, -1, "out of memory");
        continue;
      }
      tavro_file f{path->data, path->len, yyjson_get_str(m.l), yyjson_get_len(m.l),
                   yyjson_is_int(m.s) ? yyjson_get_sint(m.s) : -1};
      if (visit(ctx, f, err, err_size) != 0) return -1;
      cut_path(path, entry_len);
    }
    // Every entry counts at once, so the walk stops at the first one too many.
    if (++*count > kFilesMax) {
      return tavro_fail(err, err_size, -1, "magnet tree larger than %d files", kFilesMax);
    }
  }
  return 0;
}

} // namespace

// The envelope of a parsed answer (parsed null when it is no JSON).
static int read_envelope(tavro::Doc &parsed, yyjson_doc **doc, yyjson_val **data, char *err,
                         size_t err_size, char **token);

// Both envelope readers: text parsed as a copy, or in place.
static int parse_envelope(char *text, size_t len, bool in_place, yyjson_doc **doc,
                          yyjson_val **data, char *err, size_t err_size, char **token) {
  *doc = nullptr;
  *data = nullptr;
  if (!text || len == 0) return tavro_fail(err, err_size, TAVRO_E_FAILED, "empty response body");
  tavro::Doc parsed(in_place ? tavro_json_read_kept_in_place(text, len)
                             : tavro_json_read_kept(text, len));
  return read_envelope(parsed, doc, data, err, err_size, token);
}

int tavro_parse_envelope(const char *text, size_t len, yyjson_doc **doc, yyjson_val **data,
                         char *err, size_t err_size, char **token) {
  // Read as a copy: the text is not written.
  return parse_envelope(const_cast<char *>(text), len, false, doc, data, err, err_size, token);
}

int tavro_parse_envelope_in_place(char *text, size_t len, yyjson_doc **doc, yyjson_val **data,
                                  char *err, size_t err_size, char **token) {
  return parse_envelope(text, len, true, doc, data, err, err_size, token);
}

static int read_envelope(tavro::Doc &parsed, yyjson_doc **doc, yyjson_val **data, char *err,
                         size_t err_size, char **token) {
  yyjson_val *root = parsed.root();
  if (!yyjson_is_obj(root)) {
    return tavro_fail(err, err_size, TAVRO_E_FAILED, "response is not a JSON object");
  }
  yyjson_val *status = yyjson_obj_get(root, "status");
  if (!yyjson_is_str(status)) {
    return tavro_fail(err, err_size, TAVRO_E_FAILED, "response has no status field");
  }
  if (yyjson_equals_str(status, "success")) {
    yyjson_val *payload = yyjson_obj_get(root, "data");
    if (!payload) return tavro_fail(err, err_size, TAVRO_E_FAILED, "success response has no data");
    *data = payload;
    *doc = parsed.get();
    *parsed.out() = nullptr;
    return TAVRO_OK;
  }
  // Any other status is the service's failure.
  return service_error(yyjson_obj_get(root, "error"), err, err_size, token);
}

void tavro_links_free(tavro_links *list) {
  if (!list) return;
  for (uint64_t i = 0; i < list->len; ++i) {
    std::free(list->data[i].path);
    std::free(list->data[i].link);
  }
  std::free(list->data);
  *list = tavro_links{};
}

int tavro_walk_files(yyjson_val *data, tavro_file_visit visit, void *ctx, int *has_entries,
                     char *err, size_t err_size, tavro_path_form form) {
  *has_entries = 0;
  // Anything but the expected shape is a magnet without files.
  yyjson_val *magnets = yyjson_obj_get(data, "magnets");
  if (yyjson_arr_size(magnets) == 0) return TAVRO_OK;
  yyjson_val *first = yyjson_arr_get_first(magnets);
  // An unknown or invalid id comes back as an item with an error.
  if (int code = item_error(first, err, err_size)) return code;
  if (yyjson_obj_size(first) == 0) return TAVRO_OK;
  yyjson_val *files = yyjson_obj_get(first, "files");
  if (yyjson_arr_size(files) == 0) return TAVRO_OK;

  tavro::Buf path;
  int32_t count = 0;
  if (flatten(files, path.get(), form, visit, ctx, &count, err, err_size) != 0)
    return TAVRO_E_FAILED;
  *has_entries = count > 0;
  return TAVRO_OK;
}

int tavro_parse_files(const char *text, size_t len, tavro_links *list, int *has_entries, char *err,
                      size_t err_size) {
  *list = tavro_links{};
  *has_entries = 0;
  tavro::Doc doc;
  yyjson_val *data = nullptr;
  int rc = tavro_parse_envelope(text, len, doc.out(), &data, err, err_size);
  if (rc != TAVRO_OK) return rc;

  // The list is the caller's only on success.
  tavro::Owned<tavro_links, tavro_links_free> holder(list);
  rc = tavro_walk_files(data, add_entry, list, has_entries, err, err_size);
  if (rc != TAVRO_OK) return rc;
  holder.release();
  return TAVRO_OK;
}

int tavro_item_error(yyjson_val *item, char *err, size_t err_size) {
  return item_error(item, err, err_size);
}

int tavro_files_item_error(yyjson_val *data) {
  yyjson_val *first = yyjson_arr_get_first(yyjson_obj_get(data, "magnets"));
  return yyjson_is_obj(first) && yyjson_is_obj(yyjson_obj_get(first, "error"));
}

// ---- Magnet states --------------------------------------------------------

namespace {

// An integer member (a JSON integer, by the library's reading rule), or -1.
int64_t int_member(yyjson_val *obj, const char *key) {
  yyjson_val *v = yyjson_obj_get(obj, key);
  if (yyjson_is_sint(v)) return yyjson_get_sint(v);
  if (yyjson_is_uint(v)) return (int64_t)yyjson_get_uint(v);
  return -1;
}

// A count of bytes in decimal units, as the service counts them: "512 B",
// "587.4 MB".
void decimal_size(char (&out)[32], int64_t bytes) {
  static constexpr const char *kUnits[] = {"B", "kB", "MB", "GB", "TB", "PB", "EB"};
  if (bytes < 1000) {
    std::snprintf(out, sizeof out, "%lld B", (long long)bytes);
    return;
  }
  double v = (double)bytes;
  size_t unit = 0;
  while (v >= 999.95 && unit + 1 < sizeof kUnits / sizeof *kUnits) {
    v /= 1000;
    ++unit;
  }
  std::snprintf(out, sizeof out, "%.1f %s", v, kUnits[unit]);
}

// The figures of a processing magnet, appended one by one; cut when they
// outgrow the room, as a message is.
struct Figures {
  char text[160] = "";
  size_t used = 0;

#if defined(__GNUC__)
  __attribute__((format(printf, 2, 3)))
#endif
  void
  add(const char *fmt, ...) {
    if (used >= sizeof text) return;
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(text + used, sizeof text - used, fmt, ap);
    va_end(ap);
    if (n > 0) used += (size_t)n;
  }
};

} // namespace

tavro_magnet_state tavro_magnet_state_of(yyjson_val *magnet) {
  yyjson_val *code = yyjson_obj_get(magnet, "statusCode");
  if (!yyjson_is_int(code)) return tavro_magnet_state::unknown;
  int64_t c = int_member(magnet, "statusCode");
  if (c >= 0 && c <= 3) return tavro_magnet_state::processing;
  if (c == 4) return tavro_magnet_state::ready;
  if (c >= 5 && c <= 15) return tavro_magnet_state::error;
  return tavro_magnet_state::unknown;
}

yyjson_val *tavro_status_magnet(yyjson_val *data, int64_t id) {
  yyjson_val *magnets = yyjson_obj_get(data, "magnets");
  auto is_it = [id](yyjson_val *m) {
    yyjson_val *mid = yyjson_obj_get(m, "id");
    return yyjson_is_int(mid) && int_member(m, "id") == id;
  };
  if (yyjson_is_obj(magnets)) return is_it(magnets) ? magnets : nullptr;
  yyjson_arr_iter it = yyjson_arr_iter_with(magnets);
  for (yyjson_val *m; (m = yyjson_arr_iter_next(&it));)
    if (is_it(m)) return m;
  return nullptr;
}

int tavro_magnet_not_ready(yyjson_val *m, int64_t id, char *err, size_t err_size) {
  tavro_magnet_state state = tavro_magnet_state_of(m);
  if (state != tavro_magnet_state::processing && state != tavro_magnet_state::error) return 0;
  const char *status = nonempty_str_member(m, "status");
  int64_t code = int_member(m, "statusCode");
  char code_text[32];
  std::snprintf(code_text, sizeof code_text, "status %lld", (long long)code);
  if (state == tavro_magnet_state::error)
    return tavro_fail(err, err_size, TAVRO_E_FAILED, "magnet %lld failed: %s (status %lld)",
                      (long long)id, status ? status : "no status text", (long long)code);
  // The figures the entry holds, each only when known: the share done and
  // the size, the speed, the seeders.
  int64_t size = int_member(m, "size"), done = int_member(m, "downloaded");
  int64_t speed = int_member(m, "downloadSpeed"), seeders = int_member(m, "seeders");
  Figures f;
  char text[32];
  if (size > 0) {
    if (done >= 0) {
      long double share = (long double)done * 100 / (long double)size;
      f.add(", %d %% of", share >= 100 ? 100 : (int)share);
    } else {
      f.add(",");
    }
    decimal_size(text, size);
    f.add(" %s", text);
  }
  if (speed >= 0) {
    decimal_size(text, speed);
    f.add(f.used ? " at %s/s" : ", at %s/s", text);
  }
  if (seeders >= 0) f.add(", %lld %s", (long long)seeders, seeders == 1 ? "seeder" : "seeders");
  return tavro_fail(err, err_size, TAVRO_E_NOT_FOUND, "magnet %lld is not ready: %s%s",
                    (long long)id, status ? status : code_text, f.text);
}

namespace {

// The two add answers: the item list is "magnets" for a magnet, "files" for
// a torrent file (with "magnets" in older answers).
int parse_added(const char *text, size_t len, bool file, int64_t *id, int *ready, char **payload,
                char *err, size_t err_size, char **token) {
  *id = -1;
  *ready = 0;
  *payload = nullptr;
  tavro::Doc doc;
  yyjson_val *data = nullptr;
  int rc = tavro_parse_envelope(text, len, doc.out(), &data, err, err_size, token);
  if (rc != TAVRO_OK) return rc;

  yyjson_val *items = file ? yyjson_obj_get(data, "files") : nullptr;
  if (!yyjson_is_arr(items)) items = yyjson_obj_get(data, "magnets");
  yyjson_val *magnet = yyjson_arr_get_first(items);
  // A link or file the service refused comes back as an item with an error.
  if (int code = item_error(magnet, err, err_size)) return code;
  yyjson_val *magnet_id = yyjson_obj_get(magnet, "id");
  if (yyjson_obj_size(magnet) == 0 || !yyjson_is_int(magnet_id)) {
    return tavro_fail(err, err_size, TAVRO_E_FAILED, "magnet/upload returned no magnet id");
  }
  *id = yyjson_get_sint(magnet_id);
  *ready = yyjson_is_true(yyjson_obj_get(magnet, "ready")) ? 1 : 0;

  // The magnet goes back to the host as it came, in compact form.
  size_t written = 0;
  *payload = yyjson_val_write_opts(magnet, 0, &tavro_json_alc, &written, nullptr);
  if (!*payload) {
    return tavro_fail(err, err_size, TAVRO_E_FAILED, "out of memory serialising the add result");
  }
  return TAVRO_OK;
}

} // namespace

int tavro_parse_upload(const char *text, size_t len, int64_t *id, int *ready, char **payload,
                       char *err, size_t err_size) {
  return parse_added(text, len, false, id, ready, payload, err, err_size, nullptr);
}

int tavro_parse_upload(const char *text, size_t len, int64_t *id, int *ready, char **payload,
                       char *err, size_t err_size, char **token) {
  return parse_added(text, len, false, id, ready, payload, err, err_size, token);
}

int tavro_parse_upload_file(const char *text, size_t len, int64_t *id, int *ready, char **payload,
                            char *err, size_t err_size) {
  return parse_added(text, len, true, id, ready, payload, err, err_size, nullptr);
}

int tavro_parse_upload_file(const char *text, size_t len, int64_t *id, int *ready, char **payload,
                            char *err, size_t err_size, char **token) {
  return parse_added(text, len, true, id, ready, payload, err, err_size, token);
}

int tavro_parse_unlock(const char *text, size_t len, char **link, char **name, int64_t *size,
                       char *err, size_t err_size) {
  return tavro_parse_unlock(text, len, link, name, size, err, err_size, nullptr);
}

int tavro_parse_unlock(const char *text, size_t len, char **link, char **name, int64_t *size,
                       char *err, size_t err_size, char **token) {
  *link = nullptr;
  *name = nullptr;
  *size = -1;
  tavro::Doc doc;
  yyjson_val *data = nullptr;
  int rc = tavro_parse_envelope(text, len, doc.out(), &data, err, err_size, token);
  if (rc != TAVRO_OK) return rc;

  // An empty link counts as missing.
  const char *direct = nonempty_str_member(data, "link");
  if (!direct) return tavro_fail(err, err_size, TAVRO_E_FAILED, "link/unlock returned no link");
  tavro::Text link_copy(tavro_strdup(direct));
  if (!link_copy.get()) return tavro_fail(err, err_size, TAVRO_E_FAILED, "out of memory");

  // A name that cannot be copied is left out rather than failing the unlock.
  *name = tavro_strdup(yyjson_get_str(yyjson_obj_get(data, "filename")));
  yyjson_val *filesize = yyjson_obj_get(data, "filesize");
  if (yyjson_is_int(filesize)) *size = yyjson_get_sint(filesize);
  *link = link_copy.release();
  return TAVRO_OK;
}
