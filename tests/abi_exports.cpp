// SPDX-License-Identifier: MIT
// The library as a host sees it: the export table, the constants, the frame
// of every operation (buffer rules, per-thread copies, the error document),
// the transport selection and the writes switch.
#include "abi_loader.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

const TavroApi &T = tavro_api();

// ---- The export table -------------------------------------------------------

std::set<std::string> export_names() {
  std::set<std::string> names;
#define TAVRO_NAME(name) names.insert(#name);
  TAVRO_EXPORT_NAMES(TAVRO_NAME)
#undef TAVRO_NAME
  return names;
}

#if !defined(_WIN32)
TEST(Exports, DynamicSymbolTableHoldsExactlyTheExports) {
  std::string cmd = std::string(TAVRO_NM) + " -D --defined-only " + TAVRO_LIB_PATH;
  FILE *p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::set<std::string> names;
  char line[1024];
  while (std::fgets(line, sizeof line, p)) {
    char addr[64], type[8], name[512];
    if (std::sscanf(line, "%63s %7s %511s", addr, type, name) != 3) continue;
    std::string n = name, t = type;
    if (t != "T" && t != "W" && t != "D" && t != "B" && t != "R" && t != "V" && t != "i") continue;
    // Sanitizer builds add the runtime's own hooks; they are not the library's.
    if (n.rfind("__asan", 0) == 0 || n.rfind("__ubsan", 0) == 0 || n.rfind("__tsan", 0) == 0 ||
        n.rfind("__odr_asan", 0) == 0 || n.rfind("__sanitizer", 0) == 0)
      continue;
    names.insert(n.substr(0, n.find('@')));
  }
  ASSERT_EQ(pclose(p), 0) << cmd;
  std::set<std::string> want = export_names();
  EXPECT_EQ(want.size(), 30u);
  EXPECT_EQ(names, want);
}
#else
// The DLL's export directory as the Windows loader reads it.
TEST(Exports, ExportDirectoryHoldsExactlyTheExports) {
  const auto *base = static_cast<const unsigned char *>(T.handle);
  const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
  ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
  const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
  ASSERT_EQ(nt->Signature, IMAGE_NT_SIGNATURE);
  const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(dir.VirtualAddress, 0u);
  const auto *exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(base + dir.VirtualAddress);
  const auto *name_rvas = reinterpret_cast<const DWORD *>(base + exports->AddressOfNames);
  std::set<std::string> names;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i)
    names.insert(reinterpret_cast<const char *>(base + name_rvas[i]));
  std::set<std::string> want = export_names();
  EXPECT_EQ(want.size(), 30u);
  EXPECT_EQ(names, want);
  EXPECT_EQ(exports->NumberOfFunctions, exports->NumberOfNames)
      << "nothing exported by ordinal only";
  EXPECT_STREQ(reinterpret_cast<const char *>(base + exports->Name), "tavro.dll");
}
#endif

// One version: the header's numbers, its string, what the loaded library
// answers and the project version the build was configured with.
TEST(Exports, VersionAgreesEverywhere) {
  std::string from_numbers = std::to_string(TAVRO_VERSION_MAJOR) + "." +
                             std::to_string(TAVRO_VERSION_MINOR) + "." +
                             std::to_string(TAVRO_VERSION_PATCH);
  EXPECT_EQ(from_numbers, TAVRO_VERSION_STRING);
  EXPECT_STREQ(TAVRO_VERSION_STRING, TAVRO_PROJECT_VERSION);
  EXPECT_STREQ(T.tavro_version(), TAVRO_VERSION_STRING);
}

// The result-code table: every code once, from 0 down to -9 in order, with
// a meaning.
TEST(Exports, ResultCodeTableListsEveryCodeInOrder) {
  struct Row {
    int value;
    std::string name, meaning;
  };
  const std::vector<Row> rows = {
#define ROW(value, name, meaning) {name, #name, meaning},
      TAVRO_RESULT_CODES(ROW)
#undef ROW
  };
  ASSERT_EQ(rows.size(), 10u);
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].value, -static_cast<int>(i)) << rows[i].name;
    EXPECT_EQ(rows[i].name.rfind(i ? "TAVRO_E_" : "TAVRO_OK", 0), 0u) << rows[i].name;
    EXPECT_FALSE(rows[i].meaning.empty()) << rows[i].name;
  }
}

