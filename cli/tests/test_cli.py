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
    # Colour only where a test asks for it (NO_COLOR="" and a TERM).
    env["NO_COLOR"] = "1"
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
            ("settings for another handler", ["validate", "--settings", f.name], None, 2,
             'tavro: the settings file %s (--settings): RuntimeType is "REALDEBRID", this handler is '
             '"ALLDEBRID"' % f.name),
        ]
        for name, args, key, code, message in rows:
            with self.subTest(name):
                ran = self.run_cli(*args, key=key)
                self.assertEqual(ran.code, code, repr(ran))
                self.assertIn(message, ran.err)
                self.assertEqual(ran.out, "")


class ListingTests(ServiceCase):
    def test_listings(self):
        root = [{"name": name, "path": name, "folder": True, "size": -1}
                for name in ("torrents", "links", "history")]
        magnets = [{"name": m["filename"], "path": "m%d" % m["id"], "folder": True, "size": m["size"],
                    "id": "m%d" % m["id"], "locator": "m%d" % m["id"],
                    "state": "ready" if m["ready"] else "processing",
                    "status": "Ready" if m["ready"] else "Downloading",
                    "downloaded": -1 if m["ready"] else 0, "speed": -1 if m["ready"] else 0}
                   for m in self.account.magnets.values()]
        files = [("Harbour.S01/Season 1/Harbour.S01E01.mkv", 2 * standin.GiB + 1, "https://standin.test/f/h101e01"),
                 ("Harbour.S01/Season 1/Harbour.S01E02.mkv", 2 * standin.GiB, "https://standin.test/f/h101e02"),
                 ("Harbour.S01/Season 1/Harbour.S01E03.mkv", 2 * standin.GiB + 3, "https://standin.test/f/h101e03"),
                 ("Harbour.S01/Harbour.S01.nfo", 900, "https://standin.test/f/h101nfo")]
        rows = [
            ("root", [], root),
            ("the account's magnets", ["torrents"], magnets),
            ("a magnet's nested files", ["m101"],
             [{"name": p, "path": p, "folder": False, "size": s, "locator": l, "id": p} for p, s, l in files]),
        ]
        for name, args, expected in rows:
            with self.subTest(name):
                self.assertEqual(self.json_of(self.run_cli("ls", *args)), expected)

    def test_a_magnet_not_ready_says_so(self):
        message = "tavro: magnet 103 is not ready: Downloading, 0 % of 19.3 GB at 0 B/s, 3 seeders\n"
        for args in (["ls", "m103"], ["ls", "--json", "m103"], ["stream", "m103"]):
            with self.subTest(" ".join(args)):
                ran = self.run_cli(*args)
                self.assertEqual((ran.code, ran.out, ran.err), (4, "", message), repr(ran))

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
        # Sorted by path as people read them (the JSON keeps the service's order).
        self.assertIn("900 B  file  m101/Harbour.S01/Harbour.S01.nfo", lines[1])
        self.assertEqual(lines[3].split(None, 1)[0], "Harbour.S01E02.mkv")
        self.assertIn("2.0 GiB  file  m101/Harbour.S01/Season 1/Harbour.S01E02.mkv", lines[3])
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


