// SPDX-License-Identifier: MIT
// The links: unlock shapes, qualities, delayed links, saved links and
// history. What the answers say is read first, into plain steps; the
// stream then follows them, one request each, and writes its result.
#include "tavro_links.h"

#include "tavro_answers.h"
#include "tavro_io_fake.h"
#include "tavro_service.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace {

constexpr char kOom[] = "out of memory";

// An integer value that fits int64_t.
bool int64_of(yyjson_val *v, int64_t *out) {
  if (yyjson_is_sint(v)) {
    *out = yyjson_get_sint(v);
    return true;
  }
  if (yyjson_is_uint(v) && yyjson_get_uint(v) <= (uint64_t)INT64_MAX) {
    *out = (int64_t)yyjson_get_uint(v);
    return true;
  }
  return false;
}

// A string member's text, read as a C text, when it has one character at
// least; else null.
const char *nonempty_text(yyjson_val *obj, const char *key) {
  const char *s = yyjson_get_str(yyjson_obj_get(obj, key));
  return s && *s ? s : nullptr;
}

// An id as a form sends it: a non-empty string as it is, an integer in
// decimal, copied into out. False when the value is neither; true with out
// empty when memory ran out.
bool id_form(yyjson_val *v, tavro::Text &out) {
  if (yyjson_is_str(v)) {
    const char *s = yyjson_get_str(v);
    if (!*s) return false;
    out.reset(tavro_strdup(s));
    return true;
  }
  int64_t n = 0;
  if (!int64_of(v, &n)) return false;
  char digits[24];
  *tavro_int_write(digits, n) = '\0';
  out.reset(tavro_strdup(digits));
  return true;
}

// Empties a step for a reading.
void clear(tavro_link_step *step) {
  step->kind = tavro_step_kind::link;
  step->link.reset();
  step->name.reset();
  step->size = -1;
  step->unlock_id.reset();
  step->stream_id.reset();
  step->quality_is_text = false;
  step->quality = 0;
  step->quality_text.reset();
  step->delayed = -1;
}

// The name and size an answer gives the link: its "filename" (a copy, or
// null: a name that cannot be copied is left out rather than failing the
// stream) and its "filesize" when an integer.
void name_and_size(yyjson_val *data, tavro_link_step *step) {
  step->name.reset(tavro_strdup(yyjson_get_str(yyjson_obj_get(data, "filename"))));
  yyjson_val *filesize = yyjson_obj_get(data, "filesize");
  step->size = yyjson_is_int(filesize) ? yyjson_get_sint(filesize) : -1;
}

// The link at once, or the delayed id, of an unlock or streaming answer:
// 1 when the answer gives one (step filled), 0 when it gives neither, -1
// when memory runs out.
int link_or_delayed(yyjson_val *data, tavro_link_step *step) {
  if (const char *link = nonempty_text(data, "link")) {
    step->link.reset(tavro_strdup(link));
    if (!step->link.get()) return -1;
    step->kind = tavro_step_kind::link;
    name_and_size(data, step);
    return 1;
  }
  int64_t delayed = 0;
  if (!int64_of(yyjson_obj_get(data, "delayed"), &delayed)) return 0;
  step->kind = tavro_step_kind::delayed;
  step->delayed = delayed;
  name_and_size(data, step);
  return 1;
}

// One stream of the several qualities, as the choice weighs it.
struct Stream {
  yyjson_val *item = nullptr;
  bool text = false; // its quality is a string (audio)
  int64_t quality = 0;
  int64_t filesize = -1;
};

// A stream the choice can make: an object with an id and an integer or
// string quality.
bool choosable(yyjson_val *item, Stream *s) {
  if (!yyjson_is_obj(item)) return false;
  yyjson_val *id = yyjson_obj_get(item, "id");
  int64_t n = 0;
  if (!(yyjson_is_str(id) && *yyjson_get_str(id)) && !int64_of(id, &n)) return false;
  yyjson_val *q = yyjson_obj_get(item, "quality");
  s->item = item;
  s->text = yyjson_is_str(q);
  if (!s->text && !int64_of(q, &s->quality)) return false;
  if (!int64_of(yyjson_obj_get(item, "filesize"), &s->filesize)) s->filesize = -1;
  return true;
}

