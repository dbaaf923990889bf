// SPDX-License-Identifier: MIT
// The built-in fake transport: a text table (tavro_io) that answers requests
// from a process-wide store of canned answers and injected failures per
// (method, URL), and counts them. A form POST with fields is looked up by
// its URL followed by '&' and the form body. A URL holding
// "apikey=QV-NOT-KEY" that the store does not know is answered with the
// service's invalid-key error. Judging the status and reading the bodies is
// the HTTP layer's. The store functions behind the tavro_fake_* exports are
// here; every one is safe to call from any thread.
#pragma once

#include "tavro.h"

#include <cstdint>

const tavro_io *tavro_io_fake(void);

// Empties the store and its counts.
void tavro_fake_clear(void);
// Gives (method, url) a fresh answer (a null body is empty) or a failure of
// the transport (a null message is "connection refused"), replacing what it
// had. 0; TAVRO_E_ARG for a method other than GET and POST or a null url;
// TAVRO_E_BUFFER when memory runs out.
int tavro_fake_answer(const char *method, const char *url, int32_t status, const char *body);
int tavro_fake_failure(const char *method, const char *url, const char *message);
// Calls made to url (and method, when not null); every call for a null url.
int tavro_fake_count(const char *method, const char *url);
// Heap copies (null when there is none or memory runs out): the body last
// posted to url, and the URL of the last call.
char *tavro_fake_copy_last_body(const char *url);
char *tavro_fake_copy_last_url(void);
