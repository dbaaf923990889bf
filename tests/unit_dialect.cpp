// The download request parser, the magnet link test and the request URLs.
#include "support.h"
#include "tavro_dialect.h"
#include "tavro_handler.h"

#include <gtest/gtest.h>

#include <string>

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
    char err[768] = {};
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
  char err[768];
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

TEST(RootListing, IsStaticAndNeedsNoRequest) {
  tavro::Buf out;
  EXPECT_EQ(tavro_do_list_root(out.get()), TAVRO_OK);
  EXPECT_STREQ(out.c_str(), R"([{"name":"torrents","path":"torrents","folder":true,"size":-1}])");
}

} // namespace
