"""Peer --nginx-tls: nginx serving TLS on loopback with certificates made now.

At start it makes a fresh test authority and server certificates with the
openssl tool (nothing of it reaches the host's trust store), from keys made
once in PEER_CACHE_DIR (the test tree's peer-cache; set by with_peers.py's
--cache) or, without one, made now. Then it runs one nginx with four TLS
ports:

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

SERVER = """server {{ listen 127.0.0.1:{port} ssl; root {top}/html;
    ssl_certificate {top}/{name}.pem; ssl_certificate_key {top}/server.key; }}"""


def openssl(top, *args):
    subprocess.run(("openssl",) + args, cwd=top, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


KEYS = ("pcg-test-authority", "pcg-stranger", "server")


def make_keys(top):
    for name in KEYS:
        openssl(top, "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", name + ".key")


def cached_keys(cache):
    """The RSA keys, made once per build tree: making them was most of a
    test's start. A directory made beside and renamed into place, so that
    tests starting side by side never read half a key."""
    keys = os.path.join(cache, "tls-keys")
    if not os.path.isdir(keys):
        os.makedirs(cache, exist_ok=True)
        fresh = tempfile.mkdtemp(prefix="tls-keys-", dir=cache)
        make_keys(fresh)
        try:
            os.rename(fresh, keys)
        except OSError:  # another test's keys came first
            shutil.rmtree(fresh, ignore_errors=True)
    return keys


def make_certificates(top, keys):
    """Certificates of this start from the keys: every start has its own
    authority certificate, so that one test taking it out of the prefix's
    Root store never takes away the one another test trusts."""
    def key(name):
        return os.path.join(keys, name + ".key")

    def serial():
        return str(int.from_bytes(os.urandom(8), "big"))

    for authority in ("pcg-test-authority", "pcg-stranger"):
        openssl(top, "req", "-x509", "-new", "-key", key(authority), "-days", "30", "-subj", "/CN=" + authority,
                "-set_serial", serial(), "-out", authority + ".pem",
                "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign")
    if keys != top:
        shutil.copy(key("server"), os.path.join(top, "server.key"))
    openssl(top, "req", "-new", "-key", "server.key", "-subj", "/CN=localhost", "-out", "server.csr")
    local = "DNS:localhost,IP:127.0.0.1"
    for name, issuer, names, days in (("trusted", "pcg-test-authority", local, 30),
                                      ("untrusted", "pcg-stranger", local, 30),
                                      ("wrong-name", "pcg-test-authority", "DNS:elsewhere.invalid", 30),
                                      ("expired", "pcg-test-authority", local, -1)):
        with open(os.path.join(top, name + ".ext"), "w") as f:
            f.write("subjectAltName=%s\nextendedKeyUsage=serverAuth\n" % names)
        openssl(top, "x509", "-req", "-in", "server.csr", "-days", str(days), "-CA", issuer + ".pem",
                "-CAkey", key(issuer), "-set_serial", serial(), "-extfile", name + ".ext", "-out", name + ".pem")


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


class Running:
    def __init__(self, nginx, cut, top):
        self.nginx, self.cut, self.top = nginx, cut, top

    def stop(self):
        self.cut.close()
        self.nginx.stop()
        shutil.rmtree(self.top, ignore_errors=True)


def start(env):
    top = tempfile.mkdtemp(prefix="pcg-tls-")
    os.chmod(top, 0o755)
    os.mkdir(os.path.join(top, "html"))
    keys = top
    if env.get("PEER_CACHE_DIR"):
        keys = cached_keys(env["PEER_CACHE_DIR"])
    else:
        make_keys(top)
    make_certificates(top, keys)
    ports = {name: free_port() for name in ("untrusted", "wrong-name", "expired")}
    forwards = ""
    if env.get("PCG_CHUNK_PORT"):
        forwards += "location /up/ { proxy_pass http://127.0.0.1:%s; }\n" % env["PCG_CHUNK_PORT"]
    for where in ("= /up", "/progress") if env.get("PCG_FORM_PORT") else ():
        # Unbuffered, so the progress module behind sees the upload as it arrives.
        forwards += ("location %s { proxy_pass http://127.0.0.1:%s; proxy_request_buffering off; }\n"
                     % (where, env["PCG_FORM_PORT"]))
    nginx = Nginx(root=os.path.join(top, "html"), listen="ssl",
                  http="ssl_protocols TLSv1.2 TLSv1.3;\n" +
                       "\n".join(SERVER.format(port=port, top=top, name=name) for name, port in ports.items()),
                  extra="ssl_certificate %s/trusted.pem;\nssl_certificate_key %s/server.key;\n%s"
                        % (top, top, forwards))
    cut = cut_server(top)
    env["HTTPS_NGINX_PORT"] = str(nginx.port)
    env["HTTPS_NGINX_ROOT"] = windows_path(os.path.join(top, "html"))
    env["HTTPS_NGINX_ACCESS_LOG"] = windows_path(os.path.join(nginx.prefix, "logs", "access.log"))
    for name, port in ports.items():
        env["HTTPS_%s_PORT" % name.upper().replace("-", "_")] = str(port)
    env["HTTPS_CUT_PORT"] = str(cut.getsockname()[1])
    env["HTTPS_CA_PEM"] = os.path.join(top, "pcg-test-authority.pem")
    env["HTTPS_CA_FILE"] = windows_path(env["HTTPS_CA_PEM"])
    return Running(nginx, cut, top)
