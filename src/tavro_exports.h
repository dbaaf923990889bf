// Per-thread results and the transport selection, shared with the frame.
#pragma once

#include "tavro.h"

// Replaces this thread's last error and last result copies.
void tavro_publish(int code, const char *error, const char *result);
// The same, taking over result (a heap text released with std::free) as this
// thread's copy instead of copying it.
void tavro_publish_owned(int code, const char *error, char *result);

// This thread's last result copy, or null.
const char *tavro_thread_result(void);

// The transport an export would use now.
const tavro_io *tavro_io_current(void);