class SavedLinksTests(ServiceCase):
    """The links the account keeps, and every shape of a link that plays."""

    MOVIE = "https://hoster.standin.test/f/Open.Movie.2008.mkv"
    VIDEO = "https://video.standin.test/watch?v=q4"
    SLOW = "https://hoster.standin.test/f/Slow.Archive.zip"

    def entry(self, name, size, link):
        return {"name": name, "path": name, "folder": False, "size": size, "locator": link, "id": link}

    def test_save_and_remove_links(self):
        # A MEGA-style link: its # and & must reach the service whole.
        link, other = "https://mega.standin.test/file/AbC#k3y&x=1", "https://hoster.standin.test/f/B.mkv"
        rows = [
            ("save needs --allow-writes", ["save", link], 9, "", "save changes the account; pass --allow-writes"),
            ("not a link", ["save", "--allow-writes", link, "m101"], 2, "", "m101 is not a link"),
            ("too long", ["save", "--allow-writes", "https://h/" + "x" * 3100], 2, "", "a link is 1 to 3072 bytes"),
            ("save two", ["save", "--allow-writes", link, other], 0,
             "saved %s: Link was successfully saved\nsaved %s: Link was successfully saved\n" % (link, other), ""),
            ("rm a link", ["rm", "--allow-writes", other], 0, "deleted %s: Link was successfully deleted\n" % other,
             ""),
            ("rm a link not saved", ["rm", "--allow-writes", other], 10, "",
             "AllDebrid error USER_LINK_INVALID: This link is not valid"),
        ]
        for name, args, code, out, err in rows:
            with self.subTest(name):
                before = len(self.account.requests)
                ran = self.run_cli(*args, tty=True)
                self.assertEqual((ran.code, ran.out.replace("\r\n", "\n")), (code, out), repr(ran))
                self.assertIn(err, ran.err)
                if code in (2, 9):
                    self.assertEqual(len(self.account.requests), before, "sent before the check")
        saves = [r for r in self.account.requests_to("/v4/user/links/save")]
        self.assertEqual([r.form["links[]"] for r in saves], [[link], [other]])
        self.assertEqual(saves[0].body, b"links[]=https%3A%2F%2Fmega.standin.test%2Ffile%2FAbC%23k3y%26x%3D1")
        listed = [e["locator"] for e in self.json_of(self.run_cli("ls", "links"))]
        self.assertIn(link, listed)
        self.assertNotIn(other, listed)
        ran = self.run_cli("rm", "--allow-writes", link)
        self.assertEqual(json.loads(ran.out), {"Action": "delete", "Link": link,
                                               "message": "Link was successfully deleted"})

    def test_the_folders_as_json(self):
        rows = [("links", [self.entry("Open.Movie.2008.mkv", 700 * standin.MiB, self.MOVIE),
                           self.entry(self.VIDEO, -1, self.VIDEO),
                           self.entry("Slow.Archive.zip", 3 * standin.GiB, self.SLOW)]),
                ("history", [self.entry(self.VIDEO, -1, self.VIDEO)])]
        for folder, expected in rows:
            with self.subTest(folder):
                since = len(self.account.requests)
                self.assertEqual(self.json_of(self.run_cli("ls", folder)), expected)
                with self.account.lock:
                    sent = [(r.method, r.path) for r in self.account.requests[since:]]
                self.assertEqual(sent, [("GET", "/v4/user/" + folder)])

    def test_the_root_and_the_saved_links_as_tables(self):
        ran = self.run_cli("ls", tty=True)
        self.assertEqual([l.split()[0] for l in ran.out.splitlines()[1:]], ["torrents", "links", "history"])
        ran = self.run_cli("ls", "links", tty=True)
        self.assertEqual(ran.code, 0, repr(ran))
        lines = ran.out.splitlines()
        self.assertEqual(lines[0].split(), ["NAME", "SIZE", "HOST", "SAVED", "PATH"])
        self.assertRegex(lines[1], r"^Open\.Movie\.2008\.mkv +700\.0 MiB  hoster  2025-01-01 00:00  "
                                   r"links/Open\.Movie\.2008\.mkv$")
        self.assertIn("stream  2025-01-01 01:00  links/" + self.VIDEO, lines[2])
        # The PATH column is what stream takes.
        path = lines[1].split("  ")[-1]
        doc = self.json_of(self.run_cli("stream", path))
        self.assertEqual((doc["name"], doc["size"]), ("Open.Movie.2008.mkv", 700 * standin.MiB))

    def test_a_saved_video_plays_its_highest_quality_or_the_one_asked_for(self):
        rows = [("the highest", [], 1080, "137+140", 75), ("at most 720", ["--quality", "720"], 720, "398+140", 32),
                ("below every video: the lowest", ["--quality", "360"], 720, "398+140", 32)]
        for name, options, quality, stream, mib in rows:
            with self.subTest(name):
                since = len(self.account.requests)
                doc = self.json_of(self.run_cli("stream", *options, "links/" + self.VIDEO))
                self.assertEqual((doc["quality"], doc["size"]), (quality, mib * standin.MiB))
                self.assertEqual(doc["name"], "Quartet (Video).%d.mp4" % quality)
                with self.account.lock:
                    sent = [(r.path, r.form) for r in self.account.requests[since:] if r.method == "POST"]
                self.assertEqual(sent, [("/v4/link/unlock", {"link": [self.VIDEO]}),
                                        ("/v4/link/streaming", {"id": ["gen-q4"], "stream": [stream]})])

    def test_a_hoster_link_alone_streams_it(self):
        ran = self.run_cli(self.MOVIE)
        self.assertEqual(ran.code, 0, repr(ran))
        self.assertRegex(ran.out, r"^%s/dl/[0-9a-f]{8}/Open.Movie.2008.mkv\n$" % re.escape(self.service.base))
        ran = self.run_cli("links/Open.Movie.2008.mkv")
        self.assertRegex(ran.out, r"/Open.Movie.2008.mkv\n$", repr(ran))
        # On a terminal the chosen quality is said beside the name and size.
        ran = self.run_cli("stream", "--quality", "720", self.VIDEO, tty=True)
        self.assertEqual(ran.out.splitlines()[0], "Quartet (Video).720.mp4  32.0 MiB  quality 720", repr(ran))

    def test_a_link_that_takes_time(self):
        # Not ready within --wait-link 3: the next poll would come after 5 s.
        with self.account.lock:
            self.account.polls[4711] = [{"status": 1, "time_left": 45}]
        ran = self.run_cli("stream", "--wait-link", "3", "links/Slow.Archive.zip")
        self.assertEqual(ran.code, 6, repr(ran))
        self.assertIn("tavro: the service is still preparing the link (time_left 45 s), and DelayedWait (3 s) "
                      "ends before the next poll\n", ran.err)
        self.assertIn("--wait-link SECONDS", ran.err)
        # With 0 it is not polled at all.
        since = len(self.account.requests)
        ran = self.run_cli("stream", "--wait-link", "0", self.SLOW)
        self.assertEqual(ran.code, 6, repr(ran))
        with self.account.lock:
            self.assertEqual([r.path for r in self.account.requests[since:]], ["/v4/link/unlock"])
        # Ready at the first poll.
        with self.account.lock:
            self.account.polls[4711] = [{"status": 2, "time_left": 0, "link": self.service.base + "/dl/slow/a.zip"}]
        doc = self.json_of(self.run_cli("stream", self.SLOW))
        self.assertEqual(doc, {"url": self.service.base + "/dl/slow/a.zip", "name": "Slow.Archive.zip",
                               "size": 3 * standin.GiB})

    def test_the_countdown_on_a_terminal_while_a_link_is_prepared(self):
        # The second poll, 5 seconds after the first, finds the link ready;
        # meanwhile standard error, a terminal, counts the estimate down.
        with self.account.lock:
            self.account.polls[4711] = [{"status": 1, "time_left": 6},
                                        {"status": 2, "time_left": 0, "link": self.service.base + "/dl/slow/b.zip"}]
        master, slave = pty.openpty()
        p = subprocess.Popen([CLI, "--lib", LIB, "stream", "--url", "--wait-link", "20", self.SLOW, "--api-root",
                              self.service.api_root, "--api-key", KEY], stdout=subprocess.PIPE, stderr=slave,
                             env=clean_env(), text=True)
        os.close(slave)
        out, _ = p.communicate(timeout=30)
        chunks = []
        while select.select([master], [], [], 0.2)[0]:
            try:
                data = os.read(master, 65536)
            except OSError:
                break
            if not data:
                break
            chunks.append(data)
        os.close(master)
        err = b"".join(chunks).decode()
        self.assertEqual((p.returncode, out), (0, self.service.base + "/dl/slow/b.zip\n"), err)
        shown = re.findall(r"preparing the link: about (\d+) s left", err)
        self.assertGreaterEqual(len(shown), 2, err)
        self.assertEqual(shown[0], "6")
        self.assertEqual([int(s) for s in shown], sorted((int(s) for s in shown), reverse=True), err)
        self.assertTrue(err.endswith("\r\x1b[K"), repr(err))


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
        local = os.path.basename(f.name)
        # (name, link, the torrent, the page fetched, the part's file name)
        rows = [
            ("a torrent link holding a NUL byte", web + "nul.torrent", standin.TORRENT_WITH_NUL, "/web/nul.torrent",
             "upload.torrent"),
            ("a torrent link of a few MiB", web + "big.torrent", standin.BIG_TORRENT, "/web/big.torrent",
             "upload.torrent"),
            ("a local torrent file, under its own name", os.path.relpath(f.name), standin.TORRENT_WITH_NUL, None,
             local),
            ("a local torrent file as a file:// URL", "file://" + f.name, standin.TORRENT_WITH_NUL, None, local),
        ]
        for name, link, torrent, fetched, part_name in rows:
            with self.subTest(name):
                self.assertIn(b"\0", torrent)
                n_parts = len(self.account.uploads)
                n_fetched = len(self.account.requests_to(fetched)) if fetched else 0
                doc = self.json_of(self.run_cli("add", "--allow-writes", link))
                self.assertIn(doc["id"], self.account.magnets)
                self.assertEqual(self.account.uploads[n_parts:], [("files[0]", part_name, torrent)])
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
                                                          "torrents/m<id>, links, history, m<id> and m<id>/PATH, "
                                                          "as `tavro ls torrents` lists them)"),
            ("a magnet id with a tail", ["ls", "m101xyz"], "tavro: no such folder: m101xyz"),
            ("a magnet id without its m", ["ls", "101"], "tavro: no such folder: 101 (folders are torrents, "
                                                         "torrents/m<id>, links, history, m<id> and m<id>/PATH, "
                                                         "as `tavro ls torrents` lists them; did you mean m101?)"),
            ("a quality that is no height", ["stream", "--quality", "hd", "links/x"],
             "tavro: --quality needs a video height such as 720, not hd"),
            ("a wait past ten minutes", ["stream", "--wait-link", "601", "links/x"],
             "tavro: --wait-link needs seconds from 0 to 600, not 601"),
            ("a folder of links without a name", ["stream", "links"],
             "tavro: stream: links is a folder: give links/NAME as `tavro ls links` shows it"),
            ("a quality for a listing", ["ls", "--quality", "720", "links"],
             "tavro: --quality does not apply to ls"),
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
            ("an episode without its season", ["add", "--allow-writes", "--episode", "2", magnet("x")[0]],
             "tavro: --season and --episode go together"),
            ("a magnet id of 19 digits", ["ls", "m1234567890123456789"],
             "tavro: ls: a magnet is m and an id of 1 to 18 digits, not 19 digits"),
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

    def test_fit_to_the_terminal(self):
        long = "m104/" + self.FILES[3][0]
        # (folder, columns, the header, the long entry's row, the line after it or None)
        rows = [
            ("m104", 300, ["NAME", "SIZE", "KIND", "PATH"], r"  9\.0 MiB  file  %s$" % re.escape(long), None),
            # The names go first: each path ends with its name.
            ("m104", 110, ["SIZE", "KIND", "PATH"], r"^  9\.0 MiB  file  %s$" % re.escape(long), None),
            # A path that cannot fit is never cut: it is printed whole below its row.
            ("m104", 60, ["SIZE", "KIND", "PATH"], r"^  9\.0 MiB  file  \u2193$", long),
            ("torrents", 60, ["NAME", "SIZE", "STATE", "KIND", "PATH"],
             r"^A\.Very\.\S*\u2026 +9\.0 MiB  ready +folder  m105$", None),
        ]
        for folder, columns, header, row, after in rows:
            with self.subTest(folder=folder, columns=columns):
                lines = self.run_cli("ls", folder, tty=True, columns=columns).out.splitlines()
                self.assertEqual(lines[0].split(), header)
                self.assertTrue(all(cells(l) <= columns for l in lines if l != after), "\n".join(lines))
                (at,) = [i for i, l in enumerate(lines) if re.search(row, l)]
                if after:
                    self.assertEqual(lines[at + 1], after)
                self.assertNotIn("\u2026", "".join(l[l.find("m10"):] for l in lines[1:]), "a path was cut")

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
        # Every line fits but the paths printed whole on lines of their own.
        self.assertTrue(all(cells(l) <= 50 for l in lines if not l.startswith("m104/")), out)
        self.assertIn("m104/Evil\\tName\\nwith\\e[31mred.mkv", lines)
        self.assertNotIn("\x1b", out)

    def test_service_messages_are_escaped(self):
        self.account.faults["/v4/link/unlock"] = "crafted"
        self.addCleanup(self.account.faults.pop, "/v4/link/unlock")
        ran = self.run_cli("stream", "https://standin.test/f/nt102")
        self.assertEqual(ran.code, 7, repr(ran))
        self.assertEqual(ran.err, "tavro: AllDebrid error GENERIC: Gone\\e[2J\\e]0;owned\\x07 away\n")

    def test_files_are_sorted_as_people_read_them(self):
        names = ["Show.E10.mkv", "show.e3.mkv", "Show.E2.mkv", "Show.E1.mkv", "Extras/b.mkv", "Show.E02.srt"]
        with self.account.lock:
            self.account._add(140, "Show", 60, True, [
                {"n": "Show", "e": [{"n": n, "s": 10, "l": "https://standin.test/f/ns%d" % i}
                                    for i, n in enumerate(names)]}])
        lines = run_cli("ls", "m140", "--api-root", self.service.api_root, "--api-key", KEY, tty=True).out
        paths = [l.split("  ")[-1] for l in lines.splitlines()[1:]]
        self.assertEqual(paths, ["m140/Show/Extras/b.mkv", "m140/Show/Show.E1.mkv", "m140/Show/Show.E2.mkv",
                                 "m140/Show/Show.E02.srt", "m140/Show/show.e3.mkv", "m140/Show/Show.E10.mkv"])
        listed = json.loads(run_cli("ls", "m140", "--api-root", self.service.api_root, "--api-key", KEY).out)
        self.assertEqual([e["path"] for e in listed], ["Show/" + n for n in names], "the JSON keeps the service's order")

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
        self.assertEqual((ran.code, ran.err), (2, "tavro: %s: is a directory, not a settings file\n" % folder))

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

