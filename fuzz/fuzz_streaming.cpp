// SPDX-License-Identifier: MIT
// The unlock and streaming answers: the step each gives is checked against
// the rules written out once more over the parsed answer: a non-empty link
// first, then (unlock only) the stream chosen among several qualities under
// the cap, then an integer delayed id. The input is the cap in decimal, a
// NUL, then the answer.
#include "fuzz_support.h"
#include "tavro_answers.h"

namespace {

// The stream the rules choose: its index in the array, or -1.
long chosen_stream(yyjson_val *streams, int64_t cap) {
  long best[3] = {-1, -1, -1}; // under the cap, above it, audio
  int64_t quality[3] = {0, 0, 0}, size[3] = {0, 0, 0};
  size_t i = 0, max = 0;
  yyjson_val *s = nullptr;
  yyjson_arr_foreach(streams, i, max, s) {
    if (!yyjson_is_obj(s)) continue;
    yyjson_val *id = fz::first_member(s, "id");
    int64_t n = 0;
    bool has_id = (yyjson_is_str(id) && yyjson_get_str(id)[0]) || fz::int64_value(id, &n);
    yyjson_val *qv = fz::first_member(s, "quality");
    int64_t q = 0;
    bool text = yyjson_is_str(qv);
    if (!has_id || (!text && !fz::int64_value(qv, &q))) continue;
    int64_t f = -1;
    if (!fz::int64_value(fz::first_member(s, "filesize"), &f)) f = -1;
    int k = text ? 2 : (!cap || q <= cap) ? 0 : 1;
    bool better = best[k] < 0 || (k == 0 && q > quality[k]) || (k == 1 && q < quality[k]) ||
                  ((k == 2 || q == quality[k]) && f > size[k]);
    if (better) {
      best[k] = (long)i;
      quality[k] = q;
      size[k] = f;
    }
  }
  return best[0] >= 0 ? best[0] : best[1] >= 0 ? best[1] : best[2];
}

// An id as the form sends it.
std::string id_text(yyjson_val *v) {
  int64_t n = 0;
  if (yyjson_is_str(v)) return yyjson_get_str(v);
  return fz::int64_value(v, &n) ? std::to_string(n) : "";
}

const char *text_of(const tavro::Text &t) {
  return t.get() ? t.get() : "(null)";
}

void check_link_or_delayed(yyjson_val *data, int rc, const tavro_link_step &step, const char *err,
                           const char *none) {
  const char *link = fz::c_text(fz::first_member(data, "link"));
  int64_t delayed = 0;
  if (link && *link) {
    FUZZ_CHECK(rc == TAVRO_OK && step.kind == tavro_step_kind::link &&
                   !std::strcmp(step.link.get(), link),
               "link %s: %d %s", link, rc, err);
  } else if (fz::int64_value(fz::first_member(data, "delayed"), &delayed)) {
    FUZZ_CHECK(rc == TAVRO_OK && step.kind == tavro_step_kind::delayed && step.delayed == delayed,
               "delayed %lld: %d %s", (long long)delayed, rc, err);
  } else {
    FUZZ_CHECK(rc == TAVRO_E_FAILED && !std::strcmp(err, none), "no link: %d %s", rc, err);
    return;
  }
  const char *name = fz::c_text(fz::first_member(data, "filename"));
  FUZZ_CHECK(name ? step.name.get() && !std::strcmp(step.name.get(), name) : !step.name.get(),
             "name %s", text_of(step.name));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const uint8_t *nul = static_cast<const uint8_t *>(std::memchr(data, 0, size));
  if (!nul) return 0;
  std::string cap_text(reinterpret_cast<const char *>(data), (size_t)(nul - data));
  int64_t cap = 0;
  for (char c : cap_text.substr(0, 12))
    if (c >= '0' && c <= '9') cap = cap * 10 + (c - '0');
  const char *text = reinterpret_cast<const char *>(nul + 1);
  size_t len = size - (size_t)(nul - data) - 1;
  tavro::Doc doc;
  yyjson_val *payload = nullptr;
  char err[TAVRO_ERR_SIZE] = {};
  if (tavro_parse_envelope(text, len, doc.out(), &payload, err, sizeof err) != TAVRO_OK) return 0;

  tavro_link_step step;
  err[0] = '\0';
  int rc = tavro_read_unlock(payload, cap, &step, err, sizeof err);
  yyjson_val *streams = fz::first_member(payload, "streams");
  const char *link = fz::c_text(fz::first_member(payload, "link"));
  if (!(link && *link) && yyjson_arr_size(streams) > 0) {
    std::string unlock_id = id_text(fz::first_member(payload, "id"));
    long k = chosen_stream(streams, cap);
    if (unlock_id.empty()) {
      FUZZ_CHECK(rc == TAVRO_E_FAILED &&
                     !std::strcmp(err, "link/unlock returned streams without an id"),
                 "%d %s", rc, err);
    } else if (k < 0) {
      FUZZ_CHECK(rc == TAVRO_E_FAILED &&
                     !std::strcmp(err, "link/unlock returned no stream it could choose"),
                 "%d %s", rc, err);
    } else {
      yyjson_val *s = yyjson_arr_get(streams, (size_t)k);
      yyjson_val *q = fz::first_member(s, "quality");
      FUZZ_CHECK(rc == TAVRO_OK && step.kind == tavro_step_kind::stream, "%d %s", rc, err);
      FUZZ_CHECK(unlock_id == step.unlock_id.get(), "unlock id %s", text_of(step.unlock_id));
      FUZZ_CHECK(id_text(fz::first_member(s, "id")) == step.stream_id.get(), "stream %ld, chose %s",
                 k, text_of(step.stream_id));
      FUZZ_CHECK(step.quality_is_text == yyjson_is_str(q), "quality kind");
      if (yyjson_is_str(q))
        FUZZ_CHECK(!std::strcmp(step.quality_text.get(), yyjson_get_str(q)), "quality text");
      else
        FUZZ_CHECK(id_text(q) == std::to_string(step.quality), "quality %lld",
                   (long long)step.quality);
    }
  } else {
    check_link_or_delayed(payload, rc, step, err, "link/unlock returned no link");
  }
  if (rc != TAVRO_OK)
    FUZZ_CHECK(!step.link.get() && !step.unlock_id.get() && !step.stream_id.get(),
               "a failure handed back values");

  tavro_link_step streamed;
  err[0] = '\0';
  rc = tavro_read_streaming(payload, &streamed, err, sizeof err);
  check_link_or_delayed(payload, rc, streamed, err, "link/streaming returned no link");
  return 0;
}
