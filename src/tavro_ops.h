// SPDX-License-Identifier: MIT
// The operations on the service: the requests they send (URLs on the API
// root, form bodies, the key in the query of the text table or in a header
// of the byte transport), the answers they read, and the result documents
// they write into out. Each returns a result code with the message written;
// settings, the transport selection and delivery are the frame's.
#pragma once

#include "tavro.h"
#include "tavro_input.h"
#include "tavro_text.h"

#include <cstddef>
#include <cstdint>

// The transport and settings of one call; all borrowed. Exactly one of io
// (a text table) and bytes (a byte transport) is set. room is the caller's
// buffer (null when there is none): a listing is written there while it
// fits (tavro_buf_lend), and moves to the heap when it grows past it.
struct tavro_sess {
  const tavro_io *io;
  const tavro_cfg *cfg;
  const tavro_transport *bytes;
  char *room;
  uint64_t room_cap;
};

void tavro_sess_open(tavro_sess *sess, const tavro_io *io, const tavro_cfg *cfg);
void tavro_sess_open_bytes(tavro_sess *sess, const tavro_transport *t, const tavro_cfg *cfg);
void tavro_sess_close(tavro_sess *sess);

// The identifier text of four random words: "%08x-%04x-4%03x-9%03x-%08x%04x"
// of w0, the high 16 bits of w1, the low 12 bits of w1 and of w2, w3 and the
// low 16 bits of w2.
void tavro_id_text(const uint32_t (&w)[4], char (&out)[40]);

// Checks the account; the result names the client and id (a fresh one when
// id is null or empty).
int tavro_do_validate(const tavro_sess *sess, const char *id, tavro_buf *out, char *err,
                      size_t err_size);
// The root folder: one folder, "torrents". Needs no request.
int tavro_do_list_root(tavro_buf *out);
// The account's magnets as folders "m<id>".
int tavro_do_list_torrents(const tavro_sess *sess, tavro_buf *out, char *err, size_t err_size);
// The files of magnet id, each with its service link as "locator".
int tavro_do_list_folder(const tavro_sess *sess, int64_t id, tavro_buf *out, char *err,
                         size_t err_size);
// Unlocks a service link into {"url","name","size"}.
int tavro_do_stream(const tavro_sess *sess, const char *link, tavro_buf *out, char *err,
                    size_t err_size);
// Deletes magnet id from the account.
int tavro_do_delete(const tavro_sess *sess, int64_t id, char *err, size_t err_size);
// Adds the request's link (a magnet, a web link redirecting to one, or a
// torrent file) and hands back a direct URL when the service holds the
// content already; TAVRO_E_WRITES_OFF unless writes_allowed.
int tavro_do_download(const tavro_sess *sess, const char *request, int writes_allowed,
                      tavro_buf *out, char *err, size_t err_size);
