"""Helpers every test peer shares: a free loopback port, the Windows name
(under Wine's Z: drive) of a Linux path, and a server served on a thread."""
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
