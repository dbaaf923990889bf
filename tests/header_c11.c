/* The public header compiles as strict C11: this file only has to build. */
#include "tavro.h"

static int c11_uses_every_type(const tavro_io *io, const tavro_handler *h) {
  return (io && io->get && h) ? h->caps + TAVRO_E_BUFFER : TAVRO_OK;
}

int tavro_header_c11_check(void) { return c11_uses_every_type(0, halvo_get()); }
