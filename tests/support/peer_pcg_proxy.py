"""Peer --pcg-proxy: a small forwarding HTTP proxy for the Parcelgate client.

Records every request it receives byte for byte (as peer_pcg_wire does),
answers 407 when a required Proxy-Authorization (control command
"AUTH <expected value>") is missing or different, and otherwise forwards the
request to the origin named in its absolute URL (request line rewritten to
the path, Proxy-* lines dropped, "Connection: close" added) and relays the
origin's answer until it closes. Publishes PCG_PROXY_PORT and
PCG_PROXY_CONTROL; control commands as in peer_pcg_wire.
"""
import os
import signal
import socket
import sys
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peer_pcg_wire as wire  # noqa: E402

DENIED = (b"HTTP/1.1 407 Proxy Authentication Required\r\n"
          b"Proxy-Authenticate: Basic realm=\"pcg\"\r\nContent-Length: 6\r\n\r\ndenied")


def forward(raw):
    head, _, body = raw.partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    method, target, version = lines[0].split(b" ", 2)
    url = urllib.parse.urlsplit(target.decode("latin-1"))
    path = url.path or "/"
    if url.query:
        path += "?" + url.query
    kept = [line for line in lines[1:]
            if not line.lower().startswith(b"proxy-") and not line.lower().startswith(b"connection:")]
    request = b"\r\n".join([method + b" " + path.encode("latin-1") + b" " + version] + kept +
                           [b"Connection: close", b"", b""]) + body
    with socket.create_connection((url.hostname, url.port or 80), timeout=30) as origin:
        origin.sendall(request)
        answer = b""
        while True:
            chunk = origin.recv(65536)
            if not chunk:
                return answer
            answer += chunk


def serve_connection(sock, recorder):
    conn = recorder.next_connection()
    sock.settimeout(60)
    try:
        while True:
            raw = wire.read_request(sock)
            if raw is None:
                return
            recorder.record(conn, raw)
            with recorder.lock:
                expected = recorder.auth
            given = wire.header_value(raw, b"proxy-authorization")
            if expected is not None and (given is None or given.decode("latin-1") != expected):
                sock.sendall(DENIED)
                continue
            sock.sendall(forward(raw))
            return
    except OSError:
        pass
    finally:
        wire.close_connection(sock)


def start(env):
    process, (port, control) = wire.start_process(os.path.abspath(__file__))
    env["PCG_PROXY_PORT"] = str(port)
    env["PCG_PROXY_CONTROL"] = str(control)
    return wire.Running(process)


if __name__ == "__main__" and sys.argv[1:] == ["--serve"]:
    signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGTERM, signal.SIGINT])
    wire.serve_forever(serve_connection)
