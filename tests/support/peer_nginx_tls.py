"""Peer --nginx-tls: nginx serving TLS on loopback with certificates made now.

It makes a test authority and server certificates with the openssl tool
(nothing of it reaches the host's trust store): keys and most certificates
once in PEER_CACHE_DIR (the test tree's peer-cache, which with_peers.py's
--cache names; without one, at every start), the authority's own
certificate at every start. Then it runs one nginx with these TLS ports:

    HTTPS_NGINX_PORT       certificate for localhost and 127.0.0.1 from the test
                           authority; serves HTTPS_NGINX_ROOT like --nginx
    HTTPS_UNTRUSTED_PORT   the same names from an authority never trusted
    HTTPS_WRONG_NAME_PORT  the test authority, for elsewhere.invalid only
    HTTPS_EXPIRED_PORT     the test authority, localhost, expired yesterday

    HTTPS_NO_SERVER_AUTH_PORT, HTTPS_LEAF_SIGNED_CHAIN_PORT, HTTPS_UNTRUSTED_CHAIN_PORT:
    refused as make_refused_certificates says; HTTPS_TLS11_PORT: TLS 1.0 and 1.1 only;
    HTTPS_REVOKED_PORT, HTTPS_REVOCATION_OFFLINE_PORT: on the authority's list (served
    over plain http), and with a list that cannot be reached

(the trusted port's /to-http redirects to plain http) and a small Python TLS server on HTTPS_CUT_PORT (trusted certificate) whose
every GET is answered "HTTP/1.0 200" without a length, then 1000 bytes,
then the TCP connection closed with no close notify: a truncation only TLS
can tell from a complete body. Its control, GET /clean/NAME, sends NAME from
nginx's root with its length and ends with a close notify. (Not the same
answer without a length: under Wine, DecryptMessage reports a close notify as
an empty record, not as the context's end, so only Windows can tell that
body from a cut one.)

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
import hashlib
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
    ssl_certificate {certs}/{name}.pem; ssl_certificate_key {made}/server.key; }}"""


