// SPDX-License-Identifier: MIT
// The download request parser, the magnet link test and the request URLs.
#include "support.h"
#include "tavro_answers.h"
#include "tavro_base.h"
#include "tavro_input.h"
#include "tavro_links.h"
#include "tavro_ops.h"
#include "tavro_recognise.h"
#include "tavro_service.h"
#include "tavro_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

TEST(DownloadRequest, ReadsMembersByTheirKindOnly) {
  struct Row {
    const char *name;
    std::string req;
    int code;
    const char *msg;
    const char *link;
    int full, season, episode, keep;
  } rows[] = {
      {"kinds", R"({"Link":"L","FullSeason":"true","Season":2.0,"Episode":3})", 0, "", "L", 0, 0, 3,
       0},
      {"flags", R"({"Link":"L","FullSeason":true,"KeepInstantOnly":true,"Season":-4})", 0, "", "L",
       1, -4, 0, 1},
      {"flag not literal true", R"({"Link":"L","FullSeason":1,"KeepInstantOnly":"true"})", 0, "",
       "L", 0, 0, 0, 0},
      {"low 32 bits", R"({"Link":"L","Season":4294967298,"Episode":18446744073709551615})", 0, "",
       "L", 0, 2, -1, 0},
      {"first duplicate", R"({"Link":"A","Link":"B","Episode":1,"Episode":2})", 0, "", "A", 0, 0, 1,
       0},
      {"no link keeps the rest", R"({"Episode":5,"FullSeason":true})", TAVRO_E_ARG,
       "config has no Link", nullptr, 1, 0, 5, 0},
      {"empty object", "{}", TAVRO_E_ARG, "config has no Link", nullptr, 0, 0, 0, 0},
      {"escaped NUL first", R"({"Link":"\u0000https://h/t","Episode":1})", TAVRO_E_ARG,
       "config has no Link", nullptr, 0, 0, 1, 0},
      {"escaped NUL ends the link", R"({"Link":"L\u0000tail"})", 0, "", "L", 0, 0, 0, 0},
      {"array", "[]", TAVRO_E_ARG, "config is not a JSON object", nullptr, 0, 0, 0, 0},
      {"text after the object", R"({"Link":"L"} x)", TAVRO_E_ARG, "config is not a JSON object",
       nullptr, 0, 0, 0, 0},
  };
  for (auto &r : rows) {
    tavro_dlcfg cfg{};
    char err[TAVRO_ERR_SIZE] = {};
    EXPECT_EQ(tavro_dlcfg_parse(r.req.c_str(), &cfg, err, sizeof err), r.code) << r.name;
    EXPECT_STREQ(err, r.msg) << r.name;
    if (r.link)
      EXPECT_STREQ(cfg.link, r.link) << r.name;
    else
      EXPECT_EQ(cfg.link, nullptr) << r.name;
    EXPECT_EQ(cfg.full_season, r.full) << r.name;
    EXPECT_EQ(cfg.season, r.season) << r.name;
    EXPECT_EQ(cfg.episode, r.episode) << r.name;
    EXPECT_EQ(cfg.keep_instant_only, r.keep) << r.name;
    tavro_dlcfg_free(&cfg);
    EXPECT_EQ(cfg.link, nullptr);
  }
}

TEST(DownloadRequest, LinkLengthLimit) {
  char err[TAVRO_ERR_SIZE];
  tavro_dlcfg cfg{};
  std::string exact = R"({"Link":")" + std::string(TAVRO_LINK_MAX, 'a') + R"(","Episode":4})";
  EXPECT_EQ(tavro_dlcfg_parse(exact.c_str(), &cfg, err, sizeof err), 0);
  EXPECT_EQ(std::string(cfg.link).size(), (size_t)TAVRO_LINK_MAX);
  tavro_dlcfg_free(&cfg);
  std::string over = R"({"Link":")" + std::string(TAVRO_LINK_MAX + 1, 'a') + R"(","Episode":4})";
  EXPECT_EQ(tavro_dlcfg_parse(over.c_str(), &cfg, err, sizeof err), TAVRO_E_ARG);
  EXPECT_STREQ(err, "Link longer than 3 KiB");
  EXPECT_EQ(cfg.link, nullptr);
  EXPECT_EQ(cfg.episode, 0) << "the whole record is zeroed";
  EXPECT_EQ(tavro_dlcfg_parse(nullptr, &cfg, err, sizeof err), TAVRO_E_ARG);
  EXPECT_STREQ(err, "config is not a JSON object");
}

