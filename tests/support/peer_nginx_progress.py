"""Peer --nginx-progress: Debian's nginx with Debian's upload-progress module
in front of a small form backend of the tests' own.

nginx tracks every POST it passes to the backend (track_uploads) and
answers GET /progress with header X-Progress-ID in the module's own form,
for example `({ "state" : "uploading", "received" : 10, "size" : 20 });`.

The backend parses each multipart form with Python's email package, keeps
the first part's content as NNNNNN.bin, its file name as the UTF-8 bytes
of NNNNNN.name and a record of the request as NNNNNN.json ("uri",
"content_length", "part_type"), holds its answer for a second (so that the module reports the
upload while it is in progress) and answers 201, or the status N that a path
starting with /status/N/ asks for. /to-https/PORT/P redirects to
https://localhost:PORT/P.

Publishes PCG_FORM_PORT (nginx), PCG_FORM_RECORDS (Windows path of the
backend's records) and PCG_FORM_ACCESS_LOG (nginx's access log)."""
import email
import email.policy
import http.server
import json
import os
import re
import shutil
import socketserver
import tempfile
import threading
import time

from peer_nginx import Nginx
from peerlib import ServedOnThread, windows_path

MODULE = "/usr/lib/nginx/modules/ngx_http_uploadprogress_module.so"
HOLD_SECONDS = 1.0


class Backend(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0") or 0)
        body = self.rfile.read(length)
        message = email.message_from_bytes(
            b"Content-Type: " + self.headers.get("Content-Type", "").encode("latin-1") + b"\r\n\r\n" + body,
            policy=email.policy.HTTP)
        record = {"uri": self.path, "content_length": length}
        content = name = b""
        if message.is_multipart():
            part = next(message.iter_parts(), None)
            if part is not None:
                # As sent: the parser would take backslashes for escapes.
                found = re.search(rb'filename="([^"]*)"', body.split(b"\r\n\r\n", 1)[0])
                name = found.group(1) if found else b""
                record["part_type"] = part.get_content_type()
                content = part.get_payload(decode=True) or b""
        self.server.keep(record, content, name)
        time.sleep(HOLD_SECONDS)
        status = 201
        if self.path.startswith("/status/"):
            status = int(self.path.split("/")[2])
        try:
            self.send_response(status)
            self.send_header("Content-Length", "7")
            self.end_headers()
            self.wfile.write(b"created")
        except OSError:
            pass  # nginx gave up on the answer: its client left


class BackendServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True

    def __init__(self, records):
        self.records = records
        self.lock = threading.Lock()
        self.sequence = 0
        super().__init__(("127.0.0.1", 0), Backend)

    def keep(self, record, content, name):
        with self.lock:
            self.sequence += 1
            base = os.path.join(self.records, "%06d" % self.sequence)
        with open(base + ".bin", "wb") as f:
            f.write(content)
        with open(base + ".name", "wb") as f:
            f.write(name)
        with open(base + ".json.tmp", "w") as f:
            json.dump(record, f)
        os.rename(base + ".json.tmp", base + ".json")


def start(env):
    top = tempfile.mkdtemp(prefix="pcg-form-")
    os.chmod(top, 0o755)
    records = os.path.join(top, "records")
    os.mkdir(records)
    backend = BackendServer(records)
    try:
        nginx = Nginx(
            main="load_module %s;" % MODULE,
            http="upload_progress proxied 1m;",
            extra="""
        location ^~ /progress {
            report_uploads proxied;
        }
        location ~ ^/to-https/(\d+)/(.*)$ {
            return 301 https://localhost:$1/$2;
        }
        location / {
            proxy_pass http://127.0.0.1:%d;
            track_uploads proxied 30s;
        }""" % backend.server_address[1])
    except Exception:
        backend.server_close()
        shutil.rmtree(top, ignore_errors=True)
        raise
    env["PCG_FORM_PORT"] = str(nginx.port)
    env["PCG_FORM_RECORDS"] = windows_path(records)
    env["PCG_FORM_ACCESS_LOG"] = windows_path(os.path.join(nginx.prefix, "logs", "access.log"))
    return ServedOnThread(backend, top, before_stop=nginx.stop)
