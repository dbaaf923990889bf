/* SPDX-License-Identifier: MIT */
/*
 * tavro: an AllDebrid account handler for media player hosts.
 * Copyright (c) 2026 the tavro authors; MIT licence (LICENSE).
 *
 * Versions
 * --------
 * tavro_version.h gives TAVRO_VERSION_MAJOR, _MINOR, _PATCH and _STRING,
 * which tavro_version() returns. The version follows semantic versioning
 * of this C ABI: a release that adds exports, result codes, settings or
 * record members raises the minor version; one that removes or changes any
 * of them raises the major version, and the shared library's SONAME
 * (libtavro.so.<major>) follows the major version. A host built against
 * 1.x runs with any later 1.y. NEWS.md says what each release added.
 *
 * The model, in brief
 * -------------------
 * - The library opens no network connection. Every HTTP request goes through
 *   a transport that the host installs: a text table (tavro_io, installed
 *   with tavro_set_io) or a byte transport (tavro_transport, installed with
 *   tavro_set_transport: bodies with lengths, the API key in a header), or
 *   through the built-in fake transport selected with tavro_use_fake. Until
 *   one of them is selected, every operation answers TAVRO_E_TRANSPORT with
 *   the message "no transport".
 * - Nothing needs initialising and nothing is torn down: all process-wide
 *   state is zero when the library is loaded. The library starts no threads
 *   and keeps no timers.
 * - Every call returns once its requests are answered, with one exception
 *   that blocks: streaming a link the service takes time to prepare polls
 *   for it inside the call, for at most the settings' DelayedWait seconds
 *   (60 unless the settings say otherwise; see tavro_stream_url). Call it
 *   from a thread that may wait.
 * - Every operation takes the account settings as a JSON text, one argument
 *   and a caller-owned output buffer (out, out_len: capacity in bytes, the
 *   terminating NUL included). It returns a result code (0 or a negative
 *   TAVRO_E_* value) and writes a JSON document into out: the result on
 *   success, or {"error":"<one-line message>"} on failure. When the document
 *   does not fit, out[0] is set to NUL: a success then becomes
 *   TAVRO_E_BUFFER, a failure keeps its own code. A listing is written
 *   into out as it is made; one that does not fit there, or fails on the
 *   way, leaves zero bytes where it had written, and no part of itself.
 * - Each thread also keeps a copy of its last result and its last error
 *   message (tavro_result_json, tavro_last_error). A copy stays valid until
 *   the next operation finishes on the same thread.
 * - A call of an operation export without a buffer (out NULL or out_len <= 0)
 *   runs the operation all the same: on success it returns TAVRO_OK and the
 *   result is read with tavro_result_json. (The handler record's operations
 *   do not make that conversion: they return TAVRO_E_BUFFER.)
 * - Ownership: the host owns everything it passes in; the library owns every
 *   text that an export returns (constants or per-thread copies). The host
 *   never frees a text returned by the library.
 * - Threads: every export may be called from any thread, concurrently. The
 *   host's transport functions are then called concurrently too. Every
 *   operation copies the selected table when it starts, so a selection
 *   (tavro_set_io, tavro_set_transport, tavro_use_fake, NULL) may change
 *   at any time and applies to the calls that start after it; the ctx a
 *   replaced table names must stay usable until the calls using it return.
 * - The API key never leaves the library in clear: it is masked with '*'
 *   inside every error message, and every URL quoted in a message has its
 *   user-info and apikey values redacted. The one place a key appears is
 *   the result of tavro_pin_check or tavro_verify that hands out a new one
 *   (see "Signing in"); the per-thread copy of such a result is wiped, not
 *   only freed, when it is replaced or released.
 * - A failure the service reports carries its message without HTML tags.
 *   When the service blocks the key from a new place (AUTH_BLOCKED), the
 *   error document holds a second member, the approval token for
 *   tavro_verify: {"error":"<message>","verification":"<token>"}.
 */
#ifndef TAVRO_H
#define TAVRO_H

#include <stddef.h>
#include <stdint.h>

#include "tavro_version.h" /* TAVRO_VERSION_MAJOR, _MINOR, _PATCH, _STRING */

#if defined(_WIN32)
#if defined(TAVRO_BUILDING)
#define TAVRO_API __declspec(dllexport)
#else
#define TAVRO_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define TAVRO_API __attribute__((visibility("default")))
#else
#define TAVRO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes ------------------------------------------------------ */

