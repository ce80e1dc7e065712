"""A small HTTP/1.1 server for the faults a real server will not produce on
demand: cut connections, wrong Content-Range answers, trickled bodies,
changing validators, garbage responses. It also records every request it
receives (head and body, byte for byte) as numbered files in a directory.

Files are served from a root directory. The path chooses the behaviour:

    /f/<options>/<name>     <name> from the root, <options> a comma list of
                            key=value (or "-" for none):
        cut=N        close the connection after N body bytes
        cutonce=N    the same for the first GET of <name> only; later ones whole
        rate=N       send the body at about N bytes per second
        etag=X       ETag "X" (default: derived from size and mtime)
        lm=T         Last-Modified from Unix time T (default: the file's mtime)
        range=R      for a Range request: ignore (200, whole file), shift (206
                     with a Content-Range that starts elsewhere), back (206
                     from 1000 bytes before the offset asked for), garbage
                     (Content-Range that does not scan), missing (206 without it)
        always416=1  answer every GET with 416
        status=N     answer with status N and a small HTML body
        page=N       with status=N: an HTML body of N bytes
        cl=T         send Content-Length: T instead of the true length
        extra=N      send N junk bytes after the announced body
    /garbage/nostatus       a reply without a status line
    /garbage/endlessheader  header lines for six seconds, then the connection ends
    /api/record/feedback    POST: answered 200 "ok" (the feedback recorder)
"""
import email.utils
import os
import socket
import socketserver
import struct
import threading
import time

from peerlib import RequestRecorder, ServedOnThread

