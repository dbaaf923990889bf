// SPDX-License-Identifier: MIT
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

namespace tavro {

// One request to the service. The URL carries agent and apikey; the
// endpoint's own parameters, when key (and key2) are not null, travel as
// the form body of a POST, or in the query of a GET.
struct Request {
  const char *root; // TAVRO_API_ROOT, or another version's root
  const char *path;
  const char *key;            // the form field, or null for none
  const char *value;          // its value
  const char *what;           // the request's name in a status message
  const char *key2 = nullptr; // a second form field, or null
  const char *value2 = nullptr;
};

// An answer read in place: the exchange's copy of the body and the document
// parsed inside it, whose values refer into that copy; the document goes
// first. data points at the envelope's payload.
struct Answer {
  tavro::Resp resp;
  tavro::Doc doc;
  yyjson_val *data = nullptr;

  // Gives back the document and the copy before the next request.
  void release() {
    doc.reset();
    tavro_resp_free(resp.get());
    data = nullptr;
  }
};

// Sends the request as a form POST, accepting only a 2xx status (resp then
// holds the answer); otherwise the message is written and the code returned.
int post_ok(const tavro_sess *sess, const Request &req, tavro::Resp &resp, char *err,
            size_t err_size);
// The same as a GET, with the parameter in the query.
int get_ok(const tavro_sess *sess, const Request &req, tavro::Resp &resp, char *err,
           size_t err_size);
// The request (a POST when post, else a GET), then the answer's envelope,
// parsed where the exchange put the body.
int ask(const tavro_sess *sess, const Request &req, bool post, Answer &a, char *err,
        size_t err_size);

} // namespace tavro

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
// The root folder: the folders "torrents", "links" and "history". Needs no
// request.
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