#define TAVRO_OK 0
#define TAVRO_E_AUTH (-1)        /* HTTP 401/403, service AUTH_* errors */
#define TAVRO_E_NOT_FOUND (-2)   /* HTTP 404, invalid link or magnet, unknown folder */
#define TAVRO_E_LIMIT (-3)       /* HTTP 429, premium-only content, account limits */
#define TAVRO_E_TRANSPORT (-4)   /* no transport, failed exchange, HTTP 5xx */
#define TAVRO_E_FAILED (-5)      /* unexpected answer, other errors, out of memory */
#define TAVRO_E_UNAVAILABLE (-6) /* the built-in network transport is absent */
#define TAVRO_E_WRITES_OFF (-7)  /* a download while writes are not allowed */
#define TAVRO_E_ARG (-8)         /* bad settings, entry, request or arguments */
#define TAVRO_E_BUFFER (-9)      /* result does not fit; fake store out of memory */

/* The result codes as X(value, name, meaning), one row each, in the order
 * above: for hosts and tools that print or map them, for instance
 *   #define CASE(value, name, meaning) case name: return #name;  */
#define TAVRO_RESULT_CODES(X)                                                                      \
  X(0, TAVRO_OK, "done")                                                                           \
  X(-1, TAVRO_E_AUTH, "HTTP 401/403, service AUTH_* errors")                                       \
  X(-2, TAVRO_E_NOT_FOUND, "HTTP 404, invalid link or magnet, unknown folder")                     \
  X(-3, TAVRO_E_LIMIT, "HTTP 429, premium-only content, account limits")                           \
  X(-4, TAVRO_E_TRANSPORT, "no transport, failed exchange, HTTP 5xx")                              \
  X(-5, TAVRO_E_FAILED, "unexpected answer, other errors, out of memory")                          \
  X(-6, TAVRO_E_UNAVAILABLE, "the built-in network transport is absent")                           \
  X(-7, TAVRO_E_WRITES_OFF, "a download while writes are not allowed")                             \
  X(-8, TAVRO_E_ARG, "bad settings, entry, request or arguments")                                  \
  X(-9, TAVRO_E_BUFFER, "result does not fit; fake store out of memory")

/* ---- Transport --------------------------------------------------------- */

/*
 * The transport table a host implements. The library calls:
 *
 *   get(ctx, url, &body, &status, &error)
 *   post(ctx, url, body, content_type, &body, &status, &error)
 *
 * Both return 0 when the exchange completed (whatever the HTTP status) and
 * hand back a NUL-terminated body and the HTTP status; any other return value
 * is a failure, optionally with a NUL-terminated error text (its first line
 * is quoted in the message). Every string handed back is released by the
 * library exactly once, before the call returns, through free(ctx, string),
 * or through the C library's free() when the free field is NULL. (On
 * Windows that is the C runtime of tavro.dll, msvcrt.dll when it is built
 * with MinGW-w64, not necessarily the host's: a Windows host sets free.)
 *
 * The url, body and content type passed in are valid only during the call.
 * Bodies are text: a body ends at its first NUL byte. get and post are
 * required; the functions may be called from several threads at once.
 *
 * What the library sends. Every URL carries agent=<client> and
 * apikey=<key> in its query (but those of the public sign-in endpoints,
 * which carry no apikey, and tavro_verify's without a key in the settings;
 * see "Signing in"). The account check and the two folders of links are
 * GETs:
 *   check the account       <root>/user
 *   saved links             <root>/user/links
 *   recent-links history    <root>/user/history
 * every other request to the service is a POST with the content type
 * "application/x-www-form-urlencoded" whose endpoint parameters travel in
 * the form body (key=value joined by '&', each value percent-encoded):
 *   magnets of the account  https://api.alldebrid.com/v4.1/magnet/status, body ""
 *   state of magnet N       https://api.alldebrid.com/v4.1/magnet/status  id=N
 *   files of magnet N       <root>/magnet/files     id[]=N
 *   unlock a link           <root>/link/unlock      link=<link>
 *   one of its qualities    <root>/link/streaming   id=<unlock id>&stream=<stream id>
 *   poll a delayed link     <root>/link/delayed     id=<delayed id>
 *   add a magnet            <root>/magnet/upload    magnets[]=<magnet>
 *   delete magnet N         <root>/magnet/delete    id=N
 *   restart magnet N        <root>/magnet/restart   id=N
 *   save a link             <root>/user/links/save    links[]=<link>
 *   delete a saved link     <root>/user/links/delete  links[]=<link>
 * where <root> is tavro_base_url() ("https://api.alldebrid.com" in these
 * URLs is the settings' APIRoot when they give one). A torrent file is uploaded to
 * <root>/magnet/upload/file with the content type
 * "multipart/form-data; boundary=tavrotorrent" and the raw torrent bytes as
 * the body; framing them as the multipart file part "files[0]" is the
 * transport's business. A web link given to tavro_download is fetched with
 * GET, as it is. Because a body here ends at its first NUL byte, a fetched
 * torrent that does not hold one complete bencoded dictionary (it was cut
 * at a NUL) is refused with TAVRO_E_FAILED instead of being uploaded.
 */
