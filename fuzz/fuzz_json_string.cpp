// SPDX-License-Identifier: MIT
// The JSON-string escape: the result is one JSON string (valid whatever the
// bytes, read with invalid Unicode allowed) that decodes to the text; control
// characters never appear raw.
#include "fuzz_support.h"
#include "tavro_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text = fz::text(data, size);
  const char *c = text.c_str();
  tavro::Buf b;
  FUZZ_CHECK(tavro_buf_adds(b.get(), "[") == 0 && tavro_buf_json_str(b.get(), c) == 0 &&
                 tavro_buf_adds(b.get(), "]") == 0,
             "append failed");
  std::string out = b.c_str();
  for (char ch : out)
    FUZZ_CHECK((unsigned char)ch >= 0x20 && ch != 0x7f, "raw control byte 0x%02x",
               (unsigned char)ch);
  fz::Json j(out.data(), out.size(), YYJSON_READ_ALLOW_INVALID_UNICODE);
  yyjson_val *s = yyjson_arr_get_first(j.root());
  FUZZ_CHECK(yyjson_is_str(s), "not a JSON string: %s", out.c_str());
  FUZZ_CHECK(yyjson_get_len(s) == std::strlen(c) &&
                 std::memcmp(yyjson_get_str(s), c, yyjson_get_len(s)) == 0,
             "decodes differently: %s", out.c_str());
  tavro::Buf null_text;
  FUZZ_CHECK(tavro_buf_json_str(null_text.get(), nullptr) == 0 &&
                 std::strcmp(null_text.c_str(), "null") == 0,
             "null text");
  return 0;
}
