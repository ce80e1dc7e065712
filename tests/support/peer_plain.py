"""Peer --plain: Python's own http.server serving a directory. It ignores
Range (every GET is answered 200 with the whole file) and sends
Last-Modified but no ETag, as many simple servers and proxies do.

Publishes HTTP_PLAIN_PORT and HTTP_PLAIN_ROOT (Windows path of the served
files)."""
import functools
import http.server
import os
import tempfile

from peerlib import ServedOnThread, windows_path


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def start(env):
    top = tempfile.mkdtemp(prefix="pennant-plain-")
    os.chmod(top, 0o755)
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(QuietHandler, directory=top))
    env["HTTP_PLAIN_PORT"] = str(server.server_address[1])
    env["HTTP_PLAIN_ROOT"] = windows_path(top)
    return ServedOnThread(server, top)