TEST(Exports, ConstantsAndHandlerRecord) {
  EXPECT_STREQ(T.tavro_version(), TAVRO_VERSION_STRING);
  EXPECT_STREQ(T.tavro_runtime_type(), "ALLDEBRID");
  EXPECT_EQ(T.tavro_caps(), 47);
  EXPECT_STREQ(T.tavro_base_url(), "https://api.alldebrid.com/v4");
  const tavro_handler *h = T.halvo_get();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h, T.halvo_get());
  EXPECT_STREQ(h->runtime_type, "ALLDEBRID");
  EXPECT_EQ(h->caps, 47);
  EXPECT_TRUE(h->validate && h->list && h->stream_url && h->download);
}

// ---- Fixture: a clean process-wide state for every test ---------------------

class Abi : public ::testing::Test {
protected:
  tt::Host host;
  tavro_io io = host.table();
  std::array<char, 65536> out{};

  void SetUp() override {
    T.tavro_set_io(nullptr);
    T.tavro_allow_writes(0);
    T.tavro_fake_reset();
  }
  void TearDown() override {
    T.tavro_set_io(nullptr);
    T.tavro_allow_writes(0);
    T.tavro_fake_reset();
    EXPECT_EQ(host.live(), 0u) << "every string the transport handed back is released";
    EXPECT_EQ(host.bad_releases(), 0);
    EXPECT_EQ(host.handed(), host.released());
  }
  int list(const char *folder, const std::string &settings = tt::kSettings) {
    return T.tavro_list(settings.c_str(), folder, out.data(), (int32_t)out.size());
  }
  std::string got() const { return out.data(); }
};

const char *kRoot = R"([{"name":"torrents","path":"torrents","folder":true,"size":-1},)"
                    R"({"name":"links","path":"links","folder":true,"size":-1},)"
                    R"({"name":"history","path":"history","folder":true,"size":-1}])";

TEST_F(Abi, NoTransportUntilOneIsSelected) {
  EXPECT_EQ(list(nullptr), TAVRO_E_TRANSPORT);
  EXPECT_EQ(got(), R"({"error":"no transport"})");
  EXPECT_STREQ(T.tavro_last_error(), "no transport");
  EXPECT_STREQ(T.tavro_result_json(), "");
  // Bad settings are reported before the missing transport.
  EXPECT_EQ(list(nullptr, "{}"), TAVRO_E_ARG);
  EXPECT_EQ(got(), R"({"error":"APIKey is empty"})");
}

TEST_F(Abi, RootListingNeedsSettingsAndTransportButNoRequest) {
  ASSERT_EQ(T.tavro_set_io(&io), 0);
  for (const char *folder : {(const char *)nullptr, ""}) {
    EXPECT_EQ(list(folder), TAVRO_OK);
    EXPECT_EQ(got(), kRoot);
    EXPECT_STREQ(T.tavro_result_json(), kRoot);
    EXPECT_STREQ(T.tavro_last_error(), "");
  }
  EXPECT_EQ(host.calls().size(), 0u);
  EXPECT_EQ(list(nullptr, "not json"), TAVRO_E_ARG);
  EXPECT_EQ(got(), R"({"error":"settings are not a JSON object"})");
}

TEST_F(Abi, UnknownFoldersAreNotFound) {
  ASSERT_EQ(T.tavro_set_io(&io), 0);
  for (const char *folder : {"Torrents", "torrents/", "m", "mx", "/m1", "m-1", "M1", "x"}) {
    EXPECT_EQ(list(folder), TAVRO_E_NOT_FOUND) << folder;
    EXPECT_EQ(got(), std::string(R"({"error":"no such folder: )") + folder + "\"}") << folder;
  }
  EXPECT_EQ(host.calls().size(), 0u);
}

