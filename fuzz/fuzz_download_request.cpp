// SPDX-License-Identifier: MIT
// The download request parser, compared field by field with a walk of the
// parsed request.
#include "fuzz_support.h"
#include "tavro_input.h"
#include "tavro_service.h"

namespace {

int32_t low32(yyjson_val *v) {
  if (yyjson_is_uint(v)) return (int32_t)(uint32_t)yyjson_get_uint(v);
  if (yyjson_is_sint(v)) return (int32_t)(uint32_t)(uint64_t)yyjson_get_sint(v);
  return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string request = fz::text(data, size).c_str();
  tavro_dlcfg cfg{};
  char err[TAVRO_ERR_SIZE] = {};
  int rc = tavro_dlcfg_parse(request.c_str(), &cfg, err, sizeof err);

  fz::Json j(request.c_str(), request.size());
  yyjson_val *root = j.root();
  if (!yyjson_is_obj(root)) {
    FUZZ_CHECK(rc == TAVRO_E_ARG && std::strcmp(err, "config is not a JSON object") == 0,
               "code %d, %s", rc, err);
    FUZZ_CHECK(!cfg.link && !cfg.full_season && !cfg.season && !cfg.episode &&
                   !cfg.keep_instant_only,
               "record not zeroed");
    tavro_dlcfg_free(&cfg);
    return 0;
  }
  const char *link = fz::c_text(fz::first_member(root, "Link"));
  size_t link_len = link ? std::strlen(link) : 0;
  if (link_len == 0) {
    FUZZ_CHECK(rc == TAVRO_E_ARG && std::strcmp(err, "config has no Link") == 0, "code %d, %s", rc,
               err);
  } else if (link_len > TAVRO_LINK_MAX) {
    FUZZ_CHECK(rc == TAVRO_E_ARG && std::strcmp(err, "Link longer than 3 KiB") == 0, "code %d, %s",
               rc, err);
    FUZZ_CHECK(!cfg.link && !cfg.season && !cfg.episode, "record not zeroed");
  } else {
    FUZZ_CHECK(rc == TAVRO_OK, "code %d, %s", rc, err);
    FUZZ_CHECK(cfg.link && std::strcmp(cfg.link, link) == 0, "link %s",
               cfg.link ? cfg.link : "(null)");
  }
  if (rc == TAVRO_OK || link_len == 0) {
    FUZZ_CHECK(cfg.full_season == (int)yyjson_is_true(fz::first_member(root, "FullSeason")),
               "FullSeason");
    FUZZ_CHECK(cfg.keep_instant_only ==
                   (int)yyjson_is_true(fz::first_member(root, "KeepInstantOnly")),
               "KeepInstantOnly");
    FUZZ_CHECK(cfg.season == low32(fz::first_member(root, "Season")), "Season %d", cfg.season);
    FUZZ_CHECK(cfg.episode == low32(fz::first_member(root, "Episode")), "Episode %d", cfg.episode);
  }
  tavro_dlcfg_free(&cfg);
  return 0;
}
