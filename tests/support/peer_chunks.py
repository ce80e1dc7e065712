"""Peer --chunks: a server for chunked uploads, as the big-file upload
expects one: every chunk is a POST of raw bytes with

    Session-ID: <decimal>
    X-Content-Range: bytes <first>-<last>/<size>
    Content-Disposition: attachment; filename="<UTF-8 name>"

and is answered 201 while the upload of that session is incomplete, 200
with the chunk that completes it. The chunks of one session are written at
their offsets into a part file; once every byte has arrived the file is
moved to <root>/<name>, <name> being the last element of the URL's path.

The path before the name chooses faults, each firing once per name:

    /up/<options>/<name>   <options> a comma list of key=value, "-" for none:
        refuse=F     answer the chunk starting at byte F with 500 (not stored)
        cut=F        read the chunk starting at byte F whole, store nothing and
                     close the connection without an answer
        status=N     acknowledge every chunk with N (200 or 201) instead

A GET of /stall answers 200 with a length it never completes and holds the
connection until the client leaves; a GET of any other path answers the
completed file named by the path's last element.

Every chunk's request head is recorded as NNNNNN.req (bytes of the body are
not kept). A chunk whose range and body length disagree, or whose headers
are missing, is answered 400.

Publishes PCG_CHUNK_PORT, PCG_CHUNK_ROOT (Windows path of the directory of
completed files) and PCG_CHUNK_REQUESTS (Windows path of the records)."""
import http.server
import os
import re
import socketserver
import tempfile
import threading

from peerlib import RequestRecorder, ServedOnThread, windows_path

RANGE = re.compile(r"^bytes (\d+)-(\d+)/(\d+)$")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keeps a kept-alive HTTP/1.0 client's connection
    disable_nagle_algorithm = True  # the answer's body must not wait for the head's acknowledgement

    def log_message(self, *args):
        pass

    def do_POST(self):
        server = self.server
        length = int(self.headers.get("Content-Length", "0") or 0)
        body = self.rfile.read(length)
        head = self.requestline + "\r\n" + "".join(
            "%s: %s\r\n" % (k, v) for k, v in self.headers.items()) + "\r\n"
        server.record(head.encode("latin-1"))

        parts = self.path.split("?", 1)[0].split("/")
        if len(parts) != 4 or parts[1] != "up":
            return self.answer(404, b"no such path")
        options = dict(item.partition("=")[::2] for item in parts[2].split(",") if item != "-")
        name = parts[3]
        match = RANGE.match(self.headers.get("X-Content-Range", ""))
        session = self.headers.get("Session-ID", "")
        if not match or not session.isdigit():
            return self.answer(400, b"missing chunk headers")
        first, last, size = (int(g) for g in match.groups())
        if last - first + 1 != len(body) or last >= size:
            return self.answer(400, b"range and body disagree")

        if server.fire_once(name, "refuse", options, first):
            return self.answer(500, b"chunk refused")
        if server.fire_once(name, "cut", options, first):
            self.close_connection = True
            return
        complete = server.store(name, session, first, body, size)
        status = int(options.get("status", 200 if complete else 201))
        self.answer(status, b"stored")

    def do_GET(self):
        name = self.path.split("?", 1)[0].rsplit("/", 1)[-1]
        if name == "stall":
            self.send_response(200)
            self.send_header("Content-Length", "1000000")
            self.end_headers()
            self.wfile.write(b"x" * 10)
            self.wfile.flush()
            self.rfile.read(1)  # returns once the client is gone
            self.close_connection = True
            return
        path = os.path.join(self.server.root, name)
        if not os.path.isfile(path):
            return self.answer(404, b"no such file")
        with open(path, "rb") as f:
            self.answer(200, f.read())

    def answer(self, status, body):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class ChunkServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True

    def __init__(self, top):
        self.root = os.path.join(top, "root")
        self.records = os.path.join(top, "requests")
        self.parts = os.path.join(top, "parts")
        for d in (self.root, self.records, self.parts):
            os.mkdir(d)
        self.lock = threading.Lock()
        self.record = RequestRecorder(self.records).record
        self.fired = set()
        self.sessions = {}  # (name, session) -> {first byte: length}
        super().__init__(("127.0.0.1", 0), Handler)

    def fire_once(self, name, fault, options, first):
        with self.lock:
            if options.get(fault) != str(first) or (name, fault) in self.fired:
                return False
            self.fired.add((name, fault))
            return True

    def store(self, name, session, first, body, size):
        """Writes a chunk; True when it completed the file."""
        part = os.path.join(self.parts, "%s.%s" % (name, session))
        with self.lock:
            chunks = self.sessions.setdefault((name, session), {})
            mode = "r+b" if os.path.exists(part) else "wb"
            with open(part, mode) as f:
                f.seek(first)
                f.write(body)
            chunks[first] = len(body)
            if sum(chunks.values()) < size:
                return False
            os.truncate(part, size)
            os.replace(part, os.path.join(self.root, name))
            del self.sessions[(name, session)]
            return True


def start(env):
    top = tempfile.mkdtemp(prefix="pcg-chunks-")
    os.chmod(top, 0o755)
    server = ChunkServer(top)
    env["PCG_CHUNK_PORT"] = str(server.server_address[1])
    env["PCG_CHUNK_ROOT"] = windows_path(server.root)
    env["PCG_CHUNK_REQUESTS"] = windows_path(server.records)
    return ServedOnThread(server, top)