typedef struct tavro_io {
  void *ctx;
  int (*get)(void *ctx, const char *url, char **body, int32_t *status, char **error);
  int (*post)(void *ctx, const char *url, const char *body, const char *content_type,
              char **out_body, int32_t *status, char **error);
  void (*free)(void *ctx, void *text);
} tavro_io;

/*
 * Selects the host's transport. The four fields are copied, so the table need
 * not outlive the call. NULL returns to "no transport". A table whose get or
 * post is NULL is refused with TAVRO_E_ARG and the selection is unchanged.
 * Returns 0 otherwise.
 */
TAVRO_API int tavro_set_io(const tavro_io *io);

/* ---- Byte transport ---------------------------------------------------- */

/*
 * A second transport interface, beside tavro_io: requests and answers carry
 * explicit lengths, so bodies are bytes (a torrent with NUL bytes is
 * uploaded whole), and the API key travels in a header instead of the URL.
 * The host implements one function, send, and installs the table with
 * tavro_set_transport.
 *
 * With this transport selected:
 * - every request to the service carries the header line
 *   "Authorization: Bearer <key>" (but those of the public sign-in
 *   endpoints, and tavro_verify's without a key, which carry no header),
 *   and no URL carries apikey= (agent= stays in the query); endpoints,
 *   methods, form bodies, messages and codes are those listed for tavro_io
 *   above;
 * - a torrent file is uploaded byte for byte as one multipart file part:
 *   method "POST", content_type "application/x-bittorrent" (the part's
 *   type), body/body_len the torrent, file_field "files[0]" and file_name
 *   "upload.torrent"; the transport frames the multipart/form-data body
 *   with a boundary of its own;
 * - a web link given to tavro_download is fetched once (GET, no headers);
 *   an answer whose body begins with "magnet:?", or a redirect (3xx) that
 *   the transport did not follow whose Location begins with "magnet:?", is
 *   that magnet;
 * - answers are read to their body_len, NUL bytes included.
 *
 * Sizes. The first member of each of the three records is its size in
 * bytes, so that the records can grow without a new export. The host sets
 * tavro_transport.size to sizeof(tavro_transport) of the header it was
 * built with; the library sets the size of every request and response it
 * passes to send, and the host reads and writes only the members that lie
 * within it.
 *
 * Ownership and threads, as for tavro_io: the request and everything it
 * points to are valid only during send. Every non-NULL text that send
 * hands back in the response (body, location, error), on success or on
 * failure, is released by the library exactly once, before the operation
 * returns, through free(ctx, text), or the C library's free() when free is
 * NULL. send may be called from several threads at once. Do not replace or
 * release the table's ctx while operations are in flight.
 */

/* One request. headers is a NULL-terminated list of header lines
 * ("Name: value", no line end); never NULL, possibly empty. content_type is
 * NULL for a request without a body. file_field is NULL unless the request
 * is a multipart file upload (see above). */
typedef struct tavro_http_request {
  size_t size;
  const char *method; /* "GET" or "POST" */
  const char *url;
  const char *const *headers;
  const char *content_type;
  const void *body; /* body_len bytes; NULL when body_len is 0 */
  size_t body_len;
  const char *file_field;
  const char *file_name;
} tavro_http_request;