TEST(MagnetLink, AcceptsOnlyTheFirstWellFormedBtih) {
  const std::string h40 = "0123456789abcdef0123456789ABCDEF01234567";
  const std::string b32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
  const std::string p = "magnet:?xt=urn:btih:";
  std::string lower32 = b32;
  for (char &c : lower32) c = (char)(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  struct Row {
    std::string text;
    int want;
  } rows[] = {
      {p + h40, 1},
      {p + h40.substr(0, 39), 0},
      {p + h40 + "8", 0},
      {p + h40.substr(0, 39) + "g", 0},
      {p + b32, 1},
      {p + lower32, 1},
      {p + b32.substr(0, 31) + "1", 0},
      {p + "0123456789abcdef0123456789abcdef", 0},
      {p + h40 + "&dn=Name&tr=udp", 1},
      {"magnet:?dn=Name&xt=urn:btih:" + h40, 1},
      {"magnet:?foo=bxt=urn:btih:" + h40, 1},
      {"magnet:?xt=urn:btih:&dn=x", 0},
      {"magnet:?xt=urn:BTIH:" + h40, 0},
      {p + h40.substr(0, 39) + "&xt=urn:btih:" + h40, 0},
      {"MAGNET:?xt=urn:btih:" + h40, 0},
      {"Magnet:?xt=urn:btih:" + h40, 0},
      {"magnet:xt=urn:btih:" + h40, 0},
      {"", 0},
  };
  for (auto &r : rows) EXPECT_EQ(tavro_link_is_magnet(r.text.c_str()), r.want) << r.text;
  EXPECT_EQ(tavro_link_is_magnet(nullptr), 0);
}

TEST(RequestUrl, KeyAndAgentArePercentEncoded) {
  tt::Host host;
  tavro_io io = host.table();
  tavro_cfg cfg{tavro_strdup("k y/+&"), tavro_strdup("app ü"), nullptr};
  tavro_sess sess{};
  tavro_sess_open(&sess, &io, &cfg);
  host.answer("GET", tt::kRoot + "/user?agent=app%20%C3%BC&apikey=k%20y%2F%2B%26", 200,
              tt::ok("{}"));
  tavro::Buf out;
  char err[TAVRO_ERR_SIZE] = {};
  EXPECT_EQ(tavro_do_validate(&sess, "id", out.get(), err, sizeof err), TAVRO_OK) << err;
  EXPECT_STREQ(out.c_str(), R"({"ClientId":"app ü","RuntimeType":"ALLDEBRID","ID":"id"})");
  tavro_sess_close(&sess);
  EXPECT_EQ(sess.io, nullptr);
  tavro_cfg_free(&cfg);
}

TEST(RequestUrl, EveryRequestCarriesAgentAndKeyInItsQueryAndItsParameterInTheForm) {
  const std::string q = "?agent=app%20%C3%BC&apikey=k%20y%2F%2B%26";
  const std::string magnet = "magnet:?xt=urn:btih:0123456789abcdef0123456789ABCDEF01234567&dn=a b";
  struct Row {
    const char *name;
    std::function<int(const tavro_sess *, tavro_buf *, char *, size_t)> run;
    tt::Call request;
  } rows[] = {
      {"account check",
       [](const tavro_sess *s, tavro_buf *o, char *e, size_t n) {
         return tavro_do_validate(s, "id", o, e, n);
       },
       tt::get(tt::kRoot + "/user" + q)},
      {"magnets of the account, on version 4.1",
       [](const tavro_sess *s, tavro_buf *o, char *e, size_t n) {
         return tavro_do_list_torrents(s, o, e, n);
       },
       tt::form(tt::kStatusRoot + "/magnet/status" + q, "")},
      {"files of a magnet",
       [](const tavro_sess *s, tavro_buf *o, char *e, size_t n) {
         return tavro_do_list_folder(s, 12, o, e, n);
       },
       tt::form(tt::kRoot + "/magnet/files" + q, "id[]=12")},
      {"files of the largest id",
       [](const tavro_sess *s, tavro_buf *o, char *e, size_t n) {
         return tavro_do_list_folder(s, INT64_MAX, o, e, n);
       },
       tt::form(tt::kRoot + "/magnet/files" + q, "id[]=9223372036854775807")},
      {"unlock, the link encoded",
       [](const tavro_sess *s, tavro_buf *o, char *e, size_t n) {
         return tavro_do_stream(s, "https://h/f?a=1&b=\xc3\xa9 ~", o, e, n);
       },
       tt::form(tt::kRoot + "/link/unlock" + q,
                "link=https%3A%2F%2Fh%2Ff%3Fa%3D1%26b%3D%C3%A9%20~")},
      {"delete",
       [](const tavro_sess *s, tavro_buf *, char *e, size_t n) {
         return tavro_do_delete(s, 42, e, n);
       },
       tt::form(tt::kRoot + "/magnet/delete" + q, "id=42")},
      {"add a magnet, encoded",
       [&magnet](const tavro_sess *s, tavro_buf *o, char *e, size_t n) {
         return tavro_do_download(s, (R"({"Link":")" + magnet + "\"}").c_str(), 1, o, e, n);
       },
       tt::form(tt::kRoot + "/magnet/upload" + q,
                "magnets[]=magnet%3A%3Fxt%3Durn%3Abtih%3A0123456789abcdef0123456789ABCDEF01234567"
                "%26dn%3Da%20b")},
  };
  for (const Row &r : rows) {
    tt::Host host; // answers everything 404
    tavro_io io = host.table();
    tavro_cfg cfg{tavro_strdup("k y/+&"), tavro_strdup("app ü"), nullptr};
    tavro_sess sess{};
    tavro_sess_open(&sess, &io, &cfg);
    tavro::Buf out;
    char err[TAVRO_ERR_SIZE] = {};
    EXPECT_EQ(r.run(&sess, out.get(), err, sizeof err), TAVRO_E_NOT_FOUND) << r.name;
    EXPECT_EQ(host.calls(), std::vector<tt::Call>{r.request}) << r.name;
    tavro_sess_close(&sess);
    tavro_cfg_free(&cfg);
  }
}

