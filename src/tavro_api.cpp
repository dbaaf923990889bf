// SPDX-License-Identifier: MIT
// The exports but the handler record's and the writes switch: the four
// operations and the sign-in flows on the selected transport, the per-thread copies, the transport
// selection, the constants, the utilities and the fake's store.
#include "tavro.h"

#include "tavro_frame.h"
#include "tavro_io_curl.h"
#include "tavro_io_fake.h"
#include "tavro_lock.h"
#include "tavro_recognise.h"
#include "tavro_results.h"
#include "tavro_secret.h"
#include "tavro_service.h"
#include "tavro_text.h"
#include "tavro_thread.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

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

// Runs an operation on the selected transport. A call without a buffer that
// succeeds returns TAVRO_OK, its result waiting in tavro_result_json.
int run(tavro::Op op, const char *settings, const char *arg, char *out, int32_t out_len) {
  Selected sel = selected();
  return tavro::run_frame(op, sel.has_io ? &sel.io : nullptr, sel.has_bytes ? &sel.bytes : nullptr,
                          settings, arg, out, out_len, tavro::NoBuffer::ok);
}

thread_local char t_redact[TAVRO_REDACT_SIZE];

// The text most recently handed out by tavro_fake_last_body or
// tavro_fake_last_url on this thread; released when the thread ends.
struct ReturnCopy {
  tavro::Text text;
};

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

extern "C" {

// ---- Operations -----------------------------------------------------------

TAVRO_API int tavro_validate(const char *settings, char *out, int32_t out_len) {
  return run(tavro::Op::validate, settings, nullptr, out, out_len);
}

TAVRO_API int tavro_list(const char *settings, const char *folder, char *out, int32_t out_len) {
  return run(tavro::Op::list, settings, folder, out, out_len);
}

TAVRO_API int tavro_stream_url(const char *settings, const char *entry, char *out,
                               int32_t out_len) {
  return run(tavro::Op::stream, settings, entry, out, out_len);
}

TAVRO_API int tavro_download(const char *settings, const char *request, char *out,
                             int32_t out_len) {
  return run(tavro::Op::download, settings, request, out, out_len);
}

// ---- Signing in -----------------------------------------------------------

TAVRO_API int tavro_pin_start(const char *settings, char *out, int32_t out_len) {
  return run(tavro::Op::pin_start, settings, nullptr, out, out_len);
}

TAVRO_API int tavro_pin_check(const char *settings, const char *pin, char *out, int32_t out_len) {
  return run(tavro::Op::pin_check, settings, pin, out, out_len);
}

TAVRO_API int tavro_verify(const char *settings, const char *request, char *out, int32_t out_len) {
  return run(tavro::Op::verify, settings, request, out, out_len);
}

TAVRO_API int tavro_change(const char *settings, const char *request, char *out, int32_t out_len) {
  return run(tavro::Op::change, settings, request, out, out_len);
}

// ---- Results --------------------------------------------------------------

TAVRO_API const char *tavro_result_json(void) {
  const char *r = tavro_thread_result();
  return r ? r : "";
}

TAVRO_API const char *tavro_last_error(void) {
  const char *e = tavro_thread_error();
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
  return TAVRO_RUNTIME_TYPE;
}
TAVRO_API int tavro_caps(void) {
  return TAVRO_CAPS;
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

// ---- The fake transport's store -------------------------------------------

TAVRO_API void tavro_fake_reset(void) {
  tavro_fake_clear();
}

TAVRO_API int tavro_fake_set(const char *method, const char *url, int status, const char *body) {
  return tavro_fake_answer(method, url, status, body);
}

TAVRO_API int tavro_fake_fail(const char *method, const char *url, const char *message) {
  return tavro_fake_failure(method, url, message);
}

TAVRO_API int tavro_fake_calls(const char *method, const char *url) {
  return tavro_fake_count(method, url);
}

TAVRO_API const char *tavro_fake_last_body(const char *url) {
  return hand_out(tavro_fake_copy_last_body(url));
}

TAVRO_API const char *tavro_fake_last_url(void) {
  return hand_out(tavro_fake_copy_last_url());
}

} // extern "C"
