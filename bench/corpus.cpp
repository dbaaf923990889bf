// SPDX-License-Identifier: MIT
// Deterministic generators of service answers, file names and texts for the
// benchmarks. They aim at the shapes a real account produces; the library
// never sees anything here that the service could not send.
#include "corpus.h"

#include "tavro_service.h"

#include <cstdio>
#include <functional>

namespace bench {

const std::string kSettings = R"({"RuntimeType":"ALLDEBRID","Name":"AllDebrid","APIKey":)"
                              R"("staticDemoKeyA1b2C3d4E5f6G7h8","CustomName":"halvo-player",)"
                              R"("ID":"3f2a9c1e-7b4d-4e8a-9c2f-1a2b3c4d5e6f"})";

std::string api(const std::string &path, const std::string &extra) {
  std::string u =
      TAVRO_API_ROOT + path + "?agent=halvo-player&apikey=staticDemoKeyA1b2C3d4E5f6G7h8";
  if (!extra.empty()) u += "&" + extra;
  return u;
}

std::string status_url() {
  return TAVRO_STATUS_ROOT "/magnet/status"
                           "?agent=halvo-player&apikey=staticDemoKeyA1b2C3d4E5f6G7h8";
}

std::string ok(const std::string &data) {
  return R"({"status":"success","data":)" + data + "}";
}

namespace {

// splitmix64: a small, fast, well-mixed generator of 64-bit values.
uint64_t mix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

struct Rng {
  uint64_t s;
  uint64_t next() { return s = mix(s); }
  size_t below(size_t n) { return (size_t)(next() % n); }
};

const char *const kShows[] = {
    "The Long Night",   "Harbour Lights",     "Signal & Noise",   "Caf\xc3\xa9 Society",
    "Northern Line",    "The Quiet Engineer", "Paper Moons",      "Dead Reckoning",
    "A Town Called Ur", "Glass Houses",       "The 4th Protocol", "Saltwater",
    "Blue Meridian",    "Ghosts of Kyiv",     "Iron & Velvet",    "The Understudy",
};
const char *const kTitles[] = {
    "Pilot",          "The Lighthouse Keeper", "Cold Open",  "What the River Knows",
    "Signal Lost",    "A Matter of Degrees",   "Northbound", "The Long Goodbye",
    "Half Measures",  "Under the Floorboards", "Dry Run",    "Paper Trail",
    "Crossing Lines", "The Last Ferry",        "Open Water", "Homecoming",
};
// Titles that need JSON escapes in a name: quotes, a backslash, a tab.
const char *const kOddTitles[] = {
    "\"Pilot\" (Extended Cut)", "AC\\DC Live at the Harbour",
    "Tom's \"Big\" Night",      "Back\\Slash \"Quoted\"",
    "Tab\tSeparated",
};
const char *const kGroups[] = {"NTb", "FLUX", "CAKES", "SMURF", "GGEZ", "KiNGS"};
const char *const kLangs[] = {"en", "de", "fr", "es", "it", "nl"};
const char kBase62[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

std::string dotted(const std::string &s) {
  std::string d;
  for (char c : s) {
    if (c == ' ')
      d += '.';
    else if (c != '(' && c != ')' && c != '&' && c != '\'')
      d += c;
  }
  return d;
}

std::string two(int n) {
  char b[16];
  std::snprintf(b, sizeof b, "%02d", n);
  return b;
}

std::string link_for(long long id, size_t index) {
  uint64_t h = mix((uint64_t)id * 1000003u + index);
  std::string l = "https://alldebrid.com/f/";
  for (int i = 0; i < 12; ++i, h /= 62) l += kBase62[h % 62];
  return l;
}

using FileFn = std::function<bool(const std::vector<std::string> &folders, const std::string &name,
                                  long long size, const std::string &link)>;

// Walks the logical layout of a tree in order, calling fn for each file
// until it returns false or `files` files were produced.
void layout(long long id, const Tree &t, size_t files, const FileFn &fn) {
  size_t index = 0;
  std::vector<std::string> folders;
  auto emit = [&](const std::string &name, long long size) {
    if (index >= files) return false;
    bool go = fn(folders, name, size, link_for(id, index));
    ++index;
    return go && index < files;
  };
  if (t.collection) folders.push_back("The Big TV Collection [1080p BluRay]");
  for (int show = 0; show < t.shows; ++show) {
    std::string title = kShows[show % 16];
    if (show >= 16) title += std::string(" ") + std::to_string(show / 16 + 1);
    int year = 1995 + show % 28;
    std::string group = kGroups[show % 6];
    folders.push_back(title + " (" + std::to_string(year) +
                      ") Complete Series 1080p BluRay x265 10bit-" + group);
    std::string stem = dotted(title);
    for (int season = 1; season <= t.seasons; ++season) {
      folders.push_back("Season " + two(season));
      for (int ep = 1; ep <= t.episodes; ++ep) {
        size_t k = (size_t)(show * 7919 + season * 131 + ep);
        std::string name;
        if (k % 16 == 5) {
          // The spaced style, some with titles that need escapes.
          name = title + " - S" + two(season) + "E" + two(ep) + " - " + kOddTitles[k / 16 % 5] +
                 " [Bluray-1080p].mkv";
        } else {
          name = stem + ".S" + two(season) + "E" + two(ep) + "." + dotted(kTitles[k % 16]) +
                 ".1080p.BluRay.x265.10bit-" + group + ".mkv";
        }
        long long size = 350000000 + (long long)(mix(k) % 2400000000ull);
        if (!emit(name, size)) return;
      }
      if (t.subtitles > 0) {
        folders.push_back("Subs");
        for (int ep = 1; ep <= t.episodes; ++ep) {
          for (int s = 0; s < t.subtitles; ++s) {
            std::string name = stem + ".S" + two(season) + "E" + two(ep) + "." + kLangs[s % 6] +
                               (s % 3 == 2 ? ".forced" : "") + ".srt";
            if (!emit(name, 28000 + (long long)(mix(ep * 31 + s) % 60000))) return;
          }
        }
        folders.pop_back();
      }
      folders.pop_back();
    }
    if (t.extras) {
      folders.push_back("Extras");
      for (const char *x : {"Behind the Scenes.mkv", "Deleted Scenes.mkv", "Gag Reel.mkv"})
        if (!emit(x, 90000000 + show)) return;
      folders.pop_back();
    }
    folders.pop_back();
  }
}

// A JSON string literal of s (the escapes the service writes).
void json_str(std::string &out, const std::string &s) {
  out += '"';
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += (char)c;
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20) {
      char b[8];
      std::snprintf(b, sizeof b, "\\u%04x", c);
      out += b;
    } else {
      out += (char)c;
    }
  }
  out += '"';
}

std::string hex40(uint64_t seed) {
  static const char hex[] = "0123456789abcdef";
  std::string h;
  for (int i = 0; i < 40; ++i) h += hex[mix(seed + (uint64_t)i) & 15];
  return h;
}

} // namespace