class MagnetStateTests(ServiceCase):
    """Magnets that are not ready: their state, following one, changing one."""

    FAST = {"TAVRO_POLL_INTERVAL": "0.05"}
    DOWNLOADING = {"statusCode": 1, "status": "Downloading", "downloaded": 430000000, "downloadSpeed": 18900000,
                   "seeders": 7}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        acc = cls.account
        acc.add_moving(107, "Dead.Swarm.2020", 1000000000,
                       [cls.DOWNLOADING, {"statusCode": 15, "status": "File not available - no peer"}], [])
        acc.add_moving(108, "Lost.Tracker.2018", 2 * standin.GiB,
                       [{"statusCode": 14, "status": "Error while contacting tracker"}],
                       [{"n": "Lost.Tracker.2018.mkv", "s": 2 * standin.GiB, "l": "https://standin.test/f/lt"}])
        acc.add_moving(109, "Queued.Up.2023", standin.GiB, [standin.Account.QUEUED], [])

    def moving(self, mid, steps, name="Rising.Tide.2022"):
        files = [{"n": name, "e": [
            {"n": name + ".mkv", "s": 3 * standin.GiB, "l": "https://standin.test/f/%d-main" % mid},
            {"n": "Sample", "e": [{"n": "sample.mkv", "s": 30 * standin.MiB,
                                   "l": "https://standin.test/f/%d-sample" % mid}]}]}]
        with self.account.lock:
            self.account.add_moving(mid, name, 3 * standin.GiB, steps, files)

    def test_state_column_and_state_filter(self):
        lines = self.run_cli("ls", "torrents", tty=True).out.splitlines()
        self.assertEqual(lines[0].split(), ["NAME", "SIZE", "STATE", "KIND", "PATH"])
        words = {l.split()[-1]: l for l in lines[1:]}
        rows = [("m101", "  ready  "), ("m103", "  0% 0 B/s  "), ("m107", "  43% 18.9 MB/s  "),
                ("m108", "  failed: tracker  "), ("m109", "  queued  ")]
        for path, state in rows:
            with self.subTest(path):
                self.assertIn(state, words[path])
        # Other tests of the class add magnets of their own: these are among
        # those kept, and every one kept is in the state asked.
        for state, want in [("processing", {"m103", "m107", "m109"}), ("error", {"m108"}),
                            ("ready", {"m101", "m102"})]:
            with self.subTest(state):
                listed = self.json_of(self.run_cli("ls", "torrents", "--state", state))
                self.assertLessEqual(want, {e["path"] for e in listed})
                self.assertEqual({e["state"] for e in listed}, {state})
                table = self.run_cli("ls", "torrents", "--state", state, tty=True).out.splitlines()
                self.assertEqual({l.split()[-1] for l in table[1:]}, {e["path"] for e in listed})
        for args, message in [(["ls", "torrents", "--state", "done"], "--state is ready, processing or error"),
                              (["ls", "m101", "--state", "ready"], "--state picks among the magnets")]:
            with self.subTest(" ".join(args)):
                ran = self.run_cli(*args)
                self.assertEqual(ran.code, 2, repr(ran))
                self.assertIn(message, ran.err)

    def test_states_are_coloured_only_where_colour_is_wanted(self):
        rows = [("colour", {"NO_COLOR": "", "TERM": "xterm"}, True),
                ("NO_COLOR", {"NO_COLOR": "1", "TERM": "xterm"}, False),
                ("dumb terminal", {"NO_COLOR": "", "TERM": "dumb"}, False)]
        for name, env, coloured in rows:
            with self.subTest(name):
                out = self.run_cli("ls", "torrents", tty=True, env=clean_env(**env)).out
                self.assertEqual("\x1b[32mready\x1b[0m" in out, coloured, out)
                self.assertEqual("\x1b[31mfailed: tracker\x1b[0m" in out, coloured, out)
                self.assertNotIn("\x1bSTATE", out)

    def test_a_failed_magnet_says_so(self):
        ran = self.run_cli("ls", "m108")
        self.assertEqual((ran.code, ran.out), (7, ""), repr(ran))
        self.assertEqual(ran.err, "tavro: magnet 108 failed: Error while contacting tracker (status 14)\n")

    def test_wait_follows_a_magnet_until_it_is_ready(self):
        self.moving(120, [standin.Account.QUEUED, self.DOWNLOADING, {"statusCode": 3, "status": "Uploading"}])
        ran = self.run_cli("wait", "m120", env=clean_env(**self.FAST))
        self.assertEqual(ran.code, 0, repr(ran))
        self.assertEqual(ran.err, "m120: In Queue\nm120: Downloading\nm120: Uploading\nm120: ready\n")
        result = json.loads(ran.out)
        self.assertEqual((result["InstantName"], result["InstantSize"]), ("Rising.Tide.2022.mkv", 3 * standin.GiB))
        self.assertEqual(result["InstantURL"], self.run_cli("stream", "--url", "m120/Rising.Tide.2022.mkv").out.strip())
        self.assertEqual(result["Payload"]["state"], "ready")
        # One question a state, each of this one magnet.
        asked = [r for r in self.account.requests_to("/v4.1/magnet/status") if r.form.get("id") == ["120"]]
        self.assertEqual(len(asked), 4)

    def test_wait_prints_the_asked_episode_or_the_url_alone(self):
        self.moving(121, [self.DOWNLOADING])
        ran = self.run_cli("wait", "--url", "m121", env=clean_env(**self.FAST))
        self.assertEqual(ran.code, 0, repr(ran))
        self.assertRegex(ran.out, r"^https?://\S+\n$")
        with self.account.lock:
            self.account.add_moving(122, "Harbour.S01.1080p", 6 * standin.GiB, [self.DOWNLOADING],
                                    standin.season_pack("https://standin.test/f/w122"))
        ran = self.run_cli("wait", "m122", "--season", "1", "--episode", "2", tty=True, env=clean_env(**self.FAST))
        self.assertEqual(ran.code, 0, repr(ran))
        self.assertIn("Harbour.S01E02.mkv", ran.out)

    def test_wait_ends_with_the_services_words_when_the_magnet_fails(self):
        self.moving(123, [self.DOWNLOADING, {"statusCode": 15, "status": "File not available - no peer"}])
        ran = self.run_cli("wait", "m123", env=clean_env(**self.FAST))
        self.assertEqual((ran.code, ran.out), (7, ""), repr(ran))
        self.assertTrue(ran.err.endswith("tavro: magnet 123 failed: File not available - no peer\n"), ran.err)

    def test_wait_gives_up_after_its_time(self):
        self.moving(124, [self.DOWNLOADING] * 1000)
        ran = self.run_cli("wait", "m124", "--timeout-wait", "1", env=clean_env(TAVRO_POLL_INTERVAL="0.3"))
        self.assertEqual((ran.code, ran.out), (5, ""), repr(ran))
        self.assertIn("gave up waiting for m124", ran.err)
        self.assertIn(124, self.account.magnets)

    def test_ctrl_c_stops_waiting_and_keeps_the_magnet(self):
        self.moving(125, [self.DOWNLOADING] * 1000)
        cmd = [CLI, "--lib", LIB, "wait", "m125", "--api-root", self.service.api_root, "--api-key", KEY]
        p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=clean_env(TAVRO_POLL_INTERVAL="0.2"))
        deadline = time.time() + 20
        while time.time() < deadline:
            asked = [r for r in self.account.requests_to("/v4.1/magnet/status") if r.form.get("id") == ["125"]]
            if asked:
                break
            time.sleep(0.05)
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=20)
        self.assertEqual((p.returncode, out), (130, ""), err)
        self.assertIn("m125 stays in the account", err)
        self.assertIn(125, self.account.magnets)

    def test_a_progress_bar_on_a_terminal(self):
        with self.account.lock:
            self.account.add_moving(126, "Bar.2021", 1000000000, [self.DOWNLOADING, self.DOWNLOADING],
                                    [{"n": "Bar.2021.mkv", "s": 1000000000, "l": "https://standin.test/f/bar"}])
        master, slave = pty.openpty()
        cmd = [CLI, "--lib", LIB, "wait", "--url", "m126", "--api-root", self.service.api_root, "--api-key", KEY]
        p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=slave, text=True, env=clean_env(**self.FAST))
        os.close(slave)
        out, _ = p.communicate(timeout=20)
        shown = b""
        while select.select([master], [], [], 0.2)[0]:
            try:
                data = os.read(master, 65536)
            except OSError:
                break
            if not data:
                break
            shown += data
        os.close(master)
        self.assertEqual(p.returncode, 0)
        self.assertRegex(out, r"^https?://")
        self.assertIn(b"m126 [##########--------------] 43% 18.9 MB/s, 30s left", shown)

    def test_add_wait_follows_what_it_added(self):
        text, h = standin.magnet("Arriving.Soon.2024")
        with self.account.lock:
            self.account.arriving[h] = ("Arriving.Soon.2024", 2 * standin.GiB, [standin.Account.QUEUED],
                                        [{"n": "Arriving.Soon.2024.mkv", "s": 2 * standin.GiB,
                                          "l": "https://standin.test/f/as"}])
        ran = self.run_cli("add", "--allow-writes", "--wait", "--url", text, env=clean_env(**self.FAST))
        self.assertEqual(ran.code, 0, repr(ran))
        self.assertRegex(ran.out, r"^https?://\S+\n$")
        ran = self.run_cli("add", "--allow-writes", "--wait", "--keep-instant-only", text)
        self.assertEqual(ran.code, 2, repr(ran))

    def test_rm_and_restart(self):
        self.moving(127, [self.DOWNLOADING])
        self.moving(128, [{"statusCode": 5, "status": "Upload fail"}])
        rows = [
            ("rm needs --allow-writes", ["rm", "m127"], 9, "", "rm changes the account; pass --allow-writes"),
            ("an id without its m", ["rm", "--allow-writes", "127"], 2, "", "did you mean m127?"),
            ("not a magnet", ["restart", "--allow-writes", "x"], 2, "", "x is not a magnet"),
            ("unknown magnet", ["rm", "--allow-writes", "m999"], 4, "", "MAGNET_INVALID_ID"),
            ("restart of one still running", ["restart", "--allow-writes", "m127"], 7, "",
             "AllDebrid error MAGNET_PROCESSING: Magnet is processing or completed"),
            ("restart of one that failed", ["restart", "--allow-writes", "m128"], 0,
             "restarted m128: Magnet was successfully restarted\n", ""),
            ("rm", ["rm", "--allow-writes", "m127"], 0, "deleted m127: Magnet was successfully deleted\n", ""),
        ]
        for name, args, code, out, err in rows:
            with self.subTest(name):
                before = len(self.account.requests)
                ran = self.run_cli(*args, tty=True)
                self.assertEqual((ran.code, ran.out.replace("\r\n", "\n")), (code, out), repr(ran))
                self.assertIn(err, ran.err)
                if code in (2, 9):
                    self.assertEqual(len(self.account.requests), before, "sent before the check")
        self.assertNotIn(127, self.account.magnets)
        self.assertEqual(self.json_of(self.run_cli("ls", "torrents/m128"))[0]["state"], "processing")
        ran = self.run_cli("rm", "--allow-writes", "m128")
        self.assertEqual(json.loads(ran.out), {"Action": "delete", "Magnet": "m128",
                                               "message": "Magnet was successfully deleted"})