TEST_F(Abi, FolderIdsAreReadAsFarAsTheDigitsGo) {
  ASSERT_EQ(T.tavro_set_io(&io), 0);
  struct Row {
    const char *folder, *id;
  } rows[] = {{"m12abc", "12"},
              {"m0", "0"},
              {"m007", "7"},
              {"m99999999999999999999", "9223372036854775807"}};
  for (auto &r : rows) {
    tt::Call files = tt::form(tt::api("/magnet/files"), std::string("id[]=") + r.id);
    tt::Call state = tt::form(tt::status_url(), std::string("id=") + r.id);
    host.answer(files, 200, tt::ok(R"({"magnets":[]})"));
    host.answer(state, 200,
                tt::ok(R"({"magnets":[{"id":)" + std::string(r.id) + R"(,"statusCode":4}]})"));
    size_t before = host.calls().size();
    EXPECT_EQ(list(r.folder), TAVRO_OK) << r.folder;
    EXPECT_EQ(got(), "[]") << r.folder;
    auto calls = host.calls();
    EXPECT_EQ(std::vector<tt::Call>(calls.begin() + (long)before, calls.end()),
              (std::vector<tt::Call>{files, state}))
        << r.folder;
  }
}

// ---- Buffers and per-thread copies ------------------------------------------

TEST_F(Abi, BufferRulesForSuccess) {
  ASSERT_EQ(T.tavro_set_io(&io), 0);
  const int32_t len = (int32_t)std::string(kRoot).size();
  const char *s = tt::kSettings.c_str();

  // Exactly the result's length: one byte short.
  out.fill('X');
  EXPECT_EQ(T.tavro_list(s, nullptr, out.data(), len), TAVRO_E_BUFFER);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(out[1], 'X');
  EXPECT_STREQ(T.tavro_result_json(), kRoot);
  EXPECT_STREQ(T.tavro_last_error(), "output buffer too small");

  EXPECT_EQ(T.tavro_list(s, nullptr, out.data(), len + 1), TAVRO_OK);
  EXPECT_EQ(got(), kRoot);

  // No buffer: the export succeeds and the result waits in the copy.
  for (int32_t bad_len : {0, -1}) {
    out.fill('X');
    EXPECT_EQ(T.tavro_list(s, nullptr, out.data(), bad_len), TAVRO_OK);
    EXPECT_EQ(out[0], 'X') << "untouched";
    EXPECT_STREQ(T.tavro_result_json(), kRoot);
    EXPECT_STREQ(T.tavro_last_error(), "");
  }
  EXPECT_EQ(T.tavro_list(s, nullptr, nullptr, 100), TAVRO_OK);
  EXPECT_STREQ(T.tavro_result_json(), kRoot);

  // The handler record makes no such conversion.
  EXPECT_EQ(T.halvo_get()->list(&io, s, nullptr, nullptr, 0), TAVRO_E_BUFFER);
  EXPECT_STREQ(T.tavro_result_json(), kRoot);
  EXPECT_STREQ(T.tavro_last_error(), "output buffer too small");
}

TEST_F(Abi, LargeResultsReachTheCopyWholeAndStayValidThroughTheNextCall) {
  ASSERT_EQ(T.tavro_set_io(&io), 0);
  std::string files;
  for (int i = 0; i < 3000; ++i)
    files += (i ? "," : "") + std::string(R"({"n":"Season 01/Episode )") + std::to_string(i) +
             R"(.mkv","s":)" + std::to_string(1000 + i) + R"(,"l":"https://h/f/)" +
             std::to_string(i) + "\"}";
  host.answer(tt::form(tt::api("/magnet/files"), "id[]=7"), 200,
              tt::ok(R"({"magnets":[{"id":7,"files":[)" + files + "]}]}"));
  const char *s = tt::kSettings.c_str();
  std::vector<char> big(1 << 20);
  ASSERT_EQ(T.tavro_list(s, "m7", big.data(), (int32_t)big.size()), TAVRO_OK);
  const std::string result = big.data();
  EXPECT_GT(result.size(), 100000u);
  EXPECT_EQ(T.tavro_result_json(), result);
  EXPECT_EQ(T.tavro_list(s, "m7", big.data(), 100), TAVRO_E_BUFFER);
  EXPECT_EQ(big[0], '\0');
  EXPECT_EQ(T.tavro_result_json(), result) << "the whole result, not the part that would fit";
  EXPECT_EQ(T.tavro_list(s, "m7", nullptr, 0), TAVRO_OK);
  EXPECT_EQ(T.tavro_result_json(), result);
  // The copy may be the next call's argument: it stays valid until that
  // call ends.
  EXPECT_EQ(T.tavro_list(s, T.tavro_result_json(), big.data(), (int32_t)big.size()),
            TAVRO_E_NOT_FOUND);
  EXPECT_EQ(T.tavro_last_error(), ("no such folder: " + result).substr(0, 767));
  EXPECT_STREQ(T.tavro_result_json(), "");
}

