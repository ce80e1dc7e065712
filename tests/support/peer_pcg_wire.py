"""Peer --pcg-wire: a raw-socket HTTP server for the Parcelgate HTTP client.

It records every request byte for byte (head and Content-Length body) with
the number of the connection it came on, and answers each request with the
next scripted action. Runs as its own process; start() publishes
PCG_WIRE_PORT (the server), PCG_WIRE_CONTROL (its control port) and
PCG_WIRE_BLACKHOLE (a port whose connects never complete).

Control protocol (one TCP connection per command, one line in):
    PLAN <base64 of JSON list of actions>   queue actions, reply "OK"
    LOG                                     reply lines "<conn> <base64 request>", then "."
    RESET                                   forget plan and log, reply "OK"

An action (JSON object; every key optional):
    send       base64 of the bytes to answer with (default: a 200 "ok" answer)
    piece      send in pieces of this many bytes ...
    gap_ms     ... with this pause between them
    delay_ms   pause before answering
    read       "all" (default: head and Content-Length body) or "head"
    then       "keep" (default: read the next request on this connection),
               "close", "hang" (neither read nor send until the client leaves),
               "endless_header" (send header lines until the client leaves),
               "endless_body" (send body bytes until the client leaves)
Request bodies beyond 16 MiB are read but recorded only up to that size.
A request carrying "Connection: close" always has its connection closed
after the answer.
"""
import base64
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

HEAD_LIMIT = 1 << 20
RECORD_LIMIT = 16 << 20  # bytes of a request body kept (larger bodies are read whole)
DEFAULT_ANSWER = b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"


class Recorder:
    def __init__(self):
        self.lock = threading.Lock()
        self.plan = []
        self.log = []
        self.connections = 0
        self.auth = None

    def next_connection(self):
        with self.lock:
            self.connections += 1
            return self.connections

    def record(self, conn, raw):
        with self.lock:
            self.log.append((conn, raw))

    def next_action(self):
        with self.lock:
            return self.plan.pop(0) if self.plan else {}