class SignInTests(ServiceCase):
    """tavro login, logout and approve against the stand-in's PIN flow and approvals."""

    FAST = {"TAVRO_POLL_INTERVAL": "0.05"}
    START = {"pin": standin.PIN, "user_url": "https://alldebrid.com/pin/?pin=" + standin.PIN,
             "check": standin.PIN_CHECK, "expires_in": 600}

    def setUp(self):
        acc = self.account
        with acc.lock:
            acc.pin_waits, acc.pin_expire_after, acc.pin_checks = 1, None, 0
            acc.blocked.clear()
            acc.approvals.clear()
            acc.keys = set(Account.KEYS)

    def folder(self):
        d = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, d, True)
        return d

    def settings(self, content, name="settings.json"):
        path = os.path.join(self.folder(), name)
        with open(path, "w") as f:
            f.write(content if isinstance(content, str) else json.dumps(content))
        os.chmod(path, 0o600)
        return path

    def run_signin(self, *args, tty=False, env=None, **kw):
        ran = self.run_cli(*args, key=None, tty=tty, env=clean_env(**self.FAST, **(env or {})), **kw)
        # The key the service hands out is stored, never shown.
        self.assertNotIn(standin.PIN_KEY, ran.out + ran.err, repr(ran))
        return ran

    def sent(self, since, path):
        with self.account.lock:
            return [r for r in self.account.requests[since:] if r.path == path]

    def test_login_waits_then_stores_the_key(self):
        nested = os.path.join(self.folder(), "a", "b", "settings.json")
        members = {"CustomName": "my-player", "ID": "acc-7", "Extra": [1, {"x": None}]}
        # (name, the file before (None: none), the members after, what is said)
        rows = [
            ("a new file in new directories", nested, None, {"APIKey": standin.PIN_KEY},
             "the key is stored in %s\n" % nested),
            ("members kept in their order", None, members, dict(members, APIKey=standin.PIN_KEY),
             "the key is stored in FILE\n"),
            ("a key replaced where it stands", None, {"ID": "x", "APIKey": "old", "Z": 1},
             {"ID": "x", "APIKey": standin.PIN_KEY, "Z": 1}, "the key is stored in FILE, replacing the key it held\n"),
            ("a key kept as ClientSecret", None, {"ClientSecret": "old", "ClientId": "c"},
             {"ClientSecret": standin.PIN_KEY, "ClientId": "c"},
             "the key is stored in FILE, replacing the key it held\n"),
        ]
        for name, path, before, after, said in rows:
            with self.subTest(name):
                self.account.pin_waits = 2
                if path is None:
                    path = self.settings(before)
                inode = os.stat(path).st_ino if os.path.exists(path) else None
                since = len(self.account.requests)
                ran = self.run_signin("login", "--settings", path)
                self.assertEqual(ran.code, 0, repr(ran))
                # Off a terminal: the PIN and the page on standard output, the rest on standard error.
                self.assertEqual(ran.out, "%s\nhttps://alldebrid.com/pin/?pin=%s\n" % (standin.PIN, standin.PIN))
                self.assertIn("tavro: " + said.replace("FILE", path), ran.err)
                self.assertTrue(ran.err.endswith("tavro: signed in as standin (premium)\n"), ran.err)
                with open(path) as f:
                    self.assertEqual(list(json.load(f).items()), list(after.items()))
                self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)
                self.assertNotEqual(os.stat(path).st_ino, inode, "replaced by a rename")
                self.assertEqual(os.listdir(os.path.dirname(path)), ["settings.json"], "no temporary file left")
                if path == nested:
                    for d in (os.path.dirname(nested), os.path.dirname(os.path.dirname(nested))):
                        self.assertEqual(os.stat(d).st_mode & 0o777, 0o700, d)
                # The public endpoints got no key; the check its form; then the new key was validated.
                starts, checks = self.sent(since, "/v4.1/pin/get"), self.sent(since, "/v4/pin/check")
                self.assertEqual(len(starts), 1)
                self.assertEqual(len(checks), 3)
                for r in starts + checks:
                    self.assertNotIn("Authorization", r.headers)
                self.assertEqual(checks[0].form, {"pin": [standin.PIN], "check": [standin.PIN_CHECK]})
                users = self.sent(since, "/v4/user")
                self.assertEqual([r.headers.get("Authorization") for r in users], ["Bearer " + standin.PIN_KEY])
                if "CustomName" in after:
                    self.assertEqual(starts[0].query["agent"], ["my-player"])

    def test_login_json_prints_the_start_result(self):
        path = os.path.join(self.folder(), "settings.json")
        ran = self.run_signin("login", "--json", "--settings", path)
        self.assertEqual(ran.code, 0, repr(ran))
        self.assertEqual(json.loads(ran.out), self.START)

    def test_login_failures_leave_the_file_as_it_was(self):
        folder = self.folder()
        blocker = os.path.join(folder, "file")
        with open(blocker, "w") as f:
            f.write("not a folder")
        # (name, file content (None: no file), the path, set-up, exit status, standard error, requests sent)
        rows = [
            ("the PIN expires", '{"ID":"x"}', None, lambda a: setattr(a, "pin_expire_after", 1), 3,
             "tavro: the PIN expired before it was entered: run `tavro login` again\n", True),
            ("a file that is no object", "[1, 2]", None, None, 2, "FILE: not a JSON object", False),
            ("a file that is no JSON", "APIKey=1", None, None, 2, "FILE: not JSON", False),
            ("a path through a file", None, os.path.join(blocker, "settings.json"), None, 12,
             "tavro: FILE: Not a directory\n", False),
        ]
        for name, content, path, setup, code, err, asks in rows:
            with self.subTest(name):
                self.setUp()
                if setup:
                    setup(self.account)
                if path is None:
                    path = self.settings(content)
                since = len(self.account.requests)
                ran = self.run_signin("login", "--settings", path)
                self.assertEqual(ran.code, code, repr(ran))
                self.assertIn(err.replace("FILE", path), ran.err)
                self.assertEqual(len(self.account.requests) > since, asks)
                if content is not None:
                    with open(path) as f:
                        self.assertEqual(f.read(), content, "the file is untouched")
                    self.assertEqual(os.listdir(os.path.dirname(path)), ["settings.json"])

    def test_login_in_a_read_only_directory(self):
        if os.geteuid() != 0:
            path = self.settings({"ID": "x"})
            os.chmod(os.path.dirname(path), 0o500)
            self.addCleanup(os.chmod, os.path.dirname(path), 0o700)
        elif os.path.isdir("/sys"):
            # Root writes into any directory of its own; /sys refuses it.
            path = "/sys/tavro-settings.json"
        else:
            self.skipTest("no directory refuses root here")
        ran = self.run_signin("login", "--settings", path)
        self.assertEqual(ran.code, 12, repr(ran))
        self.assertRegex(ran.err, r"tavro: cannot write %s: cannot create a file in %s: \w.*; "
                                  r"the old file is as it was\n$" % (re.escape(path), re.escape(os.path.dirname(path))))
        if os.geteuid() != 0:
            with open(path) as f:
                self.assertEqual(json.load(f), {"ID": "x"})
            self.assertEqual(os.listdir(os.path.dirname(path)), ["settings.json"])

    def test_ctrl_c_stops_at_once_and_writes_nothing(self):
        self.account.pin_waits = None  # never entered
        path = self.settings({"ID": "x"})
        cmd = [CLI, "--lib", LIB, "login", "--settings", path, "--api-root", self.service.api_root]
        p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=clean_env(**self.FAST))
        self.assertEqual(p.stdout.readline(), standin.PIN + "\n")
        deadline = time.time() + 10
        while self.account.pin_checks < 2 and time.time() < deadline:
            time.sleep(0.02)
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=10)
        self.assertEqual(p.returncode, 130, err)
        with open(path) as f:
            self.assertEqual(json.load(f), {"ID": "x"})
        self.assertEqual(os.listdir(os.path.dirname(path)), ["settings.json"])

    def test_the_qr_code_only_on_a_terminal(self):
        qr = "\x1b[30;107m"
        # (name, arguments, on a terminal, the QR code drawn)
        rows = [("a terminal", [], True, True), ("--no-qr", ["--no-qr"], True, False),
                ("off a terminal", [], False, False)]
        for name, args, tty, drawn in rows:
            with self.subTest(name):
                path = os.path.join(self.folder(), "settings.json")
                ran = self.run_signin("login", *args, "--settings", path, tty=tty)
                self.assertEqual(ran.code, 0, repr(ran))
                self.assertEqual(qr in ran.out, drawn, repr(ran))
                if tty:
                    # The PIN in large type, the page, and who signed in.
                    self.assertIn("\u2588\u2588\u2588", ran.out)
                    self.assertIn("https://alldebrid.com/pin/?pin=ABCD", ran.out)
                    self.assertIn("signed in as standin (premium)", ran.out)
                    self.assertEqual(ran.err, "")

    def test_logout(self):
        # (name, the file before, the file after (None: as before), what is said)
        rows = [
            ("the key and the secret go", {"CustomName": "c", "APIKey": "k", "ClientSecret": "s", "ID": "i"},
             {"CustomName": "c", "ID": "i"}, "signed out: the key is removed from FILE\n"),
            ("no key there", {"ID": "i"}, None, "not signed in: FILE holds no key\n"),
        ]
        for name, before, after, said in rows:
            with self.subTest(name):
                path = self.settings(before)
                ran = run_cli("logout", "--settings", path)
                self.assertEqual((ran.code, ran.out), (0, said.replace("FILE", path)), repr(ran))
                with open(path) as f:
                    self.assertEqual(list(json.load(f).items()), list((after or before).items()))
                self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)
        missing = os.path.join(self.folder(), "none.json")
        ran = run_cli("logout", "--settings", missing)
        self.assertEqual((ran.code, ran.out), (0, "not signed in: %s does not exist\n" % missing))
        self.assertFalse(os.path.exists(missing))

    def block(self, states, key=None, resendable=True):
        self.account.blocked[KEY] = "verificationToken75ec0643f9eb0db"
        self.account.approvals["verificationToken75ec0643f9eb0db"] = {
            "states": list(states), "resendable": resendable, "key": key}

    def test_any_command_blocked_says_how_to_approve(self):
        self.block(["waiting"])
        hint = ("tavro: approve the new sign-in from the e-mail the service sent, then run the command again, "
                "or run `tavro approve` to wait for it here\n")
        for args in (["validate"], ["ls", "torrents"], ["stream", "https://standin.test/f/nt102"]):
            with self.subTest(" ".join(args)):
                ran = self.run_cli(*args)
                self.assertEqual(ran.code, 3, repr(ran))
                self.assertEqual(ran.err, "tavro: AllDebrid error AUTH_BLOCKED: You are logging from a new "
                                          "location, device or app. An email has been sent to confirm the new "
                                          "sign in.\n" + hint)
        # A key that is merely wrong gets no such hint.
        ran = self.run_cli("validate", key="not-the-key")
        self.assertNotIn("approve", ran.err)

    def test_approve(self):
        token = "verificationToken75ec0643f9eb0db"
        # (name, states, a new key, exit status, the last thing said, the key stored)
        rows = [
            ("waiting, then allowed", ["waiting", "waiting", "allowed"], None, 0,
             "approved: the new sign-in is allowed; run the command again", KEY),
            ("allowed with a new key, stored", ["waiting", "allowed"], "newKey-From-Approval", 0,
             "approved: the new sign-in is allowed; run the command again", "newKey-From-Approval"),
            ("denied", ["waiting", "denied"], None, 3, "the sign-in was denied from the e-mail", KEY),
            ("spent", ["waiting", "spent"], None, 3,
             "the approval expired: run the command again for a new e-mail", KEY),
        ]
        for name, states, new_key, code, said, stored in rows:
            with self.subTest(name):
                self.setUp()
                self.block(states, new_key)
                path = self.settings({"APIKey": KEY, "CustomName": "c"})
                since = len(self.account.requests)
                ran = self.run_signin("approve", "--settings", path)
                self.assertEqual(ran.code, code, repr(ran))
                self.assertTrue(ran.err.endswith("tavro: %s\n" % said), repr(ran))
                self.assertNotIn("newKey-From-Approval", ran.out + ran.err)
                with open(path) as f:
                    self.assertEqual(json.load(f), {"APIKey": stored, "CustomName": "c"})
                verifs = self.sent(since, "/v4/user/verif")
                self.assertEqual(len(verifs), len(states))
                for r in verifs:
                    self.assertEqual(r.form, {"token": [token]})
                    self.assertEqual(r.headers.get("Authorization"), "Bearer " + KEY)
                if new_key:
                    self.assertIn("tavro: the key is stored in %s, replacing the key it held\n" % path, ran.err)
                    self.assertEqual(self.run_cli("validate", key=new_key).code, 0)
                self.assertEqual(self.sent(since, "/v4/user/verif/resend"), [])

    def test_approve_resends_once(self):
        # (name, resendable, what is said)
        rows = [("resendable", True, "tavro: the service sent the e-mail again\n"),
                ("not resendable", False, "tavro: the service cannot send the e-mail again\n")]
        for name, resendable, said in rows:
            with self.subTest(name):
                self.setUp()
                self.block(["waiting", "waiting", "waiting", "allowed"], resendable=resendable)
                since = len(self.account.requests)
                ran = self.run_signin("approve", "--resend", "--api-key", KEY)
                self.assertEqual(ran.code, 0, repr(ran))
                self.assertIn(said, ran.err)
                self.assertEqual(len(self.sent(since, "/v4/user/verif/resend")), 1 if resendable else 0)

    def test_validate_json_tells_who_is_signed_in(self):
        doc = self.json_of(self.run_cli("validate", "--json"))
        self.assertEqual(list(doc)[3:], ["User", "Premium"])
        self.assertEqual((doc["User"], doc["Premium"]), ("standin", True))

    def test_nothing_to_approve(self):
        ran = self.run_signin("approve", "--api-key", KEY)
        self.assertEqual((ran.code, ran.out), (0, "nothing to approve: the account works from here\n"), repr(ran))


