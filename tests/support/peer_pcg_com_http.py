"""Peer --pcg-com-http: the Parcelgate COM tests' own HTTP server. Each path
names one kind of answer, good or broken; every request head is recorded.

    /ok/<text>        200, Content-Length, body "body:<text>"
    /notfound         404 with a body
    /servererror      500 with a chunked body
    /empty            200, Content-Length: 0
    /chunked          200, chunked coding, body "chunk-one|chunk-two"
    /untilclose       200, no length, body until the connection closes
    /nostatus         bytes that are no status line, then close
    /badchunk         200, chunked coding with a size that is no number
    /absurdlength     200, Content-Length: 99999999999999999999, a few bytes, close
    /endlessheader    200 and header lines without end (until the client leaves)
    /to/N/HOST:PORT/P N (a redirect) to http://HOST:PORT/P?sig=secret
    /hops/N           N redirects (302, relative Locations), the last to /ok/landed

Asked as a proxy (absolute URL in the request line), it answers the path.

Publishes PCG_COM_HTTP_PORT, PCG_COM_HTTP_REQUESTS (Windows path of a
directory with one NNNNNN.req file per request head) and
PCG_COM_REFUSED_PORT (a loopback port nothing listens on)."""
import os
import socketserver
import tempfile

from peerlib import RequestRecorder, ServedOnThread, free_port, windows_path


def answer(path):
    """Bytes to send for a path; None for the endless header."""
    if path.startswith(("/to/", "/hops/")):
        parts = path.split("/", 4) + [""]
        hops = int(parts[2]) if parts[1] == "hops" else 0
        status = 302 if hops else int(parts[2])
        location = (str(hops - 1) if hops > 1 else "/ok/landed") if hops else "http://%s/%s?sig=secret" % tuple(parts[3:5])
        return b"HTTP/1.0 %d Moved\r\nLocation: %s\r\nContent-Length: 5\r\n\r\nmoved" % (status, location.encode())
    if path.startswith("/ok/"):
        body = b"body:" + path[4:].encode()
        return b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body)
    if path == "/notfound":
        body = b"<html>no such file here</html>"
        return b"HTTP/1.0 404 Not Found\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body)
    if path == "/servererror":
        return (b"HTTP/1.1 500 Internal Server Error\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
                b"5\r\noops!\r\n0\r\n\r\n")
    if path == "/empty":
        return b"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"
    if path == "/chunked":
        return (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
                b"9\r\nchunk-one\r\n1\r\n|\r\n9\r\nchunk-two\r\n0\r\n\r\n")
    if path == "/untilclose":
        return b"HTTP/1.0 200 OK\r\nConnection: close\r\n\r\nall of it until close"
    if path == "/nostatus":
        return b"this is not HTTP at all\r\n\r\nbody"
    if path == "/badchunk":
        return (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                b"zz\r\nbroken\r\n0\r\n\r\n")
    if path == "/absurdlength":
        return b"HTTP/1.0 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\nfew bytes"
    if path == "/endlessheader":
        return None
    body = b"unknown path"
    return b"HTTP/1.0 404 Not Found\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body)


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        conn = self.request
        conn.settimeout(30)
        data = b""
        try:
            while b"\r\n\r\n" not in data:
                piece = conn.recv(65536)
                if not piece:
                    return
                data += piece
            head = data.split(b"\r\n\r\n", 1)[0] + b"\r\n\r\n"
            self.server.record(head)
            target = head.split(b"\r\n", 1)[0].split(b" ")
            path = target[1].decode("latin-1") if len(target) > 1 else "/"
            if "://" in path:  # asked as a proxy: the absolute URL
                path = "/" + path.split("://", 1)[1].split("/", 1)[-1]
            path = path.split("?", 1)[0]
            reply = answer(path)
            if reply is not None:
                conn.sendall(reply)
                return
            conn.sendall(b"HTTP/1.0 200 OK\r\n")
            line = b"X-Endless: " + b"a" * 1000 + b"\r\n"
            for _ in range(256 * 1024):  # at most 256 MB, should the client never give up
                conn.sendall(line)
        except OSError:
            pass


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), Handler)
        self.directory = tempfile.mkdtemp(prefix="pcg-com-http-")
        os.chmod(self.directory, 0o777)
        self.record = RequestRecorder(self.directory).record


def start(env):
    server = Server()
    env["PCG_COM_HTTP_PORT"] = str(server.server_address[1])
    env["PCG_COM_HTTP_REQUESTS"] = windows_path(server.directory)
    env["PCG_COM_REFUSED_PORT"] = str(free_port())
    return ServedOnThread(server, server.directory)