/* One answer, zero-filled by the library (but for size) before send is
 * called. On success (send returns 0) status is the HTTP status and body
 * holds body_len bytes (NULL for an empty body); location is the Location
 * header of a redirect the transport chose not to follow, or NULL. On
 * failure (send returns anything else) error may hold a NUL-terminated text,
 * whose first line is quoted in the message. */
typedef struct tavro_http_response {
  size_t size;
  int32_t status;
  char *body;
  size_t body_len;
  char *location;
  char *error;
} tavro_http_response;

typedef struct tavro_transport {
  size_t size; /* sizeof(tavro_transport) */
  void *ctx;
  int (*send)(void *ctx, const tavro_http_request *request, tavro_http_response *response);
  void (*free)(void *ctx, void *text);
} tavro_transport;

/*
 * Selects the host's byte transport. The table is copied, so it need not
 * outlive the call. TAVRO_E_ARG, with the selection unchanged, for a table
 * whose size is smaller than that of the members up to free, or whose send
 * is NULL. NULL returns to "no transport". Returns 0 otherwise.
 *
 * Only one transport is selected at a time, and the last selection wins:
 * tavro_set_transport(table) replaces a tavro_io table or the fake;
 * tavro_set_io(table), tavro_set_io(NULL) and tavro_use_fake replace a byte
 * transport (tavro_set_io(NULL) and tavro_set_transport(NULL) both leave
 * no transport). The handler record's operations use the tavro_io they are
 * given, never the selection.
 */
TAVRO_API int tavro_set_transport(const tavro_transport *transport);

/* Selects the built-in network transport. The library brings none (every
 * request goes through the host's transport or the fake): always
 * TAVRO_E_UNAVAILABLE, the selection unchanged. Kept for hosts written
 * against the first interface. */
TAVRO_API int tavro_use_curl(void);

/* Selects the built-in fake transport (see below). Always 0. */
TAVRO_API int tavro_use_fake(void);

/* Allows (on != 0) or refuses (on == 0) writes to the account, that is
 * tavro_download and tavro_change. Refused at load. Always 0. */
TAVRO_API int tavro_allow_writes(int on);

/* ---- Operations -------------------------------------------------------- */

/*
 * Settings: a JSON object (at most 1 MiB) with "APIKey" (or "ClientSecret"),
 * and optionally "CustomName" (or "ClientId"), "ID", "RuntimeType" (which,
 * when given and not empty, must be "ALLDEBRID") and "APIRoot".
 *
 * "APIRoot" (since 1.1) sends every request of the call to a server of the
 * host's choosing, a test server for instance, instead of the service: it
 * replaces "https://api.alldebrid.com" in every request URL, and the
 * version paths follow it. With "APIRoot":"https://test.example/api" the
 * account check goes to https://test.example/api/v4/user and the account's
 * magnets to https://test.example/api/v4.1/magnet/status. It is an absolute
 * https:// URL (host, optional port, optional path; a trailing '/' is
 * dropped), or an http:// one whose host is loopback: 127.0.0.0/8 written
 * as four decimal numbers, "localhost" or "[::1]" (a look-alike such as
 * "127.0.0.1.example.com" or "localhost@example.com" is not). A root with
 * an '@' (user-info), a query, a fragment, a backslash, a blank, a control
 * character or a byte outside ASCII, any other scheme or host, a non-string
 * value, or more than 1024 bytes is TAVRO_E_ARG before any request, so the
 * key is never sent to it. Absent, null or blank: the service itself. Web links
 * given to tavro_download are fetched as they are. A status message of a
 * call on another root names it: "magnet/files answered HTTP 500
 * (http://127.0.0.1:8080)"; tavro_base_url() is unchanged.
 *
 * Two numbers of tavro_stream_url, each a JSON integer or a string of decimal digits (null
 * or a blank string counts as not given):
 *   "MaxQuality"   the highest quality (a video height, such as 720) chosen
 *                  among a video's several qualities; a positive integer;
 *                  none means no cap;
 *   "DelayedWait"  the seconds a stream waits for a link the service takes
 *                  time to prepare; an integer from 0 to 600, default 60.
 * Settings that break these rules are refused with TAVRO_E_ARG before any
 * request ("MaxQuality is not a positive integer", "DelayedWait is not a
 * number of seconds from 0 to 600").
 *
 * Every operation returns a result code and writes the result or the error document
 * into out (see the model above).
 */