class OfflineTests(unittest.TestCase):
    """What needs no service: the demo, scenarios, utilities, usage."""

    def test_demo(self):
        ran = run_cli("demo")
        self.assertEqual(ran.code, 0, repr(ran))
        self.assertIn("demo: 24 steps, each as expected", ran.out)
        self.assertIn("$ tavro ls m103\nerror document: {\"error\":\"magnet 103 is not ready: Downloading, 42 % of "
                      "19.3 GB at 23.5 MB/s, 12 seeders\"}\n-> -2 TAVRO_E_NOT_FOUND\n", ran.out)
        self.assertIn("first look (ls torrents/m103): processing\n   5 seconds later: ready\n", ran.out)
        self.assertIn('"name":"Lighthouse Keepers (Video).1080.mp4","size":75910363,"quality":1080}', ran.out)
        self.assertIn('"name":"Lighthouse Keepers (Video).720.mp4","size":32752789,"quality":720}', ran.out)
        self.assertRegex(ran.out, r"ready on poll [2-9] ")
        self.assertIn('error document: {"error":"AllDebrid error AUTH_BAD_APIKEY: The apikey is invalid"}', ran.out)
        self.assertIn("$ tavro ls m404\nerror document: {\"error\":\"AllDebrid error MAGNET_INVALID_ID: "
                      "This magnet ID does not exists or is invalid\"}\n-> -2 TAVRO_E_NOT_FOUND\n", ran.out)
        self.assertIn("magnet 203 was deleted again: 1 delete request(s)", ran.out)
        self.assertEqual(ran.out.count("-> 0 TAVRO_OK"), 20)
        # Signing in: a waiting check, then the key; a blocked key, then its approval.
        self.assertIn('library: tavro_pin_check\n{"activated":false,"expires_in":581}\n-> 0 TAVRO_OK\n', ran.out)
        self.assertIn('library: tavro_pin_check\n{"activated":true,"APIKey":"demo-pin-key-2c9e","expires_in":570}\n',
                      ran.out)
        self.assertIn('"verification":"verificationToken75ec0643f9eb0db"}\n-> -1 TAVRO_E_AUTH\n', ran.out)
        self.assertIn('library: tavro_verify\n{"verif":"allowed","APIKey":"demo-new-place"}\n', ran.out)

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
                                                          '"id":"m7","locator":"m7","state":null,"status":null,'
                                                          '"downloaded":-1,"speed":-1}]\n', ""),
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
                self.assertEqual((ran.code, ran.out), (2, ""), repr(ran))
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
            ("--json and --table", ["ls", "--json", "--table"]),
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
        commands = ["demo", "login", "logout", "approve", "validate", "ls", "stream", "add", "episode", "magnet",
                    "torrent", "redact"]
        top = run_cli("--help")
        self.assertEqual(top.code, 0, repr(top))
        for command in commands:
            self.assertRegex(top.out, r"\n  %s\b" % command)
        # The exit statuses are told once, at the top; -V is listed; command
        # options are left to the commands.
        self.assertEqual(top.out.count("Exit status:"), 1)
        self.assertIn("-V, --version", top.out)
        globals_ = top.out[top.out.index("Global options"):top.out.index("The account")]
        self.assertNotIn("--keep-instant-only", globals_)
        self.assertNotIn("--allow-writes", globals_)
        # The account's key: the environment and the file first, and a
        # warning that a command line is visible.
        account = top.out[top.out.index("The account"):]
        self.assertLess(account.index("TAVRO_API_KEY"), account.index("--api-key"))
        self.assertLess(account.index("settings.json"), account.index("--api-key"))
        self.assertIn("other users can see a command line", " ".join(account.split()))
        own = {"add": ["--allow-writes", "--keep-instant-only", "--full-season", "--season", "--episode", "--url",
                       "--wait", "--timeout-wait"],
               "stream": ["--url", "--season", "--episode", "--quality", "--wait-link"], "ls": ["--state"],
               "wait": ["--url", "--season", "--episode", "--timeout-wait"],
               "rm": ["--allow-writes"], "restart": ["--allow-writes"], "save": ["--allow-writes"],
               "login": ["--no-qr"],
               "approve": ["--resend"]}
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
        commands = re.findall(r"^  ([a-z]+)\b", top[top.index("Commands:"):top.index("Global options")], re.M)
        options = set(re.findall(r"(--[a-z][\w-]+)", top[top.index("Global options"):top.index("The account")]))
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
        self.assertEqual(len(steps), 19, out)
        # The wait step's second look is answered by the demo itself, as the
        # service would answer once the magnet is done: --fake would wait on.
        steps = [st for st in steps if not st[0].startswith("wait ")]
        self.assertEqual(len(steps), 18, out)

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
                    document = json.loads(printed[len("error document: "):])
                    err = "tavro: %s\n" % document["error"]
                    self.assertEqual((ran.code, ran.out), (2 - code, ""))
                    if "verification" in document:
                        err += ("tavro: approve the new sign-in from the e-mail the service sent, then run the "
                                "command again, or run `tavro approve` to wait for it here\n")
                        self.assertEqual(ran.err, err)
                    elif code == -1:
                        # A refused key is traced to where it came from, on lines of its own.
                        self.assertTrue(ran.err.startswith(err), ran.err)
                    else:
                        self.assertEqual(ran.err, err)

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


BIDI = "\u061c\u200e\u200f\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069"


def printed(path):
    """A path as `tavro ls` prints it, by the rules of `tavro ls --help`: the
    oracle the table is held to. Bytes that are not UTF-8 are the lone
    surrogates of Python's "surrogateescape"."""
    out = []
    for i, ch in enumerate(path):
        cp = ord(ch)
        if 0xDC80 <= cp <= 0xDCFF:
            out.append("\\x%02X" % (cp - 0xDC00))
        elif ch in "\t\n\r\x1b":
            out.append({"\t": "\\t", "\n": "\\n", "\r": "\\r", "\x1b": "\\e"}[ch])
        elif cp < 0x20 or cp == 0x7F:
            out.append("\\x%02X" % cp)
        elif 0x80 <= cp <= 0x9F or ch in BIDI or ch in "\u2028\u2029":
            out.append("\\u%04X" % cp)
        elif ch == "\\":
            out.append("\\\\")
        elif ch == " " and (i == 0 or i == len(path) - 1):
            out.append("\\x20")
        else:
            out.append(ch)
    return "".join(out)


def table_paths(text):
    """The rows of a listing table and the path each one prints: [(row line,
    printed path, whether the path is on the line below)]."""
    lines = text.split("\n")
    assert lines[-1] == "", repr(text)
    lines = lines[:-1]
    header = lines[0]
    assert header.split()[-1] == "PATH", header
    column = cells(header[:header.index("PATH")])
    rows, i = [], 1
    while i < len(lines):
        line, at, k = lines[i], 0, 0
        while k < len(line) and at < column:
            at += cells(line[k])
            k += 1
        cell = line[k:]
        if cell == "\u2193":
            rows.append((line, lines[i + 1], True))
            i += 2
        else:
            rows.append((line, cell, False))
            i += 1
    return header, rows


