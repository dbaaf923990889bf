// SPDX-License-Identifier: MIT
// Recognisers over bytes, with no state and no allocation: season and
// episode in a file name or path, a magnet link, a torrent file (and whether
// one reached the library whole).
#pragma once

#include <cstddef>

// Season and episode: a fixed cascade of byte scans over one NUL-terminated
// name (S01E02, 1x02, "Season 1 Episode 2", "Show - 05 - Title", ...). 1 and
// both outputs written when a pair is recognised; 0 and nothing written
// otherwise. name may be null; the outputs must be valid.
int tavro_season_episode(const char *name, int *season, int *episode);

// 1 for "magnet:?" with an "xt=urn:btih:" of 40 hexadecimal or 32 base-32
// digits, else 0. text may be null.
int tavro_link_is_magnet(const char *text);

// 1 when the bytes look like a torrent file: a bencoded dictionary holding
// "4:info" and "8:announce", or "4:info", "4:path" and "6:length".
int tavro_sniff_torrent(const void *data, size_t len);
// 1 when data begins with one complete bencoded dictionary: every string's
// length satisfied and every list and dictionary closed. A torrent that a
// text transport cut at its first NUL byte fails this. Iterative: no input
// can make it deep.
int tavro_bencode_whole(const void *data, size_t len);
