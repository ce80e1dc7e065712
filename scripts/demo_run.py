#!/usr/bin/env python3
"""The demo's update service and its run of pennant.exe (started by
scripts/demo inside a prepared Wine prefix and display).

A local nginx serves the demo installer (test_installer.exe carrying a plan
that installs "Quillon 2.0.1") and a logo; the feedback recorder listens on
the test build's endpoint. pennant.exe then runs one task against them.
With --headless the demo plays the person: it clicks Upgrade and saves a
screenshot of every phase; otherwise the choice is left to whoever watches.
Prints the feedback reports and the exit code; exits 0 when the run ended
in a verified install (exit code 0, reports 1, 2, 4, 5)."""
import argparse
import base64
import glob
import json
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPORT = os.path.join(HERE, "..", "tests", "support")
sys.path.insert(0, SUPPORT)
sys.path.insert(0, os.path.join(HERE, "..", "pennant", "res"))

import make_art  # noqa: E402
import peer_feedback  # noqa: E402
from peer_nginx import Nginx  # noqa: E402

PRODUCT_KEY = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Aldermoor\\Quillon"
INSTALL_DIR = "C:\\Program Files\\Aldermoor\\Quillon"
INSTALLER = "QuillonSetup.exe"
# The offer's Upgrade button, from the window's top-left corner.
UPGRADE_BUTTON = (56 + 106 // 2, 413 + 26 // 2)


def b64(text):
    return base64.b64encode(text.encode("utf-8")).decode("ascii")


def say(text):
    print("demo: " + text, flush=True)


class PennantLog:
    """What pennant appends to its two log files from now on (GBK text)."""

    def __init__(self, prefix):
        self.directory = os.path.join(prefix, "drive_c", "ProgramData", "Aldermoor", "Quillon", "2.0")
        self.start = {path: os.path.getsize(path) for path in self.files()}

    def files(self):
        return sorted(glob.glob(os.path.join(self.directory, "dovazidero_log.*.txt")))

    def text(self):
        parts = []
        for path in self.files():
            with open(path, "rb") as f:
                data = f.read()
            offset = self.start.get(path, 0)
            parts.append(data[offset if offset <= len(data) else 0:])
        return b"".join(parts).decode("gbk", errors="replace").replace("\r", "")

    def wait_for(self, needle, seconds, process):
        deadline = time.time() + seconds
        while time.time() < deadline:
            if needle in self.text():
                return True
            if process.poll() is not None:
                return needle in self.text()
            time.sleep(0.1)
        return False


def x(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True).stdout


def pennant_window(seconds):
    """Position of pennant's pop-up once it has risen and stopped moving."""
    deadline = time.time() + seconds
    last = None
    while time.time() < deadline:
        ids = x("search", "--onlyvisible", "--name", "^Aldermoordaz$").split()
        if ids:
            m = re.search(r"Position: (\d+),(\d+)", x("getwindowgeometry", ids[-1]))
            if m:
                here = (int(m.group(1)), int(m.group(2)))
                if here == last:
                    return here
                last = here
        time.sleep(0.3)
    return None


def screenshot(directory, name):
    path = os.path.join(directory, name + ".png")
    if subprocess.call(["import", "-window", "root", path], stderr=subprocess.DEVNULL) == 0:
        say("screenshot " + path)


def make_installer(test_installer, served_dir):
    """The demo installer: test_installer.exe with some megabytes of padding
    (so the download can be watched) and a plan that installs Quillon 2.0.1."""
    padded = os.path.join(served_dir, "padded.exe")
    with open(test_installer, "rb") as src, open(padded, "wb") as dst:
        dst.write(src.read())
        dst.write(os.urandom(8 * 1024 * 1024))
    out = subprocess.run(
        [sys.executable, os.path.join(SUPPORT, "make_test_installer.py"), padded,
         os.path.join(served_dir, INSTALLER), "key=" + PRODUCT_KEY, "view=64",
         "path=" + INSTALL_DIR, "version=2.0.1", "exe=Quillon.exe", "exedir=bin",
         "fileversion=2.0.1.0", "filepath=@exe", "delay=3000"],
        check=True, capture_output=True, text=True).stdout
    os.remove(padded)
    return out.strip()


def forget_earlier_runs(prefix):
    """Removes what an earlier demo installed or downloaded, so that this run
    downloads, installs and verifies from the start."""
    download = os.path.join(prefix, "drive_c", "ProgramData", "Aldermoor", "Quillon", "download")
    for suffix in ("", ".part", ".meta"):
        try:
            os.remove(os.path.join(download, INSTALLER + suffix))
        except FileNotFoundError:
            pass
    subprocess.call(["wine", "reg", "delete", PRODUCT_KEY, "/f", "/reg:64"],
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def unix_path(windows):
    return windows[2:].replace("\\", "/") if windows[1:2] == ":" else windows


def reports(directory):
    bodies = []
    for path in sorted(glob.glob(os.path.join(directory, "*.req"))):
        with open(path, "rb") as f:
            bodies.append(f.read().split(b"\r\n\r\n", 1)[-1].decode("ascii", "replace"))
    return bodies


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pennant", required=True)
    parser.add_argument("--test-installer", required=True)
    parser.add_argument("--shots", required=True)
    parser.add_argument("--headless", action="store_true")
    args = parser.parse_args()
    prefix = os.environ["WINEPREFIX"]
    os.makedirs(args.shots, exist_ok=True)
    for old in glob.glob(os.path.join(args.shots, "*.png")):
        os.remove(old)

    env = {}
    nginx = Nginx(http="limit_rate 3m;")
    feedback = peer_feedback.start(env)
    process = None
    said = []
    code = None
    try:
        base = "http://127.0.0.1:%d" % nginx.port
        md5 = make_installer(args.test_installer, nginx.root)
        with open(os.path.join(nginx.root, "logo.png"), "wb") as f:
            f.write(make_art.pennant_icon(48, (240, 120, 20, 255), (255, 255, 255, 255)).png())
        task = {
            "pid": "demo-1", "taskid": "1001", "devid": "DEMO-DEVICE",
            "url": base + "/" + INSTALLER, "md5": md5,
            "version": "2.0.1", "oldversion": "1.9.4", "fname": INSTALLER,
            "showname": b64("Quillon 阅读器"),
            "description": b64("1. 全新的阅读界面\n2. 更快的启动速度\n3. 修复了若干问题"),
            "path": PRODUCT_KEY.replace("\\", "/"), "exe": "Quillon.exe",
            "logo": base + "/logo.png", "bits": 64,
        }
        forget_earlier_runs(prefix)
        argument = base64.b64encode(json.dumps(task, ensure_ascii=False).encode("utf-8")).decode()
        log = PennantLog(prefix)
        say("update service on %s; starting pennant.exe with task %s" % (base, task["taskid"]))
        process = subprocess.Popen(["wine", args.pennant, argument], env=dict(os.environ, **env))

        if args.headless:
            corner = pennant_window(60)
            if corner is None:
                say("the pop-up did not appear")
            else:
                screenshot(args.shots, "1-offer")
                say("clicking Upgrade")
                subprocess.call(["xdotool", "mousemove", str(corner[0] + UPGRADE_BUTTON[0]),
                                 str(corner[1] + UPGRADE_BUTTON[1]), "click", "1"])
                if log.wait_for("http get ", 30, process):
                    time.sleep(1)
                    screenshot(args.shots, "2-downloading")
                if log.wait_for("ShellExecute OK", 120, process):
                    say("the installer runs; the pop-up stays hidden until it ends")
                    time.sleep(1)
                    screenshot(args.shots, "3-installing")
                if log.wait_for("install over", 120, process):
                    time.sleep(1.5)
                    screenshot(args.shots, "4-finished")
                say("waiting for the window to close itself (10 s)")
        else:
            say("the pop-up is on your display; choose there")
        code = process.wait(timeout=3600)
        process = None
        # The last report may still be on its way when the process has ended.
        time.sleep(0.5)
        said = reports(unix_path(env["HTTP_FEEDBACK_REQUESTS"]))
    finally:
        if process is not None:
            process.kill()
        feedback.stop()
        nginx.stop()

    say("log written by this run (progress and above; all of it in %s):" % log.directory)
    print("".join(line for line in log.text().splitlines(True) if not line.startswith("[1]")),
          end="")
    say("feedback reports: " + (", ".join(said) if said else "none"))
    say("pennant.exe exit code %d" % code)
    statuses = [re.sub(r".*status=", "", body) for body in said]
    ok = code == 0 and sorted(statuses) == ["1", "2", "4", "5"]
    if args.headless:
        say("verified install: %s" % ("yes" if ok else "NO"))
    return 0 if ok or not args.headless else 1


if __name__ == "__main__":
    sys.exit(main())
