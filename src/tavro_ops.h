// The operations on the service: the requests they send (URLs on the API
// root, form bodies, the key in the query of the text table or in a header
// of the byte transport), the answers they read, and the result documents
// they write into out. Each returns a result code with the message written;
// settings, the transport selection and delivery are the frame's.
#pragma once

#include "tavro.h"
#include "tavro_http.h"
#include "tavro_input.h"
#include "tavro_text.h"

#include <cstddef>
#include <cstdint>

// The transport and settings of one call; all borrowed. Exactly one of io
// (a text table) and bytes (a byte transport) is set. room is the caller's
// buffer (null when there is none): a listing is written there while it
// fits (tavro_buf_lend), and moves to the heap when it grows past it.
// verification, when set, is where a service error's approval token (an
// AUTH_BLOCKED answer's "token") is put, a heap text replacing what the
// slot held; the frame owns it.
struct tavro_sess {
  const tavro_io *io;
  const tavro_cfg *cfg;
  const tavro_transport *bytes;
  char *room;
  uint64_t room_cap;
  char **verification;
};

void tavro_sess_open(tavro_sess *sess, const tavro_io *io, const tavro_cfg *cfg);
void tavro_sess_open_bytes(tavro_sess *sess, const tavro_transport *t, const tavro_cfg *cfg);
void tavro_sess_close(tavro_sess *sess);

// The identifier text of four random words: "%08x-%04x-4%03x-9%03x-%08x%04x"
// of w0, the high 16 bits of w1, the low 12 bits of w1 and of w2, w3 and the
// low 16 bits of w2.
void tavro_id_text(const uint32_t (&w)[4], char (&out)[40]);

// Checks the account; the result names the client and id (a fresh one when
// id is null or empty), then, as the account answer gives them, "User" (a
// non-empty data.user.username), "Premium" (isPremium, true or false) and
// "PremiumUntil" (premiumUntil, an integer or a string of decimal digits).
int tavro_do_validate(const tavro_sess *sess, const char *id, tavro_buf *out, char *err,
                      size_t err_size);
// The root folder: one folder, "torrents". Needs no request.
int tavro_do_list_root(tavro_buf *out);
// The account's magnets as folders "m<id>".
int tavro_do_list_torrents(const tavro_sess *sess, tavro_buf *out, char *err, size_t err_size);
// One magnet's folder entry, as the magnets listing writes it, in an array
// of its own: the state of magnet id alone.
int tavro_do_list_magnet(const tavro_sess *sess, int64_t id, tavro_buf *out, char *err,
                         size_t err_size);
// The files of magnet id, each with its service link as "locator". A
// magnet without files whose state says it is not ready fails so.
int tavro_do_list_folder(const tavro_sess *sess, int64_t id, tavro_buf *out, char *err,
                         size_t err_size);
// Unlocks a service link into {"url","name","size"}.
int tavro_do_stream(const tavro_sess *sess, const char *link, tavro_buf *out, char *err,
                    size_t err_size);
// One request of the sign-in flows (tavro_signin): a GET (form null) or a
// form POST (form: the encoded body) of root and path, with agent=<client>
// and, when with_key is set and the settings hold a key, that key (in the
// query of the text table, in a header of the byte transport); without it
// no key goes with the request. what names it in a status message. On
// TAVRO_OK resp holds the answer of a 2xx status; otherwise the message is
// written and resp is empty.
struct tavro_request {
  const char *root;
  const char *path;
  const char *form;
  bool with_key;
  const char *what;
};
int tavro_sess_request(const tavro_sess *sess, const tavro_request &req, tavro_resp *resp,
                       char *err, size_t err_size);

// Deletes magnet id from the account.
int tavro_do_delete(const tavro_sess *sess, int64_t id, char *err, size_t err_size);
// Adds the request's link (a magnet, a web link redirecting to one, or a
// torrent file) and hands back a direct URL when the service holds the
// content already; TAVRO_E_WRITES_OFF unless writes_allowed.
int tavro_do_download(const tavro_sess *sess, const char *request, int writes_allowed,
                      tavro_buf *out, char *err, size_t err_size);
// Deletes or restarts one magnet of the account, or saves or deletes one
// saved link, as the request says (tavro_change_parse); TAVRO_E_WRITES_OFF
// unless writes_allowed. Result: {"Action":A,"Magnet":"m<id>","message":M}
// or {"Action":A,"Link":<the link as given>,"message":M}, M the service's
// data.message.
int tavro_do_change(const tavro_sess *sess, const char *request, int writes_allowed, tavro_buf *out,
                    char *err, size_t err_size);
