// Season and episode recognition in file names.
#pragma once

// 1 and both outputs written when a pair is recognised; 0 and nothing written
// otherwise. name may be null; the outputs must be valid.
int tavro_season_episode(const char *name, int *season, int *episode);
