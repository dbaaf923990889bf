# SPDX-License-Identifier: MIT
"""A stand-in for the AllDebrid service, for the command-line host's tests.

Serves the endpoints the library uses from a small in-memory account, as the
service answers them today: the account check is a GET of /v4/user; every
other endpoint takes a POST whose parameters are in the form body (the
magnets of the account on /v4.1/magnet/status, a torrent file as multipart
form data in the file part "files[0]"); bad items come back as items holding
an error inside a success envelope. The retired forms are refused as the
service refuses its discontinued endpoints (HTTP 200, DISCONTINUED): the old
/v4/magnet/status, a GET of a POST endpoint, and an endpoint parameter sent
in the query. (The service itself still reads some parameters from the query;
the stand-in is stricter, so that a request drifting back to that form shows.)
Signing in as the service documents it: a PIN from the public /v4.1/pin/get,
checked on the public /v4/pin/check until it is entered (the test says after
how many checks, or that it expires); a key can be blocked from a new place
(AUTH_BLOCKED with a token, any endpoint but the approval's), approved, denied
or spent through /v4/user/verif, and the e-mail asked again once through
/v4/user/verif/resend. There are also a few plain web pages (redirects to
magnets, torrent files, a page that is neither). Python 3 standard library only. It runs in the test's
own process on a daemon thread bound to 127.0.0.1 on a free port, so it ends
with the test.
"""

import collections
import hashlib
import http.server
import json
import re
import socket
import ssl
import threading
import urllib.parse

GiB = 1 << 30
MiB = 1 << 20


def ok(data):
    return {"status": "success", "data": data}


def error(code, message):
    return {"status": "error", "error": {"code": code, "message": message}}


# The service's own AUTH_BLOCKED message, HTML and all.
BLOCKED_MESSAGE = ("You are logging from a new location, device or app. "
                   "An <b>email has been sent</b> to confirm the new sign in.")
PIN = "ABCD"
PIN_CHECK = "664c3ca2635c99f291d28e11ea18e154750bd21a"
PIN_KEY = "pinKey-Entered_9f2c41"


def magnet(name):
    h = hashlib.sha1(name.encode()).hexdigest()
    return "magnet:?xt=urn:btih:%s&dn=%s" % (h, name), h


def season_pack(prefix):
    """The nested file tree of a season pack; links begin with prefix."""
    return [{"n": "Harbour.S01", "e": [
        {"n": "Season 1", "e": [
            {"n": "Harbour.S01E01.mkv", "s": 2 * GiB + 1, "l": prefix + "e01"},
            {"n": "Harbour.S01E02.mkv", "s": 2 * GiB, "l": prefix + "e02"},
            {"n": "Harbour.S01E03.mkv", "s": 2 * GiB + 3, "l": prefix + "e03"}]},
        {"n": "Harbour.S01.nfo", "s": 900, "l": prefix + "nfo"}]}]


TORRENT = (b"d8:announce30:udp://tracker.standin.test:1/a4:infod6:lengthi7340032e"
           b"4:name15:Lecture.One.mkv12:piece lengthi262144eee")

# A torrent as real ones are: its piece hash is binary and holds a NUL byte.
TORRENT_WITH_NUL = (b"d8:announce30:udp://tracker.standin.test:1/a4:infod6:lengthi262144e"
                    b"4:name15:Lecture.Two.mkv12:piece lengthi262144e6:pieces20:"
                    + bytes(range(7, 27)).replace(b"\x10", b"\x00") + b"ee")

# A torrent of a few MiB whose piece hashes are binary, NUL bytes included.
BIG_PIECES = bytes((i * 7919 >> 3) & 0xFF for i in range(3 << 20))
BIG_TORRENT = (b"d8:announce30:udp://tracker.standin.test:1/a4:infod6:lengthi1073741824e"
               b"4:name17:Big.Archive.2024x12:piece lengthi262144e6:pieces%d:" % len(BIG_PIECES)
               + BIG_PIECES + b"ee")

