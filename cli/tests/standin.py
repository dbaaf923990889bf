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
There are also a few plain web pages (redirects to magnets, torrent files, a
page that is neither). Python 3 standard library only. It runs in the test's
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
        # path -> "500", "drop", "stall", "crafted" (an error message with escape
        # sequences), "huge" (a body of 65 MiB), "huge-unsized"
        # (the same without a length), or a list of "429", "503", "429 wait N",
        # "503 wait N" (with Retry-After: N), taken one per request
        self.faults = {}
        self.stall = threading.Event()
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

    def add_magnet(self, text):
        m = re.search(r"[?&]xt=urn:btih:([0-9A-Fa-f]{40}|[2-7A-Za-z]{32})(&|$)", text)
        if not text.startswith("magnet:?") or not m:
            return {"magnet": text, "error": {"code": "MAGNET_INVALID_URI", "message": "This magnet is not valid"}}
        h = m.group(1).lower()
        self.next_id += 1
        if h in self.cached:
            name, size, files = self.cached[h]
            self._add(self.next_id, name, size, True, files)
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
    }
    RETIRED = {("v4", "/magnet/status")}

    def api(self, version, endpoint, req):
        acc = self.account
        # The key travels in the documented header; one in the URL is what
        # every proxy log would keep, so the stand-in refuses it.
        if "apikey" in req.query:
            self.send(200, error("GENERIC", "The API key was sent in the URL"))
            return
        auth = req.headers.get("Authorization") or ""
        key = auth[len("Bearer "):] if auth.startswith("Bearer ") else None
        if key is None:
            self.send(200, error("AUTH_MISSING_APIKEY", "The auth apikey was not sent"))
            return
        if key not in Account.KEYS:
            self.send(200, error("AUTH_BAD_APIKEY", "The apikey is invalid"))
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

    def on_status(self, acc, req):
        return ok({"magnets": [
            {"id": m["id"], "filename": m["filename"], "size": m["size"],
             "status": "Ready" if m["ready"] else "Downloading", "statusCode": 4 if m["ready"] else 1,
             "downloaded": m["size"] if m["ready"] else 0, "uploaded": 0, "seeders": 0 if m["ready"] else 3,
             "downloadSpeed": 0, "uploadSpeed": 0, "uploadDate": 1735689600,
             "completionDate": 1735693200 if m["ready"] else 0}
            for m in acc.magnets.values()]})

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
        if link not in acc.links:
            return error("LINK_HOST_NOT_SUPPORTED", "This host or link is not supported")
        name, size = acc.links[link]
        token = hashlib.sha1(link.encode()).hexdigest()[:8]
        return ok({"link": "%s/dl/%s/%s" % (self.server.base, token, name),
                   "filename": name, "filesize": size, "host": "standin"})

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

    def on_delete(self, acc, req):
        mid = req.form.get("id", [None])[0]
        if not (mid or "").isdigit() or int(mid) not in acc.magnets:
            return error("MAGNET_INVALID_ID", "This magnet ID does not exists or is invalid")
        del acc.magnets[int(mid)]
        acc.deleted.append(int(mid))
        return ok({"message": "Magnet was successfully deleted"})

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