TEST_F(Abi, BufferRulesForFailure) {
  ASSERT_EQ(T.tavro_set_io(&io), 0);
  const char *s = tt::kSettings.c_str();
  std::string doc = R"({"error":"no such folder: zz"})";
  out.fill('X');
  EXPECT_EQ(T.tavro_list(s, "zz", out.data(), (int32_t)doc.size()), TAVRO_E_NOT_FOUND);
  EXPECT_EQ(out[0], '\0');
  EXPECT_STREQ(T.tavro_last_error(), "no such folder: zz");
  EXPECT_STREQ(T.tavro_result_json(), "");
  EXPECT_EQ(T.tavro_list(s, "zz", out.data(), (int32_t)doc.size() + 1), TAVRO_E_NOT_FOUND);
  EXPECT_EQ(got(), doc);
  out.fill('X');
  EXPECT_EQ(T.tavro_list(s, "zz", nullptr, 0), TAVRO_E_NOT_FOUND);
  EXPECT_EQ(T.tavro_list(s, "zz", out.data(), 0), TAVRO_E_NOT_FOUND);
  EXPECT_EQ(out[0], 'X');
  EXPECT_STREQ(T.tavro_last_error(), "no such folder: zz");
  EXPECT_STREQ(T.tavro_result_json(), "");
}

TEST_F(Abi, ErrorMessagesAreEscapedAndMaskTheKey) {
  ASSERT_EQ(T.tavro_set_io(&io), 0);
  std::string settings = R"({"APIKey":"SeCrEt99"})";
  EXPECT_EQ(list("say \"SeCrEt99\"\\\n", settings), TAVRO_E_NOT_FOUND);
  EXPECT_EQ(got(), R"({"error":"no such folder: say \"********\"\\\n"})");
  EXPECT_STREQ(T.tavro_last_error(), "no such folder: say \"********\"\\\n");
  // A three-character key is not masked.
  EXPECT_EQ(list("abc", R"({"APIKey":"abc"})"), TAVRO_E_NOT_FOUND);
  EXPECT_STREQ(T.tavro_last_error(), "no such folder: abc");
}

TEST_F(Abi, CopiesArePerThread) {
  ASSERT_EQ(T.tavro_set_io(&io), 0);
  EXPECT_EQ(list(nullptr), TAVRO_OK);
  std::string other_result = "unset", other_error = "unset";
  std::thread th([&] {
    other_result = T.tavro_result_json();
    other_error = T.tavro_last_error();
    T.tavro_list(tt::kSettings.c_str(), "nope", nullptr, 0);
  });
  th.join();
  EXPECT_EQ(other_result, "");
  EXPECT_EQ(other_error, "");
  EXPECT_STREQ(T.tavro_result_json(), kRoot);
  EXPECT_STREQ(T.tavro_last_error(), "");
}

// ---- Transport selection and writes -------------------------------------------

TEST_F(Abi, TransportSelection) {
  tavro_io no_post = io;
  no_post.post = nullptr;
  tavro_io no_get = io;
  no_get.get = nullptr;
  EXPECT_EQ(T.tavro_set_io(&no_post), TAVRO_E_ARG);
  EXPECT_EQ(T.tavro_set_io(&no_get), TAVRO_E_ARG);
  EXPECT_EQ(list(nullptr), TAVRO_E_TRANSPORT) << "selection unchanged";

  {
    // The table is copied: the host's own may go away.
    tavro_io copy = io;
    ASSERT_EQ(T.tavro_set_io(&copy), 0);
    copy = tavro_io{};
  }
  EXPECT_EQ(list(nullptr), TAVRO_OK);
  EXPECT_EQ(T.tavro_set_io(&no_post), TAVRO_E_ARG);
  EXPECT_EQ(list(nullptr), TAVRO_OK) << "selection unchanged";
  EXPECT_EQ(T.tavro_use_curl(), TAVRO_E_UNAVAILABLE);
  EXPECT_EQ(list(nullptr), TAVRO_OK) << "selection unchanged";
  EXPECT_EQ(T.tavro_use_fake(), 0);
  EXPECT_EQ(list("torrents"), TAVRO_E_NOT_FOUND) << "the fake answers unknown requests 404";
  EXPECT_EQ(T.tavro_fake_calls(nullptr, nullptr), 1);
  EXPECT_EQ(T.tavro_set_io(nullptr), 0);
  EXPECT_EQ(list(nullptr), TAVRO_E_TRANSPORT);
}