# Whole bencoding that passes for a torrent at a glance, but its "info" is a
# string: the service refuses the file.
NOT_A_TORRENT = b"d8:announce30:udp://tracker.standin.test:1/a4:info16:not a dictionarye"


def bdecode(data):
    """The one bencoded value that is all of data; ValueError when it is not."""

    def value(i):
        c = data[i:i + 1]
        if c == b"i":
            j = data.index(b"e", i)
            return int(data[i + 1:j]), j + 1
        if c in (b"l", b"d"):
            i += 1
            items = []
            while data[i:i + 1] != b"e":
                if i >= len(data):
                    raise ValueError("cut short")
                v, i = value(i)
                items.append(v)
            if c == b"l":
                return items, i + 1
            if len(items) % 2 or not all(isinstance(k, bytes) for k in items[::2]):
                raise ValueError("not a dictionary")
            return dict(zip(items[::2], items[1::2])), i + 1
        if c.isdigit():
            colon = data.index(b":", i)
            n = int(data[i:colon])
            if colon + 1 + n > len(data):
                raise ValueError("cut short")
            return data[colon + 1:colon + 1 + n], colon + 1 + n
        raise ValueError("not bencoding")

    v, end = value(0)
    if end != len(data):
        raise ValueError("bytes after the value")
    return v


def bencode(v):
    if isinstance(v, int):
        return b"i%de" % v
    if isinstance(v, bytes):
        return b"%d:%s" % (len(v), v)
    if isinstance(v, list):
        return b"l" + b"".join(bencode(x) for x in v) + b"e"
    return b"d" + b"".join(bencode(k) + bencode(v[k]) for k in sorted(v)) + b"e"


# One request as the stand-in saw it; form holds the fields of a form body.
Request = collections.namedtuple("Request", "method path query headers body form")


