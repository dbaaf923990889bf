// SPDX-License-Identifier: MIT
// The status answer's magnets: each one's state agrees with its statusCode,
// the magnet asked by id is the one with that id, and the failure of a
// magnet that is not ready is made exactly for the processing and failed
// states, with a message naming the magnet.
#include "fuzz_support.h"
#include "tavro_answers.h"

#include <cinttypes>

namespace {

// The state as the service's table gives it, read by the harness itself.
tavro_magnet_state expected_state(yyjson_val *m) {
  yyjson_val *code = fz::first_member(m, "statusCode");
  if (!yyjson_is_int(code)) return tavro_magnet_state::unknown;
  if (yyjson_is_uint(code)) {
    uint64_t c = yyjson_get_uint(code);
    return c <= 3    ? tavro_magnet_state::processing
           : c == 4  ? tavro_magnet_state::ready
           : c <= 15 ? tavro_magnet_state::error
                     : tavro_magnet_state::unknown;
  }
  int64_t c = yyjson_get_sint(code);
  return c >= 0 && c <= 3    ? tavro_magnet_state::processing
         : c == 4            ? tavro_magnet_state::ready
         : c >= 5 && c <= 15 ? tavro_magnet_state::error
                             : tavro_magnet_state::unknown;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  tavro::Doc doc;
  yyjson_val *payload = nullptr;
  char err[TAVRO_ERR_SIZE] = {};
  if (tavro_parse_envelope(reinterpret_cast<const char *>(data), size, doc.out(), &payload, err,
                           sizeof err) != TAVRO_OK)
    return 0;
  yyjson_val *magnets = yyjson_obj_get(payload, "magnets");
  yyjson_arr_iter it = yyjson_arr_iter_with(magnets);
  std::vector<yyjson_val *> items;
  if (yyjson_is_obj(magnets)) items.push_back(magnets);
  for (yyjson_val *m; (m = yyjson_arr_iter_next(&it));) items.push_back(m);
  for (yyjson_val *m : items) {
    tavro_magnet_state state = tavro_magnet_state_of(m);
    FUZZ_CHECK(state == expected_state(m), "state %d", (int)state);
    yyjson_val *id = yyjson_obj_get(m, "id");
    int64_t n = yyjson_is_sint(id)   ? yyjson_get_sint(id)
                : yyjson_is_uint(id) ? (int64_t)yyjson_get_uint(id)
                                     : 7;
    if (yyjson_is_int(id)) {
      yyjson_val *found = tavro_status_magnet(payload, n);
      FUZZ_CHECK(found, "magnet %" PRId64 " not found", n);
      yyjson_val *fid = yyjson_obj_get(found, "id");
      FUZZ_CHECK(yyjson_is_int(fid) && (yyjson_is_sint(fid) ? yyjson_get_sint(fid)
                                                            : (int64_t)yyjson_get_uint(fid)) == n,
                 "found another magnet than %" PRId64, n);
    }
    char msg[TAVRO_ERR_SIZE];
    std::memset(msg, 'U', sizeof msg);
    msg[0] = '\0';
    int code = tavro_magnet_not_ready(m, n, msg, sizeof msg);
    FUZZ_CHECK(memchr(msg, '\0', sizeof msg), "message not terminated");
    char head[40];
    std::snprintf(head, sizeof head, "magnet %" PRId64 " ", n);
    switch (state) {
    case tavro_magnet_state::processing:
      FUZZ_CHECK(code == TAVRO_E_NOT_FOUND, "processing gave %d", code);
      break;
    case tavro_magnet_state::error:
      FUZZ_CHECK(code == TAVRO_E_FAILED, "failed gave %d", code);
      break;
    default:
      FUZZ_CHECK(code == 0 && msg[0] == '\0', "ready or unknown gave %d: %s", code, msg);
      continue;
    }
    FUZZ_CHECK(std::strncmp(msg, head, std::strlen(head)) == 0, "message %s", msg);
  }
  return 0;
}
