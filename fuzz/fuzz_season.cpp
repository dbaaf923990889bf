// SPDX-License-Identifier: MIT
// Season and episode recognition: a recognised pair is in range, nothing is
// written otherwise, and the export agrees with the recogniser.
#include "fuzz_support.h"
#include "tavro_recognise.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string name = fz::text(data, size);
  int season = -7, episode = -7;
  int found = tavro_season_episode(name.c_str(), &season, &episode);
  FUZZ_CHECK(found == 0 || found == 1, "result %d", found);
  if (found) {
    FUZZ_CHECK(season >= 1 && season <= 99, "season %d", season);
    FUZZ_CHECK(episode >= 1 && episode <= 9999, "episode %d", episode);
  } else {
    FUZZ_CHECK(season == -7 && episode == -7, "outputs written without a pair");
  }
  int s = -7, e = -7;
  FUZZ_CHECK(tavro_parse_season_episode(name.c_str(), &s, &e) == found, "export differs");
  FUZZ_CHECK(!found || (s == season && e == episode), "export gives %d/%d", s, e);
  FUZZ_CHECK(tavro_parse_season_episode(name.c_str(), nullptr, nullptr) == found,
             "export without outputs differs");
  return 0;
}