/* Checks the account with one request. Result:
 * {"ClientId":"...","RuntimeType":"ALLDEBRID","ID":"..."} with the settings'
 * ID, or a fresh identifier when the settings have none; then, each only
 * when the account answer holds it with that type, "User":"<username>" (a
 * non-empty string), "Premium":true|false (isPremium) and
 * "PremiumUntil":<n> (premiumUntil, an integer or a string of decimal
 * digits, written as an integer; 0 for an account that is not premium). */
TAVRO_API int tavro_validate(const char *settings, char *out, int32_t out_len);

/* Lists a folder. Result: a JSON array of entries.
 * - NULL or "" is the root, three folders, without a request:
 *     [{"name":"torrents","path":"torrents","folder":true,"size":-1},
 *      {"name":"links","path":"links","folder":true,"size":-1},
 *      {"name":"history","path":"history","folder":true,"size":-1}]
 * - "torrents" lists the account's magnets as folders "m<id>";
 *   "torrents/m<id>" lists that one magnet's entry alone (an array of one,
 *   the same bytes as in the whole listing; one request, cheap enough to
 *   poll); "m<id>" lists the files of one magnet, each with its service
 *   link as "locator".
 * - "links" lists the links the account saved (GET <root>/user/links),
 *   "history" the links it unlocked lately (GET <root>/user/history; the
 *   service keeps that history only when the account turned it on, and
 *   for 3 days: an empty history is []). Each saved link is a file entry
 *     {"name":N,"path":N,"folder":false,"size":S,"locator":L,"id":L}
 *   with L the link, N its file name (the link itself when the service
 *   gives none) and S its size in bytes (-1 when the service gives no
 *   positive size); tavro_stream_url plays it. Items without a link are
 *   left out.
 * Any other folder is TAVRO_E_NOT_FOUND.
 *
 * A magnet's entry ends with its state:
 *   ...,"locator":"m<id>","state":S,"status":T,"downloaded":D,"speed":V}
 * S is "processing" (the service's statusCode 0-3: queued, downloading,
 * compressing or moving, uploading), "ready" (4), "error" (5-15), or null
 * when the magnet has no integer statusCode or another value; T is the
 * service's status text ("Downloading") or null; D the bytes downloaded and
 * V the download speed in bytes a second, -1 when the service does not say.
 *
 * When the files answer of "m<id>" holds no file, or an error item, the
 * magnet's state is asked (one more request, only then): one still
 * processing fails with TAVRO_E_NOT_FOUND ("magnet 102 is not ready:
 * Downloading, 43 % of 587.4 MB at 18.9 MB/s, 7 seeders"), one that failed
 * with TAVRO_E_FAILED ("magnet 104 failed: File not available - no peer
 * (status 15)"); a ready magnet without files lists []. */
TAVRO_API int tavro_list(const char *settings, const char *folder, char *out, int32_t out_len);

/*
 * Unlocks the link of a listed entry (a JSON object whose "locator", else
 * "link", else "path" is used) into a direct URL. Result:
 *   {"url":"...","name":"..." or null,"size":<bytes or -1>}
 * and, only when a quality was chosen (below), ,"quality":Q after them, Q
 * the chosen stream's quality as the service gives it: an integer (a video
 * height, 720) or a string ("mp3").
 *
 * The service answers an unlock in one of three ways, and the call follows
 * each to the link:
 * - the link at once: name and size are the unlock answer's;
 * - a video of several qualities (no link, a list of streams): the stream
 *   of the highest integer quality at most the settings' MaxQuality is
 *   chosen (when every one is above it, the lowest); a stream whose quality
 *   is a string (audio) only when none has an integer quality; of equal
 *   qualities the larger file, then the first. That stream is asked for
 *   (link/streaming), and its answer gives the link, its name and its size,
 *   or a link that takes time;
 * - a link that takes time (a delayed id): the call polls link/delayed at
 *   once, then every 5 seconds, and returns when the service gives the link
 *   (name and size are then those of the answer that gave the delayed id).
 *   The call blocks while it waits, for at most DelayedWait seconds: when
 *   the next poll would fall past them it fails with TAVRO_E_TRANSPORT and
 *   a message that the service is still preparing the link, quoting the
 *   service's estimate of the time left; with DelayedWait 0 it fails so at
 *   once, without polling. Calling again later starts anew. On the
 *   built-in fake transport the wait runs fifty times faster: the polls
 *   are counted 5 seconds apart against DelayedWait, and follow each other
 *   a tenth of a second apart. The service
 *   failing to generate the link is TAVRO_E_FAILED ("the service could not
 *   generate the link").
 * Result codes: those of every operation, and TAVRO_E_NOT_FOUND for an
 * entry without a link, a link the service does not take, or a stream or
 * delayed id it does not know (STREAM_INVALID_GEN_ID,
 * STREAM_INVALID_STREAM_ID, DELAYED_INVALID_ID).
 */
