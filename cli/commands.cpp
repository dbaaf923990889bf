// SPDX-License-Identifier: MIT
// The table of commands.
#include "commands.h"

#include "add.h"
#include "demo.h"
#include "listing.h"
#include "utilities.h"
#include "validate.h"

namespace tavro_cli {
namespace {

const CommandSpec kCommands[] = {
    {"demo", "", "walk through every operation on a built-in demo account",
     "Selects the library's fake transport, fills it with a demo account (no network,\n"
     "no account needed), allows writes and runs each operation in turn: validate,\n"
     "the three listings, a stream URL, four kinds of add and two failures. Each step\n"
     "runs the same as `tavro --fake cli/demo.json COMMAND`.\n",
     0, 0, kAlways | kJson, run_demo},
    {"validate", "", "check the account with one request",
     "On a terminal says whether the account works, its client name and, as the\n"
     "service tells, the user name and whether it is premium. Otherwise (or with\n"
     "--json) prints {\"ClientId\":...,\"RuntimeType\":\"ALLDEBRID\",\"ID\":...}.\n",
     0, 0, kAlways | kJson | kAccount, run_validate},
    {"ls", "[FOLDER]", "list the root, \"torrents\", or one magnet's files (\"m<id>\")",
     "FOLDER is torrents (the account's magnets), m<id> (the files of one magnet),\n"
     "or m<id>/PATH (the files of the magnet under PATH); without it, the root.\n"
     "On a terminal the listing is a table whose PATH column `tavro stream` takes\n"
     "as printed; otherwise (or with --json) it is the library's JSON array.\n",
     0, 1, kAlways | kJson | kAccount, run_ls},
    {"stream", "WHAT", "resolve a listed file into a direct URL",
     "WHAT is any of:\n"
     "  a file's service link           https://...\n"
     "  a listing entry                 a JSON object, as `tavro ls --json` prints it\n"
     "  a path as `tavro ls` shows it   m101/Show/Season 1/Show.S01E01.mkv\n"
     "  a magnet, or a folder in it     m101, m101/Show: the file a download would\n"
     "                                  pick (the largest, or with --season N\n"
     "                                  --episode N that episode)\n"
     "  -                               any of these (or a listing) on standard input\n"
     "A path left unquoted is taken whole: its words are joined with single blanks.\n"
     "On a terminal prints the file's name, size and URL; otherwise (or with --json)\n"
     "{\"url\":...,\"name\":...,\"size\":...}; with --url the URL alone:\n"
     "  mpv \"$(tavro stream --url m101 --season 1 --episode 2)\"\n",
     1, -1, kAlways | kJson | kAccount | kUrl | kSeason | kEpisode, run_stream},
    {"add", "LINK", "add a magnet, a link answering with one, a torrent link or file",
     "LINK is a magnet link, a web link (answering with a magnet or a torrent\n"
     "file), or a local torrent file (a path, or a file:// URL), uploaded whole.\n"
     "Changes the account, so it is refused unless --allow-writes is given.\n"
     "When the service holds the content already, the result carries a direct\n"
     "URL (InstantURL) for the largest file, or with --full-season --season N\n"
     "--episode N for that episode; --url prints only that URL.\n"
     "Exit status 1 when add did less than asked: with --keep-instant-only the\n"
     "service did not hold it (deleted again); the pack holds no such episode; or\n"
     "with --url there is no direct URL yet.\n",
     1, 1,
     kAlways | kJson | kAccount | kUrl | kAllowWrites | kSeason | kEpisode | kFullSeason |
         kKeepInstantOnly,
     run_add},
    {"episode", "NAME...", "recognise the season and episode in file names",
     "Exit status 0 when every NAME yields a pair, 1 otherwise.\n", 1, -1, kAlways | kJson,
     run_episode},
    {"magnet", "TEXT", "tell whether TEXT is a magnet link the service takes",
     "Exit status 0 for a magnet link, 1 otherwise.\n", 1, 1, kAlways | kJson, run_magnet},
    {"torrent", "FILE", "tell whether FILE (- for standard input) is a torrent file",
     "Exit status 0 for a torrent file, 1 otherwise.\n", 1, 1, kAlways | kJson, run_torrent},
    {"redact", "[TEXT...]", "print TEXT with URL user-info and apikey values removed",
     "Without TEXT, redacts standard input line by line. Each result is cut to\n"
     "2047 characters.\n",
     0, -1, kAlways, run_redact},
};

} // namespace

std::span<const CommandSpec> commands() {
  return kCommands;
}

} // namespace tavro_cli
