// SPDX-License-Identifier: MIT
// The service this library speaks to, and every limit the library keeps,
// each with the reason for its value: one place for the constants that the
// operations, the transports and the exports share.
#pragma once

// ---- The service ----------------------------------------------------------

// The service's origin: the part of every root below that the settings'
// APIRoot replaces (url_start in tavro_ops.cpp).
#define TAVRO_API_ORIGIN "https://api.alldebrid.com"
// The version-4 API root, which tavro_base_url() returns.
#define TAVRO_API_ROOT TAVRO_API_ORIGIN "/v4"
// The account's magnets are listed by version 4.1 of the API, on the same
// host: its version-4 status endpoint is discontinued.
#define TAVRO_STATUS_ROOT TAVRO_API_ORIGIN "/v4.1"
// Signing in with a PIN starts on version 4.1 of the API (its version-4
// pin/get is deprecated); the check and the approval of a new place are on
// version 4. A PIN lives 600 seconds, the lifetime a start result names
// when the answer gives none.
#define TAVRO_PIN_ROOT TAVRO_API_ORIGIN "/v4.1"
#define TAVRO_PIN_LIFETIME 600
// The agent sent when the settings name no client of their own.
#define TAVRO_DEFAULT_AGENT "quorvelindash"
// The handler record's runtime type and capability bits (tavro.h).
#define TAVRO_RUNTIME_TYPE "ALLDEBRID"
#define TAVRO_CAPS 47

// A form POST's body, and the multipart body of a torrent upload through
// the text table (the host frames it with this boundary).
#define TAVRO_FORM_TYPE "application/x-www-form-urlencoded"
#define TAVRO_MULTIPART_TYPE "multipart/form-data; boundary=tavrotorrent"
// The multipart file part of a torrent upload through a byte transport.
#define TAVRO_TORRENT_TYPE "application/x-bittorrent"
#define TAVRO_UPLOAD_FIELD "files[0]"
#define TAVRO_UPLOAD_NAME "upload.torrent"

// ---- Limits ---------------------------------------------------------------

// Settings: far above any real settings object, and a bound on what a host
// bug can make the library parse ("settings are larger than 1 MiB").
#define TAVRO_SETTINGS_MAX 1048576u
// An APIRoot: far longer than any test server's root, and short enough to
// leave a request URL room for its endpoint and parameters.
#define TAVRO_API_ROOT_MAX 1024u
// A request URL: servers and proxies commonly refuse longer request lines
// ("request URL longer than 8 KiB"). A form body has no limit but memory.
#define TAVRO_URL_MAX 8192
// A download request's Link: a magnet with a long tracker list fits; more is
// no link a user pasted ("Link longer than 3 KiB").
#define TAVRO_LINK_MAX 3072
// The files of one magnet: bounds the time and memory of one listing, and
// is far above the largest season packs.
#define TAVRO_FILES_MAX 65536
// A link the service takes time to prepare is polled once at once, then
// every 5 seconds: the service asks for no more than one poll in that time
// (its time_left is an estimate to show, not a time to sleep).
#define TAVRO_DELAYED_POLL_SECONDS 5
// How long one stream call waits for such a link (the settings'
// DelayedWait, in seconds) unless the settings say otherwise: a minute
// covers the links the service prepares while a viewer waits.
#define TAVRO_DELAYED_WAIT_DEFAULT 60
// The longest wait the settings may ask for: ten minutes, the bound of the
// service's other waits (a PIN expires in 600 s). Past it a call that
// blocks its host is no answer ("DelayedWait is not a number of seconds
// from 0 to 600").
#define TAVRO_DELAYED_WAIT_MAX 600
#if TAVRO_DELAYED_WAIT_DEFAULT > TAVRO_DELAYED_WAIT_MAX
#error "the default wait of a delayed link is past its limit"
#endif
// The message of one call: a line of text around a redacted URL
// (TAVRO_SHOWN_URL_SIZE) and a quoted line (TAVRO_QUOTED_LINE_SIZE).
#define TAVRO_ERR_SIZE 768
// A URL as a message quotes it, redacted: enough to tell requests apart.
#define TAVRO_SHOWN_URL_SIZE 512
// The first line of a transport's error text quoted in a message.
#define TAVRO_QUOTED_LINE_SIZE 200
// tavro_redact's per-thread result: redacted texts are cut to 2047
// characters (tavro.h).
#define TAVRO_REDACT_SIZE 2048
// Memory a thread keeps between calls (the answer and document blocks of
// its largest listing, so that repeating it maps no fresh pages): enough
// for a 65,536-file listing of long paths.
#define TAVRO_KEEP_MAX (64u << 20)
// A block from this size up (a large answer, document or result) asks for
// transparent huge pages where the system has them: a fresh one then faults
// in 2 MiB at a time rather than 4 KiB, which makes a thread's first large
// listing several times faster.
#define TAVRO_LARGE_BLOCK (4u << 20)
