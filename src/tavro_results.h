// SPDX-License-Identifier: MIT
// This thread's copies of the last result and the last error, which
// tavro_result_json and tavro_last_error hand out; released when the thread
// ends (a result that held a key wiped first). When memory for them runs
// out, both read as "".
#pragma once

#include <cstdint>

// Replaces this thread's copies: the error (kept only when code is not 0)
// and the result (null reads as "").
void tavro_publish(int code, const char *error, const char *result);
// The same, taking over result (a heap text of len bytes and a NUL,
// released with std::free) as this thread's copy instead of copying it.
// A secret result (one that holds a key the service handed out) is wiped
// before its block is released or reused, whenever that happens: the next
// publication on this thread, or the thread's end.
void tavro_publish_owned(int code, const char *error, char *result, uint64_t len,
                         bool secret = false);
// The same for a success whose result (len bytes, then a NUL) the caller
// keeps: it is copied into the block of the thread's previous result when
// that is large enough and at most about twice the size (so that repeating
// a large call maps no fresh pages), else into a new block. False, with
// the result copy empty, when memory runs out.
bool tavro_publish_copy(const char *result, uint64_t len);

// This thread's copies, or null.
const char *tavro_thread_result(void);
const char *tavro_thread_error(void);
