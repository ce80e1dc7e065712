"""Peer --nginx: Debian's nginx as a user process on a free loopback port,
serving a fresh directory with real 200/206/416 answers, Content-Range,
ETag and Last-Modified.

Publishes HTTP_NGINX_PORT, HTTP_NGINX_ROOT (Windows path of the served
directory) and HTTP_NGINX_ACCESS_LOG (Windows path of its access log)."""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

from peerlib import free_port, windows_path

NGINX = "/usr/sbin/nginx"

CONFIG = """\
{main}
daemon on;
worker_processes 1;
pid {prefix}/nginx.pid;
error_log {prefix}/logs/error.log warn;
events {{ worker_connections 64; }}
http {{
    default_type application/octet-stream;
    sendfile on;
    keepalive_timeout 5;
    client_body_temp_path {prefix}/tmp/body;
    proxy_temp_path {prefix}/tmp/proxy;
    fastcgi_temp_path {prefix}/tmp/fastcgi;
    uwsgi_temp_path {prefix}/tmp/uwsgi;
    scgi_temp_path {prefix}/tmp/scgi;
    log_format plain '$request_method $request_uri $status $body_bytes_sent "$http_range"';
    access_log {prefix}/logs/access.log plain;
    {http}
    server {{
        listen 127.0.0.1:{port}{listen};
        root {prefix}/html;
        {extra}
    }}
}}
"""


def alive(pid):
    """True while the process runs; a zombie nobody reaps counts as ended."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


class Nginx:
    def __init__(self, root=None, extra="", main="", http="", listen=""):
        self.prefix = tempfile.mkdtemp(prefix="pennant-nginx-")
        os.chmod(self.prefix, 0o755)
        for d in ("logs", "tmp", "html"):
            os.mkdir(os.path.join(self.prefix, d))
        os.chmod(os.path.join(self.prefix, "html"), 0o777)
        self.root = root or os.path.join(self.prefix, "html")
        self.pid = None
        for _ in range(5):
            self.port = free_port()
            conf = os.path.join(self.prefix, "nginx.conf")
            with open(conf, "w") as f:
                f.write(CONFIG.format(prefix=self.prefix, port=self.port, extra=extra, main=main, http=http,
                                      listen=" " + listen if listen else "")
                        .replace("root %s/html;" % self.prefix, "root %s;" % self.root))
            if subprocess.call([NGINX, "-c", conf, "-p", self.prefix],
                               stderr=subprocess.DEVNULL) == 0 and self.wait_ready():
                return
        raise RuntimeError("nginx did not start; see %s/logs/error.log" % self.prefix)

    def wait_ready(self):
        pid_file = os.path.join(self.prefix, "nginx.pid")
        for _ in range(100):
            try:
                with open(pid_file) as f:
                    self.pid = int(f.read().strip())
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    return True
            except (OSError, ValueError):
                time.sleep(0.05)
        return False

    def stop(self):
        if self.pid:
            try:
                os.kill(self.pid, signal.SIGTERM)
                for _ in range(200):
                    if not alive(self.pid):
                        break
                    time.sleep(0.02)
            except ProcessLookupError:
                pass
        shutil.rmtree(self.prefix, ignore_errors=True)


def start(env):
    nginx = Nginx()
    env["HTTP_NGINX_PORT"] = str(nginx.port)
    env["HTTP_NGINX_ROOT"] = windows_path(nginx.root)
    env["HTTP_NGINX_ACCESS_LOG"] = windows_path(os.path.join(nginx.prefix, "logs", "access.log"))
    return nginx