class LocatorCase(ServiceCase):
    """Whatever ls prints as a path, at any width or in JSON, stream and ls take
    back for the same file: a property over every entry of every listing of
    the stand-in and every width from 20 to 200 columns (WidthTests), and the
    JSON's paths with their magnets (LocatorTests)."""

    NAMES = [
        "Season 1/Show.S01E01.mkv",
        "Extras/Show.S01E01.mkv",                      # the same name in another folder
        "Bad\tx\ny\x1b[31mz.S01E04.mkv",               # TAB, newline, ESC
        "Pair\\t.mkv", "Pair\t.mkv",                    # one's name is the other's printed path
        "back\\slash\\\\double\\x41\\u0042.mkv",        # backslashes, escapes that are not
        "\u202eevil\u2066bidi\u2069\u200f\u061c\u200e.mkv",  # bidirectional controls
        "C1\x85\x9b[2Jcontrol\x7f\x01.mkv",            # C1 controls, DEL, C0
        "line\u2028para\u2029sep.mkv",
        "東京物語 日本語 한국어 🎬.mkv",                  # wide characters
        "Cafe\u0301 Cre\u0300me.mkv",                  # combining marks
        " lead and trail ",                            # blanks at either end
        "two  spaces.mkv",
        "shell `$(echo hi)` 'quote' \"dq\" ~*?[].mkv",
        "percent%41%2F&amp;=#.mkv",
        "ends-with-backslash\\",
        "\u2193",                                      # the table's own marker
        "Very.Long." * 30 + "S01E09.mkv",              # longer than any terminal
        "東" * 110 + ".mkv",                           # wide and longer than any terminal
    ]
    WIDTHS = range(20, 201)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        tree = {}
        for i, name in enumerate(cls.NAMES):
            parts = ("Pack/" + name).split("/")
            node = tree
            for part in parts[:-1]:
                node = node.setdefault(part, {})
            node[parts[-1]] = {"n": parts[-1], "s": 100 + i, "l": "https://standin.test/f/loc%d" % i}

        def nodes(d):
            return [v if "l" in v else {"n": k, "e": nodes(v)} for k, v in d.items()]

        cls.account._add(301, "Pack", 5000, True, nodes(tree))
        # A magnet whose answer holds a name that is not UTF-8.
        cls.account._add(303, "Not.UTF-8", 10, True,
                         [{"n": "bad\udcff\udcfe.mkv", "s": 10, "l": "https://standin.test/f/bad-utf8"}])

    def cli(self, *args, env=None, **kw):
        # The account first: what follows may be a path after --.
        return run_cli("--api-root", self.service.api_root, "--api-key", KEY, *args,
                       env=env or clean_env(), **kw)

    def url_for(self, entry):
        link = entry["locator"]
        name = self.account.links[link][0]
        token = __import__("hashlib").sha1(link.encode()).hexdigest()[:8]
        return "%s/dl/%s/%s\n" % (self.service.base, token, name)

    def listing(self, folder):
        ran = self.cli("ls", "--json", *([folder] if folder else []))
        self.assertEqual(ran.code, 0, repr(ran))
        return json.loads(ran.out)

    def tables(self, folder):
        """The table of folder at every width, run a few at a time."""
        import concurrent.futures

        def at(width):
            return width, self.cli("ls", "--table", *([folder] if folder else []),
                                   env=clean_env(COLUMNS=str(width)))

        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            return list(pool.map(at, self.WIDTHS))

    def check_widths(self, folder):
        entries = self.listing(folder)
        magnet = folder.split("/")[0] if folder.startswith("m") else ""
        expected = [printed(e["path"] if e["folder"] else magnet + "/" + e["path"]) for e in entries]
        seen = set()
        for width, ran in self.tables(folder):
            with self.subTest(folder=folder, width=width):
                self.assertEqual(ran.code, 0, repr(ran))
                header, rows = table_paths(ran.out)
                # Each row prints its entry's path whole: never cut, escaped as the help says.
                # (A magnet's files come sorted as people read them, the JSON in the service's order.)
                self.assertEqual(sorted(p for _, p, _ in rows), sorted(expected), ran.out)
                names = header.startswith("NAME")
                for line, path, below in rows:
                    # A row fits the terminal, unless it is no more than SIZE, KIND and the mark.
                    self.assertTrue(cells(line) <= width or (below and not names), line)
                    if not below:
                        self.assertTrue(line.endswith("  " + path))
                seen |= {(expected.index(p), p) for _, p, _ in rows}
        # Every path printed at any width, taken back.
        for i, path in sorted(seen):
            entry = entries[i]
            with self.subTest(folder=folder, path=path):
                ls = self.cli("ls", "--json", "--", path)
                if entry["folder"]:
                    # The folder itself, as its own path lists it (m303 fails either way).
                    listed = self.cli("ls", "--json", entry["path"])
                    self.assertEqual((ls.code, ls.out, ls.err), (listed.code, listed.out, listed.err))
                    continue
                self.assertEqual(ls.code, 0, repr(ls))
                self.assertEqual(json.loads(ls.out), [entry], "ls names another entry")
                for args in (["stream", "--url", "--", path], ["--", path]):
                    ran = self.cli(*args)
                    self.assertEqual((ran.code, ran.out), (0, self.url_for(entry)), repr(ran))


class WidthTests(LocatorCase):
    """Each listing at every width (one CTest each: cli.Width.<listing>)."""

    def test_widths_root(self):
        self.check_widths("")

    def test_widths_torrents(self):
        self.check_widths("torrents")

    def test_widths_files(self):
        self.check_widths("m101")

    def test_widths_hostile(self):
        self.check_widths("m301")

    def test_widths_folder(self):
        self.check_widths("m301/Pack/Season 1")


class LocatorTests(LocatorCase):
    def test_the_json_path_id_and_name_with_their_magnet(self):
        for magnet in ("m101", "m301"):
            for entry in self.listing(magnet):
                for key in ("path", "id", "name"):
                    with self.subTest(magnet=magnet, key=key, value=entry[key]):
                        for args in (["stream", "--url", "--", magnet, entry[key]], ["--", magnet, entry[key]]):
                            ran = self.cli(*args)
                            self.assertEqual((ran.code, ran.out), (0, self.url_for(entry)), repr(ran))
                        ls = self.cli("ls", "--json", "--", magnet, entry[key])
                        self.assertEqual(json.loads(ls.out), [entry], repr(ls))
        # A magnet's entry of `tavro ls torrents`: its path and id, or its name after it.
        largest = max(self.listing("m301"), key=lambda e: e["size"])
        for entry in [e for e in self.listing("torrents") if e["path"] == "m301"]:
            for args in ([entry["path"]], [entry["id"]], ["m301", entry["name"]], [json.dumps(entry)]):
                with self.subTest(args=args):
                    ran = self.cli("stream", "--url", "--", *args)
                    self.assertEqual((ran.code, ran.out), (0, self.url_for(largest)), repr(ran))

    def test_a_terminal_prints_what_table_prints(self):
        for width in (20, 33, 47, 80, 132, 200):
            with self.subTest(width=width):
                tty = self.cli("ls", "m301", tty=True, columns=width)
                piped = self.cli("ls", "--table", "m301", env=clean_env(COLUMNS=str(width)))
                self.assertEqual(tty.out, piped.out)

    def test_a_listing_that_is_not_utf8_prints_no_path(self):
        # The library refuses an answer that is not UTF-8 whole, so no path of
        # it is ever printed, cut or not.
        for args in (["ls", "m303"], ["ls", "--table", "m303"], ["stream", "m303"]):
            with self.subTest(args=args):
                ran = self.cli(*args)
                self.assertEqual((ran.code, ran.out), (7, ""), repr(ran))
                self.assertIn("response is not a JSON object", ran.err)

    def test_paths_from_standard_input(self):
        for entry in self.listing("m301")[:6]:
            with self.subTest(path=entry["path"]):
                line = printed("m301/" + entry["path"]) + "\n"
                ran = self.cli("stream", "--url", "-", stdin=line)
                self.assertEqual((ran.code, ran.out), (0, self.url_for(entry)), repr(ran))

    def test_a_printed_path_pasted_without_quotes(self):
        # The shell takes the backslashes of the escapes and the runs of
        # blanks: the one file whose printed path that leaves is taken.
        taken = 0
        entries = self.listing("m301")
        paths = {printed("m301/" + e["path"]) for e in entries}
        for entry in entries:
            path = printed("m301/" + entry["path"])
            if re.search(r"[$`'\"~*?&;|<>(){}#!%=]", path):
                continue  # more than a paste: the shell would act on it
            if re.sub(r"\\(.)", r"\1", path) in paths - {path}:
                continue  # what the shell leaves is another file's printed path: quotes are needed
            with self.subTest(path=path):
                command = " ".join(shlex.quote(a) for a in [CLI, "--lib", LIB, "--api-root", self.service.api_root,
                                                            "--api-key", KEY, "stream", "--url", "--"])
                p = subprocess.run(["bash", "-c", command + " " + path], capture_output=True, text=True,
                                   env=clean_env(), timeout=30)
                self.assertEqual((p.returncode, p.stdout), (0, self.url_for(entry)), p.stderr)
                taken += "\\" in path
        self.assertGreaterEqual(taken, 5, "pastes whose escapes the shell took")

    def test_a_path_without_its_magnet_says_how(self):
        ran = self.cli("stream", "Pack/Season 1/Show.S01E01.mkv")
        self.assertEqual(ran.code, 2, repr(ran))
        self.assertIn("goes after its magnet: tavro stream m<id> 'PATH'", ran.err)


DEMO_JSON = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "demo.json")


def fresh(out):
    """Output with the fresh identifier of a validation made the same each run."""
    return re.sub(r'"ID":"[0-9a-f-]{36}"', '"ID":"..."', out)


class GlobalTests(ServiceCase):
    """Every global option is taken by every command; one that does not apply is
    ignored, and -v says so."""

    def applying(self, command):
        out = run_cli(command, "--help").out
        text = " ".join(out[out.index("Global options that apply"):].split())
        return set(re.findall(r"--[a-z][\w-]*", text[:text.index(".", text.index("):"))]))

    def test_each_global_option_with_each_command(self):
        with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
            json.dump({"APIKey": KEY}, f)
        os.chmod(f.name, 0o600)
        self.addCleanup(os.unlink, f.name)
        torrent = tempfile.NamedTemporaryFile(suffix=".torrent", delete=False)
        torrent.write(standin.TORRENT)
        torrent.close()
        self.addCleanup(os.unlink, torrent.name)
        # Each command with arguments that succeed; the account commands against the stand-in.
        commands = [("demo", []), ("validate", []), ("ls", ["torrents"]),
                    ("stream", ["https://standin.test/f/nt102"]),
                    ("add", ["--allow-writes", magnet("Cached.Film.2020")[0]]),
                    ("episode", ["Show.S01E02.mkv"]), ("magnet", [magnet("x")[0]]),
                    ("torrent", [torrent.name]), ("redact", ["https://h/x?apikey=K"])]
        # (option and value, arguments that replace the stand-in's account)
        options = [(["--json"], None), (["--table"], None), (["-v"], None), (["--verbose"], None),
                   (["--settings", f.name], ["--api-root", self.service.api_root]), (["--api-key", KEY], None),
                   (["--fake", DEMO_JSON], ["--api-key", "demo-key-7f3a"]),
                   (["--api-root", self.service.api_root], None), (["--timeout", "30"], None),
                   (["--connect-timeout", "30"], None), (["--max-body", "16M"], None), (["--lib", LIB], None)]
        for command, args in commands:
            applies = self.applying(command)
            base = self.run_cli(command, *args)
            self.assertIn(base.code, (0, 1), repr(base))
            for option, account in options:
                with self.subTest(command=command, option=option[0]):
                    # Before the command, as an alias puts it, and after it.
                    for line in ([*option, command, *args], [command, *args, *option]):
                        if account is None:
                            ran = self.run_cli(*line)
                        else:
                            ran = run_cli(*line, *account)
                        self.assertNotEqual(ran.code, 2, repr(ran))
                        name = {"-v": "--verbose"}.get(option[0], option[0])
                        if name not in applies:
                            # Ignored: the same as without it (but for the demo's fresh
                            # identifier), and said under -v.
                            self.assertEqual((ran.code, fresh(ran.out)), (base.code, fresh(base.out)), repr(ran))
                            said = self.run_cli("-v", *line) if account is None else run_cli("-v", *line, *account)
                            self.assertRegex(said.err, r"tavro: (\S+, )*%s(, \S+)* do(es)? not change what %s "
                                                       r"does: ignored\n" % (re.escape(name), command))

    def test_an_alias_with_a_global_option(self):
        # alias tv='tavro -v --timeout 5'
        for args in (["episode", "S01E01"], ["redact", "hi"], ["magnet", "x"], ["demo"], ["ls"]):
            with self.subTest(args=args):
                ran = run_cli("-v", "--timeout", "5", "--api-root", "http://127.0.0.1:9/v4", *args)
                self.assertIn(ran.code, (0, 1), repr(ran))

    def test_command_options_stay_with_their_commands(self):
        for args, option in ((["validate", "--allow-writes"], "--allow-writes"), (["ls", "--url"], "--url"),
                             (["episode", "--season", "1", "--episode", "1", "x"], "--season")):
            with self.subTest(args=args):
                ran = self.run_cli(*args)
                self.assertEqual(ran.code, 2, repr(ran))
                self.assertIn("tavro: %s does not apply to %s" % (option, args[0]), ran.err)

    def test_bad_values_of_ignored_options_are_still_refused(self):
        ran = run_cli("--timeout", "soon", "episode", "S01E01")
        self.assertEqual(ran.code, 2, repr(ran))
        self.assertIn("--timeout needs seconds from 0.001 to 86400", ran.err)


