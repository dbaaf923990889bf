// The service's dialect: request URLs on the API root, the session of one
// call, and the work of each operation (validate, list, stream, download).
#pragma once

#include "tavro_util.h"

#define TAVRO_API_ROOT "https://api.alldebrid.com/v4"
// The account's magnets are listed by version 4.1 of the API, on the same
// host: its version-4 status endpoint is discontinued.
#define TAVRO_STATUS_ROOT "https://api.alldebrid.com/v4.1"
#define TAVRO_DEFAULT_AGENT "quorvelindash"
#define TAVRO_LINK_MAX 3072

// The multipart file part of a torrent upload through a byte transport.
#define TAVRO_TORRENT_TYPE "application/x-bittorrent"
#define TAVRO_UPLOAD_FIELD "files[0]"
#define TAVRO_UPLOAD_NAME "upload.torrent"

// The transport and settings of one call; all borrowed. Exactly one of io
// (a text table) and bytes (a byte transport) is set.
struct tavro_sess {
  const tavro_io *io;
  const tavro_cfg *cfg;
  const tavro_transport *bytes;
};

void tavro_sess_open(tavro_sess *sess, const tavro_io *io, const tavro_cfg *cfg);
void tavro_sess_open_bytes(tavro_sess *sess, const tavro_transport *t, const tavro_cfg *cfg);
void tavro_sess_close(tavro_sess *sess);

// The identifier text of four random words: "%08x-%04x-4%03x-9%03x-%08x%04x"
// of w0, the high 16 bits of w1, the low 12 bits of w1 and of w2, w3 and the
// low 16 bits of w2.
void tavro_id_text(const uint32_t (&w)[4], char (&out)[40]);
int tavro_do_validate(const tavro_sess *sess, const char *id, tavro_buf *out, char *err,
                      size_t err_size);
int tavro_do_list_root(tavro_buf *out);
int tavro_do_list_torrents(const tavro_sess *sess, tavro_buf *out, char *err, size_t err_size);
int tavro_do_list_folder(const tavro_sess *sess, int64_t id, tavro_buf *out, char *err,
                         size_t err_size);
int tavro_do_stream(const tavro_sess *sess, const char *link, tavro_buf *out, char *err,
                    size_t err_size);

// The parsed download request.
struct tavro_dlcfg {
  char *link;
  int full_season;
  int32_t season;
  int32_t episode;
  int keep_instant_only;
};

int tavro_dlcfg_parse(const char *text, tavro_dlcfg *cfg, char *err, size_t err_size);
void tavro_dlcfg_free(tavro_dlcfg *cfg);
int tavro_do_delete(const tavro_sess *sess, int64_t id, char *err, size_t err_size);
int tavro_do_download(const tavro_sess *sess, const char *request, int writes_allowed,
                      tavro_buf *out, char *err, size_t err_size);

int tavro_link_is_magnet(const char *text);