HEAD_LIMIT = 1 << 16


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        sock = self.request
        sock.settimeout(30)
        try:
            data = b""
            while b"\r\n\r\n" not in data:
                chunk = sock.recv(65536)
                if not chunk:
                    return
                data += chunk
                if len(data) > HEAD_LIMIT:
                    return
                if not data[:1].isalpha():
                    # Not HTTP (a TLS hello, say): note it and hang up.
                    self.server.record(data)
                    return
            head, _, body = data.partition(b"\r\n\r\n")
            lines = head.split(b"\r\n")
            method, target, _ = (lines[0].decode("latin-1").split(" ", 2) + ["", ""])[:3]
            headers = {}
            for line in lines[1:]:
                name, _, value = line.decode("latin-1").partition(":")
                headers[name.strip().lower()] = value.strip()
            length = int(headers.get("content-length", "0") or 0)
            while len(body) < length:
                chunk = sock.recv(65536)
                if not chunk:
                    break
                body += chunk
            self.server.record(head + b"\r\n\r\n" + body)
            path = target.split("?", 1)[0]
            self.respond(sock, method, path, headers)
        except (OSError, ValueError):
            pass

    def respond(self, sock, method, path, headers):
        if path == "/api/record/feedback":
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok")
            return
        if path == "/garbage/nostatus":
            sock.sendall(b"this is not http at all\r\n\r\nreally not\r\n")
            return
        if path == "/garbage/endlessheader":
            # Paced: a client without a header limit (Wine's WinHTTP has
            # none) keeps reading as long as lines come, so the peer stops.
            sock.sendall(b"HTTP/1.1 200 OK\r\n")
            deadline = time.time() + 6
            n = 0
            while time.time() < deadline:
                sock.sendall(b"X-Filler-%d: %s\r\n" % (n, b"a" * 100))
                n += 1
                time.sleep(0.005)
            return
        parts = path.split("/")
        if len(parts) < 4 or parts[1] != "f":
            self.simple(sock, 404, b"<html>no such path</html>")
            return
        options = {}
        if parts[2] != "-":
            for item in parts[2].split(","):
                key, _, value = item.partition("=")
                options[key] = value
        name = "/".join(parts[3:])
        file_path = os.path.join(self.server.root, name)
        if "status" in options:
            page = b"<html>status page</html>\n"
            if "page" in options:
                size = int(options["page"])
                page = (b"<html>" + b"p" * size)[:size]
            self.simple(sock, int(options["status"]), page)
            return
        try:
            with open(file_path, "rb") as f:
                content = f.read()
            mtime = int(os.stat(file_path).st_mtime)
        except OSError:
            self.simple(sock, 404, b"<html>not found</html>")
            return
        size = len(content)
        etag = options.get("etag", "%x-%x" % (mtime, size))
        lm = int(options.get("lm", mtime))
        common = ("ETag: \"%s\"\r\nLast-Modified: %s\r\nAccept-Ranges: bytes\r\n"
                  "Connection: close\r\n" % (etag, email.utils.formatdate(lm, usegmt=True)))
        if options.get("always416") and method == "GET":
            self.simple(sock, 416, b"", extra="Content-Range: bytes */%d\r\n" % size)
            return
        status, start, content_range = 200, 0, None
        rng = headers.get("range", "")
        if rng.startswith("bytes=") and method == "GET" and options.get("range") != "ignore":
            first = int(rng[6:].split("-", 1)[0])
            if first >= size:
                self.simple(sock, 416, b"", extra="Content-Range: bytes */%d\r\n" % size)
                return
            status, start = 206, first
            mode = options.get("range")
            if mode == "shift":
                content_range = "bytes %d-%d/%d" % (first + 1000, size - 1, size)
            elif mode == "back":
                start = max(0, first - 1000)
                content_range = "bytes %d-%d/%d" % (start, size - 1, size)
            elif mode == "garbage":
                content_range = "bytes */zz"
            elif mode != "missing":
                content_range = "bytes %d-%d/%d" % (first, size - 1, size)
        payload = content[start:]
        reason = {200: "OK", 206: "Partial Content"}[status]
        head = "HTTP/1.1 %d %s\r\n%sContent-Length: %s\r\n" % (
            status, reason, common, options.get("cl", str(len(payload))))
        if content_range:
            head += "Content-Range: %s\r\n" % content_range
        sock.sendall(head.encode("latin-1") + b"\r\n")
        if method == "HEAD":
            return
        if "cutonce" in options and method == "GET":
            with self.server.lock:
                if name not in self.server.cut_names:
                    self.server.cut_names.add(name)
                    options["cut"] = options["cutonce"]
        if "cut" in options:
            payload = payload[:int(options["cut"])]
        if "extra" in options:
            payload += b"J" * int(options["extra"])
        rate = int(options.get("rate", "0"))
        if rate:
            step = max(1, rate // 20)
            for i in range(0, len(payload), step):
                sock.sendall(payload[i:i + step])
                time.sleep(0.05)
        else:
            sock.sendall(payload)
        if "cut" in options:
            # Let the client take what was sent, then reset: a reset drops
            # whatever the client's kernel had not delivered yet.
            time.sleep(0.5)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))

    def simple(self, sock, status, body, extra=""):
        reasons = {404: "Not Found", 416: "Range Not Satisfiable", 500: "Internal Server Error"}
        head = "HTTP/1.1 %d %s\r\nContent-Length: %d\r\nConnection: close\r\n%s\r\n" % (
            status, reasons.get(status, "Status"), len(body), extra)
        sock.sendall(head.encode("latin-1") + body)


class FaultServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, port, root, record_dir):
        self.root = root
        self.record_dir = record_dir
        self.record = RequestRecorder(record_dir).record
        self.cut_names = set()  # names whose one cut (cutonce) is done
        self.lock = threading.Lock()
        super().__init__(("127.0.0.1", port), Handler)


def start_server(port, base):
    import tempfile
    top = tempfile.mkdtemp(prefix=base)
    os.chmod(top, 0o755)
    root = os.path.join(top, "root")
    record_dir = os.path.join(top, "requests")
    os.mkdir(root)
    os.mkdir(record_dir)
    try:
        server = FaultServer(port, root, record_dir)
    except OSError:
        import shutil
        shutil.rmtree(top, ignore_errors=True)
        raise
    return ServedOnThread(server, top), server.server_address[1], root, record_dir