class ExitTests(ServiceCase):
    """A row per documented exit status, with the command that gives it."""

    def fault(self, path, mode):
        self.account.faults[path] = mode
        self.addCleanup(self.account.faults.pop, path, None)

    def test_a_row_per_exit_status(self):
        # (status, name, arguments, the key, a fault of the stand-in, a text of standard error,
        #  writing to /dev/full)
        rows = [
            (0, "done", ["episode", "Show.S01E02.mkv"], KEY, None, "", False),
            (1, "no", ["magnet", "not a magnet"], KEY, None, "", False),
            (2, "usage", ["ls", "--colour"], KEY, None, "unknown option: --colour", False),
            (3, "auth", ["validate"], "wrong-key-123", None, "AUTH_BAD_APIKEY", False),
            (4, "not found", ["ls", "m999"], KEY, None, "MAGNET_INVALID_ID", False),
            (5, "limit", ["ls", "m101"], KEY, ("/v4/magnet/files", ["429 wait 0"] * 4), "429", False),
            (6, "transport", ["ls", "torrents"], KEY, ("/v4.1/magnet/status", "500"), "answered HTTP 500", False),
            (7, "failed", ["add", "--allow-writes", self.service.base + "/web/page"], KEY, None,
             "Link is not a magnet", False),
            (9, "writes off", ["add", magnet("Exit.Nine")[0]], KEY, None, "--allow-writes", False),
            (12, "tavro itself", ["ls", "m102"], KEY, None, "cannot write to standard output", True),
        ]
        for status, name, args, key, fault, err, full in rows:
            with self.subTest(status=status, name=name):
                if fault:
                    self.fault(*fault)
                if full:
                    with open("/dev/full", "w") as out:
                        ran = self.run_cli(*args, key=key, stdout=out)
                else:
                    ran = self.run_cli(*args, key=key)
                self.assertEqual(ran.code, status, repr(ran))
                self.assertIn(err, ran.err)
                self.doCleanups()
        p = subprocess.run([CLI, "--lib", "/nonexistent/libtavro.so", "episode", "x"], capture_output=True,
                           text=True)
        self.assertEqual(p.returncode, 12, "the library that cannot be loaded")
        # 8, 10 and 11: tavro brings its own transport, reads results of any
        # size and checks what it hands the library: they are not expected.
        top = " ".join(run_cli("--help").out.split())
        for status, name in ((8, "TAVRO_E_UNAVAILABLE"), (10, "TAVRO_E_ARG"), (11, "TAVRO_E_BUFFER")):
            self.assertIn("%d %s" % (status, name), top)
        self.assertIn("8, 10 and 11 are not expected of it", top)

    def test_usage_errors_before_any_request(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)

        def settings(content, mode=0o600):
            path = os.path.join(folder, "s%d.json" % len(os.listdir(folder)))
            with open(path, "w") as f:
                f.write(content)
            os.chmod(path, mode)
            return path

        long_magnet = magnet("Long")[0] + "&tr=" + "x" * 120000
        long_link = "https://standin.test/f/" + "x" * 120000
        bad_scenario = settings("[{\"path\": 5}]")
        huge_key = settings(json.dumps({"settings": {"APIKey": "k" * (1 << 20)}, "answers": []}))
        dangling = os.path.join(folder, "dangling.json")
        os.symlink(os.path.join(folder, "nowhere"), dangling)
        limit = "the link is %d bytes long; a link is 1 to 3072 bytes (3 KiB)"
        # (name, arguments, the account is the row's, standard error holds)
        rows = [
            ("a settings file that is missing", ["validate", "--settings", os.path.join(folder, "none.json")], True,
             "none.json: No such file or directory"),
            ("a settings file that cannot be read", ["validate", "--settings", dangling], True,
             "dangling.json: No such file or directory"),
            ("a settings path through a file", ["validate", "--settings", "/etc/hostname/settings.json"], True,
             "Not a directory"),
            ("settings that are not JSON", ["validate", "--settings", settings("{")], True, "not JSON at byte 1"),
            ("a setting of the wrong kind", ["validate", "--settings", settings('{"APIKey": "k", "ID": [1]}')], True,
             '"ID" is an array; a setting is a string'),
            ("a setting with a fraction", ["validate", "--settings", settings('{"APIKey": "k", "CustomName": 1.5}')],
             True, '"CustomName" is a number with a fraction'),
            ("settings for another handler", ["validate", "--settings", settings('{"APIKey": "k", "RuntimeType": "X"}')],
             True, 'RuntimeType is "X"'),
            ("a key that is blank", ["validate", "--settings", settings('{"APIKey": " "}')], True, "APIKey is empty"),
            ("a settings file too large", ["validate", "--settings", settings(" " * (1 << 20) + "{}")], True,
             "bytes; a settings file is at most 1 MiB (1048576 bytes)"),
            ("a key too long", ["validate", "--fake", huge_key], True,
             "tavro: the scenario %s: the settings are 1048589 bytes; settings are at most 1 MiB (1048576 "
             "bytes)" % huge_key),
            ("a scenario that is wrong", ["ls", "--fake", bad_scenario], True, "scenario answer 1"),
            ("a scenario that is missing", ["ls", "--fake", os.path.join(folder, "x.json")], True,
             "No such file or directory"),
            ("a magnet longer than 3 KiB to add", ["add", "--allow-writes", long_magnet], False,
             "add: " + limit % len(long_magnet)),
            ("a magnet longer than 3 KiB standing alone", ["--allow-writes", long_magnet], False,
             "add: " + limit % len(long_magnet)),
            ("a link longer than 3 KiB to stream", ["stream", long_link], False, "stream: " + limit % len(long_link)),
            ("an entry whose link is longer than 3 KiB", ["stream", json.dumps({"locator": long_link})], False,
             "stream: the entry's \"locator\": " + limit % len(long_link)),
            ("a time-out past its range", ["validate", "--timeout", "99999999"], False,
             "--timeout needs seconds from 0.001 to 86400 (a day), not 99999999"),
            ("a connect time-out of nothing", ["validate", "--connect-timeout", "0"], False,
             "--connect-timeout needs seconds from 0.001 to 86400"),
            ("a season past its range", ["stream", "m101", "--season", "1000001", "--episode", "1"], False,
             "--season needs a number from 0 to 1000000"),
            ("an episode of 0", ["stream", "m101", "--season", "1", "--episode", "0"], False,
             "--episode needs a number from 1 to 1000000"),
            ("a magnet id past its range", ["stream", "m" + "9" * 19], False,
             "a magnet is m and an id of 1 to 18 digits, not 19 digits"),
            ("a torrent file that is missing", ["torrent", os.path.join(folder, "none.torrent")], False,
             "cannot read"),
        ]
        for name, args, own_account, err in rows:
            with self.subTest(name):
                since = len(self.account.requests)
                ran = run_cli(*args, "--api-root", self.service.api_root) if own_account and "--fake" not in args \
                    else run_cli(*args) if own_account else self.run_cli(*args)
                self.assertEqual((ran.code, ran.out), (2, ""), repr(ran))
                self.assertIn(err, ran.err)
                self.assertEqual(len(self.account.requests), since, "a request was sent")
        # A link of 3 KiB exactly is taken, by add and by magnet.
        exact = magnet("Exact")[0] + "&tr="
        exact += "x" * (3072 - len(exact))
        self.assertEqual(self.run_cli("add", "--allow-writes", exact).code, 0)
        self.assertEqual(run_cli("magnet", exact).code, 0)
        ran = run_cli("magnet", exact + "x")
        self.assertEqual(ran.code, 1, repr(ran))
        self.assertIn("tavro: magnet: the link is 3073 bytes long; a link is 1 to 3072 bytes", ran.err)


