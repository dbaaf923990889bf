// The exported functions: dispatch of the four operations through the handler
// record, the per-thread result copies, the transport selection, and the
// utility exports. Operation frames live in the handler module.
#include "tavro_exports.h"

#include "tavro_dialect.h"
#include "tavro_handler.h"
#include "tavro_io_curl.h"
#include "tavro_io_fake.h"
#include "tavro_lock.h"
#include "tavro_season.h"
#include "tavro_thread.h"
#include "tavro_util.h"

#include <cstddef>
#include <cstring>

namespace {

// This thread's last result and last error; released when the thread ends.
struct ThreadCopies {
  tavro::Text result;
  tavro::Text error;
};

// Null only when memory runs out; both copies then read as "".
ThreadCopies *thread_copies() {
  return tavro::this_thread<ThreadCopies>();
}

thread_local char t_redact[2048];

// The selection: a text table (g_io: the fake or the copy of the host's),
// the host's byte transport (g_bytes_on), or neither.
tavro::Lock g_io_lock;
const tavro_io *g_io = nullptr;
tavro_io g_user_io = {};
bool g_bytes_on = false;
tavro_transport g_bytes = {};

// The transport of one call, copied under the lock: a later selection does
// not change the tables of calls in flight.
struct Selected {
  tavro_io io;
  tavro_transport bytes;
  bool has_io = false, has_bytes = false;
};

Selected selected() {
  Selected s{};
  tavro::Guard hold(g_io_lock);
  if (g_bytes_on) {
    s.bytes = g_bytes;
    s.has_bytes = true;
  } else if (const tavro_io *io = g_io ? g_io : tavro_io_curl()) {
    s.io = *io;
    s.has_io = true;
  }
  return s;
}

} // namespace

void tavro_publish(int code, const char *error, const char *result) {
  ThreadCopies *copies = thread_copies();
  if (!copies) return;
  copies->error.reset(tavro_strdup(code != 0 && error ? error : ""));
  copies->result.reset(tavro_strdup(result ? result : ""));
}

void tavro_publish_owned(int code, const char *error, char *result) {
  ThreadCopies *copies = thread_copies();
  if (!copies) {
    std::free(result);
    return;
  }
  copies->error.reset(tavro_strdup(code != 0 && error ? error : ""));
  copies->result.reset(result);
}

const char *tavro_thread_result(void) {
  ThreadCopies *copies = thread_copies();
  return copies ? copies->result.get() : nullptr;
}

const tavro_io *tavro_io_current(void) {
  tavro::Guard hold(g_io_lock);
  if (g_bytes_on) return nullptr;
  return g_io ? g_io : tavro_io_curl();
}

// ---- Operations -----------------------------------------------------------

namespace {

using op_fn = int (*)(const tavro_io *, const char *, const char *, char *, int32_t);

// Which operation an op_fn is, for the byte transport.
int op_index(op_fn op);

int f_validate(const tavro_io *io, const char *settings, const char *, char *out, int32_t out_len) {
  return g_handler.validate(io, settings, out, out_len);
}
int f_list(const tavro_io *io, const char *settings, const char *arg, char *out, int32_t out_len) {
  return g_handler.list(io, settings, arg, out, out_len);
}
int f_stream(const tavro_io *io, const char *settings, const char *arg, char *out,
             int32_t out_len) {
  return g_handler.stream_url(io, settings, arg, out, out_len);
}
int f_download(const tavro_io *io, const char *settings, const char *arg, char *out,
               int32_t out_len) {
  return g_handler.download(io, settings, arg, out, out_len);
}

// Runs an operation on the current transport. A call without a buffer that
// succeeds returns TAVRO_OK, its result waiting in tavro_result_json.
int flat(op_fn op, const char *settings, const char *arg, char *out, int32_t out_len) {
  Selected sel = selected();
  const tavro_io *io = sel.has_io ? &sel.io : nullptr;
  auto run = [&](char *o, int32_t n) {
    if (sel.has_bytes) return tavro_run_bytes(op_index(op), &sel.bytes, settings, arg, o, n);
    return op(io, settings, arg, o, n);
  };
  if (out && out_len > 0) return run(out, out_len);
  int code = run(nullptr, 0);
  if (code != TAVRO_E_BUFFER) return code;
  const char *result = tavro_thread_result();
  if (!result || !*result) return code;
  thread_copies()->error.reset(tavro_strdup(""));
  return TAVRO_OK;
}

int op_index(op_fn op) {
  if (op == f_validate) return TAVRO_OP_VALIDATE;
  if (op == f_list) return TAVRO_OP_LIST;
  if (op == f_stream) return TAVRO_OP_STREAM;
  return TAVRO_OP_DOWNLOAD;
}

} // namespace

