// SPDX-License-Identifier: MIT
// The unlock answer: a success hands back a non-empty link (and the name and
// size when the answer has them); a failure hands back nothing.
#include "fuzz_support.h"
#include "tavro_answers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  char *link = reinterpret_cast<char *>(1);
  char *name = reinterpret_cast<char *>(1);
  int64_t bytes = 0;
  char err[TAVRO_ERR_SIZE] = {};
  int rc = tavro_parse_unlock(reinterpret_cast<const char *>(data), size, &link, &name, &bytes, err,
                              sizeof err);
  if (rc == TAVRO_OK) {
    FUZZ_CHECK(link && link[0] != '\0', "empty link");
    FUZZ_CHECK(err[0] == '\0', "success with a message: %s", err);
    std::free(link);
    std::free(name);
  } else {
    FUZZ_CHECK(!link && !name && bytes == -1, "failure handed back values");
    FUZZ_CHECK(err[0] != '\0', "failure without a message");
  }
  return 0;
}
