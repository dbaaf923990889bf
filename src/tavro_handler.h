// The handler record, the frame every operation runs in, and the writes
// switch.
#pragma once

#include "tavro.h"

// The constant handler record that halvo_get hands out.
extern const tavro_handler g_handler;

// Size of the error text buffer of one operation call.
#define TAVRO_ERR_SIZE 768
