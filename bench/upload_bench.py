"""bench/upload's measurements: pgxfer against curl, in one run, on one nginx.

nginx reads every upload body whole (and drops it) and answers 201 itself,
which the big-file upload takes as each chunk's acknowledgement.

MB/s and ratios come from the transfer times the tools print themselves
(pgxfer's summary line, curl's time_total); a line that cannot be read ends
the bench with that line and a non-zero exit, never with another figure."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from peer_nginx import Nginx  # noqa: E402
from peer_nginx_tls import make_certificates  # noqa: E402
from peerlib import windows_path  # noqa: E402

MIB = 1 << 20
TLS = os.environ.get("BENCH_TLS") == "1"
CURL_TLS = []  # curl's trust of the bench's authority, in TLS mode


def run(command):
    started = time.time()
    result = subprocess.run(command, capture_output=True, text=True, errors="replace")
    return time.time() - started, result


# pgxfer's own summary, e.g. "upload: finished, 1073741824 bytes sent in 0.54 s, 1988.4 MB/s":
# the transfer from OnBegin to the last event, without Wine's start.
SUMMARY = re.compile(r"(upload|download): finished, (\d+) bytes (sent|received) in ([0-9]+\.[0-9]+) s, "
                     r"[0-9]+\.[0-9] MB/s")
PEAK = re.compile(r"peak working set: ([0-9]+\.[0-9]) MiB")


def read_figure(pattern, output, what):
    """The one line of output that is the figure, whole; exits with the line
    (or the output) it could not read rather than print another figure."""
    lines = [line for line in output.replace("\r", "\n").split("\n") if line.strip()]
    for line in lines:
        found = pattern.fullmatch(line.strip())
        if found:
            return found
    near = [line for line in lines if what in line]
    sys.exit("bench: cannot read %s from the line %r" % (what, near[-1] if near else (lines[-1] if lines else "")))


def read_summary(output, command, size):
    """(seconds, bytes) of pgxfer's summary of this command; the bytes must be the whole file."""
    summary = read_figure(SUMMARY, output, command + ":")
    if summary.group(1) != command or summary.group(3) != ("sent" if command == "upload" else "received"):
        sys.exit("bench: pgxfer's summary is of another transfer: %r" % summary.group(0))
    seconds, moved = float(summary.group(4)), int(summary.group(2))
    if moved != size or seconds <= 0:
        sys.exit("bench: pgxfer moved %d of %d bytes in %s s: %r" % (moved, size, summary.group(4), summary.group(0)))
    return seconds


def check_parsers():
    """The parse checks: today's lines are read, the old summary is refused."""
    good = "upload: finished, 1073741824 bytes sent in 0.54 s, 1988.4 MB/s\npeak working set: 37.6 MiB\n"
    assert read_summary(good, "upload", 1 << 30) == 0.54
    assert read_figure(PEAK, good, "peak working set").group(1) == "37.6"
    for bad in ("upload: finished, 1073741824 bytes in 0.54 s, 1988.4 MB/s",
                "download: finished, 1073741824 bytes received in 0.54 s, 1988.4 MB/s",
                "upload: finished, 1000 bytes sent in 0.54 s, 1988.4 MB/s",
                "upload: failed, 1073741824 bytes sent in 0.54 s, 1988.4 MB/s"):
        try:
            read_summary(bad, "upload", 1 << 30)
        except SystemExit:
            continue
        raise AssertionError("read a figure from %r" % bad)


def pgxfer(size, *arguments):
    """(wall seconds with Wine's start, pgxfer's transfer seconds, peak MiB)."""
    seconds, result = run(["wine", os.path.join(os.environ["BENCH_BIN"], "pgxfer.exe")] + list(arguments))
    if result.returncode != 0:
        sys.exit("pgxfer %s failed (%d): %s%s" % (arguments[0], result.returncode, result.stdout, result.stderr))
    inner = read_summary(result.stdout, arguments[0], size)
    peak = read_figure(PEAK, result.stdout, "peak working set")
    return seconds, inner, float(peak.group(1))


