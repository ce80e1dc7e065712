"""Peer --nginx-tls: nginx serving TLS on loopback with certificates made now.

At start it makes a fresh test authority and server certificates with the
openssl tool (nothing of it reaches the host's trust store), then runs one
nginx with four TLS ports:

    HTTPS_NGINX_PORT       certificate for localhost and 127.0.0.1 from the test
                           authority; serves HTTPS_NGINX_ROOT like --nginx
    HTTPS_UNTRUSTED_PORT   the same names from an authority never trusted
    HTTPS_WRONG_NAME_PORT  the test authority, for elsewhere.invalid only
    HTTPS_EXPIRED_PORT     the test authority, localhost, expired yesterday

    HTTPS_NO_SERVER_AUTH_PORT      the test authority, localhost, for client auth only
    HTTPS_LEAF_SIGNED_CHAIN_PORT   localhost issued by a leaf of the test authority
    HTTPS_UNTRUSTED_CHAIN_PORT     the stranger's leaf with its whole chain
    HTTPS_TLS11_PORT               the trusted certificate over TLS 1.0 and 1.1 only
    HTTPS_RENEGOTIATE_PORT         openssl s_server: TLS 1.2, a renegotiation before the
                                   body "hello" CRLF of every GET

The trusted port answers /to-http with a redirect to plain http, and plain
http on HTTP_TO_HTTPS_PORT sends every request on to the trusted port.

And a small Python TLS server on HTTPS_CUT_PORT (trusted certificate) whose
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
import time

from peer_nginx import Nginx
from peerlib import free_port, windows_path

SERVER = """server {{ listen 127.0.0.1:{port} ssl; root {top}/html;
    ssl_certificate {top}/{name}.pem; ssl_certificate_key {top}/server.key; }}"""


def openssl(top, *args):
    subprocess.run(("openssl",) + args, cwd=top, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_certificates(top):
    for authority in ("pcg-test-authority", "pcg-stranger"):
        openssl(top, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj", "/CN=" + authority,
                "-keyout", authority + ".key", "-out", authority + ".pem",
                "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign")
    openssl(top, "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-keyout", "server.key",
            "-out", "server.csr")
    local = "DNS:localhost,IP:127.0.0.1"
    for name, issuer, names, days in (("trusted", "pcg-test-authority", local, 30),
                                      ("untrusted", "pcg-stranger", local, 30),
                                      ("wrong-name", "pcg-test-authority", "DNS:elsewhere.invalid", 30),
                                      ("expired", "pcg-test-authority", local, -1)):
        with open(os.path.join(top, name + ".ext"), "w") as f:
            f.write("subjectAltName=%s\nextendedKeyUsage=serverAuth\n" % names)
        openssl(top, "x509", "-req", "-in", "server.csr", "-days", str(days), "-CA", issuer + ".pem",
                "-CAkey", issuer + ".key", "-set_serial", str(int.from_bytes(os.urandom(8), "big")),
                "-extfile", name + ".ext", "-out", name + ".pem")


def cut_server(top):
    """Answers each connection with a body cut short: the TCP connection
    closes with no close notify."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(top, "trusted.pem"), os.path.join(top, "server.key"))
    listener = socket.create_server(("127.0.0.1", 0))

    def answer(raw):
        try:
            raw.settimeout(30)
            with context.wrap_socket(raw, server_side=True) as tls:
                request = b""
                while b"\r\n\r\n" not in request:
                    request += tls.recv(65536) or b"\r\n\r\n"
                tls.sendall(b"HTTP/1.0 200 OK\r\n\r\n" + bytes(range(250)) * 4)
                raw.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def serve():
        while True:
            try:
                threading.Thread(target=answer, args=(listener.accept()[0],), daemon=True).start()
            except OSError:
                return

    threading.Thread(target=serve, daemon=True).start()
    return listener


def make_refused_certificates(top):
    """Certificates each refused for one reason, from the keys and the
    authorities make_certificates left: a leaf without the server-auth usage;
    a leaf issued by a certificate that is no authority (with that issuer
    sent along); the stranger's leaf sent with its whole chain."""
    local = "subjectAltName=DNS:localhost,IP:127.0.0.1\n"
    for name, extensions in (("no-server-auth", local + "extendedKeyUsage=clientAuth\n"),
                             ("leaf-issuer", "basicConstraints=critical,CA:FALSE\nextendedKeyUsage=serverAuth\n")):
        with open(os.path.join(top, name + ".ext"), "w") as f:
            f.write(extensions)
    openssl(top, "req", "-new", "-key", "server.key", "-subj", "/CN=pcg-leaf-issuer", "-out", "leaf-issuer.csr")
    for name, csr, issuer, key, ext in (("no-server-auth", "server.csr", "pcg-test-authority.pem",
                                         "pcg-test-authority.key", "no-server-auth.ext"),
                                        ("leaf-issuer", "leaf-issuer.csr", "pcg-test-authority.pem",
                                         "pcg-test-authority.key", "leaf-issuer.ext"),
                                        ("leaf-signed", "server.csr", "leaf-issuer.pem", "server.key", "trusted.ext")):
        openssl(top, "x509", "-req", "-in", csr, "-days", "30", "-CA", issuer, "-CAkey", key,
                "-set_serial", str(int.from_bytes(os.urandom(8), "big")), "-extfile", ext, "-out", name + ".pem")
    for name, parts in (("leaf-signed-chain", ("leaf-signed", "leaf-issuer")),
                        ("untrusted-chain", ("untrusted", "pcg-stranger"))):
        with open(os.path.join(top, name + ".pem"), "w") as out:
            for part in parts:
                with open(os.path.join(top, part + ".pem")) as f:
                    out.write(f.read())


