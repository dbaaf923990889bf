// SPDX-License-Identifier: MIT
// The frame every operation runs in: the settings, the transport check, the
// session, the operation, then the delivery of the result or the error
// document into the caller's buffer and this thread's copies, with the API
// key masked in every message. Also the switch that permits writes to the
// account and the handler record (tavro_allow_writes, halvo_get).
#pragma once

#include "tavro.h"

#include <cstdint>

namespace tavro {

// The operations, then the sign-in flows (tavro_signin.h), which need no
// key in the settings.
enum class Op { validate, list, stream, download, change, pin_start, pin_check, verify };

// How a call without a buffer (out null or out_len 0) that succeeds ends.
enum class NoBuffer {
  too_small, // TAVRO_E_BUFFER, "output buffer too small": the handler record
  ok,        // TAVRO_OK, the result waiting in tavro_result_json: the exports
};

// Runs op on a text table (io) or a byte transport (bytes); neither means
// "no transport". Never throws.
int run_frame(Op op, const tavro_io *io, const tavro_transport *bytes, const char *settings,
              const char *arg, char *out, int32_t out_len, NoBuffer no_buffer) noexcept;

} // namespace tavro
