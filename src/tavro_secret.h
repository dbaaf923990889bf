// SPDX-License-Identifier: MIT
// Keeping the API key out of what the library hands back: masking it in
// messages (as it is, percent-encoded, or cut short) and redacting URLs.
#pragma once

#include <cstddef>

// Overwrites every occurrence of secret (longer than 3 characters) in text
// with '*', left to right, without overlap.
void tavro_scrub(char *text, const char *secret);
// The same for the secret's percent-encoded form (as the query encoder writes
// it), when that differs from the secret; allocates nothing.
void tavro_scrub_encoded(char *text, const char *secret);
// Masks the longest beginning of secret, at least 4 characters long, that
// text ends with: what is left of a secret that a cut ran through.
void tavro_scrub_cut(char *text, const char *secret);

// Drops URL user-info and replaces every apikey= value after '?' or '&' with
// "apikey=***"; the result is cut to out_size - 1 characters. On exhausted
// memory the result stops early, never holding a dropped or skipped secret.
void tavro_redact_into(const char *text, char *out, size_t out_size);
