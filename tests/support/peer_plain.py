"""Peer --plain: Python's own http.server serving a directory. It ignores
Range (every GET is answered 200 with the whole file) and sends
Last-Modified but no ETag, as many simple servers and proxies do.

Publishes HTTP_PLAIN_PORT and HTTP_PLAIN_ROOT (Windows path of the served
files)."""
import functools
import http.server
import os
import shutil
import tempfile
import threading

import http_fault_server as fault


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


class Running:
    def __init__(self, server, top):
        self.server = server
        self.top = top
        self.thread = threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True)
        self.thread.start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        shutil.rmtree(self.top, ignore_errors=True)


def start(env):
    top = tempfile.mkdtemp(prefix="pennant-plain-")
    os.chmod(top, 0o755)
    handler = functools.partial(QuietHandler, directory=top)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    env["HTTP_PLAIN_PORT"] = str(server.server_address[1])
    env["HTTP_PLAIN_ROOT"] = fault.windows_path(top)
    return Running(server, top)
