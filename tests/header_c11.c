/* SPDX-License-Identifier: MIT */
/* The public header compiles as strict C11: this file only has to build. */
#include "tavro.h"

#define TAVRO_NAME_TEXT(name) #name,
const char *const tavro_header_c11_names[] = {TAVRO_EXPORT_NAMES(TAVRO_NAME_TEXT)};

/* Each row of the result-code table names the code of its value. */
#define TAVRO_CODE_ROW(value, name, meaning)                                                       \
  _Static_assert((value) == (name) && sizeof(meaning) > 1, #name " is " #value);
TAVRO_RESULT_CODES(TAVRO_CODE_ROW)

static int c11_uses_every_type(const tavro_io *io, const tavro_handler *h) {
  return (io && io->get && h) ? h->caps + TAVRO_E_BUFFER : TAVRO_OK;
}

int tavro_header_c11_check(void) {
  return c11_uses_every_type(0, halvo_get()) + (tavro_header_c11_names[0] != 0);
}