def curl(output, size, *arguments):
    """curl's own transfer time (connect to last byte), its bytes checked."""
    _, result = run(["curl", "-sS", "-o", output, "-w", "%{http_code} %{size_upload} %{size_download} %{time_total}"]
                    + CURL_TLS + list(arguments))
    found = re.fullmatch(r"(\d{3}) (\d+) (\d+) ([0-9]+\.[0-9]+)", result.stdout.strip())
    if result.returncode != 0 or not found:
        sys.exit("bench: curl failed or its figures cannot be read: %r %s" % (result.stdout, result.stderr))
    moved = int(found.group(2)) if "-T" in arguments else int(found.group(3))
    if found.group(1) not in ("200", "201") or moved != size or float(found.group(4)) <= 0:
        sys.exit("bench: curl answered %s and moved %d of %d bytes" % (found.group(1), moved, size))
    return float(found.group(4))


def mbps(size, seconds):
    return size / 1e6 / seconds if seconds > 0 else 0.0


def main():
    check_parsers()
    up_size = int(os.environ["BENCH_UPLOAD_MIB"]) * MIB
    down_size = int(os.environ["BENCH_DOWNLOAD_MIB"]) * MIB
    work = tempfile.mkdtemp(prefix="pcg-bench-upload-")
    os.chmod(work, 0o755)
    location = "location /up { client_max_body_size 0; return 201; }"
    if TLS:
        make_certificates(work)
        authority = os.path.join(work, "pcg-test-authority.pem")
        CURL_TLS.extend(["--cacert", authority])
        trust = [os.environ["BENCH_TRUST"], windows_path(authority)]
        subprocess.run(["wine"] + trust, check=True)
        nginx = Nginx(listen="ssl", http="ssl_protocols TLSv1.2 TLSv1.3;", extra=location +
                      "\nssl_certificate %s/trusted.pem; ssl_certificate_key %s/server.key;" % (work, work))
        base = "https://localhost:%d" % nginx.port
    else:
        nginx = Nginx(extra=location)
        base = "http://127.0.0.1:%d" % nginx.port
    try:
        source = os.path.join(work, "upload.bin")
        with open("/dev/urandom", "rb") as random, open(source, "wb") as out:
            for _ in range(0, up_size, 16 * MIB):
                out.write(random.read(min(16 * MIB, up_size - out.tell())))
        # Its own random bytes: cut from the upload's file it was short
        # whenever the download is the bigger one.
        with open("/dev/urandom", "rb") as random, open(os.path.join(nginx.root, "download.bin"), "wb") as out:
            for _ in range(0, down_size, 16 * MIB):
                out.write(random.read(min(16 * MIB, down_size - out.tell())))

        curl_up = curl("/dev/null", up_size, "-T", source, base + "/up/upload.bin")
        wall_up, inner_up, peak_up = pgxfer(up_size, "upload", windows_path(source), base + "/up/upload.bin",
                                            "--force")
        target = os.path.join(work, "download.bin")
        curl_down = curl(target, down_size, base + "/download.bin")
        os.remove(target)
        wall_down, inner_down, peak_down = pgxfer(down_size, "download", base + "/download.bin",
                                                  windows_path(target))
        if os.path.getsize(target) != down_size:
            sys.exit("pgxfer's download is incomplete")

        chunk = up_size // 100
        scheme = "over TLS, " if TLS else ""
        print("%scurl %s" % (scheme, subprocess.run(["curl", "--version"], capture_output=True, text=True)
                                     .stdout.split("\n")[0]))
        # Each ratio from the transfer times both tools report themselves; the
        # wall time of pgxfer's process adds Wine's start and is labelled so.
        print("upload   %5d MiB  curl -T %7.1f MB/s   pgxfer %7.1f MB/s (wall with Wine's start %.1f)   ratio %.2f"
              "   (target >= %.2f)" % (up_size // MIB, mbps(up_size, curl_up), mbps(up_size, inner_up),
                                      mbps(up_size, wall_up), curl_up / inner_up,
                                      0.50 if TLS else 1.00))
        print("download %5d MiB  curl -o %7.1f MB/s   pgxfer %7.1f MB/s (wall with Wine's start %.1f)   ratio %.2f"
              "   (target >= %.2f)" % (down_size // MIB, mbps(down_size, curl_down), mbps(down_size, inner_down),
                                      mbps(down_size, wall_down), curl_down / inner_down,
                                      0.50 if TLS else 0.90))
        # TLS adds its record buffers: a send piece sealed whole and the receive window.
        spare = (18 if TLS else 16) * MIB
        print("pgxfer peak working set: upload %.1f MiB (two chunks plus %d MiB = %.1f MiB), download %.1f MiB"
              % (peak_up, spare // MIB, (2 * chunk + spare) / MIB, peak_down))
    finally:
        nginx.stop()
        if TLS:
            subprocess.run(["wine", trust[0], "--remove", trust[1]])
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
