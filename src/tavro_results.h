// This thread's copies of the last result and the last error, which
// tavro_result_json and tavro_last_error hand out; released when the thread
// ends. When memory for them runs out, both read as "".
#pragma once

// Replaces this thread's copies: the error (kept only when code is not 0)
// and the result (null reads as "").
void tavro_publish(int code, const char *error, const char *result);
// The same, taking over result (a heap text released with std::free) as this
// thread's copy instead of copying it.
void tavro_publish_owned(int code, const char *error, char *result);

// This thread's copies, or null.
const char *tavro_thread_result(void);
const char *tavro_thread_error(void);
