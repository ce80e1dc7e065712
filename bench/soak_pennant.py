"""bench/soak-pennant's driver: the same upgrade task run again and again
against a rate-limited nginx, each run ended at a random moment of its
download, as users' machines end them; nothing is cleaned between runs. A
last run is left alone and must end in a verified install.

Each run starts pennant.exe (the test build: it reports to the recorder on
loopback), waits for the pop-up, presses Upgrade with the real pointer and
then ends in one of three ways:
  kill   kill -9 of pennant's own Windows process, a random moment after
         the click (within about two shares of what is left to download);
  cut    the relay between pennant and nginx resets the connection at a
         random byte; once pennant shows the lost network, WM_CLOSE;
  close  WM_CLOSE (taskkill without /f) at a random moment, as a session
         manager sends it.
After each run the download directory is compared with the server's file:
a part file must be a prefix of it, a meta file must name the server's
ETag, an installer must equal it.

Prints the runs, the interruptions of each kind, the installer bytes nginx
sent over all runs per installer size, the runs that restarted from byte 0
(and why, from pennant's log), every run whose exit code or reports
contradict what happened, and every file left that does not match; then
one summary line. Exits 1 when a figure misses its bound."""
import argparse
import base64
import glob
import json
import os
import random
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "scripts"))
sys.path.insert(0, HERE)
import peer_feedback  # noqa: E402
from demo_run import UPGRADE_BUTTON, PennantLog, pennant_window, reports, unix_path  # noqa: E402
from peer_nginx import Nginx  # noqa: E402
from soak_lib import Relay, kill_program  # noqa: E402

MIB = 1 << 20
EXE = "pennant.exe"
INSTALLER = "QuillonSoakSetup.exe"
PRODUCT_KEY = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Aldermoor\\QuillonSoak"
INSTALL_DIR = "C:\\Program Files\\Aldermoor\\QuillonSoak"
SUPPORT = os.path.join(HERE, "..", "tests", "support")

# What pennant's log says when it gives up what it had.
RESTART_REASONS = [
    "part file can not pass check", "etag unmatch", "time last modify unmatch",
    "open meta file failed", "get etag fields failed", "get last modify timestamp fields failed",
    "http response status 416", "range request not honoured", "range request from",
    "offset unmatch", "install file can NOT pass check", "md5 check failed",
]


def b64(text):
    return base64.b64encode(text.encode("utf-8")).decode("ascii")


def make_installer(test_installer, served_dir, mib):
    padded = os.path.join(served_dir, "padded.exe")
    with open(test_installer, "rb") as src, open(padded, "wb") as dst:
        dst.write(src.read())
        for _ in range(mib):
            dst.write(os.urandom(MIB))
    md5 = subprocess.run(
        [sys.executable, os.path.join(SUPPORT, "make_test_installer.py"), padded,
         os.path.join(served_dir, INSTALLER), "key=" + PRODUCT_KEY, "view=64",
         "path=" + INSTALL_DIR, "version=2.0.1", "exe=Quillon.exe", "exedir=bin",
         "fileversion=2.0.1.0", "filepath=@exe", "delay=300"],
        check=True, capture_output=True, text=True).stdout.strip()
    os.remove(padded)
    return md5


