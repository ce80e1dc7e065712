"""bench/upload's measurements: pgxfer against curl, in one run, on one nginx.

nginx reads every upload body whole (and drops it) and answers 201 itself,
which the big-file upload takes as each chunk's acknowledgement."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from peer_nginx import Nginx  # noqa: E402
from peerlib import windows_path  # noqa: E402

MIB = 1 << 20


def run(command):
    started = time.time()
    result = subprocess.run(command, capture_output=True, text=True, errors="replace")
    return time.time() - started, result


def pgxfer(*arguments):
    seconds, result = run(["wine", os.path.join(os.environ["BENCH_BIN"], "pgxfer.exe")] + list(arguments))
    if result.returncode != 0:
        sys.exit("pgxfer %s failed (%d): %s%s" % (arguments[0], result.returncode, result.stdout, result.stderr))
    inner = re.search(r"bytes in ([0-9.]+) s", result.stdout)
    peak = re.search(r"peak working set: ([0-9.]+) MiB", result.stdout)
    return seconds, float(inner.group(1)) if inner else seconds, float(peak.group(1)) if peak else 0.0


def curl(output, *arguments):
    seconds, result = run(["curl", "-sS", "-o", output, "-w", "%{http_code}"] + list(arguments))
    if result.returncode != 0 or result.stdout not in ("200", "201"):
        sys.exit("curl failed: %s %s" % (result.stdout, result.stderr))
    return seconds


def mbps(size, seconds):
    return size / 1e6 / seconds if seconds > 0 else 0.0


def main():
    up_size = int(os.environ["BENCH_UPLOAD_MIB"]) * MIB
    down_size = int(os.environ["BENCH_DOWNLOAD_MIB"]) * MIB
    work = tempfile.mkdtemp(prefix="pcg-bench-upload-")
    nginx = Nginx(extra="""
        location /up { client_max_body_size 0; return 201; }""")
    try:
        source = os.path.join(work, "upload.bin")
        with open("/dev/urandom", "rb") as random, open(source, "wb") as out:
            for _ in range(0, up_size, 16 * MIB):
                out.write(random.read(min(16 * MIB, up_size - out.tell())))
        with open(os.path.join(nginx.root, "download.bin"), "wb") as out, open(source, "rb") as data:
            out.write(data.read(down_size))
        base = "http://127.0.0.1:%d" % nginx.port

        curl_up = curl("/dev/null", "-T", source, base + "/up/upload.bin")
        wall_up, inner_up, peak_up = pgxfer("upload", windows_path(source), base + "/up/upload.bin", "--force")
        target = os.path.join(work, "download.bin")
        curl_down = curl(target, base + "/download.bin")
        os.remove(target)
        wall_down, inner_down, peak_down = pgxfer("download", base + "/download.bin", windows_path(target))
        if os.path.getsize(target) != down_size:
            sys.exit("pgxfer's download is incomplete")

        chunk = up_size // 100
        print("upload   %5d MiB  curl -T %7.1f MB/s   pgxfer %7.1f MB/s (%.1f with Wine start)   ratio %.2f"
              "   (target >= 0.60)" % (up_size // MIB, mbps(up_size, curl_up), mbps(up_size, inner_up),
                                      mbps(up_size, wall_up), curl_up / inner_up))
        print("download %5d MiB  curl -o %7.1f MB/s   pgxfer %7.1f MB/s (%.1f with Wine start)   ratio %.2f"
              "   (target >= 0.50)" % (down_size // MIB, mbps(down_size, curl_down), mbps(down_size, inner_down),
                                      mbps(down_size, wall_down), curl_down / inner_down))
        print("pgxfer peak working set: upload %.1f MiB (two chunks plus 16 MiB = %.1f MiB), download %.1f MiB"
              % (peak_up, (2 * chunk + 16 * MIB) / MIB, peak_down))
    finally:
        nginx.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
