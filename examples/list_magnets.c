/* SPDX-License-Identifier: MIT */
/* list_magnets: a short, complete tavro host. It lists the magnets of an
 * AllDebrid account through tavro's byte transport, which it implements
 * over libcurl.
 *
 *   TAVRO_API_KEY=... ./list_magnets [API_ROOT]
 *
 * API_ROOT, when given, is the APIRoot setting: a test server such as
 * http://127.0.0.1:8080 to send every request to instead of the service.
 * Build with the CMakeLists.txt beside this file (find_package(tavro 1.1))
 * or the Makefile (pkg-config). */
#include <tavro.h>

#include <curl/curl.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* A growing byte buffer for an answer's body. */
struct body {
  char *data;
  size_t len;
};

static size_t collect(char *bytes, size_t size, size_t n, void *ctx) {
  struct body *b = ctx;
  size_t add = size * n;
  char *grown = realloc(b->data, b->len + add + 1);
  if (!grown) return 0; /* libcurl then fails the transfer */
  memcpy(grown + b->len, bytes, add);
  b->data = grown;
  b->len += add;
  b->data[b->len] = '\0';
  return add;
}

static char *copy_text(const char *text) {
  char *p = malloc(strlen(text) + 1);
  if (p) strcpy(p, text);
  return p;
}

/* The byte transport's one function: one HTTP exchange. The library gives
 * the method, the URL, header lines (the key as "Authorization: Bearer"),
 * and a body with its length; a torrent upload comes as one file part. */
static int send_request(void *ctx, const tavro_http_request *rq, tavro_http_response *rs) {
  (void)ctx;
  CURL *h = curl_easy_init();
  if (!h) {
    rs->error = copy_text("cannot start a libcurl session");
    return -1;
  }
  struct curl_slist *headers = NULL;
  for (const char *const *line = rq->headers; *line; ++line)
    headers = curl_slist_append(headers, *line);
  curl_mime *mime = NULL;
  struct body got = {NULL, 0};
  curl_easy_setopt(h, CURLOPT_URL, rq->url);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &got);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 10L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, 60L);
  if (strcmp(rq->method, "POST") == 0) {
    if (rq->file_field) {
      mime = curl_mime_init(h);
      curl_mimepart *part = curl_mime_addpart(mime);
      curl_mime_name(part, rq->file_field);
      curl_mime_filename(part, rq->file_name);
      curl_mime_type(part, rq->content_type);
      curl_mime_data(part, rq->body, rq->body_len);
      curl_easy_setopt(h, CURLOPT_MIMEPOST, mime);
    } else {
      if (rq->content_type) {
        char line[256];
        snprintf(line, sizeof line, "Content-Type: %s", rq->content_type);
        headers = curl_slist_append(headers, line);
      }
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)rq->body_len);
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, rq->body ? (const char *)rq->body : "");
    }
  }
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  CURLcode rc = curl_easy_perform(h);
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(h);
  curl_mime_free(mime);
  curl_slist_free_all(headers);
  if (rc != CURLE_OK) {
    free(got.data);
    rs->error = copy_text(curl_easy_strerror(rc));
    return -1;
  }
  /* The library releases body and error with the table's free, once. */
  rs->status = (int32_t)status;
  rs->body = got.data;
  rs->body_len = got.len;
  return 0;
}

static void release(void *ctx, void *text) {
  (void)ctx;
  free(text);
}

/* text as a JSON string into out (room for 6 bytes a character and 3). */
static void json_string(char *out, const char *text) {
  *out++ = '"';
  for (const unsigned char *c = (const unsigned char *)text; *c; ++c) {
    if (*c == '"' || *c == '\\') {
      *out++ = '\\';
      *out++ = (char)*c;
    } else if (*c < 0x20) {
      out += sprintf(out, "\\u%04x", *c);
    } else {
      *out++ = (char)*c;
    }
  }
  *out++ = '"';
  *out = '\0';
}

int main(int argc, char **argv) {
  const char *key = getenv("TAVRO_API_KEY");
  if (!key || !*key || argc > 2) {
    fprintf(stderr, "usage: TAVRO_API_KEY=KEY %s [API_ROOT]\n", argv[0]);
    return 2;
  }
  const char *root = argc == 2 ? argv[1] : "";
  char *key_json = malloc(6 * strlen(key) + 3), *root_json = malloc(6 * strlen(root) + 3);
  char *settings = malloc(6 * strlen(key) + 6 * strlen(root) + 32);
  if (!key_json || !root_json || !settings) return 1;
  json_string(key_json, key);
  json_string(root_json, root);
  /* {"APIKey":...,"APIRoot":...}; an empty APIRoot is the service itself. */
  sprintf(settings, "{\"APIKey\":%s,\"APIRoot\":%s}", key_json, root_json);

  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return 1;
  tavro_transport transport = {sizeof transport, NULL, send_request, release};
  int rc = tavro_set_transport(&transport);
  if (rc == TAVRO_OK) {
    /* Without a buffer the result is this thread's copy. */
    rc = tavro_list(settings, "torrents", NULL, 0);
    if (rc == TAVRO_OK)
      printf("%s\n", tavro_result_json()); /* [{"name":...,"path":"m<id>",...},...] */
    else
      fprintf(stderr, "list_magnets: %s\n", tavro_last_error());
  }
  tavro_set_transport(NULL);
  curl_global_cleanup();
  free(settings);
  free(root_json);
  free(key_json);
  return rc == TAVRO_OK ? 0 : 1;
}