def redirect_server(tls_port):
    """Plain http that sends every request on to the same path over https."""
    listener = socket.create_server(("127.0.0.1", 0))

    def answer(raw):
        try:
            raw.settimeout(30)
            request = b""
            while b"\r\n\r\n" not in request:
                request += raw.recv(65536) or b"\r\n\r\n"
            path = request.split(b" ")[1] if request.count(b" ") >= 2 else b"/"
            raw.sendall(b"HTTP/1.0 301 Moved\r\nLocation: https://localhost:%d%s\r\nContent-Length: 0\r\n\r\n"
                        % (tls_port, path))
            raw.close()
        except OSError:
            pass

    def serve():
        while True:
            try:
                threading.Thread(target=answer, args=(listener.accept()[0],), daemon=True).start()
            except OSError:
                return

    threading.Thread(target=serve, daemon=True).start()
    return listener


def renegotiating_server(top):
    """openssl s_server over TLS 1.2 that answers each GET with a head, asks
    for a new handshake (its "r" command) before the body and sends the body
    ("hello" and CRLF) only after it. Serves one connection at a time."""
    port = free_port()
    server = subprocess.Popen(
        ["openssl", "s_server", "-accept", "127.0.0.1:%d" % port, "-tls1_2", "-crlf", "-naccept", "1000",
         "-cert", os.path.join(top, "trusted.pem"), "-key", os.path.join(top, "server.key")],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)

    def drive():
        try:
            seen = b""
            while True:
                piece = server.stdout.read(65536)
                if not piece:
                    return
                seen += piece
                if b"GET " not in seen or b"\n\n" not in seen.replace(b"\r", b"").split(b"GET ", 1)[1]:
                    continue
                seen = b""
                for text, pause in ((b"HTTP/1.0 200 OK\nContent-Length: 7\n\n", 0.3), (b"r\n", 1.0),
                                    (b"hello\n", 0)):
                    server.stdin.write(text)
                    time.sleep(pause)
        except (OSError, ValueError):
            pass

    threading.Thread(target=drive, daemon=True).start()
    return server, port


class Running:
    def __init__(self, nginx, cut, top, redirect=None, renegotiating=None):
        self.nginx, self.cut, self.top, self.redirect, self.renegotiating = nginx, cut, top, redirect, renegotiating

    def stop(self):
        self.cut.close()
        if self.redirect:
            self.redirect.close()
        if self.renegotiating:
            self.renegotiating.kill()
            self.renegotiating.wait()
        self.nginx.stop()
        shutil.rmtree(self.top, ignore_errors=True)


def start(env):
    top = tempfile.mkdtemp(prefix="pcg-tls-")
    os.chmod(top, 0o755)
    os.mkdir(os.path.join(top, "html"))
    make_certificates(top)
    make_refused_certificates(top)
    ports = {name: free_port() for name in ("untrusted", "wrong-name", "expired", "no-server-auth",
                                            "leaf-signed-chain", "untrusted-chain", "tls11")}
    forwards = ""
    if env.get("PCG_CHUNK_PORT"):
        forwards += "location /up/ { proxy_pass http://127.0.0.1:%s; }\n" % env["PCG_CHUNK_PORT"]
    for where in ("= /up", "/progress") if env.get("PCG_FORM_PORT") else ():
        # Unbuffered, so the progress module behind sees the upload as it arrives.
        forwards += ("location %s { proxy_pass http://127.0.0.1:%s; proxy_request_buffering off; }\n"
                     % (where, env["PCG_FORM_PORT"]))
    # Only TLS 1.0 and 1.1, which today's OpenSSL speaks at security level 0 only.
    servers = {name: SERVER.format(port=port, top=top, name=name) for name, port in ports.items()}
    servers["tls11"] = servers["tls11"].replace("tls11.pem", "trusted.pem").replace(
        "}", "ssl_protocols TLSv1 TLSv1.1; ssl_ciphers DEFAULT:@SECLEVEL=0; }")
    forwards += "location = /to-http { return 302 http://127.0.0.1:%d/d.bin; }\n" % free_port()
    nginx = Nginx(root=os.path.join(top, "html"), listen="ssl",
                  http="ssl_protocols TLSv1.2 TLSv1.3;\n" + "\n".join(servers.values()),
                  extra="ssl_certificate %s/trusted.pem;\nssl_certificate_key %s/server.key;\n%s"
                        % (top, top, forwards))
    cut = cut_server(top)
    redirect = redirect_server(nginx.port)
    renegotiating, renegotiating_port = renegotiating_server(top)
    env["HTTPS_RENEGOTIATE_PORT"] = str(renegotiating_port)
    env["HTTP_TO_HTTPS_PORT"] = str(redirect.getsockname()[1])
    env["HTTPS_NGINX_PORT"] = str(nginx.port)
    env["HTTPS_NGINX_ROOT"] = windows_path(os.path.join(top, "html"))
    env["HTTPS_NGINX_ACCESS_LOG"] = windows_path(os.path.join(nginx.prefix, "logs", "access.log"))
    for name, port in ports.items():
        env["HTTPS_%s_PORT" % name.upper().replace("-", "_")] = str(port)
    env["HTTPS_CUT_PORT"] = str(cut.getsockname()[1])
    env["HTTPS_CA_PEM"] = os.path.join(top, "pcg-test-authority.pem")
    env["HTTPS_CA_FILE"] = windows_path(env["HTTPS_CA_PEM"])
    return Running(nginx, cut, top, redirect, renegotiating)
