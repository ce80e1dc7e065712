"""Peer --nginx-tls: nginx serving TLS on loopback with certificates made now.

At start it makes a fresh test authority and server certificates with the
openssl tool (nothing of it reaches the host's trust store), then runs one
nginx with four TLS ports:

    HTTPS_NGINX_PORT       certificate for localhost and 127.0.0.1 from the test
                           authority; serves HTTPS_NGINX_ROOT like --nginx
    HTTPS_UNTRUSTED_PORT   the same names from an authority never trusted
    HTTPS_WRONG_NAME_PORT  the test authority, for elsewhere.invalid only
    HTTPS_EXPIRED_PORT     the test authority, localhost, expired yesterday

and a small Python TLS server on HTTPS_CUT_PORT (trusted certificate) whose
every GET is answered "HTTP/1.0 200" without a length, then 1000 bytes,
then the TCP connection closed with no close notify: a truncation only TLS
can tell from a complete body.

Started after --chunks or --nginx-progress (with_peers.py starts peers in
the order given), the trusted port also forwards to them, so the same
paths work over TLS: /up/... to the chunk server, /up and /progress to
the form backend and its upload-progress module.

Use the authority from a Windows program through tests/support/TestAuthority.h
(TrustedTestAuthority adds HTTPS_CA_FILE to the prefix's machine Root store
and removes it again), or from a script with the test tree's
trust_test_ca.exe:

    with_peers.py --nginx-tls -- sh -c 'wine trust_test_ca.exe "$HTTPS_CA_FILE" &&
        wine prog.exe https://localhost:$HTTPS_NGINX_PORT/file;
        wine trust_test_ca.exe --remove "$HTTPS_CA_FILE"'
    curl --cacert "$HTTPS_CA_PEM" https://localhost:$HTTPS_NGINX_PORT/file

Use https://localhost:PORT/, not 127.0.0.1: Wine's SSL policy matches DNS
names only. Also publishes HTTPS_CA_PEM (Linux path of the authority's PEM),
HTTPS_CA_FILE (its Windows path) and HTTPS_NGINX_ACCESS_LOG."""
import os
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading

from peer_nginx import Nginx
from peerlib import free_port, windows_path

CUT_BODY = bytes(range(250)) * 4


def openssl(*args):
    subprocess.run(("openssl",) + args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_certificates(top):
    def authority(name):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj", "/CN=" + name,
                "-keyout", os.path.join(top, name + ".key"), "-out", os.path.join(top, name + ".pem"),
                "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign")

    def server(name, issuer, names, days):
        with open(os.path.join(top, name + ".ext"), "w") as f:
            f.write("subjectAltName=%s\nextendedKeyUsage=serverAuth\n" % names)
        openssl("x509", "-req", "-in", os.path.join(top, "server.csr"), "-days", str(days),
                "-CA", os.path.join(top, issuer + ".pem"), "-CAkey", os.path.join(top, issuer + ".key"),
                "-set_serial", str(int.from_bytes(os.urandom(8), "big")),
                "-extfile", os.path.join(top, name + ".ext"), "-out", os.path.join(top, name + ".pem"))

    authority("pcg-test-authority")
    authority("pcg-stranger")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
            "-keyout", os.path.join(top, "server.key"), "-out", os.path.join(top, "server.csr"))
    local = "DNS:localhost,IP:127.0.0.1"
    server("trusted", "pcg-test-authority", local, 30)
    server("untrusted", "pcg-stranger", local, 30)
    server("wrong-name", "pcg-test-authority", "DNS:elsewhere.invalid", 30)
    server("expired", "pcg-test-authority", local, -1)


class CutServer:
    """Answers each connection's first request with a body cut short, no close notify."""

    def __init__(self, top):
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(os.path.join(top, "trusted.pem"), os.path.join(top, "server.key"))
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                raw, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.answer, args=(raw,), daemon=True).start()

    def answer(self, raw):
        try:
            raw.settimeout(30)
            with self.context.wrap_socket(raw, server_side=True) as tls:
                request = b""
                while b"\r\n\r\n" not in request:
                    request += tls.recv(65536) or b"\r\n\r\n"
                tls.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n" + CUT_BODY)
                raw.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def stop(self):
        self.listener.close()


class Running:
    def __init__(self, nginx, cut, top):
        self.nginx, self.cut, self.top = nginx, cut, top

    def stop(self):
        self.cut.stop()
        self.nginx.stop()
        shutil.rmtree(self.top, ignore_errors=True)


def tls_server(top, name, port):
    return """server {
        listen 127.0.0.1:%d ssl;
        ssl_certificate %s/%s.pem;
        ssl_certificate_key %s/server.key;
        root %s/html;
    }""" % (port, top, name, top, top)


def start(env):
    top = tempfile.mkdtemp(prefix="pcg-tls-")
    os.chmod(top, 0o755)
    os.mkdir(os.path.join(top, "html"))
    make_certificates(top)
    ports = {name: free_port() for name in ("untrusted", "wrong-name", "expired")}
    forwards = ""
    if env.get("PCG_CHUNK_PORT"):
        forwards += "location /up/ { proxy_pass http://127.0.0.1:%s; }\n" % env["PCG_CHUNK_PORT"]
    if env.get("PCG_FORM_PORT"):
        # Unbuffered, so the progress module behind sees the upload as it arrives.
        for where in ("= /up", "/progress"):
            forwards += ("location %s { proxy_pass http://127.0.0.1:%s; proxy_request_buffering off; }\n"
                         % (where, env["PCG_FORM_PORT"]))
    nginx = Nginx(root=os.path.join(top, "html"), listen="ssl",
                  http="ssl_protocols TLSv1.2 TLSv1.3;\n" +
                       "\n".join(tls_server(top, name, port) for name, port in ports.items()),
                  extra="ssl_certificate %s/trusted.pem;\nssl_certificate_key %s/server.key;\n%s"
                        % (top, top, forwards))
    cut = CutServer(top)
    env["HTTPS_NGINX_PORT"] = str(nginx.port)
    env["HTTPS_NGINX_ROOT"] = windows_path(os.path.join(top, "html"))
    env["HTTPS_NGINX_ACCESS_LOG"] = windows_path(os.path.join(nginx.prefix, "logs", "access.log"))
    env["HTTPS_UNTRUSTED_PORT"] = str(ports["untrusted"])
    env["HTTPS_WRONG_NAME_PORT"] = str(ports["wrong-name"])
    env["HTTPS_EXPIRED_PORT"] = str(ports["expired"])
    env["HTTPS_CUT_PORT"] = str(cut.port)
    env["HTTPS_CA_PEM"] = os.path.join(top, "pcg-test-authority.pem")
    env["HTTPS_CA_FILE"] = windows_path(env["HTTPS_CA_PEM"])
    return Running(nginx, cut, top)