Tree collection_tree() {
  return Tree{1000, 8, 22, 2, true, true};
}

Tree season_pack_tree() {
  return Tree{1, 40, 50, 4, false, false};
}

std::string files_body(long long id, const Tree &tree, size_t files) {
  std::string out =
      R"({"status":"success","data":{"magnets":[{"id":)" + std::to_string(id) + R"(,"files":[)";
  std::vector<std::string> open; // the folders currently open in the output
  bool first = true;             // no node written yet at the current level
  layout(id, tree, files,
         [&](const std::vector<std::string> &folders, const std::string &name, long long size,
             const std::string &link) {
           size_t common = 0;
           while (common < open.size() && common < folders.size() &&
                  open[common] == folders[common])
             ++common;
           while (open.size() > common) {
             out += "]}";
             open.pop_back();
             first = false;
           }
           for (size_t i = common; i < folders.size(); ++i) {
             if (!first) out += ',';
             out += R"({"n":)";
             json_str(out, folders[i]);
             out += R"(,"e":[)";
             open.push_back(folders[i]);
             first = true;
           }
           if (!first) out += ',';
           out += R"({"n":)";
           json_str(out, name);
           out += R"(,"s":)" + std::to_string(size) + R"(,"l":)";
           json_str(out, link);
           out += '}';
           first = false;
           return true;
         });
  while (!open.empty()) {
    out += "]}";
    open.pop_back();
  }
  out += "]}]}}";
  return out;
}

std::vector<FileRef> files_of(long long id, const Tree &tree, size_t files) {
  std::vector<FileRef> all;
  all.reserve(files);
  layout(id, tree, files,
         [&](const std::vector<std::string> &folders, const std::string &name, long long size,
             const std::string &link) {
           FileRef f{"", link, size};
           for (const auto &folder : folders) f.path += folder + "/";
           f.path += name;
           all.push_back(std::move(f));
           return true;
         });
  return all;
}

std::string magnets_body(size_t magnets) {
  std::string out = R"({"status":"success","data":{"magnets":[)";
  Rng rng{42};
  for (size_t i = 0; i < magnets; ++i) {
    if (i) out += ',';
    std::string title = kShows[rng.below(16)];
    std::string name;
    switch (rng.below(4)) {
    case 0:
      name = dotted(title) + ".S" + two(1 + (int)rng.below(9)) + ".1080p.WEB-DL.DDP5.1.H.264-" +
             kGroups[rng.below(6)];
      break;
    case 1:
      name = title + " (" + std::to_string(1990 + rng.below(34)) + ") [2160p] [HDR] [5.1]";
      break;
    case 2:
      name = title + " \"" + kTitles[rng.below(16)] + "\" Director's Cut 1080p";
      break;
    default:
      name = dotted(title) + "." + std::to_string(1990 + rng.below(34)) +
             ".REPACK.720p.BluRay.x264-" + kGroups[rng.below(6)];
    }
    long long size = 700000000 + (long long)(rng.next() % 60000000000ull);
    long long up = 1690000000 + (long long)rng.below(30000000);
    out += R"({"id":)" + std::to_string(231000000 + i * 7) + R"(,"filename":)";
    json_str(out, name);
    out += R"(,"size":)" + std::to_string(size) + R"(,"hash":")" + hex40(i) +
           R"(","status":"Ready","statusCode":4,"downloaded":)" + std::to_string(size) +
           R"(,"uploaded":)" + std::to_string(size / 3) +
           R"(,"seeders":0,"downloadSpeed":0,"processingPerc":0,"uploadSpeed":0,"uploadDate":)" +
           std::to_string(up) + R"(,"completionDate":)" + std::to_string(up + 340) +
           R"(,"type":"m","notified":false,"version":2})";
  }
  out += "]}}";
  return out;
}