TAVRO_API int tavro_stream_url(const char *settings, const char *entry, char *out, int32_t out_len);

/*
 * Adds content to the account; refused with TAVRO_E_WRITES_OFF unless
 * tavro_allow_writes(1) was called. The request is a JSON object:
 * {"Link": magnet link, or web link answering with a magnet link or a torrent
 * file (at most 3 KiB), "FullSeason": true, "Season": n, "Episode": n,
 * "KeepInstantOnly": true}. Result: the service's description of the new
 * magnet, or, when the service holds the content already,
 * {"InstantURL":"...","InstantName":...,"InstantSize":n,"Payload":{...}}.
 */
TAVRO_API int tavro_download(const char *settings, const char *request, char *out, int32_t out_len);

/*
 * Changes one magnet or one saved link of the account; refused with
 * TAVRO_E_WRITES_OFF unless tavro_allow_writes(1) was called. The request
 * is a JSON object:
 *   {"Action":"delete","Magnet":"m<id>"}   removes the magnet
 *   {"Action":"restart","Magnet":"m<id>"}  restarts a magnet that failed
 *   {"Action":"save","Link":"..."}         saves a link for later
 *   {"Action":"delete","Link":"..."}       removes a saved link
 * (the service refuses to restart a magnet that is processing or ready:
 * MAGNET_PROCESSING, TAVRO_E_FAILED). The link travels percent-encoded, as
 * the form field links[] of POST <root>/user/links/save or /delete. Any other
 * request (not an object, another Action, a Magnet that is not "m" and
 * digits, an empty Link or one longer than 3 KiB, a delete naming both) is
 * TAVRO_E_ARG and is sent nowhere. Result:
 *   {"Action":"delete","Magnet":"m102","message":"<the service's message>"}
 *   {"Action":"save","Link":"<the link as given>","message":"..."}
 * An unknown magnet is TAVRO_E_NOT_FOUND (MAGNET_INVALID_ID); a link the
 * service refuses TAVRO_E_ARG (USER_LINK_MISSING, USER_LINK_INVALID).
 */
TAVRO_API int tavro_change(const char *settings, const char *request, char *out, int32_t out_len);
/* ---- Signing in -------------------------------------------------------- */

/*
 * Three exports give a host a key without the user typing it, and approve a
 * key the service blocked from a new place. They run on the selected
 * transport through the same frame as the operations (buffer rules,
 * per-thread copies, masking, error documents). Their settings may lack
 * "APIKey"; everything else of the settings applies as above.
 *
 * The PIN flow: tavro_pin_start, show the user the PIN and user_url (the
 * user enters the PIN on that page), then tavro_pin_check every 5 seconds
 * until it is activated or expires_in has run out.
 */

/* GET https://api.alldebrid.com/v4.1/pin/get?agent=<client>: a public
 * endpoint, so no key is sent (no apikey=, no Authorization header), even
 * when the settings hold one. Result, in this order:
 * {"pin":"ABCD","user_url":"https://alldebrid.com/pin/?pin=ABCD",
 *  "check":"<40 hex digits>","expires_in":600}. An answer without a
 * non-empty pin, check or user_url string is TAVRO_E_FAILED; an expires_in
 * that is missing or no integer is written as 600. */
TAVRO_API int tavro_pin_start(const char *settings, char *out, int32_t out_len);

/* pin: the start result, or any JSON object with non-empty string members
 * "pin" and "check" (others ignored); anything else is TAVRO_E_ARG, before
 * any request. POST <root>/pin/check?agent=<client>, form body
 * pin=<pin>&check=<check> (values percent-encoded), no key. Result:
 * {"activated":false,"expires_in":581} while the user has not entered the
 * PIN, {"activated":true,"APIKey":"<the new key>","expires_in":570} once
 * done (expires_in only when the answer has an integer). An answer whose
 * activated is not true or false, or true without a non-empty apikey, is
 * TAVRO_E_FAILED. PIN_EXPIRED and PIN_INVALID (a wrong check) are
 * TAVRO_E_AUTH. */