// Whether candidate c beats the best so far: at the quality wanted (the
// highest, or the lowest when looking above the cap), the larger filesize;
// the first of equals stays.
bool beats(const Stream &c, const Stream &best, bool lowest) {
  if (!best.item) return true;
  if (c.quality != best.quality)
    return lowest ? c.quality < best.quality : c.quality > best.quality;
  return c.filesize > best.filesize;
}

// The stream of several qualities chosen under max_quality (0: no cap), or
// an empty Stream when none can be chosen.
Stream choose_stream(yyjson_val *streams, int64_t max_quality) {
  Stream under, above, audio;
  yyjson_arr_iter it = yyjson_arr_iter_with(streams);
  for (yyjson_val *item; (item = yyjson_arr_iter_next(&it));) {
    Stream s;
    if (!choosable(item, &s)) continue;
    if (s.text) {
      if (beats(s, audio, false)) audio = s;
    } else if (!max_quality || s.quality <= max_quality) {
      if (beats(s, under, false)) under = s;
    } else if (beats(s, above, true)) {
      above = s;
    }
  }
  if (under.item) return under;
  if (above.item) return above;
  return audio;
}

} // namespace

int tavro_read_unlock(yyjson_val *data, int64_t max_quality, tavro_link_step *step, char *err,
                      size_t err_size) {
  clear(step);
  yyjson_val *streams = yyjson_obj_get(data, "streams");
  if (!nonempty_text(data, "link") && yyjson_arr_size(streams) > 0) {
    tavro::Text unlock_id;
    if (!id_form(yyjson_obj_get(data, "id"), unlock_id))
      return tavro_fail(err, err_size, TAVRO_E_FAILED,
                        "link/unlock returned streams without an id");
    if (!unlock_id.get()) return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
    Stream chosen = choose_stream(streams, max_quality);
    if (!chosen.item)
      return tavro_fail(err, err_size, TAVRO_E_FAILED,
                        "link/unlock returned no stream it could choose");
    step->kind = tavro_step_kind::stream;
    step->unlock_id.reset(unlock_id.release());
    id_form(yyjson_obj_get(chosen.item, "id"), step->stream_id);
    step->quality_is_text = chosen.text;
    step->quality = chosen.quality;
    if (chosen.text)
      step->quality_text.reset(
          tavro_strdup(yyjson_get_str(yyjson_obj_get(chosen.item, "quality"))));
    if (!step->stream_id.get() || (chosen.text && !step->quality_text.get())) {
      clear(step);
      return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
    }
    return TAVRO_OK;
  }
  int found = link_or_delayed(data, step);
  if (found < 0) return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  if (!found) return tavro_fail(err, err_size, TAVRO_E_FAILED, "link/unlock returned no link");
  return TAVRO_OK;
}

int tavro_read_streaming(yyjson_val *data, tavro_link_step *step, char *err, size_t err_size) {
  clear(step);
  int found = link_or_delayed(data, step);
  if (found < 0) return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  if (!found) return tavro_fail(err, err_size, TAVRO_E_FAILED, "link/streaming returned no link");
  return TAVRO_OK;
}

int tavro_read_delayed(yyjson_val *data, tavro_delayed_poll *poll, char *err, size_t err_size) {
  poll->status = 0;
  poll->time_left = -1;
  poll->link.reset();
  int64_t status = 0;
  if (!int64_of(yyjson_obj_get(data, "status"), &status)) status = 0;
  switch (status) {
  case 1:
    poll->status = 1;
    if (!int64_of(yyjson_obj_get(data, "time_left"), &poll->time_left)) poll->time_left = -1;
    return TAVRO_OK;
  case 2:
    if (const char *link = nonempty_text(data, "link")) {
      poll->link.reset(tavro_strdup(link));
      if (!poll->link.get()) return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
      poll->status = 2;
      return TAVRO_OK;
    }
    return tavro_fail(err, err_size, TAVRO_E_FAILED, "link/delayed returned no link");
  case 3:
    return tavro_fail(err, err_size, TAVRO_E_FAILED, "the service could not generate the link");
  default:
    return tavro_fail(err, err_size, TAVRO_E_FAILED, "link/delayed returned no known status");
  }
}

