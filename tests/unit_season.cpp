// SPDX-License-Identifier: MIT
// Season and episode recognition: the spellings of episode names, the order in
// which they are tried, and the bounds of what a recognised pair can hold.
#include "tavro_recognise.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>

namespace {

// Values no recogniser can produce, to show that a 0 result writes nothing.
constexpr int kUntouchedSeason = -77;
constexpr int kUntouchedEpisode = -88;

struct Row {
  const char *why;
  const char *name; // may be null
  int result;
  int season;
  int episode;
};

const Row kRows[] = {
    {"season letter and marker", "Show.S01E02.1080p.mkv", 1, 1, 2},
    {"letters in either case", "show.s1e2.mkv", 1, 1, 2},
    {"S after the marker", "Show E03 S02", 1, 2, 3},
    {"first marker counts", "Show.S01E02E03", 1, 1, 2},
    {"marker inside a word", "Some1 S02E03", 1, 2, 1},
    {"Ep marker", "Show.S02Ep05", 1, 2, 5},
    {"season 0 falls through to the lone marker", "S00E01", 1, 1, 1},
    {"three-digit season is no season", "S100E01.mkv", 1, 1, 1},
    {"episode 0 everywhere", "S01E00", 0, 0, 0},
    {"three-digit episode is no marker", "Show.S01E100.mkv", 0, 0, 0},
    {"lone E marker", "Show.E05.mkv", 1, 1, 5},
    {"lone Ep marker", "Show Ep05", 1, 1, 5},
    {"EP is no marker", "Show EP05", 0, 0, 0},
    {"ep is no marker", "Show ep05", 0, 0, 0},
    {"E00 hides a later Ep", "Show E00 Ep05", 0, 0, 0},
    {"words", "Season 1 Episode 2", 1, 1, 2},
    {"words in capitals", "SEASON 01 EPISODE 02", 1, 1, 2},
    {"words in mixed case", "sEaSoN 3 ePiSoDe 4", 1, 3, 4},
    {"no space after Episode", "Season 1 Episode2", 0, 0, 0},
    {"two spaces before Episode", "Season 1  Episode 2", 0, 0, 0},
    {"words with season 0", "Season 0 Episode 5", 0, 0, 0},
    {"three-digit season in words", "Season 100 Episode 2", 0, 0, 0},
    {"the word season skips the lone marker", "Season 1 E5", 0, 0, 0},
    {"the word season skips the bare number", "Season pack 12 end", 0, 0, 0},
    {"a Season folder skips the bare number", "Show/Season 1/Show - 03 - Title.mkv", 0, 0, 0},
    {"the word season in any case", "Show SeAsOn 12 end", 0, 0, 0},
    {"cross form", "Show 1x02", 1, 1, 2},
    {"capital X", "Show 1X02", 0, 0, 0},
    {"last two digits of a run", "123x4", 1, 23, 4},
    {"resolution", "1920x1080", 0, 0, 0},
    {"three-digit cross episode", "Show 3x007", 0, 0, 0},
    {"cross season 0", "0x05", 0, 0, 0},
    {"first cross decides", "0x05 2x03", 0, 0, 0},
    {"bare number", "Show 12 end", 1, 1, 12},
    {"bare number with leading zeros", "Show 0012 end", 1, 1, 12},
    {"bare number below 892", "Show 891 end", 1, 1, 891},
    {"bare number 892", "Show 892 end", 1, 21, 892},
    {"bare number 1199", "Show 1199 end", 1, 21, 1199},
    {"bare number above 1199", "Show 1200 end", 1, 1, 1200},
    {"bare number at the end", "Show 12", 0, 0, 0},
    {"five digits", "Show 12345 end", 0, 0, 0},
    {"five digits passed over", "Show 12345 7 end", 1, 1, 7},
    {"only a space separates", "Show\t12 end", 0, 0, 0},
    {"no space before the run", "12 Show", 0, 0, 0},
    {"bare 0 falls through to the lone marker", "Show 0 E5", 1, 1, 5},
    {"bare 0 decides the bare number step", "Show 0 12 end", 0, 0, 0},
    {"dashed title", "Show - 05 - Title.mkv", 1, 1, 5},
    {"S and ep", "S01ep02", 1, 1, 2},
    {"S and EP", "s1EP2", 1, 1, 2},
    {"S and ep after the word", "Season 2 S2ep5", 1, 2, 5},
    {"ep needs the S", "Season 2 ep5", 0, 0, 0},
    {"first S and ep decides", "S0ep1 S2ep3", 0, 0, 0},
    {"first S decides", "S00 S03E02", 1, 1, 2},
    {"three-digit S passed over", "S100 S02E03", 1, 2, 3},
    {"marker before words", "Season 1 Episode 2 S03E04", 1, 3, 4},
    {"words before cross", "Season 2 Episode 3 1x05", 1, 2, 3},
    {"cross before bare number", "Show 1x02 05 end", 1, 1, 2},
    {"bare number before lone marker", "Show 07 E05", 1, 1, 7},
    {"high bytes are no digits",
     "S\xB9"
     "E\xB2",
     0, 0, 0},
    {"high bytes around a pair", "Caf\xC3\xA9 S01E02 \xC5\xA0", 1, 1, 2},
    {"no pattern", "Title.2019.mkv", 0, 0, 0},
    {"empty name", "", 0, 0, 0},
    {"null name", nullptr, 0, 0, 0},
};

TEST(Season, NamesYieldTheirPair) {
  for (const Row &row : kRows) {
    int season = kUntouchedSeason, episode = kUntouchedEpisode;
    const int got = tavro_season_episode(row.name, &season, &episode);
    const std::string label = std::string(row.why) + ": " + (row.name ? row.name : "(null)");
    EXPECT_EQ(got, row.result) << label;
    if (row.result == 1) {
      EXPECT_EQ(season, row.season) << label;
      EXPECT_EQ(episode, row.episode) << label;
    } else {
      EXPECT_EQ(season, kUntouchedSeason) << label << " wrote the season";
      EXPECT_EQ(episode, kUntouchedEpisode) << label << " wrote the episode";
    }
  }
}

// Checks one call on a heap copy sized exactly to the name, so that a read past
// the NUL lands outside the block (and under AddressSanitizer, fails).
void expect_in_range(const std::string &name, const std::string &label) {
  auto copy = std::make_unique<char[]>(name.size() + 1);
  std::memcpy(copy.get(), name.c_str(), name.size() + 1);
  int season = kUntouchedSeason, episode = kUntouchedEpisode;
  const int got = tavro_season_episode(copy.get(), &season, &episode);
  if (got == 1) {
    EXPECT_TRUE(season >= 1 && season <= 99) << label << " season " << season;
    EXPECT_TRUE(episode >= 1 && episode <= 9999) << label << " episode " << episode;
  } else {
    EXPECT_EQ(got, 0) << label;
    EXPECT_EQ(season, kUntouchedSeason) << label << " wrote the season";
    EXPECT_EQ(episode, kUntouchedEpisode) << label << " wrote the episode";
  }
}

// Every prefix of a known name ends inside some pattern: a marker without its
// digits, "Season 1 Episode " without its number, "Ep" at the very end.
TEST(Season, NamesCutShortStayInsideTheirBytes) {
  for (const Row &row : kRows) {
    if (!row.name) continue;
    const std::string name = row.name;
    for (size_t len = 0; len <= name.size(); ++len)
      expect_in_range(name.substr(0, len), "prefix " + std::to_string(len) + " of " + name);
  }
}

TEST(Season, RandomNamesGivePairsInRange) {
  // Byte alphabets: anything but NUL, and ones dense in the bytes the scans look for.
  const std::string pattern_bytes = "SsEexX0123456789 pPaAoOnNdD-.\xC3\xA9\x80\xFF";
  const std::string digits_and_spaces = "0123456789  xSE";
  std::mt19937 rng(20240611u);
  std::uniform_int_distribution<int> length(0, 48);
  std::uniform_int_distribution<int> any_byte(1, 255);
  int recognised = 0;
  for (int i = 0; i < 20000; ++i) {
    const int alphabet = i % 3;
    const int n = length(rng);
    std::string name;
    for (int k = 0; k < n; ++k) {
      if (alphabet == 0) {
        name += static_cast<char>(any_byte(rng));
      } else {
        const std::string &from = alphabet == 1 ? pattern_bytes : digits_and_spaces;
        name += from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(rng)];
      }
    }
    int season = 0, episode = 0;
    recognised += tavro_season_episode(name.c_str(), &season, &episode);
    expect_in_range(name, "random name " + std::to_string(i));
    if (HasFailure()) return;
  }
  // The dense alphabets must actually reach the recognising paths.
  EXPECT_GT(recognised, 1000);
}

} // namespace
