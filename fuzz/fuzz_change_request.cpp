// The change request reader: a request is taken exactly when it is an object
// whose Action is "delete" or "restart" and whose Magnet is "m" and the
// decimal digits of an id in the 64-bit range, which is the id handed back.
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
  const char *magnet = yyjson_get_str(yyjson_obj_get(root, "Magnet"));
  bool known = yyjson_equals_str(action, "delete") || yyjson_equals_str(action, "restart");
  bool digits = magnet && magnet[0] == 'm' && magnet[1] &&
                std::strspn(magnet + 1, "0123456789") == std::strlen(magnet + 1);
  // Past 19 digits, or past INT64_MAX, an id does not fit.
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
  if (yyjson_is_obj(root) && known && fits) {
    FUZZ_CHECK(rc == 0 && err[0] == '\0', "refused: %s", err);
    FUZZ_CHECK((uint64_t)req.magnet_id == want, "id %lld", (long long)req.magnet_id);
    FUZZ_CHECK(yyjson_equals_str(action, req.action_name), "action %s", req.action_name);
    FUZZ_CHECK((req.action == tavro_change_action::delete_magnet) ==
                   (std::strcmp(req.action_name, "delete") == 0),
               "action %s", req.action_name);
  } else {
    FUZZ_CHECK(rc == TAVRO_E_ARG && err[0] != '\0', "taken, code %d", rc);
  }
  return 0;
}