class KeyTests(ServiceCase):
    """A refused key is traced to its source, and to where a valid one is found."""

    WHERE = "tavro: get a valid key with `tavro login`, or from the service's key page " \
            "https://alldebrid.com/apikeys/\n"

    def home_with(self, settings):
        home = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, home)
        path = os.path.join(home, ".config", "tavro", "settings.json")
        if settings is not None:
            os.makedirs(os.path.dirname(path))
            with open(path, "w") as f:
                json.dump(settings, f)
            os.chmod(path, 0o600)
        return home, path

    def test_each_source_of_a_refused_key(self):
        _, none = self.home_with(None)
        home_bad, file_bad = self.home_with({"APIKey": "wrong-in-file"})
        home_good, file_good = self.home_with({"APIKey": KEY})
        with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
            json.dump({"APIKey": "wrong-in-option-file"}, f)
        os.chmod(f.name, 0o600)
        self.addCleanup(os.unlink, f.name)
        # (name, arguments, HOME, $TAVRO_API_KEY, the line naming the source)
        rows = [
            ("--api-key alone", ["--api-key", "wrong-option"], os.path.dirname(none), None,
             "tavro: the key came from --api-key\n"),
            ("--api-key over the environment and the file", ["--api-key", "wrong-option"], home_good, KEY,
             "tavro: the key came from --api-key, which overrides $TAVRO_API_KEY and the settings file %s "
             "(they hold keys too)\n" % file_good),
            ("the environment alone", [], os.path.dirname(none), "wrong-env", "tavro: the key came from $TAVRO_API_KEY\n"),
            ("the environment over the file", [], home_good, "wrong-env",
             "tavro: the key came from $TAVRO_API_KEY, which overrides the settings file %s (it holds a key too)\n"
             % file_good),
            ("--settings over the environment", ["--settings", f.name], os.path.dirname(none), KEY,
             "tavro: the key came from the settings file %s (--settings), which overrides $TAVRO_API_KEY "
             "(it holds a key too)\n" % f.name),
            ("the settings file", [], home_bad, None, "tavro: the key came from the settings file %s\n" % file_bad),
        ]
        for name, args, home, env_key, line in rows:
            with self.subTest(name):
                env = {k: v for k, v in clean_env(HOME=home).items() if k != "XDG_CONFIG_HOME"}
                if env_key:
                    env["TAVRO_API_KEY"] = env_key
                ran = self.run_cli("validate", *args, key=None, env=env)
                self.assertEqual(ran.code, 3, repr(ran))
                self.assertEqual(ran.err, "tavro: AllDebrid error AUTH_BAD_APIKEY: The apikey is invalid\n" + line +
                                 self.WHERE)
                for secret in ("wrong-option", "wrong-env", "wrong-in-file", "wrong-in-option-file"):
                    self.assertNotIn(secret, ran.err)

    def test_other_failures_say_nothing_of_the_key(self):
        ran = self.run_cli("ls", "m999")
        self.assertEqual(ran.code, 4, repr(ran))
        self.assertNotIn("the key came from", ran.err)


class EpisodeTests(ServiceCase):
    """One episode rule: --season N --episode M picks that episode in add and in
    stream; --full-season adds the pack whole."""

    def test_add_and_stream_pick_the_same_episode(self):
        pack = magnet("Harbour.S01.Pack")[0]
        # (name, add's options, the file whose direct URL add prints)
        rows = [
            ("--season and --episode alone", ["--season", "1", "--episode", "3"], "Harbour.S01E03.mkv"),
            ("with --full-season as well", ["--full-season", "--season", "1", "--episode", "2"], "Harbour.S01E02.mkv"),
            ("--full-season alone: the pack whole", ["--full-season"], "Harbour.S01E03.mkv"),
            ("neither: the largest file", [], "Harbour.S01E03.mkv"),
        ]
        for name, options, file in rows:
            with self.subTest(name):
                added = self.json_of(self.run_cli("add", "--allow-writes", *options, pack))
                self.assertEqual(added["InstantName"], file)
                mid = "m%d" % added["Payload"]["id"]
                # add --url, as the issue asked it: the same URL.
                url = self.run_cli("add", "--allow-writes", "--url", *options, pack)
                self.assertEqual((url.code, url.out), (0, added["InstantURL"] + "\n"), repr(url))
                # stream picks the same file of the added pack by the same options.
                streamed = self.run_cli("stream", "--url", mid, *[o for o in options if o != "--full-season"])
                self.assertEqual((streamed.code, streamed.out), (0, added["InstantURL"] + "\n"), repr(streamed))

    def test_the_rule_is_refused_in_the_same_words(self):
        for command in (["add", "--allow-writes", magnet("Harbour.S01.Pack")[0]], ["stream", "m101"]):
            for options in (["--season", "1"], ["--episode", "2"]):
                with self.subTest(command=command[0], options=options):
                    ran = self.run_cli(*command, *options)
                    self.assertEqual(ran.code, 2, repr(ran))
                    self.assertIn("tavro: --season and --episode go together", ran.err)
        ran = self.run_cli("stream", "--full-season", "m101")
        self.assertEqual(ran.code, 2, repr(ran))
        self.assertIn("--full-season does not apply to stream", ran.err)

    def test_no_such_episode(self):
        ran = self.run_cli("add", "--allow-writes", "--season", "1", "--episode", "9", magnet("Harbour.S01.Pack")[0])
        self.assertEqual(ran.code, 1, repr(ran))
        self.assertRegex(ran.err, r"the pack holds no S01E09")
        ran = self.run_cli("stream", "m101", "--season", "1", "--episode", "9")
        self.assertEqual(ran.code, 4, repr(ran))


class DetailsTests(ServiceCase):
    """The smaller promises."""

    def settings_file(self, content, mode=0o600):
        fd, path = tempfile.mkstemp(suffix=".json")
        os.write(fd, content.encode())
        os.close(fd)
        os.chmod(path, mode)
        self.addCleanup(os.unlink, path)
        return path

    def test_mistyped_options_get_the_closest(self):
        rows = [("--josn", "--json"), ("--verbos", "--verbose"), ("--allow-write", "--allow-writes"),
                ("--time-out", "--timeout"), ("--tabel", "--table"), ("--colour", None)]
        for word, near in rows:
            with self.subTest(word):
                ran = run_cli("ls", word, env=clean_env(TAVRO_API_KEY=KEY))
                self.assertEqual(ran.code, 2, repr(ran))
                first = ran.err.splitlines()[0]
                self.assertEqual(first, "tavro: unknown option: %s%s" % (word, " (did you mean %s?)" % near
                                                                          if near else ""))

    def test_unknown_settings_keys_are_named(self):
        all_keys = "RuntimeType, APIKey, ClientSecret, CustomName, ClientId, ID, MaxQuality, DelayedWait, APIRoot"
        rows = [
            ("far from any", {"APIKey": KEY, "Foo": 1},
             ['"Foo" is not a setting, and is left out (the settings are %s)' % all_keys]),
            ("the case of a setting", {"APIKey": KEY, "ApiRoot": "http://x"},
             ['"ApiRoot" is not a setting; did you mean APIRoot?']),
            ("close to one", {"APIKey": KEY, "CustmoName": "x"}, ['"CustmoName" is not a setting; did you mean '
                                                                   'CustomName?']),
        ]
        for name, settings, warnings in rows:
            with self.subTest(name):
                path = self.settings_file(json.dumps(settings))
                ran = self.run_cli("validate", "--settings", path, key=None)
                self.assertEqual(ran.code, 0, repr(ran))
                for w in warnings:
                    self.assertIn("tavro: warning: %s: %s" % (path, w), ran.err)

    def test_the_key_file_warning_only_for_a_file_that_holds_a_key(self):
        rows = [("an empty object", "{}", 2), ("a blank key", '{"APIKey": "  "}', 2),
                ("a file of other settings", '{"CustomName": "x"}', 2), ("a key", json.dumps({"APIKey": KEY}), 0)]
        for name, content, code in rows:
            with self.subTest(name):
                path = self.settings_file(content, 0o644)
                ran = self.run_cli("validate", "--settings", path, key=None)
                self.assertEqual(ran.code, code, repr(ran))
                self.assertEqual("can be read by other users" in ran.err, code == 0, ran.err)
                if code:
                    self.assertIn("APIKey is empty", ran.err)

    def test_the_root_needs_no_account(self):
        home = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, home)
        env = {k: v for k, v in clean_env(HOME=home).items() if k != "XDG_CONFIG_HOME"}
        since = len(self.account.requests)
        ran = self.run_cli("ls", key=None, env=env)
        self.assertEqual((ran.code, json.loads(ran.out)[0]["path"]), (0, "torrents"), repr(ran))
        self.assertEqual(len(self.account.requests), since)
        ran = self.run_cli("ls", "torrents", key=None, env=env)
        self.assertEqual(ran.code, 2, repr(ran))
        self.assertIn("no account", ran.err)

    def test_verbose_shows_each_exchange(self):
        ran = self.run_cli("-v", "stream", "https://standin.test/f/nt102")
        self.assertEqual(ran.code, 0, repr(ran))
        self.assertRegex(ran.err, r"tavro: POST %s/v4/link/unlock\?agent=quorvelindash -> HTTP 200, \d+ bytes, \d+ ms\n"
                         % re.escape(self.service.base))
        self.assertIn("tavro:   > Authorization: Bearer <redacted>\n", ran.err)
        self.assertIn("tavro:   > Content-Type: application/x-www-form-urlencoded\n", ran.err)
        self.assertRegex(ran.err, r"tavro:   > User-Agent: tavro/\d")
        self.assertNotIn("tavro:   < ", ran.err, "the answer's headers are for -vv")
        twice = self.run_cli("-vv", "stream", "https://standin.test/f/nt102")
        self.assertIn("tavro:   < Content-Type: application/json\n", twice.err)
        self.assertIn("tavro:   < Server: standin", twice.err)
        # The upload of a local torrent, and its read, under -v.
        with tempfile.NamedTemporaryFile("wb", suffix=".torrent", delete=False) as f:
            f.write(standin.TORRENT)
        self.addCleanup(os.unlink, f.name)
        ran = self.run_cli("-v", "add", "--allow-writes", f.name)
        self.assertEqual(ran.code, 0, repr(ran))
        self.assertIn("tavro: GET file://%s (the local file) -> %d bytes\n" % (f.name, len(standin.TORRENT)), ran.err)
        self.assertRegex(ran.err, r"tavro:   > Content-Type: multipart/form-data; boundary=")
        self.assertEqual(self.account.uploads[-1][:2], ("files[0]", os.path.basename(f.name)))

    def test_table_off_a_terminal(self):
        ran = self.run_cli("ls", "--table", "m101", env=clean_env(COLUMNS="200"))
        self.assertEqual(ran.code, 0, repr(ran))
        self.assertEqual(ran.out.splitlines()[0].split(), ["NAME", "SIZE", "KIND", "PATH"])
        self.assertIn("  m101/Harbour.S01/Season 1/Harbour.S01E02.mkv\n", ran.out)
        ran = self.run_cli("validate", "--table")
        self.assertTrue(ran.out.startswith("account OK\n"), repr(ran))
        # Without $COLUMNS, 80 columns.
        env = {k: v for k, v in clean_env().items() if k != "COLUMNS"}
        ran = self.run_cli("ls", "--table", "m101", env=env)
        self.assertTrue(all(cells(l) <= 80 for l in ran.out.splitlines()), ran.out)
        ran = self.run_cli("ls", "--table", "--json", "m101")
        self.assertEqual(ran.code, 2, repr(ran))
        self.assertIn("--json and --table ask for two forms of output: give one", ran.err)


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
