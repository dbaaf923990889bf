// The handler record, the frame every operation runs in, and the writes
// switch.
#pragma once

#include "tavro.h"

// The constant handler record that halvo_get hands out.
extern const tavro_handler g_handler;

// Size of the error text buffer of one operation call.
#define TAVRO_ERR_SIZE 768

// The operations through a byte transport: op 0 validate, 1 list, 2 stream,
// 3 download, with the handler record's conventions (no no-buffer rule).
#define TAVRO_OP_VALIDATE 0
#define TAVRO_OP_LIST 1
#define TAVRO_OP_STREAM 2
#define TAVRO_OP_DOWNLOAD 3
int tavro_run_bytes(int op, const tavro_transport *t, const char *settings, const char *arg,
                    char *out, int32_t out_len);