TEST_F(Abi, DownloadNeedsWritesAllowed) {
  ASSERT_EQ(T.tavro_set_io(&io), 0);
  const char *writes_off =
      "download() adds transfers to the account; call tavro_allow_writes(1) first";
  for (const char *req : {"not json", R"({"Link":"magnet:?xt=urn:btih:x"})"}) {
    EXPECT_EQ(T.tavro_download(tt::kSettings.c_str(), req, out.data(), (int32_t)out.size()),
              TAVRO_E_WRITES_OFF);
    EXPECT_EQ(got(), std::string(R"({"error":")") + writes_off + "\"}");
  }
  EXPECT_EQ(host.calls().size(), 0u);
  EXPECT_EQ(T.tavro_allow_writes(7), 0);
  EXPECT_EQ(T.tavro_download(tt::kSettings.c_str(), "not json", out.data(), (int32_t)out.size()),
            TAVRO_E_ARG);
  EXPECT_EQ(got(), R"({"error":"config is not a JSON object"})");
  EXPECT_EQ(T.tavro_allow_writes(0), 0);
  EXPECT_EQ(T.tavro_download(tt::kSettings.c_str(), "not json", out.data(), (int32_t)out.size()),
            TAVRO_E_WRITES_OFF);
}

// ---- Utilities ----------------------------------------------------------------

TEST(Utilities, RedactUsesAPerThreadBufferCutTo2047) {
  EXPECT_STREQ(T.tavro_redact("https://u:p@h/?apikey=K"), "https://h/?apikey=***");
  EXPECT_STREQ(T.tavro_redact(nullptr), "");
  std::string long_text = "h?apikey=K&" + std::string(3000, 'z');
  std::string r = T.tavro_redact(long_text.c_str());
  EXPECT_EQ(r.size(), 2047u);
  EXPECT_EQ(r.substr(0, 13), "h?apikey=***&");
}

TEST(Utilities, SeasonEpisodeWritesOnlyGivenOutputs) {
  int s = -7, e = -7;
  EXPECT_EQ(T.tavro_parse_season_episode("Show.S01E02.mkv", &s, &e), 1);
  EXPECT_EQ(s, 1);
  EXPECT_EQ(e, 2);
  EXPECT_EQ(T.tavro_parse_season_episode("Show.S03E04.mkv", nullptr, nullptr), 1);
  EXPECT_EQ(T.tavro_parse_season_episode("Show.S05E06.mkv", nullptr, &e), 1);
  EXPECT_EQ(e, 6);
  s = e = -7;
  EXPECT_EQ(T.tavro_parse_season_episode("Title.2019.mkv", &s, &e), 0);
  EXPECT_EQ(T.tavro_parse_season_episode(nullptr, &s, &e), 0);
  EXPECT_EQ(s, -7);
  EXPECT_EQ(e, -7);
}

TEST(Utilities, MagnetAndTorrentRecognition) {
  std::string h40 = "0123456789abcdef0123456789ABCDEF01234567";
  EXPECT_EQ(T.tavro_is_magnet_link(("magnet:?xt=urn:btih:" + h40).c_str()), 1);
  EXPECT_EQ(T.tavro_is_magnet_link(nullptr), 0);
  EXPECT_EQ(T.tavro_is_torrent_file("d8:announce4:infoe", 18), 1);
  EXPECT_EQ(T.tavro_is_torrent_file("d8:announce4:infoe", 16), 0);
  EXPECT_EQ(T.tavro_is_torrent_file(nullptr, 100), 0);
}

} // namespace