TAVRO_API int tavro_pin_check(const char *settings, const char *pin, char *out, int32_t out_len);

/* request: {"token":"<verification>"} asks the state of an approval (the
 * token of an AUTH_BLOCKED error document); {"token":"...","resend":true}
 * asks the service to send the approval e-mail again (allowed once). A
 * request that is no object, without a non-empty string token, or whose
 * resend is not true or false is TAVRO_E_ARG, before any request.
 * POST <root>/user/verif (or <root>/user/verif/resend), form body
 * token=<token>, with the settings' key when they hold one (in the query or
 * the header, as every request) and without when they do not. Results (all
 * TAVRO_OK: the host decides): {"verif":"waiting","resendable":true|false},
 * {"verif":"allowed","APIKey":"<key>"}, {"verif":"denied"}, and for a
 * resend {"sent":true}. Any other verif, or allowed without a non-empty
 * apikey, is TAVRO_E_FAILED; PIN_EXPIRED (the token is spent) is
 * TAVRO_E_AUTH, ALREADY_SENT (a second resend) TAVRO_E_LIMIT. */
TAVRO_API int tavro_verify(const char *settings, const char *request, char *out, int32_t out_len);

/* ---- Results ----------------------------------------------------------- */

/* This thread's last result text, or "" (after a failure, or before any
 * operation). Valid until the next operation ends on this thread. */
TAVRO_API const char *tavro_result_json(void);

/* This thread's last error message, or "" (after a success). Valid until the
 * next operation ends on this thread. */
TAVRO_API const char *tavro_last_error(void);

/* ---- The handler record ------------------------------------------------ */

/*
 * The same four operations, taking the transport as their first argument
 * (NULL gives "no transport"). They do not apply the no-buffer rule of the
 * exports: a success without a buffer returns TAVRO_E_BUFFER, with the result
 * in tavro_result_json.
 */
typedef struct tavro_handler {
  const char *runtime_type; /* "ALLDEBRID" */
  int32_t caps;             /* 47: bits 0, 1, 2, 3 and 5 set (0x2f); what
                               each bit means is the host's convention */
  int (*validate)(const tavro_io *io, const char *settings, char *out, int32_t out_len);
  int (*list)(const tavro_io *io, const char *settings, const char *folder, char *out,
              int32_t out_len);
  int (*stream_url)(const tavro_io *io, const char *settings, const char *entry, char *out,
                    int32_t out_len);
  int (*download)(const tavro_io *io, const char *settings, const char *request, char *out,
                  int32_t out_len);
} tavro_handler;

/* The constant handler record; never NULL. Its name does not begin with
 * tavro_: it is the name the host player looks the record up by. */
TAVRO_API const tavro_handler *halvo_get(void);

/* ---- About ------------------------------------------------------------- */

TAVRO_API const char *tavro_version(void);      /* TAVRO_VERSION_STRING, "1.1.0" */
TAVRO_API const char *tavro_runtime_type(void); /* "ALLDEBRID" */
TAVRO_API int tavro_caps(void);                 /* 47 */
TAVRO_API const char *tavro_base_url(void);     /* "https://api.alldebrid.com/v4" */

/* ---- Utilities --------------------------------------------------------- */

/* Returns text with URL user-info and every apikey= query value redacted,
 * cut to 2047 characters. The text lives in a per-thread buffer, valid until
 * the next tavro_redact on the same thread. NULL gives "". */
TAVRO_API const char *tavro_redact(const char *text);

/* Recognises a season/episode pair in a file name or path (S01E02, 1x02,
 * "Season 1 Episode 2", "Show - 05 - Title", ...). Returns 1 and writes each
 * non-NULL output, or returns 0 and writes nothing. */
TAVRO_API int tavro_parse_season_episode(const char *name, int *season, int *episode);

/* 1 when the bytes look like a torrent file (a bencoded dictionary holding
 * "4:info" and "8:announce", or "4:info", "4:path" and "6:length"); exactly
 * len bytes are examined. */
TAVRO_API int tavro_is_torrent_file(const void *data, uint64_t len);

/* 1 when the text is a "magnet:?" link whose first xt=urn:btih: carries a
 * 40-digit hex or 32-character base32 info-hash. */
