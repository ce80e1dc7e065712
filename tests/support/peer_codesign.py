"""Peer --codesign: a test code-signing authority, made with openssl once per
test tree in PEER_CACHE_DIR (anew after a fortnight), and a signer thread
that signs with osslsigncode what the tests drop into CODESIGN_INBOX as
"<name>@<signer>" (written aside and renamed): the copy appears as
CODESIGN_OUTBOX\\<name>, or <name>.failed. Signers: right, other ("Other
Test Publisher"), untrusted (from an authority nobody trusts), expired; the
rest are "Aldermoor Test Publisher". tests/support/CodeSigning.h is the
tests' side. Publishes CODESIGN_CA_FILE (the root a test trusts in the
prefix), CODESIGN_INBOX, CODESIGN_OUTBOX and CODESIGN_DIR (Linux path of
the PEM files: <signer>.pem with its chain, signer.key)."""
import os
import shutil
import subprocess
import tempfile
import threading

from peerlib import windows_path
from peer_nginx_tls import cached_made, openssl, serial

SIGNERS = {"right": ("root", "Aldermoor Test Publisher", 30), "other": ("root", "Other Test Publisher", 30),
           "untrusted": ("stranger", "Aldermoor Test Publisher", 30),
           "expired": ("root", "Aldermoor Test Publisher", -1)}
LEAF = "basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n"


def make_certificates(top):
    for name in ("root", "stranger", "signer"):
        openssl(top, "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", name + ".key")
    for name in ("root", "stranger"):
        openssl(top, "req", "-x509", "-days", "30", "-new", "-key", name + ".key", "-subj", "/CN=Pennant Test " + name,
                "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign",
                "-set_serial", serial(), "-out", name + ".pem")
    with open(os.path.join(top, "leaf.ext"), "w") as f:
        f.write(LEAF)
    for name, (issuer, subject, days) in SIGNERS.items():
        openssl(top, "req", "-new", "-key", "signer.key", "-subj", "/CN=" + subject, "-out", name + ".csr")
        openssl(top, "x509", "-req", "-in", name + ".csr", "-days", str(days), "-CA", issuer + ".pem", "-CAkey",
                issuer + ".key", "-set_serial", serial(), "-extfile", "leaf.ext", "-out", name + ".leaf")
        with open(os.path.join(top, name + ".pem"), "w") as out:  # the chain rides in the signature
            out.write(open(os.path.join(top, name + ".leaf")).read() + open(os.path.join(top, issuer + ".pem")).read())


def cached_certificates(cache):
    return cached_made(cache, "codesign", __file__, make_certificates)


class Signer(threading.Thread):
    def __init__(self, certs, top):
        super().__init__(daemon=True)
        self.certs, self.top, self.stopping = certs, top, threading.Event()
        self.inbox, self.outbox = os.path.join(top, "inbox"), os.path.join(top, "outbox")
        os.makedirs(self.inbox)
        os.makedirs(self.outbox)
        self.start()

    def run(self):
        while not self.stopping.wait(0.05):
            for request in [r for r in os.listdir(self.inbox) if "@" in r and not r.endswith(".tmp")]:
                name, _, signer = request.rpartition("@")
                aside, source = os.path.join(self.outbox, name + ".signing"), os.path.join(self.inbox, request)
                done = subprocess.run(["osslsigncode", "sign", "-certs", os.path.join(self.certs, signer + ".pem"),
                                       "-key", os.path.join(self.certs, "signer.key"), "-h", "sha256",
                                       "-in", source, "-out", aside], capture_output=True, text=True)
                os.remove(source)
                if done.returncode == 0:
                    os.rename(aside, os.path.join(self.outbox, name))
                else:
                    with open(os.path.join(self.outbox, name + ".failed"), "w") as f:
                        f.write(done.stdout + done.stderr)

    def stop(self):
        self.stopping.set()
        self.join()
        shutil.rmtree(self.top, ignore_errors=True)


def start(env):
    certs = cached_certificates(env.get("PEER_CACHE_DIR") or tempfile.mkdtemp(prefix="pennant-codesign-cache-"))
    signer = Signer(certs, tempfile.mkdtemp(prefix="pennant-codesign-"))
    env.update(CODESIGN_CA_FILE=windows_path(os.path.join(certs, "root.pem")), CODESIGN_DIR=certs,
               CODESIGN_INBOX=windows_path(signer.inbox), CODESIGN_OUTBOX=windows_path(signer.outbox))
    return signer
