// SPDX-License-Identifier: MIT
// The entry reader: the link handed back is the first non-empty string of
// "locator", "link" and "path", compared with a walk of the parsed entry.
#include "fuzz_support.h"
#include "tavro_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string entry = fz::text(data, size).c_str();
  char *link = nullptr;
  char err[TAVRO_ERR_SIZE] = {};
  int rc = tavro_entry_link(entry.c_str(), &link, err, sizeof err);

  fz::Json j(entry.c_str(), entry.size());
  yyjson_val *root = j.root();
  const char *want = nullptr;
  if (yyjson_is_obj(root)) {
    for (const char *key : {"locator", "link", "path"}) {
      const char *v = fz::c_text(fz::first_member(root, key));
      if (v && *v) {
        want = v;
        break;
      }
    }
  }
  if (!yyjson_is_obj(root)) {
    FUZZ_CHECK(rc == TAVRO_E_ARG && std::strcmp(err, "entry is not a JSON object") == 0,
               "code %d, %s", rc, err);
  } else if (!want) {
    FUZZ_CHECK(rc == TAVRO_E_NOT_FOUND && std::strcmp(err, "entry has no locator/link/path") == 0,
               "code %d, %s", rc, err);
  } else {
    FUZZ_CHECK(rc == TAVRO_OK && link && std::strcmp(link, want) == 0, "code %d, link %s", rc,
               link ? link : "(null)");
  }
  FUZZ_CHECK(rc == TAVRO_OK || !link, "failure handed back a link");
  std::free(link);
  return 0;
}