int tavro_write_saved_links(yyjson_val *data, tavro_buf *out) {
  yyjson_val *links = yyjson_is_obj(data) ? yyjson_obj_get(data, "links") : nullptr;
  yyjson_arr_iter it = yyjson_arr_iter_with(links);
  for (yyjson_val *item; (item = yyjson_arr_iter_next(&it));) {
    const char *link = yyjson_is_obj(item) ? nonempty_text(item, "link") : nullptr;
    if (!link) continue;
    const char *name = nonempty_text(item, "filename");
    if (!name) name = link;
    int64_t size = -1;
    if (!int64_of(yyjson_obj_get(item, "size"), &size) || size <= 0) size = -1;
    // A failed append fails the listing, which is then dropped whole.
    if ((out->len > 1 && tavro_buf_add(out, ",", 1)) || tavro_buf_adds(out, "{\"name\":") ||
        tavro_buf_json_str(out, name) || tavro_buf_adds(out, ",\"path\":") ||
        tavro_buf_json_str(out, name) || tavro_buf_adds(out, ",\"folder\":false,\"size\":") ||
        tavro_buf_addi(out, size) || tavro_buf_adds(out, ",\"locator\":") ||
        tavro_buf_json_str(out, link) || tavro_buf_adds(out, ",\"id\":") ||
        tavro_buf_json_str(out, link) || tavro_buf_add(out, "}", 1))
      return -1;
  }
  return 0;
}

// ---- The wait's clock --------------------------------------------------------