def forget_product(prefix, download):
    for path in glob.glob(os.path.join(download, INSTALLER + "*")):
        os.remove(path)
    subprocess.call(["wine", "reg", "delete", PRODUCT_KEY, "/f", "/reg:64"],
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    shutil.rmtree(os.path.join(prefix, "drive_c", "Program Files", "Aldermoor", "QuillonSoak"),
                  ignore_errors=True)


def statuses(bodies):
    return [int(m.group(1)) for m in (re.search(r"status=(\d+)", b) for b in bodies) if m]


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


class Soak:
    def __init__(self, args, prefix, rng):
        self.args = args
        self.prefix = prefix
        self.rng = rng
        self.download = os.path.join(prefix, "drive_c", "ProgramData", "Aldermoor", "Quillon", "download")
        self.findings = []        # files that do not match
        self.contradictions = []
        self.restarts = []
        self.counts = {"kill": 0, "cut": 0, "close": 0}
        self.meta_time = None

    def have(self):
        """Bytes of the installer already on disk (part file or installer)."""
        part = read(os.path.join(self.download, INSTALLER + ".part"))
        if os.path.isfile(os.path.join(self.download, INSTALLER)):
            return self.size
        return len(part) if part else 0

    def check_files(self, run):
        part = read(os.path.join(self.download, INSTALLER + ".part"))
        meta = read(os.path.join(self.download, INSTALLER + ".meta"))
        installer = read(os.path.join(self.download, INSTALLER))
        if part is not None and self.served[:len(part)] != part:
            self.findings.append("run %d: part file of %d bytes is not a prefix of the server's file"
                                 % (run, len(part)))
        if installer is not None and installer != self.served:
            self.findings.append("run %d: installer left that differs from the server's file" % run)
        if meta is not None:
            lines = meta.decode("latin-1").split("\r\n")
            if len(lines) < 2 or lines[0] != self.etag or not re.fullmatch(r"-?\d+", lines[1]):
                self.findings.append("run %d: meta file %r does not name the server's file" % (run, meta[:80]))
            elif self.meta_time is None:
                self.meta_time = lines[1]
            elif lines[1] != self.meta_time:
                self.findings.append("run %d: meta file's time %s changed from %s" % (run, lines[1], self.meta_time))
        elif part:
            self.findings.append("run %d: part file of %d bytes without a meta file" % (run, len(part)))
        known = {INSTALLER, INSTALLER + ".part", INSTALLER + ".meta"}
        for path in glob.glob(os.path.join(self.download, INSTALLER + "*")):
            if os.path.basename(path) not in known:
                self.findings.append("run %d: stray file %s" % (run, os.path.basename(path)))

    def close(self):
        subprocess.call(["wine", "taskkill", "/im", EXE], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def run(self, number, kind, left):
        had = self.have()
        remaining = max(1, self.size - had)
        share = remaining / (left + 1)
        seconds = share / self.rate
        log = PennantLog(self.prefix)
        heads_before = len(self.relay.heads)
        reports_before = len(reports(self.reports_dir))
        process = subprocess.Popen(["wine", self.pennant, self.argument], env=dict(os.environ, **self.env),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        corner = pennant_window(60)
        said = None
        if corner is None:
            self.contradictions.append("run %d: no pop-up" % number)
            kill_program(EXE, self.prefix, process)
            return
        if kind == "cut":
            # The start-up HEAD is done: the pop-up shows only after it.
            self.relay.arm("down", self.rng.uniform(1, max(2, min(2 * share, remaining - 1))), "cut")
        subprocess.call(["xdotool", "mousemove", str(corner[0] + UPGRADE_BUTTON[0]),
                         str(corner[1] + UPGRADE_BUTTON[1]), "click", "1"])
        if kind in ("kill", "close"):
            # The click takes a moment to become a request.
            time.sleep(self.rng.uniform(0, 2 * seconds + 0.3))
            if kind == "kill":
                kill_program(EXE, self.prefix, process)
            else:
                self.close()
        elif kind == "cut":
            if log.wait_for("connection break detected", 2 * seconds + 60, process):
                time.sleep(0.3)
            self.close()
        try:
            code = process.wait(timeout=60 if kind else remaining / self.rate + 240)
        except subprocess.TimeoutExpired:
            kill_program(EXE, self.prefix, process)
            code = None
            self.contradictions.append("run %d (%s): pennant did not end" % (number, kind or "last"))
        fired = self.relay.disarm() if kind == "cut" else True
        self.relay.idle(10)
        time.sleep(0.5)  # the last report may still be on its way
        said = statuses(reports(self.reports_dir)[reports_before:])
        text = log.text()
        gets = [h for h in self.relay.heads[heads_before:] if h.startswith("GET /" + INSTALLER)]
        if kind:
            self.counts[kind] += 1 if fired else 0

        expected = {"kill": None, "cut": (2, [1, 3]), "close": (1, [1, 9]), None: (0, [1, 2, 4, 5])}[kind]
        if kind == "kill":
            if code == 0 or said not in ([], [1]):
                self.contradictions.append("run %d (kill): exit %s, reports %s" % (number, code, said))
        elif kind == "cut" and not fired:
            self.contradictions.append("run %d (cut): the download ended before the cut" % number)
        elif (code, said) != expected:
            self.contradictions.append("run %d (%s): exit %s, reports %s; expected exit %d, reports %s"
                                       % (number, kind or "last", code, said, expected[0], expected[1]))
        if kind == "cut" and "connection break detected" not in text:
            self.contradictions.append("run %d (cut): no lost network in the log" % number)
        if had > 0 and any(not re.search(r"(?i)\r\nrange:", h) for h in gets):
            why = [r for r in RESTART_REASONS if r in text]
            self.restarts.append("run %d: from byte 0 with %d bytes on disk: %s"
                                 % (number, had, "; ".join(why) if why else "no reason in the log"))
        self.check_files(number)
        if self.args.verbose:
            print("run %3d %-5s had %9d  exit %-4s reports %-14s GETs %d" % (
                number, kind or "last", had, code, said, len(gets)), flush=True)

    def main(self):
        args = self.args
        # The rate is kept by the relay, evenly: nginx's own limit_rate sends
        # a second's worth at a time, and whatever of such a burst waits in
        # the sockets at an interruption would count as sent. Small socket
        # buffers on both sides keep what is in flight to what a real link holds.
        self.nginx = Nginx(listen="sndbuf=32k")
        env = self.env = {}
        self.feedback = peer_feedback.start(env)
        self.reports_dir = unix_path(env["HTTP_FEEDBACK_REQUESTS"])
        self.relay = Relay(self.nginx.port, rate=args.rate, rcvbuf=32768)
        try:
            self.md5 = make_installer(args.test_installer, self.nginx.root, args.mib)
            self.served = read(os.path.join(self.nginx.root, INSTALLER))
            self.size = len(self.served)
            self.rate = args.rate
            head = subprocess.run(["curl", "-sSI", "http://127.0.0.1:%d/%s" % (self.nginx.port, INSTALLER)],
                                  capture_output=True, text=True).stdout
            self.etag = re.search(r"(?im)^ETag: *(.*?)\r?$", head).group(1)
            forget_product(self.prefix, self.download)
            task = {
                "pid": "soak-1", "taskid": "1801", "devid": "SOAK-DEVICE",
                "url": "http://127.0.0.1:%d/%s" % (self.relay.port, INSTALLER), "md5": self.md5,
                "version": "2.0.1", "oldversion": "1.9.4", "fname": INSTALLER,
                "showname": b64("Quillon 阅读器"), "description": b64("1. 更快的启动速度"),
                "path": PRODUCT_KEY.replace("\\", "/"), "exe": "Quillon.exe", "logo": "", "bits": 64,
            }
            self.argument = base64.b64encode(json.dumps(task, ensure_ascii=False).encode("utf-8")).decode()
            self.pennant = args.pennant
            print("soak-pennant: installer of %d bytes at %d KiB/s, %d interrupted runs, seed %d"
                  % (self.size, args.rate // 1024, args.runs, args.seed), flush=True)

            kinds = (["kill", "cut", "close"] * (args.runs // 3 + 1))[:args.runs]
            self.rng.shuffle(kinds)
            started = time.time()
            for i, kind in enumerate(kinds):
                self.run(i + 1, kind, len(kinds) - i)
            self.run(len(kinds) + 1, None, 0)
            seconds = time.time() - started

            # nginx logs a request once its connection is gone.
            self.relay.idle(10)
            log_path = os.path.join(self.nginx.prefix, "logs", "access.log")
            sent, last = 0, -1
            for _ in range(30):
                time.sleep(0.3)
                lines = open(log_path, encoding="latin-1").read().splitlines()
                if len(lines) == last:
                    break
                last = len(lines)
            gets = 0
            for line in lines:
                fields = line.split(" ")
                if fields[0] == "GET" and fields[1].startswith("/" + INSTALLER):
                    sent += int(fields[3])
                    gets += 1
                    if args.verbose:
                        print("nginx: " + line)
        finally:
            kill_program(EXE, self.prefix)
            self.relay.stop()
            self.feedback.stop()
            self.nginx.stop()
        left = [os.path.basename(p) for p in glob.glob(os.path.join(self.download, INSTALLER + "*"))]
        if left:
            self.findings.append("after the verified install: %s left" % ", ".join(sorted(left)))
        forget_product(self.prefix, self.download)

        ratio = sent / self.size
        interruptions = sum(self.counts.values())
        print("runs: %d (%d interrupted, then one to the end) in %.0f s" % (len(kinds) + 1, interruptions, seconds))
        print("interruptions: kill -9 %d, cut %d, WM_CLOSE %d" % (self.counts["kill"], self.counts["cut"],
                                                                 self.counts["close"]))
        print("installer bytes sent by nginx: %d in %d GETs = %.4f x the installer (bound 1.10)"
              % (sent, gets, ratio))
        print("restarts from byte 0: %d" % len(self.restarts))
        for line in self.restarts:
            print("  " + line)
        print("runs contradicting what happened: %d" % len(self.contradictions))
        for line in self.contradictions:
            print("  " + line)
        print("files not matching the server's: %d" % len(self.findings))
        for line in self.findings:
            print("  " + line)
        verified = not any(c.startswith("run %d " % (len(kinds) + 1)) for c in self.contradictions)
        ok = (ratio <= 1.10 and not self.restarts and not self.contradictions and not self.findings
              and interruptions == args.runs)
        print("soak-pennant: %s: %d interruptions, %.3fx the installer sent, %d restarts from 0, "
              "%d contradictions, %d bad files, last run %s"
              % ("PASS" if ok else "FAIL", interruptions, ratio, len(self.restarts), len(self.contradictions),
                 len(self.findings), "verified" if verified else "NOT verified"))
        return 0 if ok else 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("runs", type=int)
    parser.add_argument("--mib", type=int, default=96)
    parser.add_argument("--rate", type=int, default=0, help="bytes per second; default: about 2.5 s a run")
    parser.add_argument("--pennant", required=True)
    parser.add_argument("--test-installer", required=True)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()
    if args.seed is None:
        args.seed = random.SystemRandom().randrange(1 << 30)
    if not args.rate:
        args.rate = max(64 * 1024, (args.mib * MIB // (args.runs + 1) * 2 // 5) // 1024 * 1024)
    return Soak(args, os.environ["WINEPREFIX"], random.Random(args.seed)).main()


if __name__ == "__main__":
    sys.exit(main())
