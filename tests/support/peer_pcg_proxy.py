"""Peer --pcg-proxy: a small forwarding HTTP proxy for the Parcelgate client.

Records every request it receives byte for byte (as peer_pcg_wire does),
answers 407 when a required Proxy-Authorization (control command
"AUTH <expected value>") is missing or different, and otherwise forwards the
request to the origin named in its absolute URL (request line rewritten to
the path, Proxy-* lines dropped, "Connection: close" added) and relays the
origin's answer until it closes. A CONNECT opens a tunnel to host:port and
relays both ways until either side closes; a CONNECT to junk.invalid is
answered with bytes that are no HTTP. Publishes PCG_PROXY_PORT and
PCG_PROXY_CONTROL; control commands as in peer_pcg_wire.
"""
import os
import signal
import socket
import sys
import threading
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


def tunnel(sock, raw):
    target = raw.split(b" ", 2)[1].decode("latin-1")
    host, _, port = target.rpartition(":")
    with socket.create_connection((host, int(port)), timeout=60) as origin:
        sock.sendall(b"HTTP/1.0 200 Connection established\r\n\r\n")

        def relay(source, sink):
            try:
                while True:
                    data = source.recv(1 << 16)
                    if not data:
                        break
                    sink.sendall(data)
                sink.shutdown(socket.SHUT_WR)
            except OSError:
                pass

        back = threading.Thread(target=relay, args=(origin, sock), daemon=True)
        back.start()
        relay(sock, origin)
        back.join()


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
            if raw.startswith(b"CONNECT junk.invalid:"):
                sock.sendall(b"SSH-2.0-not-a-proxy\r\n\r\n")
            elif raw.startswith(b"CONNECT "):
                tunnel(sock, raw)
            else:
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
