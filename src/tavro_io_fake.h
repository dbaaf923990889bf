// The built-in fake transport: canned answers per (method, URL).
#pragma once

#include "tavro.h"

const tavro_io *tavro_io_fake(void);
