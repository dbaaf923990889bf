# SPDX-License-Identifier: MIT
"""End-to-end tests of the tavro command-line host.

The CLI runs as a separate process, loads the library with dlopen and talks
real HTTP to the stand-in service (standin.py) through --api-root (the
library's APIRoot). Each test
class starts its own stand-in and stops it when the class is done; a
watchdog ends the whole run if it takes too long.

    python3 test_cli.py --cli build/tavro --lib build/libtavro.so [--io-threads BIN] [CLASS...]
"""

import argparse
import fcntl
import json
import os
import pty
import re
import select
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unicodedata
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import standin  # noqa: E402
from standin import Account, StandIn, magnet  # noqa: E402

CLI = LIB = IO_THREADS = None
KEY = Account.KEYS[0]
ENCODED_KEY = "sk-Tav%2Fro%2BSecret_2024"
LIBRARY_ROOT = "https://api.alldebrid.com/v4"
WATCHDOG_SECONDS = 150


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if k != "TAVRO_API_KEY"}
    env.update(extra)
    return env


class Ran:
    def __init__(self, code, out, err):
        self.code, self.out, self.err = code, out, err

    def __repr__(self):
        return "exit %d\n--- stdout\n%s--- stderr\n%s" % (self.code, self.out, self.err)


def cells(text):
    """The cells text takes on a terminal, wide characters counting two."""
    return sum(0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF" else 1
               for c in text)


def run_cli(*args, env=None, stdin=None, tty=False, timeout=30, columns=200, stdout=None):
    ran = run_cli_once(args, env, stdin, tty, timeout, columns, stdout)
    # Whatever the command, no key it was given shows: not the stand-in's,
    # not the demo's, not one of the command line or the environment.
    secrets = {KEY, ENCODED_KEY, "demo-key-7f3a", (env or {}).get("TAVRO_API_KEY")}
    secrets |= {v for o, v in zip(args, args[1:]) if o == "--api-key"}
    for secret in secrets - {None}:
        if len(secret) >= 8:
            assert secret not in ran.out + ran.err, "the key %r leaked:\n%r" % (secret, ran)
    return ran


def run_cli_once(args, env, stdin, tty, timeout, columns, stdout):
    cmd = [CLI, "--lib", LIB, *args]
    if not tty:
        p = subprocess.run(cmd, input=stdin, stdout=stdout or subprocess.PIPE, stderr=subprocess.PIPE,
                           text=True, env=env or clean_env(), timeout=timeout)
        return Ran(p.returncode, p.stdout or "", p.stderr)
    # Standard output on a pseudo-terminal of the given width, as in an
    # interactive shell.
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    p = subprocess.Popen(cmd, stdout=slave, stderr=subprocess.PIPE, env=env or clean_env(), text=True)
    os.close(slave)
    chunks, deadline = [], time.time() + timeout
    while time.time() < deadline:
        ready, _, _ = select.select([master], [], [], 0.2)
        if ready:
            try:
                data = os.read(master, 65536)
            except OSError:
                break
            if not data:
                break
            chunks.append(data)
        elif p.poll() is not None:
            break
    os.close(master)
    err = p.stderr.read()
    p.stderr.close()
    p.wait(timeout)
    return Ran(p.returncode, b"".join(chunks).decode().replace("\r\n", "\n"), err)


class ServiceCase(unittest.TestCase):
    """A stand-in service for the whole class; run() points the CLI at it."""

    certfile = None

    @classmethod
    def setUpClass(cls):
        cls.service = StandIn(cls.certfile).__enter__()
        cls.account = cls.service.account

    @classmethod
    def tearDownClass(cls):
        cls.service.__exit__(None, None, None)

    def run_cli(self, *args, key=KEY, root=None, **kw):
        pre = ["--api-root", root or self.service.api_root]
        if key is not None:
            pre += ["--api-key", key]
        since = len(self.account.requests)
        ran = run_cli(*args, *pre, **kw)
        # Whatever the command, the key never shows, and no request carried
        # it in its URL.
        for secret in (KEY, ENCODED_KEY):
            self.assertNotIn(secret, ran.out + ran.err, "the key leaked:\n%r" % ran)
        with self.account.lock:
            sent = self.account.requests[since:]
        for r in sent:
            self.assertNotIn("apikey", r.query, "the key travelled in the URL of %s" % r.path)
        return ran

    def json_of(self, ran):
        self.assertEqual(ran.code, 0, repr(ran))
        return json.loads(ran.out)