extern "C" {

TAVRO_API int tavro_validate(const char *settings, char *out, int32_t out_len) {
  return flat(f_validate, settings, nullptr, out, out_len);
}

TAVRO_API int tavro_list(const char *settings, const char *folder, char *out, int32_t out_len) {
  return flat(f_list, settings, folder, out, out_len);
}

TAVRO_API int tavro_stream_url(const char *settings, const char *entry, char *out,
                               int32_t out_len) {
  return flat(f_stream, settings, entry, out, out_len);
}

TAVRO_API int tavro_download(const char *settings, const char *request, char *out,
                             int32_t out_len) {
  return flat(f_download, settings, request, out, out_len);
}

// ---- Results --------------------------------------------------------------

TAVRO_API const char *tavro_result_json(void) {
  const char *r = tavro_thread_result();
  return r ? r : "";
}

TAVRO_API const char *tavro_last_error(void) {
  ThreadCopies *copies = thread_copies();
  const char *e = copies ? copies->error.get() : nullptr;
  return e ? e : "";
}

// ---- Transport selection --------------------------------------------------

TAVRO_API int tavro_set_io(const tavro_io *io) {
  if (!io) {
    tavro::Guard hold(g_io_lock);
    g_io = nullptr;
    g_bytes_on = false;
    return 0;
  }
  if (!io->get || !io->post) return TAVRO_E_ARG;
  tavro::Guard hold(g_io_lock);
  g_user_io = *io;
  g_io = &g_user_io;
  g_bytes_on = false;
  return 0;
}

TAVRO_API int tavro_set_transport(const tavro_transport *t) {
  if (!t) {
    tavro::Guard hold(g_io_lock);
    g_io = nullptr;
    g_bytes_on = false;
    return 0;
  }
  // A table from an older header is read up to its own size; every member
  // this version knows must be there.
  if (t->size < offsetof(tavro_transport, free) + sizeof t->free || !t->send) return TAVRO_E_ARG;
  tavro_transport copy{};
  std::memcpy(&copy, t, t->size < sizeof copy ? t->size : sizeof copy);
  copy.size = sizeof copy;
  tavro::Guard hold(g_io_lock);
  g_bytes = copy;
  g_bytes_on = true;
  g_io = nullptr;
  return 0;
}

TAVRO_API int tavro_use_curl(void) {
  tavro::Guard hold(g_io_lock);
  if (!tavro_io_curl()) return TAVRO_E_UNAVAILABLE;
  g_io = nullptr;
  g_bytes_on = false;
  return 0;
}

TAVRO_API int tavro_use_fake(void) {
  tavro::Guard hold(g_io_lock);
  g_io = tavro_io_fake();
  g_bytes_on = false;
  return 0;
}

// ---- About ----------------------------------------------------------------

TAVRO_API const char *tavro_version(void) {
  return TAVRO_VERSION_STRING;
}
TAVRO_API const char *tavro_runtime_type(void) {
  return g_handler.runtime_type;
}
TAVRO_API int tavro_caps(void) {
  return g_handler.caps;
}
TAVRO_API const char *tavro_base_url(void) {
  return TAVRO_API_ROOT;
}

// ---- Utilities ------------------------------------------------------------

TAVRO_API const char *tavro_redact(const char *text) {
  tavro_redact_into(text, t_redact, sizeof t_redact);
  return t_redact;
}

TAVRO_API int tavro_parse_season_episode(const char *name, int *season, int *episode) {
  int s = 0, e = 0;
  if (!tavro_season_episode(name, &s, &e)) return 0;
  if (season) *season = s;
  if (episode) *episode = e;
  return 1;
}

TAVRO_API int tavro_is_torrent_file(const void *data, uint64_t len) {
  return tavro_sniff_torrent(data, (size_t)(len > SIZE_MAX ? SIZE_MAX : len));
}

TAVRO_API int tavro_is_magnet_link(const char *text) {
  return tavro_link_is_magnet(text);
}

} // extern "C"
