// SPDX-License-Identifier: MIT
// The links a stream plays and the links the account keeps: the three
// shapes of an unlock answer (a link at once, several qualities to choose
// from, a link that takes time), the choice of a quality, the poll of a
// delayed link within the settings' DelayedWait, and the saved links and
// recent-links history listed as folders. Requests go through the
// operations' helpers (tavro_ops.h); routing and delivery are the frame's.
#pragma once

#include "tavro_ops.h"

#include <cstddef>
#include <cstdint>

// ---- Reading the answers -----------------------------------------------------

// What an unlock or a streaming answer asks for next.
enum class tavro_step_kind {
  link,    // the direct link is there
  stream,  // a stream of several qualities is to be asked for (unlock only)
  delayed, // the link takes time: the delayed id is to be polled
};

// One such answer read. name and size are the answer's own "filename" (a
// copy; null when it is no string, or could not be copied) and "filesize"
// (-1 when it is no integer).
struct tavro_link_step {
  tavro_step_kind kind = tavro_step_kind::link;
  tavro::Text link; // link: the direct link
  tavro::Text name;
  int64_t size = -1;
  // stream: the unlock answer's "id" and the chosen stream's, as the form
  // sends them (a string as it is, an integer in decimal), and the chosen
  // quality as the answer gives it: an integer, or a text.
  tavro::Text unlock_id, stream_id;
  bool quality_is_text = false;
  int64_t quality = 0;
  tavro::Text quality_text;
  int64_t delayed = -1; // delayed: the id to poll
};

// Reads the payload of an unlock answer. A non-empty "link" is the link.
// Else a non-empty "streams" array asks for one of its streams: those with
// an "id" (a non-empty string or an integer) and an integer "quality" (a
// video height), the highest at most max_quality (0: no cap), or the lowest
// when every one is above it; those whose "quality" is a string (audio,
// "mp3") only when no stream has an integer one; ties go to the larger
// integer "filesize", then to the first. Else an integer "delayed" asks
// for the poll. TAVRO_OK, or TAVRO_E_FAILED with the message written:
// "link/unlock returned no link", "... returned streams without an id",
// "... returned no stream it could choose", or out of memory.
int tavro_read_unlock(yyjson_val *data, int64_t max_quality, tavro_link_step *step, char *err,
                      size_t err_size);

// Reads the payload of a streaming answer: a non-empty "link", else an
// integer "delayed"; else TAVRO_E_FAILED "link/streaming returned no link".
int tavro_read_streaming(yyjson_val *data, tavro_link_step *step, char *err, size_t err_size);

// One poll of a delayed link read: status 1 (still processing, time_left
// the service's estimate in seconds or -1) or 2 (the link is there).
struct tavro_delayed_poll {
  int status = 0;
  int64_t time_left = -1;
  tavro::Text link;
};

// Reads the payload of a delayed answer. Status 1 and status 2 with a
// non-empty "link" are TAVRO_OK; status 3 is TAVRO_E_FAILED "the service
// could not generate the link"; status 2 without a link, or any other
// status, TAVRO_E_FAILED as well.
int tavro_read_delayed(yyjson_val *data, tavro_delayed_poll *poll, char *err, size_t err_size);

// Appends the file entries of a saved-links or history answer's payload to
// out, which holds "[" and the entries so far: each item of "links" with a
// non-empty string "link" as {"name":N,"path":N,"folder":false,"size":S,
// "locator":L,"id":L}, N its "filename" (the link when that is empty or no
// string), S its "size" when a positive integer, else -1, L the link.
// Other items, and a payload of another shape, add nothing. 0, or -1 when
// memory runs out.
int tavro_write_saved_links(yyjson_val *data, tavro_buf *out);

// ---- The operations ----------------------------------------------------------

// Unlocks a service link into {"url","name","size"}, with ",\"quality\":Q"
// after them when a stream of several qualities was chosen: a link at once;
// several qualities, then POST /link/streaming of the chosen one; a link
// that takes time, polled with POST /link/delayed at once and then every
// TAVRO_DELAYED_POLL_SECONDS for at most the settings' DelayedWait seconds
// (TAVRO_E_TRANSPORT when the next poll would fall past it, at once when it
// is 0). The name and size are those of the streaming answer when a stream
// was chosen, else of the unlock answer.
int tavro_do_stream(const tavro_sess *sess, const char *link, tavro_buf *out, char *err,
                    size_t err_size);

// The folders of links the account keeps.
enum class tavro_saved {
  links,   // the saved links: GET <root>/user/links
  history, // the recent-links history: GET <root>/user/history
};

// One of them as a listing of file entries (tavro_write_saved_links),
// written into the session's room while it fits.
int tavro_do_list_saved(const tavro_sess *sess, tavro_saved which, tavro_buf *out, char *err,
                        size_t err_size);

// ---- The wait's clock --------------------------------------------------------

// The clock and the sleep a delayed link's wait uses: a steady clock in
// milliseconds and a sleep of at least ms milliseconds.
struct tavro_clock {
  void *ctx;
  int64_t (*now_ms)(void *ctx);
  void (*sleep_ms)(void *ctx, int64_t ms);
};

// A test seam: replaces, for the calling thread only, the steady clock and
// the real sleep of the wait (null restores them), so that a test sees
// every sleep asked for and lets none of them take time. Only the unit
// tests and the fuzz targets, which link the static core, reach it: it is
// not exported, and no host can call it.
void tavro_clock_use(const tavro_clock *clock);