class Account:
    """What the stand-in service holds, and what it was asked."""

    KEYS = ("sk-Tav/ro+Secret_2024", 'we"ird\\key')

    def __init__(self):
        self.lock = threading.Lock()
        self.next_id = 500
        self.magnets = {}   # id -> {"id", "filename", "size", "ready", "files"}
        self.links = {}     # service link -> (file name, size)
        self.cached = {}    # info-hash -> (name, size, files): held already, ready at once
        self.requests = []  # Request
        self.uploads = []   # multipart parts: (name, filename, data)
        self.deleted = []
        # The links the account saved and those it unlocked lately, as
        # /user/links and /user/history answer them.
        self.saved = [
            {"link": "https://hoster.standin.test/f/Open.Movie.2008.mkv", "filename": "Open.Movie.2008.mkv",
             "size": 700 * MiB, "date": 1735689600, "host": "hoster"},
            {"link": "https://video.standin.test/watch?v=q4", "filename": "", "size": 0, "date": 1735693200,
             "host": "stream"},
            {"link": "https://hoster.standin.test/f/Slow.Archive.zip", "filename": "Slow.Archive.zip",
             "size": 3 * GiB, "date": 1735696800, "host": "hoster"}]
        self.history = [self.saved[1]]
        self.links["https://hoster.standin.test/f/Open.Movie.2008.mkv"] = ("Open.Movie.2008.mkv", 700 * MiB)
        # A video of several qualities: its unlock answers the streams, each
        # stream's own request the link of that quality.
        self.videos = {"https://video.standin.test/watch?v=q4": ("gen-q4", "Quartet (Video)", [
            {"id": "140", "ext": "mp3", "quality": "mp3", "filesize": 3 * MiB, "proto": "https", "name": ""},
            {"id": "137+140", "ext": "mp4", "quality": 1080, "filesize": 75 * MiB, "proto": "https", "name": ""},
            {"id": "398+140", "ext": "mp4", "quality": 720, "filesize": 32 * MiB, "proto": "https", "name": ""}])}
        # Links the service takes time to prepare: link -> delayed id, and
        # for each id the answers of its polls, one per poll (the last one
        # stays).
        self.slow = {"https://hoster.standin.test/f/Slow.Archive.zip": 4711}
        self.polls = {4711: [{"status": 1, "time_left": 45}]}
        # path -> "500", "drop", "stall", "crafted" (an error message with escape
        # sequences), "huge" (a body of 65 MiB), "huge-unsized"
        # (the same without a length), or a list of "429", "503", "429 wait N",
        # "503 wait N" (with Retry-After: N), taken one per request
        self.faults = {}
        self.stall = threading.Event()
        # info-hash -> (name, size, steps, files): added as a magnet that goes
        # through those steps (add_moving) before it is ready
        self.arriving = {}
        self.keys = set(self.KEYS)
        # Signing in: the PIN is entered after this many checks (None: never),
        # or it expires after expire_after checks; checks made so far.
        self.pin_waits = 1
        self.pin_expire_after = None
        self.pin_checks = 0
        # key -> token: keys the service blocks from this place; token ->
        # {"states": ["waiting", ..., "allowed" | "denied" | "spent"],
        #  "resendable": bool, "key": the key allowed (None: the blocked one),
        #  "resent": count}
        self.blocked = {}
        self.approvals = {}
        self._add(101, "Harbour.S01.1080p", 6 * GiB + 904, True, season_pack("https://standin.test/f/h101"))
        self._add(102, "Night.Train.2021.mkv", 1400 * MiB, True,
                  [{"n": "Night.Train.2021.mkv", "s": 1400 * MiB, "l": "https://standin.test/f/nt102"}])
        self._add(103, "Slow.Valley.2019", 18 * GiB, False, [])
        self.cached[magnet("Cached.Film.2020")[1]] = ("Cached.Film.2020", 3 * GiB, [
            {"n": "Cached.Film.2020.mkv", "s": 3 * GiB, "l": "https://standin.test/f/cf-main"},
            {"n": "Sample", "e": [{"n": "sample.mkv", "s": 30 * MiB, "l": "https://standin.test/f/cf-sample"}]}])
        self.cached[magnet("Harbour.S01.Pack")[1]] = ("Harbour.S01.Pack", 6 * GiB, season_pack("https://standin.test/f/hp"))

    def _walk_links(self, nodes):
        for n in nodes:
            if isinstance(n.get("e"), list):
                self._walk_links(n["e"])
            elif "l" in n:
                self.links[n["l"]] = (n["n"], n.get("s", -1))

    def _add(self, mid, name, size, ready, files):
        self.magnets[mid] = {"id": mid, "filename": name, "size": size, "ready": ready, "files": files}
        self._walk_links(files)

    # The states a magnet that is not ready goes through, one per question
    # about it by id: each step is a status entry's statusCode, status and
    # figures; after the last one the magnet is ready with files. A step
    # with statusCode 5 to 15 (failed) stays until the magnet is restarted.
    QUEUED = {"statusCode": 0, "status": "In Queue"}

    def add_moving(self, mid, name, size, steps, files):
        self._add(mid, name, size, False, [])
        self.magnets[mid]["steps"] = list(steps)
        self.magnets[mid]["final_files"] = files

    def step_of(self, m):
        steps = m.get("steps")
        return steps[0] if steps else None

    def advance(self, m):
        steps = m.get("steps")
        if not steps or steps[0]["statusCode"] >= 5:
            return
        steps.pop(0)
        if not steps:
            m["ready"], m["files"] = True, m.pop("final_files")
            del m["steps"]
            self._walk_links(m["files"])

    def add_magnet(self, text):
        m = re.search(r"[?&]xt=urn:btih:([0-9A-Fa-f]{40}|[2-7A-Za-z]{32})(&|$)", text)
        if not text.startswith("magnet:?") or not m:
            return {"magnet": text, "error": {"code": "MAGNET_INVALID_URI", "message": "This magnet is not valid"}}
        h = m.group(1).lower()
        self.next_id += 1
        if h in self.cached:
            name, size, files = self.cached[h]
            self._add(self.next_id, name, size, True, files)
        elif h in self.arriving:
            name, size, steps, files = self.arriving[h]
            self.add_moving(self.next_id, name, size, steps, files)
        else:
            dn = urllib.parse.parse_qs(text.split("?", 1)[1]).get("dn", [h])[0]
            name, size = dn, 0
            self._add(self.next_id, name, size, False, [])
        return {"magnet": text, "hash": h, "name": name, "size": size,
                "ready": self.magnets[self.next_id]["ready"], "id": self.next_id}

    def add_torrent(self, filename, data):
        try:
            torrent = bdecode(data)
            info = torrent.get(b"info") if isinstance(torrent, dict) else None
            if not isinstance(info, dict):
                raise ValueError("no info dictionary")
        except ValueError:
            return {"file": filename, "error": {"code": "MAGNET_INVALID_FILE", "message": "This file is not a valid torrent"}}
        name = info.get(b"name", filename.encode()).decode()
        size = info.get(b"length", 0)
        self.next_id += 1
        self._add(self.next_id, name, size, False, [])
        return {"file": filename, "name": name, "size": size, "hash": hashlib.sha1(bencode(info)).hexdigest(),
                "ready": False, "id": self.next_id}

    def requests_to(self, path):
        with self.lock:
            return [r for r in self.requests if r.path == path]