def openssl(top, *args):
    subprocess.run(("openssl",) + args, cwd=top, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def serial():
    return str(int.from_bytes(os.urandom(8), "big"))


AUTHORITY = ("req", "-x509", "-days", "30", "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign")


def x509(top, name, csr, issuer, key, ext, days=30):
    with open(os.path.join(top, name + ".ext"), "w") as f:
        f.write(ext)
    openssl(top, "x509", "-req", "-in", csr, "-days", str(days), "-CA", issuer + ".pem", "-CAkey", key,
            "-set_serial", serial(), "-extfile", name + ".ext", "-out", name + ".pem")


def make_certificates(top):
    """Keys and every certificate that names no port: RSA keys take most of
    the time, so a test tree makes these once (cached_certificates)."""
    for name in ("pcg-test-authority", "pcg-stranger", "server"):
        openssl(top, "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", name + ".key")
    for authority in ("pcg-test-authority", "pcg-stranger"):
        openssl(top, *AUTHORITY, "-new", "-key", authority + ".key", "-subj", "/CN=" + authority, "-set_serial",
                serial(), "-out", authority + ".pem")
    openssl(top, "req", "-new", "-key", "server.key", "-subj", "/CN=localhost", "-out", "server.csr")
    local = "subjectAltName=DNS:localhost,IP:127.0.0.1\n"
    for name, issuer, names, days in (("trusted", "pcg-test-authority", local, 30),
                                      ("untrusted", "pcg-stranger", local, 30),
                                      ("wrong-name", "pcg-test-authority", "subjectAltName=DNS:elsewhere.invalid\n", 30),
                                      ("expired", "pcg-test-authority", local, -1)):
        x509(top, name, "server.csr", issuer, issuer + ".key", names + "extendedKeyUsage=serverAuth\n", days)
    # Refused however trusted: a leaf for client auth only, a leaf issued by
    # a leaf (sent with it), the stranger's leaf with its whole chain.
    authority = "pcg-test-authority"
    x509(top, "no-server-auth", "server.csr", authority, authority + ".key", local + "extendedKeyUsage=clientAuth\n")
    openssl(top, "req", "-new", "-key", "server.key", "-subj", "/CN=pcg-leaf-issuer", "-out", "leaf-issuer.csr")
    x509(top, "leaf-issuer", "leaf-issuer.csr", authority, authority + ".key", "basicConstraints=critical,CA:FALSE\n")
    x509(top, "leaf-signed", "server.csr", "leaf-issuer", "server.key", local)
    for name, parts in (("leaf-signed-chain", "leaf-signed leaf-issuer"), ("untrusted-chain", "untrusted pcg-stranger")):
        with open(os.path.join(top, name + ".pem"), "w") as out:
            out.write("".join(open(os.path.join(top, part + ".pem")).read() for part in parts.split()))


def cached_made(cache, kind, source, make):
    """What make(directory) writes, made once per build tree and the text of
    the peer's file `source`, and anew after a fortnight (the certificates
    last 30 days). Made beside and renamed into place, so that tests
    starting side by side never read half of it."""
    with open(source, "rb") as f:
        made = os.path.join(cache, kind + "-" + hashlib.sha256(f.read()).hexdigest()[:16])
    if os.path.isdir(made) and time.time() - os.path.getmtime(made) > 14 * 86400:
        shutil.rmtree(made, ignore_errors=True)
    if not os.path.isdir(made):
        os.makedirs(cache, exist_ok=True)
        fresh = tempfile.mkdtemp(prefix=kind + "-making-", dir=cache)
        make(fresh)
        try:
            os.rename(fresh, made)
        except OSError:  # another test's came first
            shutil.rmtree(fresh, ignore_errors=True)
    return made


def cached_certificates(cache):
    return cached_made(cache, "tls", __file__, make_certificates)


def make_started_certificates(top, made, crl_url):
    """What each start makes for itself: the authority's certificate (a
    serial of its own, so that one test taking it out of the prefix's Root
    store never takes away the one another test trusts; the leaves chain to
    it by name and key), and the two leaves and the list that name this
    start's ports."""
    authority = "pcg-test-authority"
    key = os.path.join(made, authority + ".key")
    openssl(top, *AUTHORITY, "-new", "-key", key, "-subj", "/CN=" + authority, "-set_serial", serial(),
            "-out", authority + ".pem")
    local = "subjectAltName=DNS:localhost,IP:127.0.0.1\n"
    x509(top, "revoked", os.path.join(made, "server.csr"), authority, key,
         local + "crlDistributionPoints=URI:%s\n" % crl_url)
    x509(top, "revocation-offline", os.path.join(made, "server.csr"), authority, key,
         local + "crlDistributionPoints=URI:http://127.0.0.1:%d/none.crl\n" % free_port())
    with open(os.path.join(top, "ca.cnf"), "w") as f:
        f.write("[ca]\ndefault_ca=c\n[c]\ndatabase=index.txt\ncrlnumber=crlnumber\ndefault_md=sha256\n"
                "default_crl_days=30\n")
    open(os.path.join(top, "index.txt"), "w").close()
    with open(os.path.join(top, "crlnumber"), "w") as f:
        f.write("01\n")
    ca = ("-config", "ca.cnf", "-keyfile", key, "-cert", authority + ".pem")
    openssl(top, "ca", *ca, "-revoke", "revoked.pem")
    openssl(top, "ca", *ca, "-gencrl", "-out", "ca-crl.pem")
    openssl(top, "crl", "-in", "ca-crl.pem", "-outform", "DER", "-out", os.path.join("html", "ca.crl"))


def cut_server(made, root):
    """Answers each connection with a body cut short: the TCP connection
    closes with no close notify; or, for /clean/NAME, with the whole file,
    its length and a close notify."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(made, "trusted.pem"), os.path.join(made, "server.key"))
    listener = socket.create_server(("127.0.0.1", 0))

    def answer(raw):
        try:
            raw.settimeout(30)
            with context.wrap_socket(raw, server_side=True) as tls:
                request = b""
                while b"\r\n\r\n" not in request:
                    request += tls.recv(65536) or b"\r\n\r\n"
                path = request.split(b" ", 2)[1].decode("latin-1").split("?")[0]
                if path.startswith("/clean/"):
                    with open(os.path.join(root, os.path.basename(path)), "rb") as f:
                        body = f.read()
                    tls.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
                    tls.unwrap()
                else:
                    tls.sendall(b"HTTP/1.0 200 OK\r\n\r\n" + bytes(range(250)) * 4)
                raw.shutdown(socket.SHUT_RDWR)
        except (OSError, IndexError):  # IndexError: no request line
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
    made = top
    if env.get("PEER_CACHE_DIR"):
        made = cached_certificates(env["PEER_CACHE_DIR"])
    else:
        make_certificates(top)
    crl_port = free_port()
    make_started_certificates(top, made, "http://127.0.0.1:%d/ca.crl" % crl_port)
    ports = {name: free_port() for name in ("untrusted", "wrong-name", "expired", "no-server-auth",
                                            "leaf-signed-chain", "untrusted-chain", "tls11", "revoked",
                                            "revocation-offline")}
    forwards = ""
    if env.get("PCG_CHUNK_PORT"):
        forwards += "location /up/ { proxy_pass http://127.0.0.1:%s; }\n" % env["PCG_CHUNK_PORT"]
    for where in ("= /up", "/progress") if env.get("PCG_FORM_PORT") else ():
        # Unbuffered, so the progress module behind sees the upload as it arrives.
        forwards += ("location %s { proxy_pass http://127.0.0.1:%s; proxy_request_buffering off; }\n"
                     % (where, env["PCG_FORM_PORT"]))
    # Only TLS 1.0 and 1.1, which today's OpenSSL speaks at security level 0 only.
    servers = {name: SERVER.format(port=port, top=top, made=made, name=name,
                                       certs=top if name.startswith("revo") else made)
               for name, port in ports.items()}
    servers["tls11"] = servers["tls11"].replace("tls11.pem", "trusted.pem").replace(
        "}", "ssl_protocols TLSv1 TLSv1.1; ssl_ciphers DEFAULT:@SECLEVEL=0; }")
    forwards += "location = /to-http { return 302 http://127.0.0.1:%d/d.bin; }\n" % free_port()
    servers["crl"] = "server { listen 127.0.0.1:%d; root %s/html; }" % (crl_port, top)
    nginx = Nginx(root=os.path.join(top, "html"), listen="ssl",
                  http="ssl_protocols TLSv1.2 TLSv1.3;\n" + "\n".join(servers.values()),
                  extra="ssl_certificate %s/trusted.pem;\nssl_certificate_key %s/server.key;\n%s"
                        % (made, made, forwards))
    cut = cut_server(made, os.path.join(top, "html"))
    env["HTTPS_NGINX_PORT"] = str(nginx.port)
    env["HTTPS_NGINX_ROOT"] = windows_path(os.path.join(top, "html"))
    env["HTTPS_NGINX_ACCESS_LOG"] = windows_path(os.path.join(nginx.prefix, "logs", "access.log"))
    for name, port in ports.items():
        env["HTTPS_%s_PORT" % name.upper().replace("-", "_")] = str(port)
    env["HTTPS_CUT_PORT"] = str(cut.getsockname()[1])
    env["HTTPS_CA_PEM"] = os.path.join(top, "pcg-test-authority.pem")
    env["HTTPS_CA_FILE"] = windows_path(env["HTTPS_CA_PEM"])
    return Running(nginx, cut, top)