TEST(Validation, IdentifierTextIsThePrintfLayout) {
  const uint32_t rows[][4] = {{0, 0, 0, 0},
                              {0xffffffffu, 0xffffffffu, 0xffffffffu, 0xffffffffu},
                              {0x01234567u, 0x89abcdefu, 0xfedcba98u, 0x76543210u},
                              {0x0000000fu, 0x000f0abcu, 0x12345defu, 0xa0000001u}};
  for (const auto &w : rows) {
    char got[40], want[40];
    tavro_id_text(w, got);
    std::snprintf(want, sizeof want, "%08x-%04x-4%03x-9%03x-%08x%04x", (unsigned)w[0],
                  (unsigned)(w[1] >> 16), (unsigned)(w[1] & 0xfff), (unsigned)(w[2] & 0xfff),
                  (unsigned)w[3], (unsigned)(w[2] & 0xffff));
    EXPECT_STREQ(got, want);
  }
}

// ---- File listing -----------------------------------------------------------

std::string files_answer(const std::string &files) {
  return tt::ok(R"({"magnets":[{"id":12,"files":)" + files + "}]}");
}

struct Listed {
  int rc;
  std::string out, err;
};

// Lists magnet 12 through a host that answers its files request with files.
// Nothing here but the listing allocates through the library, so that a
// failing allocation is always the listing's.
Listed list_files(const std::string &files) {
  tt::Host host;
  tavro_io io = host.table();
  host.answer(tt::form(tt::api("/magnet/files"), "id[]=12"), 200, files_answer(files));
  // A magnet without files is asked its state: this one is ready.
  host.answer(tt::form(tt::status_url(), "id=12"), 200,
              tt::ok(R"({"magnets":[{"id":12,"filename":"F","statusCode":4}]})"));
  char *key = static_cast<char *>(std::malloc(tt::kKey.size() + 1));
  std::memcpy(key, tt::kKey.c_str(), tt::kKey.size() + 1);
  tavro_cfg cfg{key, nullptr, nullptr};
  tavro_sess sess{};
  tavro_sess_open(&sess, &io, &cfg);
  tavro::Buf out;
  char err[TAVRO_ERR_SIZE] = {};
  int rc = tavro_do_list_folder(&sess, 12, out.get(), err, sizeof err);
  tavro_cfg_free(&cfg);
  EXPECT_EQ(host.live(), 0u);
  return {rc, out.c_str(), err};
}

// What the listing must be: the tree reader's flat list, every entry written
// out piece by piece with the reference escapes.
std::string listing_of_reader(const std::string &files) {
  std::string body = files_answer(files);
  tavro_links list{};
  int has_entries = 0;
  char err[TAVRO_ERR_SIZE] = {};
  EXPECT_EQ(tavro_parse_files(body.data(), body.size(), &list, &has_entries, err, sizeof err),
            TAVRO_OK)
      << err;
  auto lit = [](const char *t) { return t ? tt::json_literal(t) : std::string("null"); };
  std::string out = "[";
  for (uint64_t i = 0; i < list.len; ++i) {
    const tavro_link &f = list.data[i];
    if (i) out += ',';
    out += "{\"name\":" + lit(f.path) + ",\"path\":" + lit(f.path) +
           ",\"folder\":false,\"size\":" + std::to_string(f.size) + ",\"locator\":" + lit(f.link) +
           ",\"id\":" + lit(f.path) + "}";
  }
  tavro_links_free(&list);
  return out + "]";
}

