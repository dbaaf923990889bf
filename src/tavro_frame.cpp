// SPDX-License-Identifier: MIT
// The operation frame, the writes switch and the handler record.
#include "tavro_frame.h"

#include "tavro_input.h"
#include "tavro_links.h"
#include "tavro_ops.h"
#include "tavro_results.h"
#include "tavro_secret.h"
#include "tavro_service.h"
#include "tavro_signin.h"
#include "tavro_text.h"

#include <atomic>
#include <cinttypes>
#include <cstring>

static std::atomic<int> s_writes{0};

extern "C" TAVRO_API int tavro_allow_writes(int on) {
  s_writes.store(on ? 1 : 0, std::memory_order_relaxed);
  return 0;
}

static constexpr char kTooSmall[] = "output buffer too small";

// What a call's delivery needs beside its outcome: the approval token of a
// service error (AUTH_BLOCKED), which the error document hands over, and
// whether the result holds a key the service handed out (its copies are
// then wiped, not only freed).
namespace {
struct Delivery {
  const char *verification = nullptr;
  bool secret = false;
};
} // namespace

// Delivers the outcome of one operation into the caller's buffer and the
// per-thread copies; returns the final code.
static int finish(int code, tavro_buf *out_buf, char *err, const char *api_key, char *out,
                  int32_t out_len, tavro::NoBuffer no_buffer, const Delivery &d = {}) {
  bool has_out = out && out_len > 0;
  // A result begun but not delivered goes without a trace of a key in it.
  if (code != TAVRO_OK && d.secret && !out_buf->borrowed && out_buf->data)
    tavro_wipe(out_buf->data, (size_t)out_buf->cap);
  if (code == TAVRO_OK && out_buf->borrowed) {
    // Written straight into the caller's buffer, where it fits; the thread's
    // copy is made once the operation's own memory is released. Without
    // memory for it the call keeps its result, and the copy reads "".
    tavro_publish_copy(out_buf->data, out_buf->len);
    tavro_buf_keep_lent(out_buf);
    return TAVRO_OK;
  }
  // A failure leaves nothing of a result begun in the caller's buffer.
  if (out_buf->borrowed) tavro_buf_free(out_buf);
  if (code == TAVRO_OK) {
    const char *result = out_buf->len ? out_buf->data : "{}";
    uint64_t len = out_buf->len ? out_buf->len : 2;
    if (has_out && len + 1 <= (uint64_t)out_len) {
      std::memcpy(out, result, (size_t)len + 1);
    } else if (has_out || no_buffer == tavro::NoBuffer::too_small) {
      if (has_out) out[0] = '\0';
      code = TAVRO_E_BUFFER;
    }
    const char *msg = code ? kTooSmall : nullptr;
    // The result text becomes this thread's copy as it is: no second copy.
    if (out_buf->len) {
      uint64_t result_len = out_buf->len;
      tavro_publish_owned(code, msg, tavro_buf_release(out_buf), result_len, d.secret);
    } else
      tavro_publish(code, msg, result);
    if (code == TAVRO_OK && !has_out) {
      // Without a buffer the copy is the only result: when it could not be
      // kept, the call reports what the handler record does.
      const char *kept = tavro_thread_result();
      if (!kept || !*kept) {
        tavro_publish(TAVRO_E_BUFFER, kTooSmall, nullptr);
        return TAVRO_E_BUFFER;
      }
    }
    return code;
  }
  tavro_scrub(err, api_key);
  // A transport's own error text may quote the request URL, where the key
  // stands percent-encoded: mask that form too.
  tavro_scrub_encoded(err, api_key);
  // Messages are cut to fit (a quoted line at 199 characters, the whole
  // message at 767), and a cut may run through the key.
  tavro_scrub_cut(err, api_key);
  if (has_out) {
    tavro::Buf doc;
    // An AUTH_BLOCKED error hands over its approval token beside the message.
    if (tavro_buf_adds(doc.get(), "{\"error\":") == 0 && tavro_buf_json_str(doc.get(), err) == 0 &&
        (!d.verification || (tavro_buf_adds(doc.get(), ",\"verification\":") == 0 &&
                             tavro_buf_json_str(doc.get(), d.verification) == 0)) &&
        tavro_buf_adds(doc.get(), "}") == 0) {
      if (doc.size() + 1 <= (uint64_t)out_len)
        std::memcpy(out, doc.c_str(), (size_t)doc.size() + 1);
      else
        out[0] = '\0';
    }
  }
  tavro_publish(code, err, nullptr);
  return code;
}

// Routes a folder name to its listing.
static int list_folder(const tavro_sess *sess, const char *folder, tavro_buf *out, char *err,
                       size_t err_size) {
  if (!folder || !*folder) return tavro_do_list_root(out);
  if (!std::strcmp(folder, "torrents") || !std::strcmp(folder, "/torrents"))
    return tavro_do_list_torrents(sess, out, err, err_size);
  if (!std::strncmp(folder, "torrents/m", 10) && folder[10]) {
    // One magnet's own entry: "torrents/m" and the id's digits, nothing else.
    int64_t id = 0;
    const char *p = folder + 10;
    for (; *p >= '0' && *p <= '9' && id <= (INT64_MAX - 9) / 10; ++p) id = id * 10 + (*p - '0');
    if (!*p) return tavro_do_list_magnet(sess, id, out, err, err_size);
  }
  if (!std::strcmp(folder, "links") || !std::strcmp(folder, "/links"))
    return tavro_do_list_saved(sess, tavro_saved::links, out, err, err_size);
  if (!std::strcmp(folder, "history") || !std::strcmp(folder, "/history"))
    return tavro_do_list_saved(sess, tavro_saved::history, out, err, err_size);
  if (folder[0] == 'm' && folder[1] >= '0' && folder[1] <= '9') {
    // Digits as far as they go; past the 64-bit range the id saturates.
    int64_t id = (int64_t)strtoimax(folder + 1, nullptr, 10);
    return tavro_do_list_folder(sess, id, out, err, err_size);
  }
  return tavro_fail(err, err_size, TAVRO_E_NOT_FOUND, "no such folder: %s", folder);
}