class ValidateTests(ServiceCase):
    def test_account_sources(self):
        with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
            json.dump({"APIKey": KEY, "CustomName": "my-player", "ID": "acc-7"}, f)
        self.addCleanup(os.unlink, f.name)
        rows = [
            ("--api-key", ["validate"], KEY, {}, "quorvelindash", None),
            ("environment", ["validate"], None, {"TAVRO_API_KEY": KEY}, "quorvelindash", None),
            ("settings file, unchanged", ["validate", "--settings", f.name], None, {}, "my-player", "acc-7"),
            ("key needing JSON escapes", ["validate"], Account.KEYS[1], {}, "quorvelindash", None),
        ]
        for name, args, key, env, client, ident in rows:
            with self.subTest(name):
                doc = self.json_of(self.run_cli(*args, key=key, env=clean_env(**env)))
                self.assertEqual(doc["ClientId"], client)
                self.assertEqual(doc["RuntimeType"], "ALLDEBRID")
                if ident:
                    self.assertEqual(doc["ID"], ident)
                else:
                    self.assertRegex(doc["ID"], r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-9[0-9a-f]{3}-[0-9a-f]{12}$")

    def test_refusals(self):
        with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
            json.dump({"RuntimeType": "REALDEBRID", "APIKey": KEY}, f)
        self.addCleanup(os.unlink, f.name)
        rows = [
            ("wrong key", ["validate"], "not-the-key", 3, "tavro: AllDebrid error AUTH_BAD_APIKEY: The apikey is invalid"),
            ("no account at all", ["validate"], None, 2, "no account"),
            ("settings for another handler", ["validate", "--settings", f.name], None, 10,
             'tavro: RuntimeType is "REALDEBRID", this handler is "ALLDEBRID"'),
        ]
        for name, args, key, code, message in rows:
            with self.subTest(name):
                ran = self.run_cli(*args, key=key)
                self.assertEqual(ran.code, code, repr(ran))
                self.assertIn(message, ran.err)
                self.assertEqual(ran.out, "")


class ListingTests(ServiceCase):
    def test_listings(self):
        root = [{"name": "torrents", "path": "torrents", "folder": True, "size": -1}]
        magnets = [{"name": m["filename"], "path": "m%d" % m["id"], "folder": True, "size": m["size"],
                    "id": "m%d" % m["id"], "locator": "m%d" % m["id"]} for m in self.account.magnets.values()]
        files = [("Harbour.S01/Season 1/Harbour.S01E01.mkv", 2 * standin.GiB + 1, "https://standin.test/f/h101e01"),
                 ("Harbour.S01/Season 1/Harbour.S01E02.mkv", 2 * standin.GiB, "https://standin.test/f/h101e02"),
                 ("Harbour.S01/Season 1/Harbour.S01E03.mkv", 2 * standin.GiB + 3, "https://standin.test/f/h101e03"),
                 ("Harbour.S01/Harbour.S01.nfo", 900, "https://standin.test/f/h101nfo")]
        rows = [
            ("root", [], root),
            ("the account's magnets", ["torrents"], magnets),
            ("a magnet's nested files", ["m101"],
             [{"name": p, "path": p, "folder": False, "size": s, "locator": l, "id": p} for p, s, l in files]),
            ("a magnet without files", ["m103"], []),
        ]
        for name, args, expected in rows:
            with self.subTest(name):
                self.assertEqual(self.json_of(self.run_cli("ls", *args)), expected)

    def test_unknown_folders(self):
        # The service answers an unknown id with a success holding the item's error.
        rows = [("unknown magnet", "m999",
                 "tavro: AllDebrid error MAGNET_INVALID_ID: This magnet ID does not exists or is invalid\n"),
                ("no such path in a magnet", "m101/Harbour.S01/Season 2",
                 "tavro: no such file or folder in m101: Harbour.S01/Season 2\n")]
        for name, folder, message in rows:
            with self.subTest(name):
                ran = self.run_cli("ls", folder)
                self.assertEqual((ran.code, ran.out), (4, ""), repr(ran))
                self.assertEqual(ran.err, message)

    def test_a_folder_within_a_magnet(self):
        listed = self.json_of(self.run_cli("ls", "m101/Harbour.S01/Season 1/"))
        self.assertEqual([e["path"] for e in listed], ["Harbour.S01/Season 1/Harbour.S01E0%d.mkv" % i
                                                       for i in (1, 2, 3)])
        whole = self.json_of(self.run_cli("ls", "m101"))
        self.assertEqual(listed, whole[:3], "entries are passed on as the library wrote them")

    def test_table_on_a_terminal(self):
        ran = self.run_cli("ls", "m101", tty=True)
        self.assertEqual(ran.code, 0, repr(ran))
        lines = ran.out.splitlines()
        self.assertEqual(lines[0].split(), ["NAME", "SIZE", "KIND", "PATH"])
        self.assertEqual(len(lines), 5)
        self.assertEqual(lines[2].split(None, 1)[0], "Harbour.S01E02.mkv")
        self.assertIn("2.0 GiB  file  m101/Harbour.S01/Season 1/Harbour.S01E02.mkv", lines[2])
        self.assertIn("900 B  file", lines[4])
        # Aligned: every row's size ends, and its path starts, in the same column.
        ends = {re.search(r"(SIZE|B|iB)  ", l).end() for l in lines}
        self.assertEqual(len(ends), 1, ran.out)
        starts = {l.index("PATH") if i == 0 else l.index("m101/") for i, l in enumerate(lines)}
        self.assertEqual(len(starts), 1, ran.out)

    def test_json_on_a_terminal_when_asked(self):
        ran = self.run_cli("ls", "--json", tty=True)
        self.assertEqual(json.loads(ran.out)[0]["path"], "torrents")


class StreamTests(ServiceCase):
    def test_stream(self):
        listing = self.json_of(self.run_cli("ls", "m102"))
        entry = json.dumps(listing[0])
        rows = [("a service link", "https://standin.test/f/nt102"),
                ("a listing entry handed back", entry)]
        for name, arg in rows:
            with self.subTest(name):
                doc = self.json_of(self.run_cli("stream", arg))
                self.assertRegex(doc["url"], r"^%s/dl/[0-9a-f]{8}/Night.Train.2021.mkv$" % re.escape(self.service.base))
                self.assertEqual((doc["name"], doc["size"]), ("Night.Train.2021.mkv", 1400 * standin.MiB))
                ran = self.run_cli("stream", "--url", arg)
                self.assertEqual(ran.out, doc["url"] + "\n")

    def test_unknown_link_is_not_found(self):
        ran = self.run_cli("stream", "https://standin.test/f/nothing")
        self.assertEqual(ran.code, 4, repr(ran))
        self.assertIn("LINK_HOST_NOT_SUPPORTED", ran.err)


class AddTests(ServiceCase):
    def test_refused_without_allow_writes(self):
        before = len(self.account.requests)
        ran = self.run_cli("add", magnet("Cached.Film.2020")[0])
        self.assertEqual(ran.code, 9, repr(ran))
        self.assertIn("--allow-writes", ran.err)
        self.assertEqual(len(self.account.requests), before, "add sent a request without --allow-writes")

    def test_kinds_of_add(self):
        web = self.service.base + "/web/"
        # (name, link, options, expected InstantName or None for the payload, uploaded magnet)
        rows = [
            ("ready magnet: largest file", magnet("Cached.Film.2020")[0], [], "Cached.Film.2020.mkv", None),
            ("ready season pack: one episode", magnet("Harbour.S01.Pack")[0],
             ["--full-season", "--season", "1", "--episode", "2"], "Harbour.S01E02.mkv", None),
            ("magnet not ready", magnet("Fresh.Upload")[0], [], None, magnet("Fresh.Upload")[0]),
            ("web link redirecting to a magnet", web + "to-magnet", [], None, magnet("Redirected.Show")[0]),
            ("redirect hop, then the magnet", web + "hop", [], None, magnet("Redirected.Show")[0]),
        ]
        for name, link, options, instant, uploaded in rows:
            with self.subTest(name):
                n_uploads = len(self.account.requests_to("/v4/magnet/upload"))
                doc = self.json_of(self.run_cli("add", "--allow-writes", *options, link))
                if instant:
                    self.assertEqual(doc["InstantName"], instant)
                    self.assertTrue(doc["InstantURL"].startswith(self.service.base + "/dl/"))
                    self.assertTrue(doc["Payload"]["ready"])
                    mid = doc["Payload"]["id"]
                else:
                    self.assertIs(doc["ready"], False)
                    mid = doc["id"]
                self.assertIn(mid, self.account.magnets, "the magnet is on the account")
                sent = self.account.requests_to("/v4/magnet/upload")[n_uploads:]
                self.assertEqual(len(sent), 1)
                self.assertEqual(sent[0].form["magnets[]"], [uploaded or link])

    def test_url_only(self):
        ran = self.run_cli("add", "--allow-writes", "--url", magnet("Cached.Film.2020")[0])
        self.assertEqual(ran.code, 0, repr(ran))
        self.assertRegex(ran.out, r"^%s/dl/[0-9a-f]{8}/Cached.Film.2020.mkv\n$" % re.escape(self.service.base))
        ran = self.run_cli("add", "--allow-writes", "--url", magnet("Not.Ready.Yet")[0])
        self.assertEqual((ran.code, ran.out), (1, ""), repr(ran))
        self.assertIn("no direct URL", ran.err)

    def test_keep_instant_only_deletes_what_is_not_ready(self):
        ran = self.run_cli("add", "--allow-writes", "--keep-instant-only", magnet("Gone.Again")[0])
        # Less than asked: said, with its own exit status, and the payload still printed.
        self.assertEqual(ran.code, 1, repr(ran))
        doc = json.loads(ran.out)
        self.assertEqual(ran.err, "tavro: the service does not hold it yet, so m%d was deleted again "
                                  "(--keep-instant-only)\n" % doc["id"])
        self.assertIn(doc["id"], self.account.deleted)
        self.assertNotIn(doc["id"], self.account.magnets)
        listed = self.json_of(self.run_cli("ls", "torrents"))
        self.assertNotIn("m%d" % doc["id"], [e["path"] for e in listed])

    def test_torrent_link_is_uploaded_as_one_file_part(self):
        n_parts = len(self.account.uploads)
        n_sent = len(self.account.requests_to("/v4/magnet/upload/file"))
        doc = self.json_of(self.run_cli("add", "--allow-writes", self.service.base + "/web/file.torrent"))
        # Read from the answer's "files", the only list the service gives for a file.
        self.assertEqual((doc["name"], doc["ready"]), ("Lecture.One.mkv", False))
        self.assertIn(doc["id"], self.account.magnets)
        parts = self.account.uploads[n_parts:]
        self.assertEqual(parts, [("files[0]", "upload.torrent", standin.TORRENT)])
        (req,) = self.account.requests_to("/v4/magnet/upload/file")[n_sent:]
        self.assertTrue(req.headers["Content-Type"].startswith("multipart/form-data; boundary="))

    def test_torrents_with_nul_bytes_arrive_byte_for_byte(self):
        # The CLI's transport carries bytes: a real torrent, binary piece
        # hashes and all, is fetched once and uploaded whole.
        with tempfile.NamedTemporaryFile("wb", suffix=".torrent", delete=False) as f:
            f.write(standin.TORRENT_WITH_NUL)
        self.addCleanup(os.unlink, f.name)
        web = self.service.base + "/web/"
        rows = [
            ("a torrent link holding a NUL byte", web + "nul.torrent", standin.TORRENT_WITH_NUL, "/web/nul.torrent"),
            ("a torrent link of a few MiB", web + "big.torrent", standin.BIG_TORRENT, "/web/big.torrent"),
            ("a local torrent file", os.path.relpath(f.name), standin.TORRENT_WITH_NUL, None),
            ("a local torrent file as a file:// URL", "file://" + f.name, standin.TORRENT_WITH_NUL, None),
        ]
        for name, link, torrent, fetched in rows:
            with self.subTest(name):
                self.assertIn(b"\0", torrent)
                n_parts = len(self.account.uploads)
                n_fetched = len(self.account.requests_to(fetched)) if fetched else 0
                doc = self.json_of(self.run_cli("add", "--allow-writes", link))
                self.assertIn(doc["id"], self.account.magnets)
                self.assertEqual(self.account.uploads[n_parts:], [("files[0]", "upload.torrent", torrent)])
                if fetched:
                    self.assertEqual(len(self.account.requests_to(fetched)), n_fetched + 1, "fetched once")

    def test_local_file_that_is_missing_is_a_usage_error(self):
        before = len(self.account.requests)
        ran = self.run_cli("add", "--allow-writes", "./no-such.torrent")
        self.assertEqual((ran.code, ran.out), (2, ""), repr(ran))
        self.assertIn("no-such.torrent: No such file or directory", ran.err)
        self.assertEqual(len(self.account.requests), before, "a request was sent")

    def test_answers_are_read_to_their_length(self):
        # A NUL byte early in a body does not hide the rest: judged whole,
        # this one is no torrent.
        ran = self.run_cli("add", "--allow-writes", self.service.base + "/web/binary")
        self.assertEqual(ran.code, 7, repr(ran))
        self.assertIn("Link is not a magnet, a redirect-to-magnet or a torrent file", ran.err)

    def test_items_the_service_refuses(self):
        # Refused items come back inside a success envelope, as items holding an error.
        web = self.service.base + "/web/"
        rows = [
            ("a redirect to a magnet without a valid hash", web + "to-bad-magnet", "/v4/magnet/upload",
             "tavro: AllDebrid error MAGNET_INVALID_URI: This magnet is not valid\n"),
            ("a torrent file whose info is no dictionary", web + "bad.torrent", "/v4/magnet/upload/file",
             "tavro: AllDebrid error MAGNET_INVALID_FILE: This file is not a valid torrent\n"),
        ]
        for name, link, endpoint, message in rows:
            with self.subTest(name):
                held = set(self.account.magnets)
                n_sent = len(self.account.requests_to(endpoint))
                ran = self.run_cli("add", "--allow-writes", link)
                self.assertEqual((ran.code, ran.out, ran.err), (4, "", message), repr(ran))
                self.assertEqual(len(self.account.requests_to(endpoint)), n_sent + 1)
                self.assertEqual(set(self.account.magnets), held, "a refused item was added")

    def test_link_that_is_nothing_to_add(self):
        ran = self.run_cli("add", "--allow-writes", self.service.base + "/web/page")
        self.assertEqual(ran.code, 7, repr(ran))
        self.assertEqual(ran.err, "tavro: Link is not a magnet, a redirect-to-magnet or a torrent file\n")
        # A link that answers with an error: its status is told.
        ran = self.run_cli("add", "--allow-writes", self.service.base + "/web/gone")
        self.assertEqual(ran.code, 7, repr(ran))
        self.assertEqual(ran.err, "tavro: Link is not a magnet, a redirect-to-magnet or a torrent file: "
                                  "GET %s/web/gone answered HTTP 404\n" % self.service.base)


class UsageTests(ServiceCase):
    """Arguments are checked before any request: a usage error, exit 2."""

    def test_bad_arguments_send_nothing(self):
        empty = tempfile.NamedTemporaryFile(suffix=".torrent", delete=False)
        empty.close()
        self.addCleanup(os.unlink, empty.name)
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        # (name, arguments, the first line on standard error)
        rows = [
            ("stream of nothing", ["stream", ""], "tavro: stream: the argument is empty"),
            ("stream of words", ["stream", "not a url"],
             "tavro: stream: not a url is not a service link, a listing entry or a path as `tavro ls m<id>` "
             "shows it"),
            ("stream of a URL without a host", ["stream", "https:///f/x"],
             "tavro: stream: https:///f/x: the URL names no host"),
            ("stream of broken JSON", ["stream", '{"locator": '], 'tavro: stream: not a JSON listing entry: {"locator":'),
            ("stream of an entry without a link", ["stream", '{"name": "x"}'],
             'tavro: stream: the entry has no "locator", "link" or "path"'),
            ("stream of a link with a season", ["stream", "--season", "1", "--episode", "2",
                                                "https://standin.test/f/nt102"],
             "tavro: --season and --episode pick among the files of a magnet (m<id>) or a listing, not one file"),
            ("a season without an episode", ["stream", "--season", "1", "m101"],
             "tavro: --season and --episode go together"),
            ("a folder name of no kind", ["ls", "films"], "tavro: no such folder: films (folders are torrents, "
                                                          "m<id> and m<id>/PATH, as `tavro ls torrents` lists them)"),
            ("a magnet id with a tail", ["ls", "m101xyz"], "tavro: no such folder: m101xyz"),
            ("a magnet id without its m", ["ls", "101"], "tavro: no such folder: 101 (folders are torrents, m<id> "
                                                         "and m<id>/PATH, as `tavro ls torrents` lists them; did you "
                                                         "mean m101?)"),
            ("add of words", ["add", "--allow-writes", "hello world"],
             "tavro: add: hello world: No such file or directory (give a magnet link, a web link or a torrent file)"),
            ("add of nothing", ["add", "--allow-writes", ""], "tavro: add: the link is empty"),
            ("add of a file that is no torrent", ["add", "--allow-writes", empty.name],
             "tavro: add: %s is not a torrent file" % empty.name),
            ("add of a directory", ["add", "--allow-writes", folder], "tavro: add: %s is not a file" % folder),
            ("add of a magnet without a hash", ["add", "--allow-writes", "magnet:?xt=urn:btih:123"],
             "tavro: add: magnet:?xt=urn:btih:123 is not a magnet link the service takes"),
            ("add of a URL with a blank", ["add", "--allow-writes", "http://exa mple.test/a.torrent"],
             "tavro: add: http://exa mple.test/a.torrent: a URL holds no blanks or control characters"),
            ("an API root that is no URL", ["validate", "--api-root", "not a url"],
             "tavro: --api-root not a url: not an http:// or https:// URL"),
            ("an API root with a bad port", ["validate", "--api-root", "http://127.0.0.1:99999/v4"],
             'tavro: --api-root http://127.0.0.1:99999/v4: the port "99999" is not a port number'),
            ("an API root without its version", ["validate", "--api-root", "http://127.0.0.1:81"],
             "tavro: --api-root http://127.0.0.1:81: give the API's version-4 root, ending in /v4"),
            ("an API root of another version", ["validate", "--api-root", "http://127.0.0.1:81/v4.1"],
             "tavro: --api-root http://127.0.0.1:81/v4.1: give the API's version-4 root, ending in /v4"),
            ("settings and a key", ["validate", "--settings", empty.name],
             "tavro: --settings and --api-key both name the account: give one"),
            ("a body cap too small", ["ls", "--max-body", "12"], "tavro: --max-body needs a size from 1K to 4G, not 12"),
            ("an unknown short option", ["-vx", "ls"], "tavro: unknown option: -x"),
            ("an empty key", ["validate", "--api-key", " "], "tavro: --api-key is empty"),
            ("a command holding an escape", ["l\x1bs"], "tavro: unknown command: l\\es (did you mean ls?)\n"),
            ("two links to stream", ["stream", "https://standin.test/f/nt102", "https://standin.test/f/h101e01"],
             "tavro: too many arguments for stream"),
            ("--full-season without an episode", ["add", "--allow-writes", "--full-season", magnet("x")[0]],
             "tavro: --full-season picks the episode of --season N --episode N: give them"),
        ]
        for name, args, first in rows:
            with self.subTest(name):
                since = len(self.account.requests)
                ran = self.run_cli(*args)  # an --api-root of the row's own comes last and wins
                self.assertEqual((ran.code, ran.out), (2, ""), repr(ran))
                self.assertTrue(ran.err.startswith(first), ran.err)
                self.assertRegex(ran.err, r"\nusage: tavro ")
                self.assertEqual(len(self.account.requests), since, "a request was sent")


class PathTests(ServiceCase):
    """From a listing to a direct URL: whatever ls shows, stream takes."""

    def url_of(self, name):
        return r"^%s/dl/[0-9a-f]{8}/%s\n$" % (re.escape(self.service.base), re.escape(name))

    def test_what_stream_takes(self):
        m101 = self.run_cli("ls", "--json", "m101").out
        entry = json.dumps(json.loads(m101)[1])
        cached = magnet("Cached.Film.2020")[0]
        # (name, arguments, standard input, the file whose URL is printed)
        rows = [
            ("a path as ls prints it", ["stream", "--url", "m101/Harbour.S01/Season 1/Harbour.S01E02.mkv"], None,
             "Harbour.S01E02.mkv"),
            ("a file name in the magnet", ["stream", "--url", "m101/Harbour.S01E01.mkv"], None, "Harbour.S01E01.mkv"),
            ("a path typed without quotes", ["stream", "--url", "m101/Harbour.S01/Season", "1/Harbour.S01E02.mkv"],
             None, "Harbour.S01E02.mkv"),
            ("a magnet: its largest file", ["stream", "--url", "m101"], None, "Harbour.S01E03.mkv"),
            ("a magnet: one episode", ["stream", "--url", "m101", "--episode", "2", "--season", "1"], None,
             "Harbour.S01E02.mkv"),
            ("a folder: its largest file", ["stream", "--url", "m101/Harbour.S01/Season 1"], None,
             "Harbour.S01E03.mkv"),
            ("an entry on standard input", ["stream", "--url", "-"], entry, "Harbour.S01E02.mkv"),
            ("a listing on standard input, picked", ["stream", "--url", "-", "--season", "1", "--episode", "1"],
             m101, "Harbour.S01E01.mkv"),
            ("a link on standard input", ["stream", "--url", "-"], "https://standin.test/f/nt102\n",
             "Night.Train.2021.mkv"),
            ("a magnet's entry from ls torrents", ["stream", "--url", json.dumps(
                {"name": "Night.Train.2021.mkv", "path": "m102", "folder": True, "size": 1, "locator": "m102"})],
             None, "Night.Train.2021.mkv"),
            ("tavro LINK, a service link", ["https://standin.test/f/nt102"], None, "Night.Train.2021.mkv"),
            ("tavro LINK, a path", ["m101/Harbour.S01/Season 1/Harbour.S01E03.mkv"], None, "Harbour.S01E03.mkv"),
            ("tavro LINK, a path without quotes", ["m101/Harbour.S01/Season", "1/Harbour.S01E03.mkv"], None,
             "Harbour.S01E03.mkv"),
            ("tavro LINK, a magnet the service holds", ["--allow-writes", cached], None, "Cached.Film.2020.mkv"),
        ]
        for name, args, stdin, file in rows:
            with self.subTest(name):
                ran = self.run_cli(*args, stdin=stdin)
                self.assertEqual(ran.code, 0, repr(ran))
                self.assertRegex(ran.out, self.url_of(file))

    def test_path_copied_from_the_terminal_table(self):
        table = self.run_cli("ls", "m101", tty=True).out
        line = [l for l in table.splitlines() if "S01E02" in l][0]
        path = line[line.index("m101/"):]
        ran = self.run_cli("stream", "--url", path)
        self.assertRegex(ran.out, self.url_of("Harbour.S01E02.mkv"))
        listed = self.run_cli("ls", "torrents", tty=True).out
        folder = re.search(r"\b(m102)$", listed, re.M).group(1)
        self.assertRegex(self.run_cli(folder).out, self.url_of("Night.Train.2021.mkv"))

    def test_what_is_not_there(self):
        rows = [
            ("no such episode", ["stream", "m101", "--season", "1", "--episode", "9"],
             "tavro: no such file in m101 for S01E09\n"),
            ("no such path", ["stream", "m101/Harbour.S01/Season 9/x.mkv"],
             "tavro: no such file in m101/Harbour.S01/Season 9/x.mkv\n"),
            ("a magnet without files", ["stream", "m103"], "tavro: no such file in m103\n"),
        ]
        for name, args, err in rows:
            with self.subTest(name):
                ran = self.run_cli(*args)
                self.assertEqual((ran.code, ran.out, ran.err), (4, "", err), repr(ran))

    def test_link_shortcut_on_a_web_link_points_to_add(self):
        ran = self.run_cli(self.service.base + "/web/to-magnet")
        self.assertEqual((ran.code, ran.out), (4, ""), repr(ran))
        self.assertEqual(ran.err, "tavro: AllDebrid error LINK_HOST_NOT_SUPPORTED: This host or link is not supported\n"
                                  "tavro: (a web link answering with a magnet or a torrent is added with: "
                                  "tavro add --allow-writes LINK)\n")

    def test_link_shortcut_adds_only_with_allow_writes(self):
        since = len(self.account.requests)
        ran = self.run_cli(magnet("Shortcut.Film")[0])
        self.assertEqual((ran.code, ran.out), (9, ""), repr(ran))
        self.assertIn("--allow-writes", ran.err)
        self.assertEqual(len(self.account.requests), since)
        ran = self.run_cli("--allow-writes", self.service.base + "/web/file.torrent")
        self.assertEqual((ran.code, ran.out), (1, ""), repr(ran))
        self.assertRegex(ran.err, r"^tavro: added as m\d+, but the service does not hold it yet: no direct URL\n$")


class LessTests(ServiceCase):
    """add that did less than asked says so and exits 1."""

    def test_less_than_asked(self):
        pack, slow = magnet("Harbour.S01.Pack")[0], magnet("Slow.Less")[0]
        # (name, arguments, standard output is JSON, standard error)
        rows = [
            ("no such episode in the pack", ["--full-season", "--season", "1", "--episode", "9", pack], True,
             r"^tavro: added, but the pack holds no S01E09 \(it stays on the account as m(\d+)\)\n$"),
            ("not held, deleted again", ["--keep-instant-only", slow], True,
             r"^tavro: the service does not hold it yet, so m(\d+) was deleted again \(--keep-instant-only\)\n$"),
            ("no direct URL yet", ["--url", slow], False,
             r"^tavro: added as m(\d+), but the service does not hold it yet: no direct URL\n$"),
        ]
        for name, args, json_out, err in rows:
            with self.subTest(name):
                ran = self.run_cli("add", "--allow-writes", *args)
                self.assertEqual(ran.code, 1, repr(ran))
                mid = int(re.match(err, ran.err).group(1))
                if json_out:
                    self.assertEqual(json.loads(ran.out)["id"], mid)
                else:
                    self.assertEqual(ran.out, "")
                self.assertEqual(mid in self.account.magnets, "deleted" not in name)

    def test_on_a_terminal_what_was_deleted_is_not_shown_as_added(self):
        ran = self.run_cli("add", "--allow-writes", "--keep-instant-only", magnet("Gone.On.Tty")[0], tty=True)
        self.assertEqual((ran.code, ran.out), (1, ""), repr(ran))
        self.assertIn("was deleted again", ran.err)


class OutputTests(ServiceCase):
    """What reaches standard output, or fails to."""

    def test_failed_writes(self):
        rows = [("a listing", ["ls", "torrents"]), ("a stream URL", ["stream", "https://standin.test/f/nt102"]),
                ("help", ["--help"])]
        for name, args in rows:
            with self.subTest(name):
                with open("/dev/full", "w") as full:
                    ran = self.run_cli(*args, stdout=full)
                self.assertEqual(ran.code, 12, repr(ran))
                self.assertEqual(ran.err, "tavro: cannot write to standard output: No space left on device\n")

    def test_reader_gone_ends_quietly(self):
        r, w = os.pipe()
        os.close(r)
        with os.fdopen(w, "w") as gone:
            ran = self.run_cli("ls", "torrents", stdout=gone)
        self.assertEqual((ran.code, ran.err), (-signal.SIGPIPE, ""), repr(ran))

    def test_human_output_on_a_terminal(self):
        cached = magnet("Cached.Film.2020")[0]
        # (name, arguments, standard output on a terminal)
        rows = [
            ("validate", ["validate"], r"^account OK\nclient:  quorvelindash\nuser:    standin\npremium: yes\n$"),
            ("stream", ["stream", "https://standin.test/f/nt102"],
             r"^Night\.Train\.2021\.mkv  1\.4 GiB\n%s/dl/[0-9a-f]{8}/Night\.Train\.2021\.mkv\n$" % re.escape(self.service.base)),
            ("add, held", ["add", "--allow-writes", cached],
             r"^added m\d+ Cached\.Film\.2020: the service holds it\nCached\.Film\.2020\.mkv  3\.0 GiB\n%s/dl/" % re.escape(self.service.base)),
            ("add, not held", ["add", "--allow-writes", magnet("Human.Slow")[0]],
             r"^added m\d+ Human\.Slow: not ready yet, the service is fetching it\n$"),
        ]
        for name, args, out in rows:
            with self.subTest(name):
                ran = self.run_cli(*args, tty=True)
                self.assertEqual(ran.code, 0, repr(ran))
                self.assertRegex(ran.out, out)
                # JSON when asked, on a terminal too.
                asked = self.run_cli("--json", *args, tty=True)
                self.assertIsInstance(json.loads(asked.out), dict, repr(asked))


class TerminalTests(ServiceCase):
    """Names from the service are escaped, measured in cells and cut to the terminal."""

    HOSTILE = "Evil\tName\nwith\x1b[31mred"
    FILES = [("Café.Crème.2019.mkv", 700 * standin.MiB), ("東京物語.1953.mkv", 1400 * standin.MiB),
             (HOSTILE + ".mkv", 5 * standin.MiB),
             ("A.Very.Long.Name.That.Goes.On.And.On.Well.Past.Any.Reasonable.Width.2024.mkv", 9 * standin.MiB)]

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        files = [{"n": n, "s": s, "l": "https://standin.test/f/t%d" % i} for i, (n, s) in enumerate(cls.FILES)]
        cls.account._add(104, cls.HOSTILE, 2 * standin.GiB, True, files)
        cls.account._add(105, cls.FILES[3][0] + ".Complete.Season.Pack", 9 * standin.MiB, True, files[3:])

    def test_control_characters_are_escaped(self):
        for args in (["ls", "torrents"], ["ls", "m104"], ["stream", "m104/" + self.HOSTILE + ".mkv"]):
            with self.subTest(" ".join(args)):
                ran = self.run_cli(*args, tty=True)
                self.assertEqual(ran.code, 0, repr(ran))
                self.assertIn("Evil\\tName\\nwith\\e[31mred", ran.out)
                self.assertNotIn("\x1b", ran.out)
                self.assertNotIn("\t", ran.out)

    def test_columns_count_cells(self):
        lines = self.run_cli("ls", "m104", tty=True).out.splitlines()
        self.assertEqual(len(lines), 5)
        # The size column ends in the same cell on every row, accents and wide
        # characters included.
        ends = {cells(l[:re.search(r"(SIZE|iB)  ", l).end()]) for l in lines}
        self.assertEqual(len(ends), 1, "\n".join(lines))

    def test_cut_to_the_terminal(self):
        long = self.FILES[3][0]
        # (folder, columns, the header, how the long entry's line ends)
        rows = [
            ("m104", 300, ["NAME", "SIZE", "KIND", "PATH"], "9.0 MiB", "m104/" + long),
            ("m104", 110, ["SIZE", "KIND", "PATH"], "9.0 MiB", "  m104/" + long),
            ("m104", 60, ["SIZE", "KIND", "PATH"], "9.0 MiB", "Width.2024.mkv"),
            ("torrents", 60, ["NAME", "SIZE", "KIND", "PATH"], "Long", "  m105"),
        ]
        for folder, columns, header, key, end in rows:
            with self.subTest(folder=folder, columns=columns):
                lines = self.run_cli("ls", folder, tty=True, columns=columns).out.splitlines()
                self.assertEqual(lines[0].split(), header)
                self.assertTrue(all(cells(l) <= columns for l in lines), "\n".join(lines))
                line = [l for l in lines if key in l][0]
                self.assertTrue(line.endswith(end), line)
                if folder == "m104" and columns < 100:
                    self.assertRegex(line, r"  m104/A\.\S*\u2026")
                if folder == "torrents":
                    self.assertRegex(line, r"^A\.Very\.\S*\u2026 ")

    def test_under_script_the_width_comes_from_columns(self):
        # script(1) gives tavro a terminal without a window size: $COLUMNS
        # then says how wide it is.
        if not shutil.which("script"):
            self.skipTest("no script")
        command = " ".join(shlex.quote(a) for a in [CLI, "--lib", LIB, "ls", "m104", "--api-root",
                                                     self.service.api_root, "--api-key", KEY])
        p = subprocess.run(["script", "-qec", command, "/dev/null"], capture_output=True, timeout=30,
                           stdin=subprocess.DEVNULL, env=clean_env(COLUMNS="50"))
        out = p.stdout.decode().replace("\r\n", "\n")
        self.assertEqual(p.returncode, 0, out)
        self.assertNotIn(KEY, out)
        lines = out.splitlines()
        self.assertEqual(lines[0].split(), ["SIZE", "KIND", "PATH"])
        self.assertTrue(all(cells(l) <= 50 for l in lines), out)
        self.assertIn("\\e[31mred.mkv", out)
        self.assertNotIn("\x1b", out)

    def test_service_messages_are_escaped(self):
        self.account.faults["/v4/link/unlock"] = "crafted"
        self.addCleanup(self.account.faults.pop, "/v4/link/unlock")
        ran = self.run_cli("stream", "https://standin.test/f/nt102")
        self.assertEqual(ran.code, 7, repr(ran))
        self.assertEqual(ran.err, "tavro: AllDebrid error GENERIC: Gone\\e[2J\\e]0;owned\\x07 away\n")

    def test_json_stays_exact(self):
        listed = self.json_of(self.run_cli("ls", "m104"))
        self.assertEqual([e["path"] for e in listed], [n for n, _ in self.FILES])
        magnets = self.json_of(self.run_cli("ls", "torrents"))
        self.assertIn(self.HOSTILE, [e["name"] for e in magnets])


class SettingsTests(ServiceCase):
    """Settings files, as other tools read theirs."""

    def settings_file(self, content, mode=0o600, directory=None):
        fd, path = tempfile.mkstemp(suffix=".json", dir=directory)
        os.write(fd, content if isinstance(content, bytes) else content.encode())
        os.close(fd)
        os.chmod(path, mode)
        self.addCleanup(lambda: os.path.exists(path) and os.unlink(path))
        return path

    def test_settings_files(self):
        good = json.dumps({"APIKey": KEY})
        # (name, content, mode, exit status, standard error: a pattern; FILE is the file's name)
        rows = [
            ("plain", good, 0o600, 0, r"^$"),
            ("with a byte order mark", b"\xef\xbb\xbf" + good.encode(), 0o600, 0, r"^$"),
            ("readable by others", good, 0o644, 0,
             r"^tavro: warning: FILE can be read by other users, and it holds the API key \(chmod 600 FILE\)\n$"),
            ("cut short", '{"APIKey": "sk-', 0o600, 2, r"^tavro: FILE: not JSON at byte 15 \(line 1, column 16\): "),
            ("cut short after a BOM", b"\xef\xbb\xbf{\n  \"APIKey\": ", 0o600, 2,
             r"^tavro: FILE: not JSON at byte 17 \(line 2, column 13\): "),
            ("not an object", "[1]", 0o600, 2, r"^tavro: FILE: the settings are an array, not a JSON object"),
            ("a key in lower case", json.dumps({"apikey": KEY}), 0o600, 2,
             r'^tavro: FILE: "apikey" is not a setting; did you mean APIKey\?\n'),
            ("a key with an underscore", json.dumps({"api_key": KEY}), 0o600, 2,
             r'^tavro: FILE: "api_key" is not a setting; did you mean APIKey\?\n'),
            ("a key that is a number", '{"APIKey": 123}', 0o600, 2,
             r'^tavro: FILE: "APIKey" is a number; the API key is a string'),
            ("a near miss beside the key", json.dumps({"APIKey": KEY, "customname": "x"}), 0o600, 0,
             r'^tavro: warning: FILE: "customname" is not a setting; did you mean CustomName\?\n$'),
        ]
        for name, content, mode, code, err in rows:
            with self.subTest(name):
                path = self.settings_file(content, mode)
                since = len(self.account.requests)
                ran = self.run_cli("validate", "--settings", path, key=None)
                self.assertEqual(ran.code, code, repr(ran))
                self.assertRegex(ran.err, err.replace("FILE", re.escape(path)))
                if code:
                    self.assertEqual(len(self.account.requests), since, "a request was sent")
                else:
                    self.assertEqual(json.loads(ran.out)["RuntimeType"], "ALLDEBRID")

    def test_a_directory(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        ran = self.run_cli("validate", "--settings", folder, key=None)
        self.assertEqual((ran.code, ran.err), (12, "tavro: %s: is a directory, not a settings file\n" % folder))

    def test_default_file(self):
        home = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, home)
        xdg = os.path.join(home, "xdg")
        for base in (os.path.join(home, ".config", "tavro"), os.path.join(xdg, "tavro")):
            os.makedirs(base)
        with open(os.path.join(home, ".config", "tavro", "settings.json"), "w") as f:
            json.dump({"APIKey": KEY, "CustomName": "from-home"}, f)
        with open(os.path.join(xdg, "tavro", "settings.json"), "w") as f:
            json.dump({"APIKey": KEY, "CustomName": "from-xdg"}, f)
        for f in ("xdg/tavro/settings.json", ".config/tavro/settings.json"):
            os.chmod(os.path.join(home, f), 0o600)
        # (name, environment, exit status, client, standard error)
        rows = [
            ("$XDG_CONFIG_HOME first", {"HOME": home, "XDG_CONFIG_HOME": xdg}, 0, "from-xdg", ""),
            ("else ~/.config", {"HOME": home}, 0, "from-home", ""),
            ("the environment before the file", {"HOME": home, "TAVRO_API_KEY": "not-the-key"}, 3, None,
             "AUTH_BAD_APIKEY"),
            ("no file at all", {"HOME": os.path.join(home, "none")}, 2, None,
             "tavro: no account: set TAVRO_API_KEY, write {\"APIKey\":\"...\"} to %s/none/.config/tavro/settings.json"
             % home),
        ]
        for name, env, code, client, err in rows:
            with self.subTest(name):
                base = {k: v for k, v in clean_env().items() if k != "XDG_CONFIG_HOME"}
                base.update(env)
                ran = self.run_cli("validate", key=None, env=base)
                self.assertEqual(ran.code, code, repr(ran))
                self.assertIn(err, ran.err)
                if client:
                    self.assertEqual(json.loads(ran.out)["ClientId"], client)


class ResilienceTests(ServiceCase):
    """429 and 503 asked again, within bounds; answers larger than the cap refused."""

    def fault(self, path, mode):
        self.account.faults[path] = mode
        self.addCleanup(self.account.faults.pop, path, None)

    def test_busy_answers_are_asked_again(self):
        # (name, answers before the service's own, exit status, requests sent, at least seconds, -v line)
        rows = [
            ("429, then the answer", ["429 wait 1"], 0, 2, 1.0, "tavro: HTTP 429: asking again in 1.0 s (retry 1 of 3)"),
            ("503 twice, then the answer", ["503 wait 0", "503 wait 0"], 0, 3, 0,
             "tavro: HTTP 503: asking again in 0.0 s (retry 2 of 3)"),
            ("429 for ever: given up after 3 retries", ["429 wait 0"] * 5, 5, 4, 0,
             "tavro: HTTP 429: asking again in 0.0 s (retry 3 of 3)"),
            ("a wait longer than a minute is not waited", ["429 wait 3600"], 5, 1, 0,
             "tavro: HTTP 429 asks to wait 3600 s: not retried"),
        ]
        for name, answers, code, sent, least, line in rows:
            with self.subTest(name):
                self.fault("/v4/user", list(answers))
                since = len(self.account.requests_to("/v4/user"))
                t0 = time.time()
                ran = self.run_cli("-v", "validate")
                self.assertEqual(ran.code, code, repr(ran))
                self.assertEqual(len(self.account.requests_to("/v4/user")) - since, sent)
                self.assertGreaterEqual(time.time() - t0, least)
                self.assertIn(line, ran.err)
                self.doCleanups()

    def test_oversized_answers_are_refused(self):
        rows = [
            ("an API answer with its length", "/v4.1/magnet/status", "huge", ["ls", "torrents"], [], "64 MiB"),
            ("an API answer without a length", "/v4.1/magnet/status", "huge-unsized", ["ls", "torrents"], [],
             "64 MiB"),
            ("a torrent link under a smaller cap", None, None,
             ["add", "--allow-writes", self.service.base + "/web/big.torrent"], ["--max-body", "1M"], "1 MiB"),
        ]
        for name, path, mode, args, options, cap in rows:
            with self.subTest(name):
                if path:
                    self.fault(path, mode)
                ran = self.run_cli(*args, *options)
                self.assertEqual((ran.code, ran.out), (6, ""), repr(ran))
                self.assertIn("the answer is larger than %s (--max-body)" % cap, ran.err)
                self.doCleanups()


class WireTests(ServiceCase):
    """The requests as the service takes them today."""

    FORM = "application/x-www-form-urlencoded"

    def api_requests(self, since):
        with self.account.lock:
            return [r for r in self.account.requests[since:] if re.match(r"/v4(\.1)?/", r.path)]

    def test_api_root_goes_to_the_library(self):
        # --api-root hands the part before /v4 to the library as its APIRoot:
        # the library sends every request there, or refuses the root before
        # any request (TAVRO_E_ARG, exit 10), so the key goes nowhere else.
        port = self.service.base.rsplit(":", 1)[1]
        rows = [
            ("the stand-in", self.service.api_root, 0, None),
            ("with a trailing slash", self.service.api_root + "/", 0, None),
            ("by the name localhost", "http://localhost:%s/v4" % port, 0, None),
            ("http:// elsewhere", "http://example.com/v4", 10,
             'tavro: APIRoot "http://example.com" is http:// to a host that is not loopback'),
            ("a look-alike of a loopback host", "http://127.0.0.1.example.com:%s/v4" % port, 10,
             'tavro: APIRoot "http://127.0.0.1.example.com:%s" is http:// to a host that is not loopback' % port),
            ("user-info before a loopback name", "http://localhost@example.com/v4", 10,
             'tavro: APIRoot "http://localhost@example.com" holds user-info'),
        ]
        for name, root, code, message in rows:
            with self.subTest(name):
                since = len(self.account.requests)
                ran = self.run_cli("ls", "torrents", "--json", root=root)
                self.assertEqual(ran.code, code, repr(ran))
                sent = self.api_requests(since)
                if message:
                    self.assertTrue(ran.err.startswith(message), ran.err)
                    self.assertEqual(sent, [], "a request was sent")
                else:
                    self.assertEqual([(r.method, r.path) for r in sent], [("POST", "/v4.1/magnet/status")])
                    self.assertEqual(sent[0].headers.get("Authorization"), "Bearer " + KEY)

    def test_what_each_command_sends(self):
        ready, slow = magnet("Cached.Film.2020")[0], magnet("Wire.Slow.Start")[0]
        link = "https://standin.test/f/nt102"
        # (name, command, exit status, the API requests in order: method, path and form fields)
        rows = [
            ("account check", ["validate"], 0, [("GET", "/v4/user", None)]),
            ("the account's magnets", ["ls", "torrents"], 0, [("POST", "/v4.1/magnet/status", {})]),
            ("a magnet's files", ["ls", "m101"], 0, [("POST", "/v4/magnet/files", {"id[]": ["101"]})]),
            ("unlock", ["stream", link], 0, [("POST", "/v4/link/unlock", {"link": [link]})]),
            ("add, ready at once", ["add", "--allow-writes", ready], 0, [
                ("POST", "/v4/magnet/upload", {"magnets[]": [ready]}),
                ("POST", "/v4/magnet/files", {"id[]": [str(self.account.next_id + 1)]}),
                ("POST", "/v4/link/unlock", {"link": ["https://standin.test/f/cf-main"]})]),
            ("add, then delete what is not ready", ["add", "--allow-writes", "--keep-instant-only", slow], 1, [
                ("POST", "/v4/magnet/upload", {"magnets[]": [slow]}),
                ("POST", "/v4/magnet/delete", {"id": [str(self.account.next_id + 2)]})]),
        ]
        for name, args, code, expected in rows:
            with self.subTest(name):
                since = len(self.account.requests)
                ran = self.run_cli(*args)
                self.assertEqual(ran.code, code, repr(ran))
                sent = self.api_requests(since)
                self.assertEqual([(r.method, r.path, r.form if r.method == "POST" else None) for r in sent],
                                 expected)
                for r in sent:
                    # agent in the query and nothing else there; the key in
                    # the documented header.
                    self.assertEqual(r.query, {"agent": ["quorvelindash"]})
                    self.assertEqual(r.headers.get("Authorization"), "Bearer " + KEY)
                    if r.method == "POST":
                        self.assertEqual(r.headers.get("Content-Type"), self.FORM)

    def test_retired_forms_are_refused_by_the_stand_in(self):
        # What the library must not send any more, answered as the service
        # answers a discontinued endpoint: the tests above would fail on it.
        import urllib.request
        base = self.service.base
        auth = "?agent=quorvelindash"
        rows = [
            ("the version-4 status", "GET", "/v4/magnet/status" + auth, None, 200, "DISCONTINUED"),
            ("the version-4 status by POST", "POST", "/v4/magnet/status" + auth, b"", 200, "DISCONTINUED"),
            ("files by GET", "GET", "/v4/magnet/files" + auth + "&id[]=101", None, 200, "DISCONTINUED"),
            ("the id in the query of a POST", "POST", "/v4/magnet/files" + auth + "&id[]=101", b"", 200,
             "DISCONTINUED"),
            ("unlock by GET", "GET", "/v4/link/unlock" + auth + "&link=x", None, 200, "DISCONTINUED"),
            ("no such endpoint", "POST", "/v4.1/magnet/files" + auth, b"id[]=101", 404, "404"),
            ("the key in the URL", "POST", "/v4/magnet/files" + auth + "&apikey=" + ENCODED_KEY, b"id[]=101",
             200, "GENERIC"),
            ("the files of 101, as they are asked now", "POST", "/v4/magnet/files" + auth, b"id[]=101", 200, None),
        ]
        for name, method, path, body, status, code in rows:
            with self.subTest(name):
                headers = {"Authorization": "Bearer " + KEY}
                if body is not None:
                    headers["Content-Type"] = self.FORM
                req = urllib.request.Request(base + path, data=body, method=method, headers=headers)
                try:
                    with urllib.request.urlopen(req, timeout=10) as answer:
                        got_status, doc = answer.status, json.loads(answer.read())
                except urllib.error.HTTPError as e:
                    got_status, doc = e.code, json.loads(e.read())
                self.assertEqual(got_status, status)
                if code:
                    self.assertEqual((doc["status"], doc["error"]["code"]), ("error", code), doc)
                    self.assertEqual(doc.get("deprecated"), True if code == "DISCONTINUED" else None)
                else:
                    self.assertEqual(doc["status"], "success", doc)
                    self.assertEqual(doc["data"]["magnets"][0]["id"], "101")


class FailureTests(ServiceCase):
    def fault(self, path, mode):
        self.account.faults[path] = mode
        self.addCleanup(self.account.faults.pop, path)

    def test_failures_are_transport_errors(self):
        rows = [
            ("HTTP 500", "/v4.1/magnet/status", "500", ["ls", "torrents"], [], None),
            ("dropped connection", "/v4/user", "drop", ["validate"], [], None),
            ("time-out", "/v4/link/unlock", "stall", ["stream", "https://standin.test/f/nt102"], ["--timeout", "1"],
             "timed out"),
        ]
        for name, path, mode, args, options, message in rows:
            with self.subTest(name):
                self.fault(path, mode)
                t0 = time.time()
                ran = self.run_cli(*args, *options)
                self.assertEqual(ran.code, 6, repr(ran))
                # The message names the server the request went to, not the library's.
                if name == "HTTP 500":
                    message = "magnet/status answered HTTP 500 (%s)" % self.service.base
                self.assertIn(message or "GET %s/v4/user?agent=quorvelindash: Empty reply from server"
                              % self.service.base, ran.err)
                self.assertNotIn(LIBRARY_ROOT, ran.err)
                self.assertLess(time.time() - t0, 8)
                self.doCleanups()

    def test_nothing_listening(self):
        import socket
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        s.close()
        ran = self.run_cli("validate", root="http://127.0.0.1:%d/v4" % port)
        self.assertEqual(ran.code, 6, repr(ran))
        self.assertIn("GET http://127.0.0.1:%d/v4/user?agent=quorvelindash: Failed to connect" % port, ran.err)


class TlsTests(ServiceCase):
    """An HTTPS stand-in whose certificate nothing vouches for is refused."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp()
        cls.certfile = os.path.join(cls.tmp, "standin.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", cls.certfile, "-out", cls.certfile],
                       check=True, capture_output=True)
        super().setUpClass()

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        shutil.rmtree(cls.tmp)

    def test_untrusted_certificate_is_refused(self):
        ran = self.run_cli("validate")
        self.assertEqual(ran.code, 6, repr(ran))
        self.assertIn("certificate", ran.err)
        self.assertEqual(self.account.requests, [], "a request went through an untrusted connection")


class SecrecyTests(ServiceCase):
    def test_verbose_shows_requests_without_the_key(self):
        self.account.faults["/v4/magnet/files"] = "drop"
        self.addCleanup(self.account.faults.pop, "/v4/magnet/files")
        api = self.service.base
        rows = [
            ("validate", ["validate"], 0, "GET %s/v4/user?agent=quorvelindash -> HTTP 200" % api),
            ("listing", ["ls", "torrents"], 0,
             "POST %s/v4.1/magnet/status?agent=quorvelindash -> HTTP 200" % api),
            ("stream", ["stream", "https://standin.test/f/nt102"], 0,
             "POST %s/v4/link/unlock?agent=quorvelindash -> HTTP 200" % api),
            ("add with its fetches", ["add", "--allow-writes", self.service.base + "/web/hop"], 0,
             "POST %s/v4/magnet/upload?agent=quorvelindash -> HTTP 200" % api),
            ("a failed request", ["ls", "m101"], 6,
             "POST %s/v4/magnet/files?agent=quorvelindash -> Empty reply from server" % api),
        ]
        for name, args, code, line in rows:
            with self.subTest(name):
                ran = self.run_cli("-v", *args)  # run_cli checks that the key never shows
                self.assertEqual(ran.code, code, repr(ran))
                self.assertIn("tavro: " + line, ran.err)

    def test_key_in_settings_file_and_messages(self):
        with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
            json.dump({"APIKey": KEY}, f)
        self.addCleanup(os.unlink, f.name)
        self.account.faults["/v4/user"] = "drop"
        self.addCleanup(self.account.faults.pop, "/v4/user")
        ran = self.run_cli("-v", "validate", "--settings", f.name, key=None)
        self.assertEqual(ran.code, 6, repr(ran))
        self.assertIn("tavro: GET %s/v4/user?agent=quorvelindash -> Empty reply from server"
                      % self.service.base, ran.err)


class TransportTests(ServiceCase):
    def test_concurrent_requests(self):
        if not IO_THREADS:
            self.skipTest("no --io-threads program")
        p = subprocess.run([IO_THREADS, self.service.base], capture_output=True, text=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertIn("requests, all answered", p.stdout)


class OfflineTests(unittest.TestCase):
    """What needs no service: the demo, scenarios, utilities, usage."""

    def test_demo(self):
        ran = run_cli("demo")
        self.assertEqual(ran.code, 0, repr(ran))
        self.assertIn("demo: 12 steps, each as expected", ran.out)
        self.assertIn('error document: {"error":"AllDebrid error AUTH_BAD_APIKEY: The apikey is invalid"}', ran.out)
        self.assertIn("$ tavro ls m404\nerror document: {\"error\":\"AllDebrid error MAGNET_INVALID_ID: "
                      "This magnet ID does not exists or is invalid\"}\n-> -2 TAVRO_E_NOT_FOUND\n", ran.out)
        self.assertIn("magnet 203 was deleted again: 1 delete request(s)", ran.out)
        self.assertEqual(ran.out.count("-> 0 TAVRO_OK"), 10)

    def test_validate_for_people_reads_the_account_answer(self):
        # Under --fake the account answer is the scenario's: the demo's user
        # is premium until 2030.
        demo_json = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "demo.json")
        ran = run_cli("--fake", demo_json, "validate", tty=True)
        self.assertEqual((ran.code, ran.out),
                         (0, "account OK\nclient:  tavro-demo\nuser:    demo\npremium: yes, until 2030-01-01\n"),
                         repr(ran))

    def test_scenario_file(self):
        scenario = {"settings": {"APIKey": "s-key"}, "answers": [
            {"method": "POST", "version": "v4.1", "path": "/magnet/status",
             "body": standin.ok({"magnets": [{"id": 7, "filename": "F", "size": 9}]})},
            {"path": "/magnet/files", "form": {"id[]": 7}, "fail": "connection reset by peer"},
            {"path": "/magnet/files", "form": {"id[]": 8}, "body": standin.ok({"magnets": [
                {"id": "8", "error": {"code": "MAGNET_INVALID_ID", "message": "gone"}}]})}]}
        with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
            json.dump(scenario, f)
        self.addCleanup(os.unlink, f.name)
        rows = [("canned answer", ["ls", "torrents"], 0, '[{"name":"F","path":"m7","folder":true,"size":9,'
                                                          '"id":"m7","locator":"m7"}]\n', ""),
                ("injected failure", ["ls", "m7"], 6, "", "connection reset by peer"),
                ("an item's error", ["ls", "m8"], 4, "", "tavro: AllDebrid error MAGNET_INVALID_ID: gone\n"),
                ("unknown request answers 404", ["validate"], 4, "", "user request answered HTTP 404")]
        for name, args, code, out, err in rows:
            with self.subTest(name):
                ran = run_cli("--fake", f.name, *args)
                self.assertEqual((ran.code, ran.out), (code, out), repr(ran))
                self.assertIn(err, ran.err)

    def test_scenario_answers_for_the_key_the_library_reads(self):
        # The scenario's answers are filed under the key as the library reads
        # it from the settings and encodes it in the URL; any other reading
        # would leave the request unanswered (HTTP 404, exit status 4).
        rows = [("blanks around the key", {"APIKey": " \tk-1 \n"}),
                ("a blank APIKey falls back to ClientSecret", {"APIKey": "  ", "ClientSecret": "k-2"}),
                ("an integer key", {"APIKey": 12345}),
                ("true as the key", {"ClientSecret": True}),
                ("a key that needs encoding", {"APIKey": "k +/&=%~\u00e9"}),
                ("a RuntimeType of this handler", {"APIKey": "k-3", "RuntimeType": "ALLDEBRID"})]
        for name, settings in rows:
            with self.subTest(name):
                scenario = {"settings": settings,
                            "answers": [{"path": "/user", "body": standin.ok({"user": {"username": "u"}})}]}
                with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
                    json.dump(scenario, f)
                self.addCleanup(os.unlink, f.name)
                ran = run_cli("--fake", f.name, "validate")
                self.assertEqual(ran.code, 0, repr(ran))
                self.assertIn('"RuntimeType":"ALLDEBRID"', ran.out)

    def test_scenario_refusals(self):
        rows = [
            ("a form on a GET", {"method": "GET", "path": "/magnet/files", "form": {"id[]": 1}},
             'a "form" is the body of a POST'),
            ("a version without a path", {"url": "https://x.test/", "version": "v4.1"},
             '"version" is a string, beside a "path"'),
            ("a version that is more than a segment", {"path": "/magnet/status", "version": "v4/../v5"},
             '"version" is one path segment'),
            ("form values", {"path": "/magnet/files", "form": {"id[]": [1]}},
             '"form" values must be strings or integers'),
        ]
        for name, answer, message in rows:
            with self.subTest(name):
                with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
                    json.dump([answer], f)
                self.addCleanup(os.unlink, f.name)
                ran = run_cli("--fake", f.name, "ls", "torrents")
                self.assertEqual((ran.code, ran.out), (12, ""), repr(ran))
                self.assertTrue(ran.err.startswith("tavro: %s: scenario answer 1: %s" % (f.name, message)),
                                ran.err)

    def test_utilities(self):
        torrent = tempfile.NamedTemporaryFile(delete=False)
        torrent.write(standin.TORRENT)
        torrent.close()
        self.addCleanup(os.unlink, torrent.name)
        rows = [
            ("episode found", ["episode", "Show.S02E05.mkv"], 0, '[{"name":"Show.S02E05.mkv","season":2,"episode":5}]\n'),
            ("episode not found", ["episode", "Show.S02E05.mkv", "notes.txt"], 1,
             '[{"name":"Show.S02E05.mkv","season":2,"episode":5},{"name":"notes.txt","season":null,"episode":null}]\n'),
            ("magnet link", ["magnet", magnet("x")[0]], 0, '{"text":"%s","magnet":true}\n' % magnet("x")[0]),
            ("not a magnet link", ["magnet", "magnet:?xt=urn:btih:123"], 1,
             '{"text":"magnet:?xt=urn:btih:123","magnet":false}\n'),
            ("torrent file", ["torrent", torrent.name], 0,
             '{"file":"%s","size":%d,"torrent":true}\n' % (torrent.name, len(standin.TORRENT))),
            ("redact", ["redact", "https://u:p@h.example/a?x=1&apikey=SECRET&y=2"], 0,
             "https://h.example/a?x=1&apikey=***&y=2\n"),
        ]
        for name, args, code, out in rows:
            with self.subTest(name):
                ran = run_cli(*args)
                self.assertEqual((ran.code, ran.out), (code, out), repr(ran))
        ran = run_cli("redact", stdin="GET https://h/x?apikey=K1\nplain line\n")
        self.assertEqual(ran.out, "GET https://h/x?apikey=***\nplain line\n")
        ran = run_cli("torrent", "-", stdin="d8:announce4:infoe and more")
        self.assertEqual(ran.code, 0, repr(ran))

    def test_usage_errors(self):
        rows = [
            ("no command", []),
            ("unknown command", ["list"]),
            ("unknown option", ["ls", "--colour"]),
            ("option of another command", ["validate", "--allow-writes"]),
            ("missing argument", ["stream"]),
            ("extra argument", ["ls", "torrents", "m1"]),
            ("option without its value", ["ls", "--api-key"]),
            ("episode without a season pack", ["add", "--allow-writes", "--season", "1", "--episode", "2", "x"]),
            ("bad number", ["add", "--allow-writes", "--full-season", "--episode", "two", "x"]),
            ("--fake with --api-root", ["ls", "--fake", "x.json", "--api-root", "http://x/v4"]),
        ]
        for name, args in rows:
            with self.subTest(name):
                ran = run_cli(*args, env=clean_env(TAVRO_API_KEY=KEY))
                self.assertEqual(ran.code, 2, repr(ran))
                self.assertRegex(ran.err, r"^tavro: .*\nusage: tavro ")
                self.assertEqual(ran.out, "")

    def test_help_for_every_command(self):
        commands = ["demo", "validate", "ls", "stream", "add", "episode", "magnet", "torrent", "redact"]
        top = run_cli("--help")
        self.assertEqual(top.code, 0, repr(top))
        for command in commands:
            self.assertRegex(top.out, r"\n  %s\b" % command)
        # The exit statuses are told once, at the top; -V is listed; command
        # options are left to the commands.
        self.assertEqual(top.out.count("Exit status:"), 1)
        self.assertIn("-V, --version", top.out)
        globals_ = top.out[top.out.index("Global options:"):top.out.index("The account")]
        self.assertNotIn("--keep-instant-only", globals_)
        self.assertNotIn("--allow-writes", globals_)
        # The account's key: the environment and the file first, and a
        # warning that a command line is visible.
        account = top.out[top.out.index("The account"):]
        self.assertLess(account.index("TAVRO_API_KEY"), account.index("--api-key"))
        self.assertLess(account.index("settings.json"), account.index("--api-key"))
        self.assertIn("other users can see a command line", " ".join(account.split()))
        own = {"add": ["--allow-writes", "--keep-instant-only", "--full-season", "--season", "--episode", "--url"],
               "stream": ["--url", "--season", "--episode"]}
        for command in commands:
            with self.subTest(command):
                for args in ([command, "--help"], ["help", command], ["-h", command]):
                    ran = run_cli(*args)
                    self.assertEqual(ran.code, 0, repr(ran))
                    self.assertTrue(ran.out.startswith("usage: tavro " + command), ran.out)
                    self.assertNotIn("Exit status:", ran.out)
                    options = re.findall(r"^  (?:-\w, |    )(--[\w-]+)", ran.out.split("\nOptions:\n")[-1]
                                         if "\nOptions:\n" in ran.out else "", re.M)
                    self.assertEqual(sorted(options), sorted(own.get(command, [])), ran.out)

    def test_man_page_and_completion_follow_the_help(self):
        share = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "share")
        with open(os.path.join(share, "tavro.1.in")) as f:
            man = f.read().replace("\\-", "-")
        with open(os.path.join(share, "tavro.bash")) as f:
            # The words offered: the lists of commands and options.
            completion = " ".join(re.findall(r'(?:commands|global|own)="([^"]*)"', f.read()))
        top = run_cli("--help").out
        commands = re.findall(r"^  ([a-z]+)\b", top[top.index("Commands:"):top.index("Global options:")], re.M)
        options = set(re.findall(r"(--[a-z][\w-]+)", top[top.index("Global options:"):top.index("The account")]))
        for command in commands:
            options |= set(re.findall(r"^  (?:-\w, |    )(--[\w-]+)", run_cli(command, "--help").out, re.M))
            self.assertRegex(man, r"\n\.B[IR]? %s\b" % command)
            self.assertIn(command, completion)
        for option in options:
            self.assertIn(option, man, "the man page lacks " + option)
            self.assertIn(option, completion, "the completion lacks " + option)
        # The exit statuses: the same numbers in the help and the man page.
        exits = man[man.index(".SH EXIT STATUS"):man.index(".SH EXAMPLES")]
        self.assertEqual(re.findall(r"^\.B (\d+)", exits, re.M), ["0", "1", "2", "3", "12"])
        self.assertEqual(re.findall(r"^  (\d+) ", top, re.M), [str(n) for n in range(13)])
        # Each result code of tavro.h at 2 minus its value, in both, with its
        # meaning in the help.
        header = os.path.join(share, "..", "..", "include", "tavro.h")
        with open(header) as f:
            codes = re.findall(r'X\((-\d+), (TAVRO_E_\w+), "([^"]*)"\)', f.read())
        self.assertEqual(len(codes), 9)
        for value, name, meaning in codes:
            status = 2 - int(value)
            self.assertRegex(" ".join(exits.split()), r"\b%d %s\b" % (status, name))
            self.assertIn("\n  %-4d%-21s%s\n" % (status, name, meaning), top)

    def test_short_options_bundle_and_version(self):
        rows = [("-vh", ["-vh"], 0, "usage: tavro [OPTIONS] COMMAND"),
                ("-hv after a command", ["ls", "-hv"], 0, "usage: tavro ls"),
                ("-V", ["-V"], 0, "tavro "),
                ("--version", ["--version"], 0, "tavro ")]
        for name, args, code, out in rows:
            with self.subTest(name):
                ran = run_cli(*args)
                self.assertEqual(ran.code, code, repr(ran))
                self.assertTrue(ran.out.startswith(out), ran.out)
        self.assertRegex(run_cli("-V").out, r"^tavro \d+\.\d+\.\d+ \(library \d+\.\d+\.\d+\)\n$")

    def test_unknown_commands_get_the_closest(self):
        rows = [("lst", "ls"), ("valdate", "validate"), ("strem", "stream"), ("list", "ls"),
                ("ad", "add"), ("xyzzy", None)]
        for word, near in rows:
            with self.subTest(word):
                ran = run_cli(word, env=clean_env(TAVRO_API_KEY=KEY))
                self.assertEqual((ran.code, ran.out), (2, ""), repr(ran))
                first = ran.err.splitlines()[0]
                if near:
                    self.assertEqual(first, "tavro: unknown command: %s (did you mean %s?)" % (word, near))
                else:
                    self.assertEqual(first, "tavro: unknown command: %s" % word)

    def test_demo_steps_run_the_same_from_the_command_line(self):
        # Each step shows a command that, under --fake cli/demo.json, gives
        # what the step printed: the same document, or the same error.
        demo_json = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "demo.json")
        out = run_cli("demo").out
        steps = re.findall(r"^\$ tavro (.*)\n(.*)\n(?:.*\n)*?-> (-?\d+) (\w+)", out, re.M)
        self.assertEqual(len(steps), 12, out)

        def same(doc):  # a fresh identifier each run
            return re.sub(r'"ID":"[0-9a-f-]{36}"', '"ID":"..."', doc)

        for command, printed, code, _ in steps:
            with self.subTest(command):
                ran = run_cli("--fake", demo_json, *shlex.split(command))
                code = int(code)
                if code == 0:
                    self.assertIn(ran.code, (0, 1), repr(ran))  # 1: less than asked, said on stderr
                    self.assertEqual(same(ran.out), same(printed) + "\n", command)
                else:
                    error = json.loads(printed[len("error document: "):])["error"]
                    self.assertEqual((ran.code, ran.out, ran.err), (2 - code, "", "tavro: %s\n" % error))

    def test_library_that_cannot_be_loaded(self):
        p = subprocess.run([CLI, "--lib", "/nonexistent/libtavro.so", "magnet", "x"], capture_output=True, text=True)
        self.assertEqual(p.returncode, 12, p.stderr)
        self.assertIn("tavro: cannot load /nonexistent/libtavro.so", p.stderr)

    def test_library_is_loaded_not_linked(self):
        readelf = shutil.which("readelf")
        if not readelf:
            self.skipTest("no readelf")
        dynamic = subprocess.run([readelf, "-d", "-W", CLI], capture_output=True, text=True, check=True).stdout
        self.assertNotIn("libtavro", dynamic)
        symbols = subprocess.run([readelf, "-s", "-W", CLI], capture_output=True, text=True, check=True).stdout
        defined = [l for l in symbols.splitlines() if re.search(r"\b(tavro_(validate|list|fake_set)|halvo_get)$", l)
                   and " UND " not in l]
        self.assertEqual(defined, [], "the CLI carries the library's code")
        # By default it finds the library next to itself.
        beside = os.path.join(os.path.dirname(CLI), "libtavro.so")
        if os.path.exists(beside):
            p = subprocess.run([CLI, "magnet", "x"], capture_output=True, text=True)
            self.assertEqual(p.returncode, 1, p.stderr)


def watchdog(seconds):
    def fire():
        sys.stderr.write("test_cli: still running after %d s; stopping\n" % seconds)
        os._exit(3)
    t = threading.Timer(seconds, fire)
    t.daemon = True
    t.start()


def main():
    global CLI, LIB, IO_THREADS
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--lib", required=True)
    parser.add_argument("--io-threads")
    args, rest = parser.parse_known_args()
    CLI, LIB, IO_THREADS = os.path.abspath(args.cli), os.path.abspath(args.lib), args.io_threads
    watchdog(WATCHDOG_SECONDS)
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
