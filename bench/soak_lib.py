"""What the soak benches share: a loopback TCP relay that counts the bytes it
carries and can cut a connection, or call back, at a chosen byte; and the
Unix processes of a Windows program running in this Wine prefix."""
import os
import select
import signal
import socket
import struct
import threading
import time


def reset(sock):
    """Closes with a reset, as a dropped route or a killed proxy does: the
    peer's pending bytes are thrown away, not delivered."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    sock.close()


class Relay:
    """Listens on a free loopback port and relays every connection to
    127.0.0.1:target. `up` counts client-to-server bytes, `down` the others.

    arm(direction, at, action) fires once, when the bytes relayed in that
    direction since the arming (over every connection) reach `at`: exactly
    `at` bytes are relayed, then action "cut" resets both sides of that
    connection, or a callable is called (the relay holds that connection
    until it returns) and relaying goes on."""

    def __init__(self, target, rate=0, rcvbuf=0):
        self.target = target
        self.rate = rate      # bytes per second and connection towards the client, 0: as they come
        self.rcvbuf = rcvbuf  # the receive buffer towards the server, 0: the system's
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.up = 0
        self.down = 0
        self.active = 0
        self.connections = 0
        self.heads = []  # the first request head of each connection, in order
        self.trap = None
        self.fired = None
        self.stopping = False
        self.thread = threading.Thread(target=self.accept, daemon=True)
        self.thread.start()

    def arm(self, direction, at, action):
        with self.lock:
            done = self.up if direction == "up" else self.down
            self.trap = (direction, done + max(1, int(at)), action)
            self.fired = None

    def disarm(self):
        with self.lock:
            fired, self.trap, self.fired = self.fired, None, None
            return fired

    def idle(self, seconds):
        """Waits until no connection is open; False when one still is."""
        deadline = time.time() + seconds
        while time.time() < deadline:
            with self.lock:
                if self.active == 0:
                    return True
            time.sleep(0.02)
        return False

    def accept(self):
        while not self.stopping:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            try:
                server = socket.socket()
                if self.rcvbuf:
                    # Before connecting: the window the server sees is fixed then.
                    server.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, self.rcvbuf)
                server.connect(("127.0.0.1", self.target))
            except OSError:
                reset(client)
                continue
            with self.lock:
                self.active += 1
                self.connections += 1
            threading.Thread(target=self.pump, args=(client, server), daemon=True).start()

    def pump(self, client, server):
        ends = {client: ("up", server), server: ("down", client)}
        head = b""
        started = time.time()
        paced = 0
        piece = 16384 if self.rate else 65536
        try:
            open_ends = [client, server]
            while open_ends and not self.stopping:
                readable, _, _ = select.select(open_ends, [], [], 0.2)
                for source in readable:
                    direction, sink = ends[source]
                    data = source.recv(piece)
                    if not data:
                        # A half-close is passed on; both halves closed ends it.
                        try:
                            sink.shutdown(socket.SHUT_WR)
                        except OSError:
                            pass
                        open_ends.remove(source)
                        continue
                    if direction == "down" and self.rate:
                        # Evenly, as a slow link delivers: no burst the client
                        # could not have read yet when it is interrupted.
                        paced += len(data)
                        wait = started + paced / self.rate - time.time()
                        if wait > 0:
                            time.sleep(wait)
                    if direction == "up" and head is not None:
                        head += data
                        if b"\r\n\r\n" in head:
                            with self.lock:
                                self.heads.append(head.split(b"\r\n\r\n", 1)[0].decode("latin-1"))
                            head = None
                    with self.lock:
                        trap = self.trap
                        room = None
                        done = self.up if direction == "up" else self.down
                        if trap and trap[0] == direction and done + len(data) >= trap[1]:
                            room = max(0, trap[1] - done)
                            self.trap = None
                            self.fired = (direction, trap[1], trap[2])
                    if room is not None:
                        first, data = data[:room], data[room:]
                        self.send(sink, direction, first)
                        if trap[2] == "cut":
                            return
                        trap[2]()
                    self.send(sink, direction, data)
        except OSError:
            pass
        finally:
            reset(client)
            reset(server)
            with self.lock:
                self.active -= 1

    def send(self, sink, direction, data):
        if not data:
            return
        sink.sendall(data)
        with self.lock:
            if direction == "up":
                self.up += len(data)
            else:
                self.down += len(data)

    def stop(self):
        self.stopping = True
        self.listener.close()
        self.idle(3)


def windows_processes(exe_name, prefix):
    """Unix PIDs of the processes of this Wine prefix that are the program
    itself: their first argument names the exe. Where 32-bit Wine is
    installed, `wine` of a 64-bit program leaves `start.exe /exec` in the
    first process and runs the program in a second one; that one is meant."""
    found = []
    want = exe_name.lower()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                argv = f.read().split(b"\0")
            with open("/proc/%s/environ" % entry, "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        if ("WINEPREFIX=" + prefix).encode() not in environ or not argv or not argv[0]:
            continue
        first = argv[0].decode("utf-8", "replace").replace("\\", "/").rsplit("/", 1)[-1].lower()
        if first == want:
            found.append(int(entry))
    return found


def kill_program(exe_name, prefix, popen=None):
    """kill -9 of the program's own process(es); then the launcher's end is
    awaited. Returns how many processes were killed."""
    pids = windows_processes(exe_name, prefix)
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    if popen is not None:
        try:
            popen.wait(timeout=20)
        except Exception:
            popen.kill()
            popen.wait()
    return len(pids)