TAVRO_API int tavro_is_magnet_link(const char *text);

/* ---- Fake transport ---------------------------------------------------- */

/*
 * A store of canned answers per (method, URL), for testing hosts without a
 * network. Unknown requests answer HTTP 404; a URL holding
 * "apikey=QV-NOT-KEY" answers the service's invalid-key error. An answer
 * stored for a URL with agent=quorvelindash also answers the same URL with
 * any other agent. The store is process-wide and guarded by a lock; these
 * functions may be called from any thread at any time.
 *
 * A form POST (content type "application/x-www-form-urlencoded") with a
 * non-empty body is looked up, counted and reported by tavro_fake_last_url
 * as its URL followed by '&' and the body, as if the fields were in the
 * query. So
 *   tavro_fake_set("POST",
 *       "https://api.alldebrid.com/v4/magnet/files?agent=quorvelindash&apikey=K&id[]=12",
 *       200, body)
 * answers the files of magnet 12 and nothing else. A multipart POST (the
 * torrent upload) and a POST with an empty body are looked up by their URL
 * alone.
 */

/* Forgets every answer, counter and recorded body. */
TAVRO_API void tavro_fake_reset(void);

/* Answers method ("GET" or "POST", exactly) on url with status and body
 * (NULL means ""). TAVRO_E_ARG for a bad method or a NULL url,
 * TAVRO_E_BUFFER when memory runs out, else 0. */
TAVRO_API int tavro_fake_set(const char *method, const char *url, int status, const char *body);

/* Makes method on url fail at the transport level with message (NULL means
 * "connection refused"). Codes as for tavro_fake_set. */
TAVRO_API int tavro_fake_fail(const char *method, const char *url, const char *message);

/* With url NULL: all transport calls since the last reset. Otherwise the calls
 * answered by the entries for url (and method, when not NULL). */
TAVRO_API int tavro_fake_calls(const char *method, const char *url);

/* The last non-empty body posted to url, or "". For a form POST, url may be
 * the request URL itself or the URL the answer is stored under (with '&' and
 * the body appended). The text is valid until the next tavro_fake_last_body
 * or tavro_fake_last_url on the same thread. */
TAVRO_API const char *tavro_fake_last_body(const char *url);

/* The URL of the most recent transport call, or "". Lifetime as above. */
TAVRO_API const char *tavro_fake_last_url(void);

/* ---- Resolving the exports at run time -------------------------------- */

/* The exported functions, as X(name) each (the 25 of 1.0.0, then those
 * added in 1.1.0: tavro_set_transport, the three sign-in exports and
 * tavro_change): for hosts that load the
 * library with dlopen or LoadLibrary and resolve every name, for instance
 *   #define FIELD(name) decltype(&name) name;   (C++)  */
#define TAVRO_EXPORT_NAMES(X)                                                                      \
  X(tavro_validate)                                                                                \
  X(tavro_list)                                                                                    \
  X(tavro_stream_url)                                                                              \
  X(tavro_download)                                                                                \
  X(tavro_result_json)                                                                             \
  X(tavro_last_error)                                                                              \
  X(tavro_set_io)                                                                                  \
  X(tavro_use_curl)                                                                                \
  X(tavro_use_fake)                                                                                \
  X(tavro_allow_writes)                                                                            \
  X(tavro_version)                                                                                 \
  X(tavro_runtime_type)                                                                            \
  X(tavro_caps)                                                                                    \
  X(tavro_base_url)                                                                                \
  X(tavro_redact)                                                                                  \
  X(tavro_parse_season_episode)                                                                    \
  X(tavro_is_torrent_file)                                                                         \
  X(tavro_is_magnet_link)                                                                          \
  X(halvo_get)                                                                                     \
  X(tavro_fake_reset)                                                                              \
  X(tavro_fake_set)                                                                                \
  X(tavro_fake_fail)                                                                               \
  X(tavro_fake_calls)                                                                              \
  X(tavro_fake_last_body)                                                                          \
  X(tavro_fake_last_url)                                                                           \
  X(tavro_set_transport)                                                                           \
  X(tavro_pin_start)                                                                               \
  X(tavro_pin_check)                                                                               \
  X(tavro_verify)                                                                                  \
  X(tavro_change)

#ifdef __cplusplus
}
#endif

#endif /* TAVRO_H */
