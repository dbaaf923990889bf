// SPDX-License-Identifier: MIT
// The change request reader: a magnet's request is taken exactly when it is
// an object whose Action is "delete" or "restart" and whose Magnet is "m"
// and the decimal digits of an id in the 64-bit range, which is the id
// handed back; a link's when its Action is "save", or "delete" without a
// Magnet, and its Link a non-empty text of at most 3 KiB, handed back as
// it is. A delete naming both is refused.
#include "fuzz_support.h"
#include "tavro_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text = fz::text(data, size).c_str();
  tavro_change_req req{};
  char err[TAVRO_ERR_SIZE] = {};
  int rc = tavro_change_parse(text.c_str(), &req, err, sizeof err);

  fz::Json j(text.c_str(), text.size());
  yyjson_val *root = j.root();
  yyjson_val *action = yyjson_obj_get(root, "Action");
  yyjson_val *magnet_v = yyjson_obj_get(root, "Magnet");
  yyjson_val *link_v = yyjson_obj_get(root, "Link");
  const char *magnet = yyjson_get_str(magnet_v);
  const char *link = yyjson_get_str(link_v);
  bool is_delete = yyjson_equals_str(action, "delete");
  bool of_link = yyjson_equals_str(action, "save") || (is_delete && !magnet_v && link_v);
  bool of_magnet = !of_link && (is_delete || yyjson_equals_str(action, "restart"));
  bool digits = magnet && magnet[0] == 'm' && magnet[1] &&
                std::strspn(magnet + 1, "0123456789") == std::strlen(magnet + 1);
  // Past INT64_MAX, an id does not fit.
  bool fits = false;
  uint64_t want = 0;
  if (digits) {
    fits = true;
    for (const char *p = magnet + 1; *p && fits; ++p) {
      if (want > (UINT64_MAX - 9) / 10) fits = false;
      want = want * 10 + (uint64_t)(*p - '0');
      if (want > (uint64_t)INT64_MAX) fits = false;
    }
  }
  bool link_ok = link && *link && std::strlen(link) <= 3072;
  bool both = is_delete && magnet_v && link_v;
  bool taken = yyjson_is_obj(root) && !both && (of_link ? link_ok : of_magnet && fits);
  if (taken) {
    FUZZ_CHECK(rc == 0 && err[0] == '\0', "refused: %s", err);
    FUZZ_CHECK(yyjson_equals_str(action, req.action_name), "action %s", req.action_name);
    if (of_link) {
      FUZZ_CHECK(req.link && std::strcmp(req.link, link) == 0, "link %s", req.link);
      FUZZ_CHECK(req.action == (is_delete ? tavro_change_action::delete_link
                                          : tavro_change_action::save_link),
                 "action %d", (int)req.action);
    } else {
      FUZZ_CHECK(!req.link, "a magnet's request with a link");
      FUZZ_CHECK((uint64_t)req.magnet_id == want, "id %lld", (long long)req.magnet_id);
      FUZZ_CHECK(req.action == (is_delete ? tavro_change_action::delete_magnet
                                          : tavro_change_action::restart_magnet),
                 "action %d", (int)req.action);
    }
  } else {
    FUZZ_CHECK(rc == TAVRO_E_ARG && err[0] != '\0', "taken, code %d", rc);
    FUZZ_CHECK(!req.link && !req.action_name, "a refused request kept its values");
  }
  tavro_change_free(&req);
  return 0;
}
