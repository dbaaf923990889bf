"""End-to-end tests of the tavro command-line host.

The CLI runs as a separate process, loads the library with dlopen and talks
real HTTP to the stand-in service (standin.py) through --api-root. Each test
class starts its own stand-in and stops it when the class is done; a
watchdog ends the whole run if it takes too long.

    python3 test_cli.py --cli build/tavro --lib build/libtavro.so [--io-threads BIN] [CLASS...]
"""

import argparse
import json
import os
import pty
import re
import select
import shutil
import subprocess
import sys
import tempfile
import threading
import time
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


def run_cli(*args, env=None, stdin=None, tty=False, timeout=30):
    cmd = [CLI, "--lib", LIB, *args]
    if not tty:
        p = subprocess.run(cmd, input=stdin, capture_output=True, text=True, env=env or clean_env(),
                           timeout=timeout)
        return Ran(p.returncode, p.stdout, p.stderr)
    # Standard output on a pseudo-terminal, as in an interactive shell.
    master, slave = pty.openpty()
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
                ("not a folder name", "films", "tavro: no such folder: films\n")]
        for name, folder, message in rows:
            with self.subTest(name):
                ran = self.run_cli("ls", folder)
                self.assertEqual((ran.code, ran.out), (4, ""), repr(ran))
                self.assertEqual(ran.err, message)

    def test_table_on_a_terminal(self):
        ran = self.run_cli("ls", "m101", tty=True)
        self.assertEqual(ran.code, 0, repr(ran))
        lines = ran.out.splitlines()
        self.assertEqual(lines[0].split(), ["NAME", "SIZE", "KIND", "PATH"])
        self.assertEqual(len(lines), 5)
        self.assertEqual(lines[2].split(None, 1)[0], "Harbour.S01E02.mkv")
        self.assertIn("2.0 GiB  file  Harbour.S01/Season 1/Harbour.S01E02.mkv", lines[2])
        self.assertIn("900 B  file", lines[4])
        # Aligned: every row's size ends, and its path starts, in the same column.
        ends = {re.search(r"(SIZE|B|iB)  ", l).end() for l in lines}
        self.assertEqual(len(ends), 1, ran.out)
        starts = {l.index("PATH") if i == 0 else l.index("Harbour.S01/") for i, l in enumerate(lines)}
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
        doc = self.json_of(self.run_cli("add", "--allow-writes", "--keep-instant-only", magnet("Gone.Again")[0]))
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
        self.assertIn("Link is not a magnet, a redirect-to-magnet or a torrent file", ran.err)


class WireTests(ServiceCase):
    """The requests as the service takes them today."""

    FORM = "application/x-www-form-urlencoded"

    def api_requests(self, since):
        with self.account.lock:
            return [r for r in self.account.requests[since:] if re.match(r"/v4(\.1)?/", r.path)]

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
            ("add, then delete what is not ready", ["add", "--allow-writes", "--keep-instant-only", slow], 0, [
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
            ("HTTP 500", "/v4.1/magnet/status", "500", ["ls", "torrents"], [], "magnet/status answered HTTP 500"),
            ("dropped connection", "/v4/user", "drop", ["validate"], [],
             "GET %s/user?agent=quorvelindash: Empty reply from server" % LIBRARY_ROOT),
            ("time-out", "/v4/link/unlock", "stall", ["stream", "https://standin.test/f/nt102"], ["--timeout", "1"],
             "timed out"),
        ]
        for name, path, mode, args, options, message in rows:
            with self.subTest(name):
                self.fault(path, mode)
                t0 = time.time()
                ran = self.run_cli(*args, *options)
                self.assertEqual(ran.code, 6, repr(ran))
                self.assertIn(message, ran.err)
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
        self.assertIn("Failed to connect", ran.err)


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
            ("--fake with --api-root", ["ls", "--fake", "x.json", "--api-root", "http://x"]),
        ]
        for name, args in rows:
            with self.subTest(name):
                ran = run_cli(*args, env=clean_env(TAVRO_API_KEY=KEY))
                self.assertEqual(ran.code, 2, repr(ran))
                self.assertRegex(ran.err, r"^tavro: .*\nusage: tavro ")
                self.assertEqual(ran.out, "")

    def test_help_for_every_command(self):
        for command in ["demo", "validate", "ls", "stream", "add", "episode", "magnet", "torrent", "redact"]:
            with self.subTest(command):
                for args in ([command, "--help"], ["help", command]):
                    ran = run_cli(*args)
                    self.assertEqual(ran.code, 0, repr(ran))
                    self.assertTrue(ran.out.startswith("usage: tavro " + command), ran.out)
                    self.assertIn("Exit status:", ran.out)
        ran = run_cli("--help")
        self.assertEqual(ran.code, 0)
        for command in ["demo", "validate", "ls", "stream", "add", "episode", "magnet", "torrent", "redact"]:
            self.assertRegex(ran.out, r"\n  %s\b" % command)

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
