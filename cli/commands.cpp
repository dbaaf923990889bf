// SPDX-License-Identifier: MIT
// The table of commands.
#include "commands.h"

#include "add.h"
#include "demo.h"
#include "listing.h"
#include "magnets.h"
#include "signin.h"
#include "utilities.h"
#include "validate.h"

namespace tavro_cli {
namespace {

const CommandRow kCommands[] = {
    {"demo", "", "walk through every operation on a built-in demo account",
     "Selects the library's fake transport, fills it with a demo account (no network,\n"
     "no account needed), allows writes and runs each operation in turn: validate,\n"
     "the three listings, a stream URL, four kinds of add, the saved links, a video\n"
     "of several qualities, a link the service takes time to prepare (ready on the\n"
     "second poll, 5 seconds later) and two failures. Each step runs the same as\n"
     "`tavro --fake cli/demo.json COMMAND`.\n",
     0, 0, kAlways | kJson, run_demo},
    {"login", "", "sign in with a PIN and store the key in the settings file",
     "Shows a PIN and the page to enter it on (on a terminal in large type, with a\n"
     "QR code of the page unless --no-qr, and a line counting down the PIN's life),\n"
     "then asks the service every 5 seconds whether it was entered. Off a terminal\n"
     "prints the PIN and the page's URL, one per line (with --json the library's\n"
     "start result), and its progress on standard error. Once the PIN is entered\n"
     "the key is stored in the settings file (--settings FILE, else the default\n"
     "one): its other members are kept, the file is replaced atomically and made\n"
     "readable by you only; then the key is checked. A file that is not a JSON\n"
     "object is refused before anything is asked. Exit status 3 when the PIN\n"
     "expired, 130 when interrupted (nothing is written).\n",
     0, 0,
     kAlways | kJson | kSettings | kFake | kApiRoot | kTimeout | kConnectTimeout | kVerbose |
         kMaxBody | kNoQr,
     run_login},
    {"logout", "", "remove the key from the settings file",
     "Removes APIKey (and ClientSecret) from the settings file (--settings FILE,\n"
     "else the default one) and keeps the rest. Exit status 0 when no key was there.\n",
     0, 0, kAlways | kSettings, run_logout},
    {"approve", "", "wait for the approval of a key the service blocked from a new place",
     "The service blocks a key used from a new place (AUTH_BLOCKED) and e-mails the\n"
     "account a link to approve it. approve checks the account and, when it is\n"
     "blocked, asks every 5 seconds whether the sign-in was approved; a key the\n"
     "service hands out then is stored in the settings file. --resend asks once for\n"
     "the e-mail again. Exit status 0 when approved or nothing is blocked, 3 when\n"
     "the sign-in was denied or the approval expired.\n",
     0, 0, kAlways | kAccount | kResend, run_approve},
    {"validate", "", "check the account with one request",
     "On a terminal says whether the account works, its client name and, as the\n"
     "service tells, the user name and whether it is premium. Otherwise (or with\n"
     "--json) prints {\"ClientId\":...,\"RuntimeType\":\"ALLDEBRID\",\"ID\":...}.\n",
     0, 0, kAlways | kJson | kAccount, run_validate},
    {"ls", "[FOLDER]",
     "list the root, \"torrents\", one magnet's files (\"m<id>\"), \"links\" or \"history\"",
     "FOLDER is torrents (the account's magnets), m<id> (the files of one magnet),\n"
     "m<id>/PATH (the files of the magnet under PATH), links (the links the account\n"
     "saved) or history (the links it unlocked lately, when the account keeps a\n"
     "history: the service keeps it for 3 days; links show their host and the date\n"
     "they were saved); without it, the root,\n"
     "which needs no account. The magnets' table shows each one's STATE (ready,\n"
     "43% 18.9 MB/s, queued, failed: no peer, ...); --state ready|processing|error\n"
     "keeps only those. A magnet that is not ready yet lists no files: ls says so\n"
     "(exit status 4, or 7 when it failed); tavro wait m<id> follows it; folder\n"
     "torrents/m<id> lists its state alone. On a terminal (or with --table) the listing is a\n"
     "table: NAME (a file's own name), SIZE, KIND and PATH; otherwise (or with\n"
     "--json) it is the library's JSON array.\n"
     "\n"
     "What PATH shows is what `tavro stream` and `tavro ls` take back, as one\n"
     "argument, for the same file or folder:\n"
     "  - Characters a terminal would act on are escaped, and the escapes are read\n"
     "    back: \\t \\n \\r \\e, \\xHH (a control character, or a byte that is not\n"
     "    UTF-8), \\uHHHH (a C1 or bidirectional control, or a separator), \\\\\n"
     "    (a backslash) and \\x20 (a blank at either end). A path without escapes,\n"
     "    or one whose escapes name no file, is also taken as it is; and one pasted\n"
     "    without quotes (the shell drops its backslashes) when it names one file.\n"
     "  - A path is never cut. When the terminal is too narrow, NAME is cut first\n"
     "    (a file listing then leaves it out: its paths end with the names), and a\n"
     "    path that still does not fit is printed whole on the line below its row,\n"
     "    whose PATH shows \u2193.\n"
     "  - In the JSON, an entry's \"path\", \"id\" or \"name\" is taken after the\n"
     "    magnet it came from: tavro stream m101 'Show/Season 1/Show.S01E01.mkv';\n"
     "    so is the whole entry: tavro stream '{...}'.\n",
     0, -1, kAlways | kJson | kAccount | kState, run_ls},
    {"stream", "WHAT", "resolve a listed file into a direct URL",
     "WHAT is any of:\n"
     "  a file's service link           https://...\n"
     "  a listing entry                 a JSON object, as `tavro ls --json` prints it\n"
     "  a path as `tavro ls` prints it  m101/Show/Season 1/Show.S01E01.mkv,\n"
     "                                  links/NAME, history/NAME (the rules:\n"
     "                                  tavro ls --help)\n"
     "  a magnet and a path of its JSON m101 'Show/Season 1/Show.S01E01.mkv'\n"
     "  a magnet, or a folder in it     m101, m101/Show: the file a download would\n"
     "                                  pick (the largest, or with --season N\n"
     "                                  --episode M that episode)\n"
     "  -                               any of these (or a listing) on standard input\n"
     "A path left unquoted is taken whole: its words are joined with single blanks.\n"
     "A video of several qualities plays its highest, or with --quality N the\n"
     "highest at most N; the result then says the quality. A link the service takes\n"
     "time to prepare is waited for, at most --wait-link SECONDS (default 60); on a\n"
     "terminal a line on standard error counts down the service's estimate.\n"
     "A link is at most 3 KiB, as add's. On a terminal (or with --table) prints the\n"
     "file's name, size and URL; otherwise (or with --json)\n"
     "{\"url\":...,\"name\":...,\"size\":...}; with --url the URL alone:\n"
     "  mpv \"$(tavro stream --url m101 --season 1 --episode 2)\"\n",
     1, -1, kAlways | kJson | kAccount | kUrl | kSeason | kEpisode | kQuality | kWaitLink,
     run_stream},
    {"add", "LINK", "add a magnet, a link answering with one, a torrent link or file",
     "LINK is a magnet link, a web link (answering with a magnet or a torrent\n"
     "file), or a local torrent file (a path, or a file:// URL), uploaded whole.\n"
     "A link is at most 3 KiB. Changes the account, so it is refused unless\n"
     "--allow-writes is given. When the service holds the content already, the\n"
     "result carries a direct URL (InstantURL) for the largest file, or with\n"
     "--season N --episode M for that episode (as stream picks it); --url prints\n"
     "only that URL. --full-season adds a season pack whole.\n"
     "With --wait, a magnet the service is still fetching is followed as tavro\n"
     "wait follows it, and its direct URL printed once it is ready.\n"
     "Exit status 1 when add did less than asked: with --keep-instant-only the\n"
     "service did not hold it (deleted again); the pack holds no such episode; or\n"
     "with --url there is no direct URL yet.\n",
     1, 1,
     kAlways | kJson | kAccount | kUrl | kAllowWrites | kSeason | kEpisode | kFullSeason |
         kKeepInstantOnly | kWait | kTimeoutWait,
     run_add},
    {"wait", "m<id>", "follow a magnet until the service has it ready",
     "Asks the magnet's state every 5 seconds (tavro ls torrents/m<id>): on a\n"
     "terminal a progress bar on standard error (share done, speed, time left),\n"
     "otherwise one line there each time the state changes. Once it is ready,\n"
     "prints what add prints for a magnet the service holds: the direct URL of\n"
     "its largest file, or with --season N --episode N of that episode (--url:\n"
     "the URL alone). A magnet that failed is exit status 7, with the service's\n"
     "words; --timeout-wait DURATION gives up (exit status 5); Ctrl-C stops\n"
     "waiting (exit status 130). The magnet stays in the account either way.\n",
     1, 1, kAlways | kJson | kAccount | kUrl | kSeason | kEpisode | kTimeoutWait, run_wait},
    {"rm", "m<id>|LINK", "remove a magnet, or a saved link, from the account",
     "m<id> is a magnet as `tavro ls torrents` lists it; a link (http:// or\n"
     "https://) is one of the saved links (`tavro ls links`). Changes the account,\n"
     "so it is refused unless --allow-writes is given.\n",
     1, 1, kAlways | kJson | kAccount | kAllowWrites, run_rm},
    {"save", "LINK...", "save links in the account for later",
     "Each LINK (a hoster or a drive link, at most 3 KiB) joins the saved links\n"
     "(`tavro ls links`); a link holding # or & travels percent-encoded. Every link\n"
     "is checked before the first is sent. Changes the account, so it is refused\n"
     "unless --allow-writes is given.\n",
     1, -1, kAlways | kJson | kAccount | kAllowWrites, run_save},
    {"restart", "m<id>", "restart a magnet that failed",
     "The service restarts only magnets that failed (MAGNET_PROCESSING for one that\n"
     "is processing or ready, exit status 7). Changes the account, so it is refused\n"
     "unless --allow-writes is given.\n",
     1, 1, kAlways | kJson | kAccount | kAllowWrites, run_restart},
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

std::span<const CommandRow> commands() {
  return kCommands;
}

} // namespace tavro_cli