def read_request(sock, read_body=True):
    """Head (and body) of one request, or None when the client left first."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            return None
        data += chunk
        if len(data) > HEAD_LIMIT:
            return None
    head, _, rest = data.partition(b"\r\n\r\n")
    head += b"\r\n\r\n"
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip() or b"0")
    if not read_body:
        return head + rest
    body = bytearray(rest[:RECORD_LIMIT])
    received = len(rest)
    while received < length:
        chunk = sock.recv(1 << 20)
        if not chunk:
            return None
        received += len(chunk)
        if len(body) < RECORD_LIMIT:
            body += chunk[:RECORD_LIMIT - len(body)]
    return head + bytes(body)


def header_value(raw, wanted):
    head = raw.split(b"\r\n\r\n", 1)[0]
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == wanted.lower():
            return value.strip()
    return None


def wait_for_client_to_leave(sock, limit=60):
    sock.settimeout(limit)
    try:
        while sock.recv(65536):
            pass
    except OSError:
        pass


def endless(sock, first, line):
    try:
        sock.sendall(first)
        deadline = time.time() + 120
        while time.time() < deadline:
            sock.sendall(line * 64)
    except OSError:
        pass


def answer(sock, action, raw):
    if action.get("delay_ms"):
        time.sleep(action["delay_ms"] / 1000.0)
    then = action.get("then", "keep")
    if then == "endless_header":
        endless(sock, b"HTTP/1.1 200 OK\r\n", b"X-Endless: " + b"a" * 100 + b"\r\n")
        return False
    if then == "endless_body":
        endless(sock, b"HTTP/1.0 200 OK\r\n\r\n", b"b" * 1024)
        return False
    data = base64.b64decode(action["send"]) if "send" in action else DEFAULT_ANSWER
    piece = action.get("piece") or len(data) or 1
    for i in range(0, len(data), piece):
        sock.sendall(data[i:i + piece])
        if action.get("gap_ms") and i + piece < len(data):
            time.sleep(action["gap_ms"] / 1000.0)
    if then == "hang":
        wait_for_client_to_leave(sock)
        return False
    if then == "close":
        return False
    conn_header = header_value(raw, b"connection") or b""
    return b"close" not in conn_header.lower()


def serve_connection(sock, recorder):
    conn = recorder.next_connection()
    sock.settimeout(60)
    try:
        while True:
            peeked_action = None
            with recorder.lock:
                if recorder.plan and recorder.plan[0].get("read") == "head":
                    peeked_action = recorder.plan[0]
            raw = read_request(sock, read_body=peeked_action is None)
            if raw is None:
                return
            recorder.record(conn, raw)
            action = recorder.next_action()
            if action.get("read") == "head" and action.get("then") == "hang":
                wait_for_client_to_leave(sock)
                return
            if not answer(sock, action, raw):
                return
    except OSError:
        pass
    finally:
        close_connection(sock)


def close_connection(sock):
    """Shuts both directions down before closing, so the client sees an orderly end."""
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    sock.close()


def accept_loop(listener, handler):
    while True:
        sock, _ = listener.accept()
        threading.Thread(target=handler, args=(sock,), daemon=True).start()


def control_connection(sock, recorder):
    with sock:
        sock.settimeout(30)
        data = b""
        while b"\n" not in data:
            chunk = sock.recv(65536)
            if not chunk:
                return
            data += chunk
        line = data.split(b"\n", 1)[0].strip().decode("ascii")
        command, _, argument = line.partition(" ")
        if command == "PLAN":
            actions = json.loads(base64.b64decode(argument)) if argument else []
            with recorder.lock:
                recorder.plan.extend(actions)
            sock.sendall(b"OK\n")
        elif command == "LOG":
            with recorder.lock:
                lines = [b"%d %s\n" % (conn, base64.b64encode(raw)) for conn, raw in recorder.log]
            sock.sendall(b"".join(lines) + b".\n")
        elif command == "RESET":
            with recorder.lock:
                recorder.plan.clear()
                recorder.log.clear()
            sock.sendall(b"OK\n")
        elif command == "AUTH":
            with recorder.lock:
                recorder.auth = argument or None
            sock.sendall(b"OK\n")
        else:
            sock.sendall(b"ERR\n")


def listen():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    return listener


def blackhole():
    """A port whose connects hang: a listener that never accepts, its
    one-entry queue filled, so the kernel drops further SYNs."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    fillers = []
    for _ in range(4):
        filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        filler.setblocking(False)
        try:
            filler.connect(listener.getsockname())
        except BlockingIOError:
            pass
        fillers.append(filler)
    return listener, fillers


def serve_forever(connection_handler, with_blackhole=False):
    """Runs a server and its control port (and optionally a black hole);
    prints "<port> <control> [<blackhole>]"."""
    recorder = Recorder()
    server = listen()
    control = listen()
    threading.Thread(target=accept_loop, args=(server, lambda s: connection_handler(s, recorder)),
                     daemon=True).start()
    threading.Thread(target=accept_loop, args=(control, lambda s: control_connection(s, recorder)),
                     daemon=True).start()
    ports = [server.getsockname()[1], control.getsockname()[1]]
    if with_blackhole:
        hole, fillers = blackhole()  # kept open until the process ends
        ports.append(hole.getsockname()[1])
    print(*ports, flush=True)
    signal.sigwait([signal.SIGTERM, signal.SIGINT])


class Running:
    def __init__(self, process):
        self.process = process

    def stop(self):
        try:
            os.kill(self.process.pid, signal.SIGTERM)
        except OSError:
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.kill(self.process.pid, signal.SIGKILL)
            self.process.wait()


def start_process(script):
    process = subprocess.Popen([sys.executable, script, "--serve"], stdout=subprocess.PIPE)
    ports = process.stdout.readline().split()
    if len(ports) < 2:
        Running(process).stop()
        raise RuntimeError("peer %s did not start" % script)
    return process, [int(port) for port in ports]


def start(env):
    process, (port, control, hole) = start_process(os.path.abspath(__file__))
    env["PCG_WIRE_PORT"] = str(port)
    env["PCG_WIRE_CONTROL"] = str(control)
    env["PCG_WIRE_BLACKHOLE"] = str(hole)
    return Running(process)


if __name__ == "__main__" and sys.argv[1:] == ["--serve"]:
    signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGTERM, signal.SIGINT])
    serve_forever(serve_connection, with_blackhole=True)