TEST(FileListing, ListsExactlyWhatTheTreeReaderFlattens) {
  const std::string long_name = "The.Long.Night.S01E02.\\\"Quoted\\\" and a \\t tab.1080p.x265.mkv";
  const struct {
    const char *why;
    std::string files;
  } rows[] = {
      {"nested folders", R"([{"n":"Show","e":[{"n":"E1.mkv","s":5,"l":"L1"},)"
                         R"({"n":"Sub","e":[{"n":"E2.mkv","l":"L2"}]}]},{"n":"notes.txt","s":9}])"},
      {"nameless and non-object nodes",
       R"(["str",5,null,[],{},{"s":3,"l":"x"},{"n":"D","e":["x",{}]}])"},
      {"empty and odd names",
       R"([{"n":"A","e":[{"n":"","e":[{"n":5,"l":"x"}]},{"n":"\u0000b"}]}])"},
      {"names and links that need escapes",
       R"([{"n":"AC\\DC \"Live\"","e":[{"n":"tab\tcr\rlf\n\u0001\u007f\u001f.mkv",)"
       R"("l":"https://h/f?a=\"b\"&c=\\"}]},{"n":"caf\u00e9 \u65e5\u672c.srt","l":""}])"},
      {"long names with escapes inside blocks", R"([{"n":")" + long_name + R"(","e":[{"n":")" +
                                                    long_name + long_name + R"(","l":")" +
                                                    long_name + R"("}]}])"},
      {"sizes", R"([{"n":"a","s":-4},{"n":"b","s":9007199254740993},)"
                R"({"n":"c","s":18446744073709551615},{"n":"d","s":1.5},{"n":"e","s":0}])"},
      {"first of duplicate keys", R"([{"n":"a","n":"b","l":"x","l":"y","s":1,"s":2}])"},
      {"no files", "[]"},
      {"only empty folders", R"([{"n":"A","e":[]},{"e":[{"e":[]}]}])"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.why);
    Listed l = list_files(row.files);
    EXPECT_EQ(l.rc, TAVRO_OK) << l.err;
    EXPECT_EQ(l.out, listing_of_reader(row.files));
  }
}

TEST(FileListing, HoldsAtMostTheEntryLimit) {
  std::string leaves;
  for (int i = 0; i < TAVRO_FILES_MAX; ++i)
    leaves += i ? R"(,{"n":"f","l":"x"})" : R"({"n":"f","l":"x"})";
  Listed at_limit = list_files("[" + leaves + "]");
  ASSERT_EQ(at_limit.rc, TAVRO_OK) << at_limit.err;
  EXPECT_EQ(at_limit.out, listing_of_reader("[" + leaves + "]"));
  Listed over = list_files(R"([{"n":"D","e":[)" + leaves + R"(]},{"l":"one too many"}])");
  EXPECT_EQ(over.rc, TAVRO_E_FAILED);
  EXPECT_EQ(over.err, "magnet tree larger than 65536 files");
}

#if defined(TAVRO_FAULT_INJECTION)
TEST(FileListing, ReportsExhaustedMemoryWhereverItStrikes) {
  // Deep, wide and with escapes: every allocation of the listing (the URL,
  // the answer's copy, the document, the walk's stack and path, the
  // lengths kept between the walks, the result) is made to fail in turn.
  std::string files;
  for (int i = 0; i < 12; ++i) files += R"({"n":"folder \"with\" a long name","e":[)";
  for (int i = 0; i < 300; ++i) files += (i ? "," : "") + std::string(R"({"n":"f","l":"x","s":1})");
  for (int i = 0; i < 12; ++i) files += "]}";
  files = "[" + files + "]";
  const std::string want = listing_of_reader(files);
  long failures = tt::fail_each([&] {
    Listed l = list_files(files);
    if (!tt::failure_reached()) {
      EXPECT_EQ(l.rc, TAVRO_OK) << l.err;
      EXPECT_EQ(l.out, want);
      return;
    }
    // The exchange's copy failing is a transport failure; yyjson running out
    // reads as an answer it could not parse; everything else is the
    // listing's own "out of memory".
    EXPECT_TRUE((l.rc == TAVRO_E_TRANSPORT && l.err == "out of memory") ||
                (l.rc == TAVRO_E_FAILED &&
                 (l.err == "out of memory" || l.err == "response is not a JSON object")))
        << l.rc << " " << l.err;
  });
  EXPECT_GT(failures, 5);
}
#endif

TEST(RootListing, IsStaticAndNeedsNoRequest) {
  tavro::Buf out;
  EXPECT_EQ(tavro_do_list_root(out.get()), TAVRO_OK);
  EXPECT_STREQ(out.c_str(), R"([{"name":"torrents","path":"torrents","folder":true,"size":-1},)"
                            R"({"name":"links","path":"links","folder":true,"size":-1},)"
                            R"({"name":"history","path":"history","folder":true,"size":-1}])");
}

} // namespace
