/* SPDX-License-Identifier: MIT */
/* A tiny host built against an installed tavro: through pkg-config or
 * find_package(tavro). It checks that the header and the library it runs
 * with agree, and drives one operation through the library. */
#include <tavro.h>

#include <stdio.h>
#include <string.h>

int main(void) {
  int season = 0, episode = 0;
  char out[256];
  if (strcmp(tavro_version(), TAVRO_VERSION_STRING) != 0) {
    fprintf(stderr, "host: header %s, library %s\n", TAVRO_VERSION_STRING, tavro_version());
    return 1;
  }
  if (!tavro_parse_season_episode("Show.S02E05.mkv", &season, &episode) || season != 2 ||
      episode != 5) {
    fprintf(stderr, "host: S02E05 read as %d/%d\n", season, episode);
    return 1;
  }
  if (tavro_use_fake() != TAVRO_OK ||
      tavro_list("{\"APIKey\":\"k\"}", "", out, (int32_t)sizeof out) != TAVRO_OK ||
      strstr(out, "\"torrents\"") == NULL) {
    fprintf(stderr, "host: root listing failed: %s\n", out);
    return 1;
  }
  printf("host: tavro %s, root %s\n", tavro_version(), out);
  return 0;
}
