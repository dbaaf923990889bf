// SPDX-License-Identifier: MIT
// Readers of the service's answers: the envelope and its error codes (one
// table, read by the envelope and by the items that carry an error inside a
// success envelope), the magnet file tree, the upload and unlock payloads.
// They turn JSON into plain values and fail with the service's code and
// message; requests and results are the operations' business.
#pragma once

#include "tavro_base.h"

#include <cstddef>
#include <cstdint>

// Reads the answer envelope. On TAVRO_OK *doc owns the parsed answer and
// *data points at its "data" value; otherwise both are null and err holds the
// message: "AllDebrid error CODE: message" for the service's own failure,
// its message without HTML tags. When token is given and that failure
// carries a non-empty "token" string (AUTH_BLOCKED's approval token), *token
// receives a heap copy of it (the caller frees it), replacing what it held.
// The readers below take token for the same purpose.
int tavro_parse_envelope(const char *text, size_t len, yyjson_doc **doc, yyjson_val **data,
                         char *err, size_t err_size, char **token = nullptr);
// The same, parsing text in place: text holds TAVRO_BODY_PADDING zero bytes
// after len (as an exchange's answer does) and must outlive the document,
// which refers into it and may have changed it.
int tavro_parse_envelope_in_place(char *text, size_t len, yyjson_doc **doc, yyjson_val **data,
                                  char *err, size_t err_size, char **token = nullptr);

// One file of a magnet: its "/"-joined path (or null), its service link (or
// null) and its size (-1 when unknown).
struct tavro_link {
  char *path;
  char *link;
  int64_t size;
};

struct tavro_links {
  tavro_link *data;
  uint64_t len;
  uint64_t cap;
};

// The form in which the walk hands over each file's path: as the names
// are, or escaped for a JSON string (without quotes), each folder's name
// escaped once on the way down.
enum class tavro_path_form { raw, json };

// One file of a magnet's tree, as the walk meets it: its "/"-joined path in
// the form asked for (path_len bytes, NUL-terminated there; path_len is 0,
// and path may be null, when no name was met on the way down), its link
// (null when the node has no string "l") and its size (-1 when unknown).
// Names and links are C texts: an escaped NUL ends them. link_len is the
// link value's length in the document, the text's own length unless the
// value holds an escaped NUL.
struct tavro_file {
  const char *path;
  uint64_t path_len;
  const char *link;
  uint64_t link_len;
  int64_t size;
};

// Returns 0 to go on, or -1 with the message written to end the walk.
using tavro_file_visit = int (*)(void *ctx, const tavro_file &file, char *err, size_t err_size);

// Walks the files of the first magnet of a files answer's data value, depth
// first in document order, handing each to visit with its path in form. A
// first magnet holding an "error" object (an unknown id, say) fails with
// the service's code and message before anything is visited. TAVRO_OK, or
// TAVRO_E_FAILED with the message written: visit failed, memory ran out, or
// the tree holds more than TAVRO_FILES_MAX files (the walk ends at the
// first file too many, after visiting it). *has_entries is 1 on success
// when at least one file was visited.
int tavro_walk_files(yyjson_val *data, tavro_file_visit visit, void *ctx, int *has_entries,
                     char *err, size_t err_size, tavro_path_form form = tavro_path_form::raw);

// Flattens the files answer of one magnet (tavro_walk_files into a list). On
// success the caller owns the list; on failure it is empty and *has_entries
// is 0.
int tavro_parse_files(const char *text, size_t len, tavro_links *list, int *has_entries, char *err,
                      size_t err_size);
void tavro_links_free(tavro_links *list);

// The failure an answer reports for one item inside a success envelope: an
// object holding an "error" object, read as an error envelope is. 0 when
// the item is anything else (null included).
int tavro_item_error(yyjson_val *item, char *err, size_t err_size);

// The item error of a files answer: 1 when the first magnet of its data
// value holds an "error" object (an unknown id, say), else 0.
int tavro_files_item_error(yyjson_val *data);

// A magnet's state, from the integer statusCode of its status entry: 0-3
// processing, 4 ready, 5-15 failed; anything else (no statusCode, a string,
// another value) is unknown.
enum class tavro_magnet_state { unknown, processing, ready, error };
tavro_magnet_state tavro_magnet_state_of(yyjson_val *magnet);

// The one magnet of a status answer asked for magnet id: the entry of the
// "magnets" array whose integer id is id, or "magnets" itself when it is
// such an object; null when there is none.
yyjson_val *tavro_status_magnet(yyjson_val *data, int64_t id);

// The failure of a magnet that is not ready, for the magnet of status entry
// m: TAVRO_E_NOT_FOUND while it is processing ("magnet 102 is not ready:
// Downloading, 43 % of 587.4 MB at 18.9 MB/s, 7 seeders", each figure only
// when the entry has it, sizes in decimal units), TAVRO_E_FAILED when it
// failed ("magnet 104 failed: File not available - no peer (status 15)"),
// 0 with nothing written when it is ready or its state unknown.
int tavro_magnet_not_ready(yyjson_val *m, int64_t id, char *err, size_t err_size);

// The add answer of a magnet: the first item of "magnets", its id, its
// ready flag and the item as compact JSON text (heap, the caller frees it).
// An item holding an "error" object fails with the service's code and
// message, as an error envelope does.
int tavro_parse_upload(const char *text, size_t len, int64_t *id, int *ready, char **payload,
                       char *err, size_t err_size);
int tavro_parse_upload(const char *text, size_t len, int64_t *id, int *ready, char **payload,
                       char *err, size_t err_size, char **token);
// The same for the add answer of a torrent file, whose items are "files"
// (or "magnets", in older answers, when there is no "files" array).
int tavro_parse_upload_file(const char *text, size_t len, int64_t *id, int *ready, char **payload,
                            char *err, size_t err_size);
int tavro_parse_upload_file(const char *text, size_t len, int64_t *id, int *ready, char **payload,
                            char *err, size_t err_size, char **token);

// The unlock answer: the direct link (heap), the file name (heap, or null) and
// the size (-1 when unknown).
int tavro_parse_unlock(const char *text, size_t len, char **link, char **name, int64_t *size,
                       char *err, size_t err_size);
int tavro_parse_unlock(const char *text, size_t len, char **link, char **name, int64_t *size,
                       char *err, size_t err_size, char **token);