static int frame(tavro::Op op, const tavro_io *io, const tavro_transport *bytes,
                 const char *settings, const char *arg, char *out, int32_t out_len,
                 tavro::NoBuffer no_buffer) {
  using tavro::Op;
  char err[TAVRO_ERR_SIZE] = {};
  tavro::Buf result;
  tavro_cfg cfg{};
  tavro::Owned<tavro_cfg, tavro_cfg_free> cfg_holder(&cfg);
  // The sign-in flows need no key: they are how a host gets one.
  bool signin = op == Op::pin_start || op == Op::pin_check || op == Op::verify;
  int code = tavro_cfg_parse(settings, signin ? 0 : 1, &cfg, err, sizeof err);
  if (code) return finish(code, result.get(), err, nullptr, out, out_len, no_buffer);
  tavro::Text locator, verification;
  Delivery delivery;
  // A check that activated a PIN and an allowed approval hand out a key.
  delivery.secret = op == Op::pin_check || op == Op::verify;
  if (!io && !bytes) {
    code = tavro_fail(err, sizeof err, TAVRO_E_TRANSPORT, "no transport");
  } else if (op == Op::verify && cfg.key_lost) {
    // An approval asked with the key goes with it, or not at all.
    code = tavro_fail(err, sizeof err, TAVRO_E_FAILED, "out of memory");
  } else if (op == Op::stream &&
             (code = tavro_entry_link(arg, locator.out(), err, sizeof err)) != 0) {
    // the entry's message stands
  } else {
    tavro_sess sess{};
    if (bytes)
      tavro_sess_open_bytes(&sess, bytes, &cfg);
    else
      tavro_sess_open(&sess, io, &cfg);
    if (out && out_len > 0) {
      sess.room = out;
      sess.room_cap = (uint64_t)out_len;
    }
    sess.verification = verification.out();
    switch (op) {
    case Op::validate:
      code = tavro_do_validate(&sess, cfg.id, result.get(), err, sizeof err);
      break;
    case Op::list:
      code = list_folder(&sess, arg, result.get(), err, sizeof err);
      break;
    case Op::stream:
      code = tavro_do_stream(&sess, locator.get(), result.get(), err, sizeof err);
      break;
    case Op::download:
      code = tavro_do_download(&sess, arg, s_writes.load(std::memory_order_relaxed) != 0,
                               result.get(), err, sizeof err);
      break;
    case Op::change:
      code = tavro_do_change(&sess, arg, s_writes.load(std::memory_order_relaxed) != 0,
                             result.get(), err, sizeof err);
      break;
    case Op::pin_start:
      code = tavro_do_pin_start(&sess, result.get(), err, sizeof err);
      break;
    case Op::pin_check:
      code = tavro_do_pin_check(&sess, arg, result.get(), err, sizeof err);
      break;
    case Op::verify:
      code = tavro_do_verify(&sess, arg, result.get(), err, sizeof err);
      break;
    }
    tavro_sess_close(&sess);
  }
  delivery.verification = verification.get();
  return finish(code, result.get(), err, cfg.api_key, out, out_len, no_buffer, delivery);
}

// The frame never throws, but it is called straight from the host: nothing
// may escape it whatever happens below.
int tavro::run_frame(Op op, const tavro_io *io, const tavro_transport *bytes, const char *settings,
                     const char *arg, char *out, int32_t out_len, NoBuffer no_buffer) noexcept {
  try {
    return frame(op, io, bytes, settings, arg, out, out_len, no_buffer);
  } catch (...) {
    tavro_publish(TAVRO_E_FAILED, "internal failure", nullptr);
    return TAVRO_E_FAILED;
  }
}

// ---- The handler record ---------------------------------------------------

// The record's operations use the table they are given, and a call without
// a buffer is TAVRO_E_BUFFER.
static int h_validate(const tavro_io *io, const char *settings, char *out, int32_t out_len) {
  return tavro::run_frame(tavro::Op::validate, io, nullptr, settings, nullptr, out, out_len,
                          tavro::NoBuffer::too_small);
}
static int h_list(const tavro_io *io, const char *settings, const char *folder, char *out,
                  int32_t out_len) {
  return tavro::run_frame(tavro::Op::list, io, nullptr, settings, folder, out, out_len,
                          tavro::NoBuffer::too_small);
}
static int h_stream_url(const tavro_io *io, const char *settings, const char *entry, char *out,
                        int32_t out_len) {
  return tavro::run_frame(tavro::Op::stream, io, nullptr, settings, entry, out, out_len,
                          tavro::NoBuffer::too_small);
}
static int h_download(const tavro_io *io, const char *settings, const char *request, char *out,
                      int32_t out_len) {
  return tavro::run_frame(tavro::Op::download, io, nullptr, settings, request, out, out_len,
                          tavro::NoBuffer::too_small);
}

static const tavro_handler g_handler = {TAVRO_RUNTIME_TYPE, TAVRO_CAPS, h_validate, h_list,
                                        h_stream_url,       h_download};

extern "C" TAVRO_API const tavro_handler *halvo_get(void) {
  return &g_handler;
}