def multipart_parts(content_type, body):
    """(name, filename, data) of every part of a multipart/form-data body."""
    m = re.search(r'boundary="?([^";]+)"?', content_type or "")
    if not m:
        return []
    delimiter = b"--" + m.group(1).encode()
    parts = []
    for chunk in body.split(delimiter)[1:]:
        if chunk.startswith(b"--"):
            break
        head, _, data = chunk.partition(b"\r\n\r\n")
        if data.endswith(b"\r\n"):
            data = data[:-2]
        disposition = re.search(rb"Content-Disposition:[^\r\n]*", head, re.I)
        d = disposition.group(0).decode() if disposition else ""
        name = re.search(r'\bname="([^"]*)"', d)
        filename = re.search(r'filename="([^"]*)"', d)
        parts.append((name.group(1) if name else None, filename.group(1) if filename else None, data))
    return parts


DISCONTINUED = {"status": "error", "error": {
    "code": "DISCONTINUED",
    "message": "This API endpoint has been discontinued, please migrate to newest API. "
               "See the API documentation."}, "deprecated": True}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "standin"

    def log_message(self, *args):
        pass

    def handle(self):
        try:
            super().handle()
        except (ConnectionResetError, BrokenPipeError):
            pass  # the client hung up (an answer it refused, a dropped connection)

    @property
    def account(self):
        return self.server.account

    def send(self, status, body, content_type="application/json", headers=()):
        if not isinstance(body, (bytes, str)):
            text = json.dumps(body, ensure_ascii=False)
            # A name holding bytes that are no UTF-8 (kept in a str as lone
            # surrogates, Python's "surrogateescape") goes out as those bytes.
            if any("\udc80" <= ch <= "\udcff" for ch in text):
                body = text.encode("utf-8", "surrogateescape")
            else:
                body = json.dumps(body)
        if isinstance(body, str):
            body = body.encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for k, v in headers:
            self.send_header(k, v)
        self.end_headers()
        self.wfile.write(body)

    def send_huge(self, size, sized):
        """A body of size bytes, with its length or ended by closing the connection."""
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        if sized:
            self.send_header("Content-Length", str(size))
        # The client hangs up part way: no further request on this connection.
        self.close_connection = True
        self.end_headers()
        chunk = b" " * MiB
        try:
            for _ in range(size // MiB):
                self.wfile.write(chunk)
        except OSError:
            pass  # the client stopped reading, as it should

    def do_GET(self):
        self.handle_request("GET")

    def do_POST(self):
        self.handle_request("POST")

    def handle_request(self, method):
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query, keep_blank_values=True)
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        form = {}
        if (self.headers.get("Content-Type") or "").startswith("application/x-www-form-urlencoded"):
            form = urllib.parse.parse_qs(body.decode("latin-1"), keep_blank_values=True)
        req = Request(method, url.path, query, dict(self.headers), body, form)
        acc = self.account
        with acc.lock:
            acc.requests.append(req)
            fault = acc.faults.get(url.path)
            if isinstance(fault, list):
                fault = fault.pop(0) if fault else None
        if fault and fault.split()[0] in ("429", "503"):
            status, *wait = fault.split()
            headers = [("Retry-After", wait[1])] if wait else []
            self.send(int(status), error("GENERIC", "Too many requests" if status == "429" else "Busy"),
                      headers=headers)
            return
        if fault == "crafted":
            # An error message meant to clear the screen and retitle the terminal.
            self.send(200, error("GENERIC", "Gone\x1b[2J\x1b]0;owned\x07 away"))
            return
        if fault in ("huge", "huge-unsized"):
            self.send_huge(65 * MiB, fault == "huge")
            return
        if fault == "drop":
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        if fault == "stall":
            acc.stall.wait(10)
        if fault == "500":
            self.send(500, "Internal Server Error", "text/plain")
            return
        api = re.match(r"/(v4|v4\.1)(/.*)$", url.path)
        if api:
            self.api(api.group(1), api.group(2), req)
        else:
            self.web(url.path, query, body)

    # -- the service ------------------------------------------------------

    # (version, endpoint) -> (method, the endpoint's parameters, handler name)
    ENDPOINTS = {
        ("v4", "/user"): ("GET", (), "user"),
        ("v4.1", "/magnet/status"): ("POST", ("id", "status"), "status"),
        ("v4", "/magnet/files"): ("POST", ("id[]",), "files"),
        ("v4", "/link/unlock"): ("POST", ("link", "password"), "unlock"),
        ("v4", "/magnet/upload"): ("POST", ("magnets[]",), "upload"),
        ("v4", "/magnet/upload/file"): ("POST", (), "upload_file"),
        ("v4", "/magnet/delete"): ("POST", ("id",), "delete"),
        ("v4", "/magnet/restart"): ("POST", ("id",), "restart"),
        ("v4.1", "/pin/get"): ("GET", (), "pin_get"),
        ("v4", "/pin/check"): ("POST", ("pin", "check"), "pin_check"),
        ("v4", "/user/verif"): ("POST", ("token",), "verif"),
        ("v4", "/user/verif/resend"): ("POST", ("token",), "verif_resend"),
        ("v4", "/user/links"): ("GET", (), "saved"),
        ("v4", "/user/links/save"): ("POST", ("links[]",), "links_save"),
        ("v4", "/user/links/delete"): ("POST", ("links[]",), "links_delete"),
        ("v4", "/user/history"): ("GET", (), "history"),
        ("v4", "/link/streaming"): ("POST", ("id", "stream"), "streaming"),
        ("v4", "/link/delayed"): ("POST", ("id",), "delayed"),
    }
    RETIRED = {("v4", "/magnet/status")}
    # No key needed (one sent is ignored), and the approval's own endpoints,
    # which take the blocked key (or none).
    PUBLIC = {("v4.1", "/pin/get"), ("v4", "/pin/check")}
    APPROVAL = {("v4", "/user/verif"), ("v4", "/user/verif/resend")}

    def api(self, version, endpoint, req):
        acc = self.account
        # The key travels in the documented header; one in the URL is what
        # every proxy log would keep, so the stand-in refuses it.
        if "apikey" in req.query:
            self.send(200, error("GENERIC", "The API key was sent in the URL"))
            return
        auth = req.headers.get("Authorization") or ""
        key = auth[len("Bearer "):] if auth.startswith("Bearer ") else None
        public = (version, endpoint) in self.PUBLIC
        approval = (version, endpoint) in self.APPROVAL
        if key is None and not public and not approval:
            self.send(200, error("AUTH_MISSING_APIKEY", "The auth apikey was not sent"))
            return
        if key is not None and not public and key not in acc.keys:
            self.send(200, error("AUTH_BAD_APIKEY", "The apikey is invalid"))
            return
        with acc.lock:
            token = acc.blocked.get(key)
        if token and not public and not approval:
            self.send(200, {"status": "error", "error": {
                "code": "AUTH_BLOCKED", "message": BLOCKED_MESSAGE, "token": token}})
            return
        if (version, endpoint) in self.RETIRED:
            self.send(200, DISCONTINUED)
            return
        known = self.ENDPOINTS.get((version, endpoint))
        if not known:
            self.send(404, error("404", "Endpoint doesn't exist"))
            return
        method, params, name = known
        if req.method != method or any(p in req.query for p in params):
            self.send(200, DISCONTINUED)
            return
        with acc.lock:
            answer = getattr(self, "on_" + name)(acc, req)
        self.send(200, answer)

    def on_user(self, acc, req):
        return ok({"user": {"username": "standin", "isPremium": True}})

    @staticmethod
    def status_entry(m):
        # As the service documents them: a ready magnet carries no figures.
        if m["ready"]:
            return {"id": m["id"], "filename": m["filename"], "size": m["size"], "status": "Ready",
                    "statusCode": 4, "uploadDate": 1735689600, "completionDate": 1735693200}
        step = m.get("steps", [None])[0]
        if step:
            return dict({"id": m["id"], "filename": m["filename"], "size": m["size"],
                         "uploadDate": 1735689600, "completionDate": 0}, **step)
        return {"id": m["id"], "filename": m["filename"], "size": m["size"], "status": "Downloading",
                "statusCode": 1, "downloaded": 0, "uploaded": 0, "seeders": 3, "downloadSpeed": 0,
                "uploadSpeed": 0, "uploadDate": 1735689600, "completionDate": 0}

    def on_status(self, acc, req):
        ids = req.form.get("id", [])
        if ids:
            m = acc.magnets.get(int(ids[0])) if str(ids[0]).isdigit() else None
            if m is None:
                return error("MAGNET_INVALID_ID", "This magnet ID does not exists or is invalid")
            answer = ok({"magnets": [self.status_entry(m)]})
            acc.advance(m)
            return answer
        return ok({"magnets": [self.status_entry(m) for m in acc.magnets.values()]})

    def on_files(self, acc, req):
        ids = req.form.get("id[]", [])
        if not ids:
            return error("MAGNET_INVALID_ID", "This magnet ID does not exists or is invalid")
        out = []
        for i in ids:
            # The id comes back as the text that was sent, as the service may answer it.
            m = acc.magnets.get(int(i)) if i.isdigit() else None
            if m:
                out.append({"id": i, "files": m["files"]})
            else:
                out.append({"id": i, "error": {"code": "MAGNET_INVALID_ID",
                                               "message": "This magnet ID does not exists or is invalid"}})
        return ok({"magnets": out})

    def on_unlock(self, acc, req):
        link = req.form.get("link", [None])[0]
        if not link:
            return error("LINK_IS_MISSING", "No link was sent")
        if link in acc.videos:
            gen, name, streams = acc.videos[link]
            return ok({"link": "", "host": "stream", "filename": name, "filesize": 0, "id": gen,
                       "streams": streams})
        if link in acc.slow:
            return ok({"link": "", "host": "hoster", "filename": link.rsplit("/", 1)[1], "filesize": 3 * GiB,
                       "delayed": acc.slow[link]})
        if link not in acc.links:
            return error("LINK_HOST_NOT_SUPPORTED", "This host or link is not supported")
        name, size = acc.links[link]
        token = hashlib.sha1(link.encode()).hexdigest()[:8]
        return ok({"link": "%s/dl/%s/%s" % (self.server.base, token, name),
                   "filename": name, "filesize": size, "host": "standin"})

    def on_saved(self, acc, req):
        return ok({"links": acc.saved})

    def on_history(self, acc, req):
        return ok({"links": acc.history})

    def on_links_save(self, acc, req):
        links = req.form.get("links[]", [])
        if not links or not all(links):
            return error("USER_LINK_MISSING", "No link was sent")
        for link in links:
            if not re.match(r"https?://[^/\s]+", link):
                return error("USER_LINK_INVALID", "This link is not valid")
            if not any(s["link"] == link for s in acc.saved):
                acc.saved.append({"link": link, "filename": "", "size": 0, "date": 1735700000, "host": "hoster"})
        return ok({"message": "Link was successfully saved"})

    def on_links_delete(self, acc, req):
        links = req.form.get("links[]", [])
        if not links or not all(links):
            return error("USER_LINK_MISSING", "No link was sent")
        if not all(any(s["link"] == link for s in acc.saved) for link in links):
            return error("USER_LINK_INVALID", "This link is not valid")
        acc.saved = [s for s in acc.saved if s["link"] not in links]
        return ok({"message": "Link was successfully deleted"})

    def on_streaming(self, acc, req):
        gen, stream = req.form.get("id", [None])[0], req.form.get("stream", [None])[0]
        for _, (g, name, streams) in acc.videos.items():
            if g != gen:
                continue
            for s in streams:
                if s["id"] == stream:
                    quality = s["quality"]
                    filename = "%s.%s.%s" % (name, quality, s["ext"])
                    return ok({"link": "%s/dl/%s/%s" % (self.server.base, gen, urllib.parse.quote(filename)),
                               "filename": filename, "filesize": s["filesize"]})
            return error("STREAM_INVALID_STREAM_ID", "Invalid stream ID")
        return error("STREAM_INVALID_GEN_ID", "Invalid generation ID")

    def on_delayed(self, acc, req):
        did = req.form.get("id", [""])[0]
        plan = acc.polls.get(int(did)) if did.isdigit() else None
        if plan is None:
            return error("DELAYED_INVALID_ID", "This delayed ID is invalid")
        answer = plan.pop(0) if len(plan) > 1 else plan[0]
        return ok(answer)

    def on_upload(self, acc, req):
        texts = req.form.get("magnets[]", [])
        if not texts:
            return error("MAGNET_NO_URI", "No magnet sent")
        return ok({"magnets": [acc.add_magnet(t) for t in texts]})

    def on_upload_file(self, acc, req):
        parts = multipart_parts(req.headers.get("Content-Type"), req.body)
        acc.uploads.extend(parts)
        # One file part per torrent, in fields files[0], files[1], ...
        files = [p for p in parts if re.fullmatch(r"files\[\d+\]", p[0] or "")]
        if not files:
            return error("MAGNET_FILE_UPLOAD_FAILED", "No file was sent")
        return ok({"files": [acc.add_torrent(filename, data) for _, filename, data in files]})

    def on_pin_get(self, acc, req):
        acc.pin_checks = 0
        return ok({"pin": PIN, "check": PIN_CHECK, "expires_in": 600,
                   "user_url": "https://alldebrid.com/pin/?pin=" + PIN,
                   "base_url": "https://alldebrid.com/pin/"})

    def on_pin_check(self, acc, req):
        if req.form.get("pin") != [PIN] or req.form.get("check") != [PIN_CHECK]:
            return error("PIN_INVALID", "The check token is wrong")
        acc.pin_checks += 1
        if acc.pin_expire_after is not None and acc.pin_checks > acc.pin_expire_after:
            return error("PIN_EXPIRED", "The pin has expired")
        if acc.pin_waits is not None and acc.pin_checks > acc.pin_waits:
            acc.keys.add(PIN_KEY)
            return ok({"apikey": PIN_KEY, "activated": True, "expires_in": 600 - acc.pin_checks})
        return ok({"activated": False, "expires_in": 600 - acc.pin_checks})

    def approval(self, acc, req):
        token = req.form.get("token", [None])[0]
        return token, acc.approvals.get(token)

    def on_verif(self, acc, req):
        token, a = self.approval(acc, req)
        if a is None:
            return error("PIN_EXPIRED", "This token is expired")
        state = a["states"].pop(0) if len(a["states"]) > 1 else a["states"][0]
        if state == "spent":
            return error("PIN_EXPIRED", "This token is expired")
        if state == "waiting":
            return ok({"verif": "waiting", "resendable": a.get("resendable", True)})
        if state == "denied":
            return ok({"verif": "denied"})
        # Allowed: the key works from here now (or a new one does).
        allowed = a.get("key")
        for k, t in list(acc.blocked.items()):
            if t == token:
                del acc.blocked[k]
                allowed = allowed or k
        allowed = allowed or Account.KEYS[0]
        acc.keys.add(allowed)
        return ok({"verif": "allowed", "apikey": allowed})

    def on_verif_resend(self, acc, req):
        token, a = self.approval(acc, req)
        if a is None:
            return error("PIN_EXPIRED", "This token is expired")
        a["resent"] = a.get("resent", 0) + 1
        if a["resent"] > 1:
            return error("ALREADY_SENT", "The email was already sent")
        return ok({"sent": True})

    def on_delete(self, acc, req):
        mid = req.form.get("id", [None])[0]
        if not (mid or "").isdigit() or int(mid) not in acc.magnets:
            return error("MAGNET_INVALID_ID", "This magnet ID does not exists or is invalid")
        del acc.magnets[int(mid)]
        acc.deleted.append(int(mid))
        return ok({"message": "Magnet was successfully deleted"})

    def on_restart(self, acc, req):
        mid = req.form.get("id", [None])[0]
        if not (mid or "").isdigit() or int(mid) not in acc.magnets:
            return error("MAGNET_INVALID_ID", "This magnet ID does not exists or is invalid")
        m = acc.magnets[int(mid)]
        step = acc.step_of(m)
        if not step or step["statusCode"] < 5:
            return error("MAGNET_PROCESSING", "Magnet is processing or completed")
        m["steps"] = [Account.QUEUED, {"statusCode": 1, "status": "Downloading", "downloaded": m["size"] // 2,
                                       "downloadSpeed": 2000000, "seeders": 4}]
        return ok({"message": "Magnet was successfully restarted"})

    # -- plain web pages ----------------------------------------------------

    def web(self, path, query, body):
        if path == "/web/to-magnet":
            self.send(302, "", "text/plain", [("Location", magnet("Redirected.Show")[0])])
        elif path == "/web/to-bad-magnet":
            self.send(302, "", "text/plain", [("Location", "magnet:?xt=urn:btih:123&dn=Short.Hash")])
        elif path == "/web/hop":
            self.send(301, "", "text/plain", [("Location", "/web/to-magnet")])
        elif path == "/web/file.torrent":
            self.send(200, TORRENT, "application/x-bittorrent")
        elif path == "/web/nul.torrent":
            self.send(200, TORRENT_WITH_NUL, "application/x-bittorrent")
        elif path == "/web/bad.torrent":
            self.send(200, NOT_A_TORRENT, "application/x-bittorrent")
        elif path == "/web/big.torrent":
            self.send(200, BIG_TORRENT, "application/x-bittorrent")
        elif path == "/web/binary":
            # Not a torrent, and a NUL byte early on: read to its length, the
            # whole body is judged.
            self.send(200, b"d8:announce\0" + b"x" * 64, "application/octet-stream")
        elif path == "/web/page":
            self.send(200, "<html><body>Nothing to add here.</body></html>", "text/html")
        elif path == "/web/echo":
            # For the transport's own tests: the request, written back.
            self.send(200, json.dumps({"query": urllib.parse.urlsplit(self.path).query,
                                       "body": body.decode("latin-1"),
                                       "type": self.headers.get("Content-Type")}))
        else:
            self.send(404, "not found", "text/plain")


class StandIn:
    """The service on 127.0.0.1, on a free port, on a daemon thread."""

    def __init__(self, certfile=None):
        self.account = Account()
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.server.account = self.account
        scheme = "http"
        if certfile:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(certfile)
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
            scheme = "https"
        self.base = "%s://127.0.0.1:%d" % (scheme, self.server.server_address[1])
        self.server.base = self.base
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.1},
                                       daemon=True)

    @property
    def api_root(self):
        return self.base + "/v4"

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.account.stall.set()
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(5)