namespace {

int64_t steady_now_ms(void *) {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void real_sleep_ms(void *, int64_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

constexpr tavro_clock kSteadyClock = {nullptr, steady_now_ms, real_sleep_ms};

// Trivially destructible, so a plain thread_local is safe in every build.
thread_local const tavro_clock *t_clock = nullptr;

const tavro_clock &clock_now() {
  return t_clock ? *t_clock : kSteadyClock;
}

// The built-in fake stands for no service that needs the time: on it the
// wait's clock moves by each sleep asked for, and each sleep takes a
// fiftieth of it (a tenth of a second a poll), time enough for a test to
// change the fake's answer between two polls.
struct FakeTime {
  int64_t now = 0;
  static int64_t now_ms(void *ctx) { return static_cast<FakeTime *>(ctx)->now; }
  static void sleep_ms(void *ctx, int64_t ms) {
    static_cast<FakeTime *>(ctx)->now += ms;
    real_sleep_ms(nullptr, ms / 50);
  }
};

} // namespace

void tavro_clock_use(const tavro_clock *clock) {
  t_clock = clock;
}

// ---- The stream --------------------------------------------------------------

namespace {

// Polls a delayed link until the service gives it, within the settings'
// DelayedWait: the first poll at once, each next one
// TAVRO_DELAYED_POLL_SECONDS after the one before, none past the wait.
int wait_delayed(const tavro_sess *sess, int64_t id, tavro::Text &link, char *err,
                 size_t err_size) {
  int64_t wait_ms =
      (int64_t)(sess->cfg ? sess->cfg->delayed_wait : TAVRO_DELAYED_WAIT_DEFAULT) * 1000;
  if (wait_ms <= 0)
    return tavro_fail(err, err_size, TAVRO_E_TRANSPORT,
                      "the service is preparing the link, and DelayedWait is 0: it is not "
                      "waited for");
  char idtext[24];
  *tavro_int_write(idtext, id) = '\0';
  tavro::Request req{TAVRO_API_ROOT, "/link/delayed", "id", idtext, "link/delayed"};
  FakeTime fake_time;
  const tavro_clock fake_clock = {&fake_time, FakeTime::now_ms, FakeTime::sleep_ms};
  bool on_fake = !t_clock && sess->io && sess->io->get == tavro_io_fake()->get;
  const tavro_clock &clock = on_fake ? fake_clock : clock_now();
  int64_t start = clock.now_ms(clock.ctx);
  for (int64_t polls = 1;; ++polls) {
    tavro_delayed_poll poll;
    {
      tavro::Answer answer;
      if (int code = tavro::ask(sess, req, true, answer, err, err_size)) return code;
      if (int code = tavro_read_delayed(answer.data, &poll, err, err_size)) return code;
    }
    if (poll.status == 2) {
      link.reset(poll.link.release());
      return TAVRO_OK;
    }
    int64_t next = start + polls * TAVRO_DELAYED_POLL_SECONDS * 1000;
    int64_t now = clock.now_ms(clock.ctx);
    if ((next > now ? next : now) - start > wait_ms) {
      int wait_s = (int)(wait_ms / 1000);
      if (poll.time_left >= 0)
        return tavro_fail(err, err_size, TAVRO_E_TRANSPORT,
                          "the service is still preparing the link (time_left %lld s), and "
                          "DelayedWait (%d s) ends before the next poll",
                          (long long)poll.time_left, wait_s);
      return tavro_fail(err, err_size, TAVRO_E_TRANSPORT,
                        "the service is still preparing the link, and DelayedWait (%d s) ends "
                        "before the next poll",
                        wait_s);
    }
    if (next > now) clock.sleep_ms(clock.ctx, next - now);
  }
}

// The link a stream plays, followed through the answers: the unlock, then
// the chosen stream's request, then the poll of a delayed link. *last
// points at the step that gives the link, its name and its size.
int follow(const tavro_sess *sess, const char *link, tavro_link_step &unlocked,
           tavro_link_step &streamed, tavro_link_step **last, char *err, size_t err_size) {
  *last = &unlocked;
  {
    tavro::Answer answer;
    tavro::Request req{TAVRO_API_ROOT, "/link/unlock", "link", link, "link/unlock"};
    if (int code = tavro::ask(sess, req, true, answer, err, err_size)) return code;
    int64_t cap = sess->cfg ? sess->cfg->max_quality : 0;
    if (int code = tavro_read_unlock(answer.data, cap, &unlocked, err, err_size)) return code;
  }
  if (unlocked.kind == tavro_step_kind::stream) {
    *last = &streamed;
    tavro::Answer answer;
    tavro::Request req{TAVRO_API_ROOT,           "/link/streaming", "id",
                       unlocked.unlock_id.get(), "link/streaming",  "stream",
                       unlocked.stream_id.get()};
    if (int code = tavro::ask(sess, req, true, answer, err, err_size)) return code;
    if (int code = tavro_read_streaming(answer.data, &streamed, err, err_size)) return code;
  }
  tavro_link_step &step = **last;
  if (step.kind == tavro_step_kind::delayed)
    return wait_delayed(sess, step.delayed, step.link, err, err_size);
  return TAVRO_OK;
}

} // namespace

int tavro_do_stream(const tavro_sess *sess, const char *link, tavro_buf *out, char *err,
                    size_t err_size) {
  tavro_link_step unlocked, streamed, *found = nullptr;
  if (int code = follow(sess, link, unlocked, streamed, &found, err, err_size)) return code;
  const tavro_link_step &chosen = unlocked;
  bool stream_chosen = unlocked.kind == tavro_step_kind::stream;
  if (tavro_buf_adds(out, "{\"url\":") || tavro_buf_json_str(out, found->link.get()) ||
      tavro_buf_adds(out, ",\"name\":") || tavro_buf_json_str(out, found->name.get()) ||
      tavro_buf_adds(out, ",\"size\":") || tavro_buf_addi(out, found->size))
    return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  if (stream_chosen && (tavro_buf_adds(out, ",\"quality\":") ||
                        (chosen.quality_is_text ? tavro_buf_json_str(out, chosen.quality_text.get())
                                                : tavro_buf_addi(out, chosen.quality))))
    return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  if (tavro_buf_add(out, "}", 1)) return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  return TAVRO_OK;
}

int tavro_do_list_saved(const tavro_sess *sess, tavro_saved which, tavro_buf *out, char *err,
                        size_t err_size) {
  bool history = which == tavro_saved::history;
  tavro::Answer answer;
  tavro::Request req{TAVRO_API_ROOT, history ? "/user/history" : "/user/links", nullptr, nullptr,
                     history ? "user/history" : "user/links"};
  if (int code = tavro::ask(sess, req, false, answer, err, err_size)) return code;
  if (sess->room) tavro_buf_lend(out, sess->room, sess->room_cap);
  if (tavro_buf_add(out, "[", 1) || tavro_write_saved_links(answer.data, out) ||
      tavro_buf_add(out, "]", 1))
    return tavro_fail(err, err_size, TAVRO_E_FAILED, kOom);
  return TAVRO_OK;
}
