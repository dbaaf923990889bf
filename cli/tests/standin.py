"""A stand-in for the AllDebrid service, for the command-line host's tests.

Serves the version-4 endpoints the library uses from a small in-memory
account, with the service's answer envelope and error codes, plus a few plain
web pages (a redirect to a magnet, a torrent file, a page that is neither).
Python 3 standard library only. It runs in the test's own process on a
daemon thread bound to 127.0.0.1 on a free port, so it ends with the test.
"""

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


class Account:
    """What the stand-in service holds, and what it was asked."""

    KEYS = ("sk-Tav/ro+Secret_2024", 'we"ird\\key')

    def __init__(self):
        self.lock = threading.Lock()
        self.next_id = 500
        self.magnets = {}   # id -> {"id", "filename", "size", "ready", "files"}
        self.links = {}     # service link -> (file name, size)
        self.cached = {}    # info-hash -> (name, size, files): held already, ready at once
        self.requests = []  # (method, path, query, headers, body)
        self.uploads = []   # multipart parts: (name, filename, data)
        self.deleted = []
        self.faults = {}    # path -> "500", "drop" or "stall"
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
        m = re.search(r"xt=urn:btih:([0-9A-Za-z]+)", text)
        if not m:
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

    def requests_to(self, path):
        with self.lock:
            return [r for r in self.requests if r[1] == path]


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


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "standin"

    def log_message(self, *args):
        pass

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

    def do_GET(self):
        self.handle_request("GET")

    def do_POST(self):
        self.handle_request("POST")

    def handle_request(self, method):
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query, keep_blank_values=True)
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        acc = self.account
        with acc.lock:
            acc.requests.append((method, url.path, query, dict(self.headers), body))
            fault = acc.faults.get(url.path)
        if fault == "drop":
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        if fault == "stall":
            acc.stall.wait(10)
        if fault == "500":
            self.send(500, "Internal Server Error", "text/plain")
            return
        if url.path.startswith("/v4/"):
            self.api(method, url.path[3:], query, body)
        else:
            self.web(url.path, query, body)

    # -- the service ------------------------------------------------------

    def api(self, method, endpoint, query, body):
        acc = self.account
        one = lambda k: query.get(k, [None])[0]
        if one("apikey") not in Account.KEYS:
            self.send(200, error("AUTH_BAD_APIKEY", "The apikey is invalid"))
            return
        if not one("agent"):
            self.send(200, error("AUTH_MISSING_AGENT", "You must send a meaningful agent parameter"))
            return
        with acc.lock:
            answer = self.endpoint(method, endpoint, query, body, one)
        if answer is None:
            self.send(404, "not found", "text/plain")
        else:
            self.send(200, answer)

    def endpoint(self, method, endpoint, query, body, one):
        acc = self.account
        if endpoint == "/user" and method == "GET":
            return ok({"user": {"username": "standin", "isPremium": True}})
        if endpoint == "/magnet/status" and method == "GET":
            return ok({"magnets": [
                {"id": m["id"], "filename": m["filename"], "size": m["size"],
                 "status": "Ready" if m["ready"] else "Downloading", "statusCode": 4 if m["ready"] else 1}
                for m in acc.magnets.values()]})
        if endpoint == "/magnet/files" and method == "GET":
            ids = query.get("id[]", [])
            found = [acc.magnets[int(i)] for i in ids if i.isdigit() and int(i) in acc.magnets]
            if not found:
                return error("MAGNET_INVALID_ID", "This magnet ID does not exists or is invalid")
            return ok({"magnets": [{"id": m["id"], "files": m["files"]} for m in found]})
        if endpoint == "/link/unlock" and method == "GET":
            link = one("link")
            if link not in acc.links:
                return error("LINK_HOST_NOT_SUPPORTED", "This host or link is not supported")
            name, size = acc.links[link]
            token = hashlib.sha1(link.encode()).hexdigest()[:8]
            return ok({"link": "%s/dl/%s/%s" % (self.server.base, token, name),
                       "filename": name, "filesize": size, "host": "standin"})
        if endpoint == "/magnet/upload" and method == "POST":
            texts = query.get("magnets[]", []) + urllib.parse.parse_qs(body.decode()).get("magnets[]", [])
            if not texts:
                return error("MAGNET_NO_URI", "No magnet sent")
            return ok({"magnets": [acc.add_magnet(t) for t in texts]})
        if endpoint == "/magnet/upload/file" and method == "POST":
            parts = multipart_parts(self.headers.get("Content-Type"), body)
            acc.uploads.extend(parts)
            files = [p for p in parts if p[0] == "files[]"]
            if not files:
                return error("MAGNET_NO_FILE", "No file sent")
            out = []
            for _, filename, data in files:
                m = re.search(rb"4:name(\d+):", data)
                name = data[m.end():m.end() + int(m.group(1))].decode() if m else filename
                acc.next_id += 1
                acc._add(acc.next_id, name, len(data), False, [])
                out.append({"file": filename, "name": name, "size": len(data),
                            "hash": hashlib.sha1(data).hexdigest(), "ready": False, "id": acc.next_id})
            return ok({"magnets": out})
        if endpoint == "/magnet/delete" and method == "GET":
            mid = one("id")
            if not (mid or "").isdigit() or int(mid) not in acc.magnets:
                return error("MAGNET_INVALID_ID", "This magnet ID does not exists or is invalid")
            del acc.magnets[int(mid)]
            acc.deleted.append(int(mid))
            return ok({"message": "Magnet was successfully deleted"})
        return None

    # -- plain web pages ----------------------------------------------------

    def web(self, path, query, body):
        if path == "/web/to-magnet":
            self.send(302, "", "text/plain", [("Location", magnet("Redirected.Show")[0])])
        elif path == "/web/hop":
            self.send(301, "", "text/plain", [("Location", "/web/to-magnet")])
        elif path == "/web/file.torrent":
            self.send(200, TORRENT, "application/x-bittorrent")
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
