"""Helpers every test peer shares: a free loopback port, the Windows name
(under Wine's Z: drive) of a Linux path, a server served on a thread, and
the numbered request records tests read back."""
import os
import shutil
import socket
import threading


def free_port():
    """A loopback port nothing listens on at the moment of asking."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class ServedOnThread:
    """Serves a socketserver on a daemon thread. stop() runs `before_stop`
    (other processes of the peer), shuts the server down and removes `top`."""

    def __init__(self, server, top, before_stop=None):
        self.server = server
        self.top = top
        self.before_stop = before_stop
        self.thread = threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True)
        self.thread.start()

    def stop(self):
        if self.before_stop:
            self.before_stop()
        self.server.shutdown()
        self.server.server_close()
        shutil.rmtree(self.top, ignore_errors=True)


class RequestRecorder:
    """Keeps each request it is given as NNNNNN.req in `directory`, numbered
    in arrival order; a file appears whole (written aside, then renamed), so
    a test that reads the directory never sees half a request."""

    def __init__(self, directory):
        self.directory = directory
        self.lock = threading.Lock()
        self.sequence = 0

    def record(self, raw):
        with self.lock:
            self.sequence += 1
            name = os.path.join(self.directory, "%06d.req" % self.sequence)
        with open(name + ".tmp", "wb") as f:
            f.write(raw)
        os.rename(name + ".tmp", name)
