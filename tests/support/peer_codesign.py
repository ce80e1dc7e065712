"""Peer --codesign: a test code-signing authority and a signer that signs
what the tests hand it, with osslsigncode (nothing reaches the host's trust
store).

Keys and certificates are made with the openssl tool once per test tree in
PEER_CACHE_DIR (anew after a fortnight; they last 30 days):

    root       "Pennant Test Code Signing Root", the authority a test trusts
               in the prefix's machine Root store (CODESIGN_CA_FILE)
    right      "Aldermoor Test Publisher" from root
    other      "Other Test Publisher" from root
    untrusted  "Aldermoor Test Publisher" from an authority nobody trusts
    expired    "Aldermoor Test Publisher" from root, expired yesterday

A test asks for a signature by dropping a file into CODESIGN_INBOX named
"<name>@<signer>" (written aside and renamed, so never seen half-written);
the signed copy appears as CODESIGN_OUTBOX\\<name> (or <name>.failed with
osslsigncode's message). tests/support/CodeSigning.h does both sides.
Publishes CODESIGN_CA_FILE, CODESIGN_INBOX, CODESIGN_OUTBOX (Windows paths)
and CODESIGN_DIR (the Linux directory of the PEM files, for scripts)."""
import hashlib
import os
import shutil
import subprocess
import tempfile
import threading
import time

from peerlib import windows_path

PUBLISHER = "Aldermoor Test Publisher"
SIGNERS = {"right": ("root", PUBLISHER, 30), "other": ("root", "Other Test Publisher", 30),
           "untrusted": ("stranger", PUBLISHER, 30), "expired": ("root", PUBLISHER, -1)}


def openssl(top, *args):
    subprocess.run(("openssl",) + args, cwd=top, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def serial():
    return str(int.from_bytes(os.urandom(8), "big"))


def make_certificates(top):
    for name in ("root", "stranger", "signer"):
        openssl(top, "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", name + ".key")
    for name, subject in (("root", "Pennant Test Code Signing Root"), ("stranger", "Pennant Test Stranger Root")):
        openssl(top, "req", "-x509", "-days", "30", "-new", "-key", name + ".key", "-subj", "/CN=" + subject,
                "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign",
                "-set_serial", serial(), "-out", name + ".pem")
    with open(os.path.join(top, "signer.ext"), "w") as f:
        f.write("basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=codeSigning\n")
    for name, (issuer, subject, days) in SIGNERS.items():
        openssl(top, "req", "-new", "-key", "signer.key", "-subj", "/CN=" + subject, "-out", name + ".csr")
        openssl(top, "x509", "-req", "-in", name + ".csr", "-days", str(days), "-CA", issuer + ".pem",
                "-CAkey", issuer + ".key", "-set_serial", serial(), "-extfile", "signer.ext",
                "-out", name + ".leaf.pem")
        # The signature carries the whole chain, its root included.
        with open(os.path.join(top, name + ".pem"), "w") as out:
            for part in (name + ".leaf.pem", issuer + ".pem"):
                out.write(open(os.path.join(top, part)).read())


def cached_certificates(cache):
    with open(__file__, "rb") as f:
        made = os.path.join(cache, "codesign-" + hashlib.sha256(f.read()).hexdigest()[:16])
    if os.path.isdir(made) and time.time() - os.path.getmtime(made) > 14 * 86400:
        shutil.rmtree(made, ignore_errors=True)
    if not os.path.isdir(made):
        os.makedirs(cache, exist_ok=True)
        fresh = tempfile.mkdtemp(prefix="codesign-making-", dir=cache)
        make_certificates(fresh)
        try:
            os.rename(fresh, made)
        except OSError:  # another test made it meanwhile
            shutil.rmtree(fresh, ignore_errors=True)
    return made


class Signer:
    def __init__(self, certs, top):
        self.certs, self.top = certs, top
        self.inbox, self.outbox = os.path.join(top, "inbox"), os.path.join(top, "outbox")
        os.makedirs(self.inbox)
        os.makedirs(self.outbox)
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def sign(self, request):
        name, _, signer = request.rpartition("@")
        source = os.path.join(self.inbox, request)
        aside = os.path.join(self.outbox, name + ".signing")
        done = subprocess.run(["osslsigncode", "sign", "-certs", os.path.join(self.certs, signer + ".pem"),
                               "-key", os.path.join(self.certs, "signer.key"), "-h", "sha256",
                               "-in", source, "-out", aside], capture_output=True, text=True)
        os.remove(source)
        if done.returncode != 0 or signer not in SIGNERS:
            with open(os.path.join(self.outbox, name + ".failed"), "w") as f:
                f.write(done.stdout + done.stderr)
        else:
            os.rename(aside, os.path.join(self.outbox, name))

    def serve(self):
        while not self.stopping.wait(0.05):
            for request in os.listdir(self.inbox):
                if "@" in request and not request.endswith(".tmp"):
                    self.sign(request)

    def stop(self):
        self.stopping.set()
        self.thread.join()
        shutil.rmtree(self.top, ignore_errors=True)


def start(env):
    cache = env.get("PEER_CACHE_DIR") or tempfile.mkdtemp(prefix="pennant-codesign-cache-")
    certs = cached_certificates(cache)
    signer = Signer(certs, tempfile.mkdtemp(prefix="pennant-codesign-"))
    env["CODESIGN_CA_FILE"] = windows_path(os.path.join(certs, "root.pem"))
    env["CODESIGN_INBOX"] = windows_path(signer.inbox)
    env["CODESIGN_OUTBOX"] = windows_path(signer.outbox)
    env["CODESIGN_DIR"] = certs
    return signer