std::vector<std::string> episode_names(size_t count) {
  std::vector<std::string> names;
  names.reserve(count);
  Rng rng{7};
  for (size_t i = 0; i < count; ++i) {
    std::string title = kShows[rng.below(16)];
    std::string stem = dotted(title);
    std::string s = two(1 + (int)rng.below(12)), e = two(1 + (int)rng.below(24));
    std::string ep = kTitles[rng.below(16)];
    std::string group = kGroups[rng.below(6)];
    std::string n;
    switch (i % 10) {
    case 0:
      n = stem + ".S" + s + "E" + e + ".1080p.WEB-DL.x264-" + group + ".mkv";
      break;
    case 1:
      n = title + "/Season " + s + "/" + stem + ".S" + s + "E" + e + "." + dotted(ep) +
          ".720p.HDTV.x264-" + group + ".mkv";
      break;
    case 2:
      n = stem + "." + std::to_string(1 + rng.below(9)) + "x" + e + ".hdtv.xvid-" + group + ".avi";
      break;
    case 3:
      n = title + " - " + e + " - " + ep + " [720p].mkv";
      break;
    case 4:
      n = title + " Season " + std::to_string(1 + rng.below(9)) + " Episode " +
          std::to_string(1 + rng.below(24)) + ".mp4";
      break;
    case 5:
      n = "Movies/" + stem + "." + std::to_string(1990 + rng.below(34)) +
          ".2160p.UHD.BluRay.x265-" + group + ".mkv";
      break;
    case 6:
      n = stem + ".S" + s + "Ep" + e + ".720p.mkv";
      break;
    case 7:
      n = title + "/Sample/" + stem + ".s" + s + "e" + e + ".sample.mkv";
      break;
    case 8:
      n = title + "/Extras/Behind the Scenes - " + ep + ".mkv";
      break;
    default:
      n = title + " (2005) - S" + s + "E" + e + " - \"" + ep + "\" [Bluray-1080p].mkv";
    }
    names.push_back(n);
  }
  return names;
}

std::vector<std::string> secret_texts(size_t count) {
  std::vector<std::string> texts;
  texts.reserve(count);
  Rng rng{11};
  for (size_t i = 0; i < count; ++i) {
    std::string key = std::string("k") + hex40(rng.next()).substr(0, 20);
    std::string link = link_for(9, i);
    switch (i % 4) {
    case 0:
      texts.push_back("https://api.alldebrid.com/v4/magnet/files?agent=halvo-player&apikey=" + key +
                      "&id[]=" + std::to_string(231000000 + i));
      break;
    case 1:
      texts.push_back("https://user:p%40ss" + std::to_string(i) + "@cdn.example.net/dl/" +
                      hex40(i).substr(0, 16) + "/The.Long.Night.S01E02.mkv?token=" +
                      hex40(i + 1).substr(0, 24) + "&apikey=" + key + "#t=10");
      break;
    case 2:
      texts.push_back(
          "GET https://api.alldebrid.com/v4/link/unlock?agent=halvo-player&apikey=" + key +
          "&link=https%3A%2F%2Falldebrid.com%2Ff%2F" + link.substr(24) + ": connection refused");
      break;
    default:
      texts.push_back(link);
    }
  }
  return texts;
}

std::vector<std::string> query_values(size_t count) {
  std::vector<std::string> values;
  values.reserve(count);
  Rng rng{13};
  for (size_t i = 0; i < count; ++i) {
    std::string title = kShows[rng.below(16)];
    switch (i % 3) {
    case 0:
      values.push_back("magnet:?xt=urn:btih:" + hex40(rng.next()) + "&dn=" + dotted(title) +
                       ".S01.1080p&tr=udp://tracker.opentrackr.org:1337/announce");
      break;
    case 1:
      values.push_back(link_for(3, i));
      break;
    default:
      values.push_back(title + " - S01E0" + std::to_string(1 + i % 9) + " - " +
                       kTitles[rng.below(16)] + ".mkv");
    }
  }
  return values;
}

size_t count_of(const std::string &text, const std::string &needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size()))
    ++n;
  return n;
}

} // namespace bench
