// SPDX-License-Identifier: MIT
// The delayed answer: status 1 waits (with the estimate when it is an
// integer), 2 with a non-empty link gives it, 3 is the service's failure,
// anything else a failure of its own; checked over the parsed answer.
#include "fuzz_support.h"
#include "tavro_answers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *text = reinterpret_cast<const char *>(data);
  tavro::Doc doc;
  yyjson_val *payload = nullptr;
  char err[TAVRO_ERR_SIZE] = {};
  if (tavro_parse_envelope(text, size, doc.out(), &payload, err, sizeof err) != TAVRO_OK) return 0;
  tavro_delayed_poll poll;
  err[0] = '\0';
  int rc = tavro_read_delayed(payload, &poll, err, sizeof err);
  int64_t status = 0, left = -1;
  if (!fz::int64_value(fz::first_member(payload, "status"), &status)) status = 0;
  const char *link = fz::c_text(fz::first_member(payload, "link"));
  if (status == 1) {
    if (!fz::int64_value(fz::first_member(payload, "time_left"), &left)) left = -1;
    FUZZ_CHECK(rc == TAVRO_OK && poll.status == 1 && poll.time_left == left && !poll.link.get(),
               "processing: %d %d %lld", rc, poll.status, (long long)poll.time_left);
  } else if (status == 2 && link && *link) {
    FUZZ_CHECK(rc == TAVRO_OK && poll.status == 2 && !std::strcmp(poll.link.get(), link),
               "ready: %d %s", rc, err);
  } else {
    const char *want = status == 3   ? "the service could not generate the link"
                       : status == 2 ? "link/delayed returned no link"
                                     : "link/delayed returned no known status";
    FUZZ_CHECK(rc == TAVRO_E_FAILED && !std::strcmp(err, want) && poll.status == 0 &&
                   !poll.link.get(),
               "status %lld: %d %s", (long long)status, rc, err);
  }
  return 0;
}
