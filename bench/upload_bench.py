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
from peer_nginx_tls import make_certificates  # noqa: E402
from peerlib import windows_path  # noqa: E402

MIB = 1 << 20
TLS = os.environ.get("BENCH_TLS") == "1"
CURL_TLS = []  # curl's trust of the bench's authority, in TLS mode


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
    seconds, result = run(["curl", "-sS", "-o", output, "-w", "%{http_code}"] + CURL_TLS + list(arguments))
    if result.returncode != 0 or result.stdout not in ("200", "201"):
        sys.exit("curl failed: %s %s" % (result.stdout, result.stderr))
    return seconds


def mbps(size, seconds):
    return size / 1e6 / seconds if seconds > 0 else 0.0


def main():
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
        with open(os.path.join(nginx.root, "download.bin"), "wb") as out, open(source, "rb") as data:
            for _ in range(0, down_size, 16 * MIB):
                out.write(data.read(min(16 * MIB, down_size - out.tell())))

        curl_up = curl("/dev/null", "-T", source, base + "/up/upload.bin")
        wall_up, inner_up, peak_up = pgxfer("upload", windows_path(source), base + "/up/upload.bin", "--force")
        target = os.path.join(work, "download.bin")
        curl_down = curl(target, base + "/download.bin")
        os.remove(target)
        wall_down, inner_down, peak_down = pgxfer("download", base + "/download.bin", windows_path(target))
        if os.path.getsize(target) != down_size:
            sys.exit("pgxfer's download is incomplete")

        chunk = up_size // 100
        scheme = "over TLS, " if TLS else ""
        print("%scurl %s" % (scheme, subprocess.run(["curl", "--version"], capture_output=True, text=True)
                                     .stdout.split("\n")[0]))
        print("upload   %5d MiB  curl -T %7.1f MB/s   pgxfer %7.1f MB/s (%.1f with Wine start)   ratio %.2f"
              "   (target >= %.2f)" % (up_size // MIB, mbps(up_size, curl_up), mbps(up_size, inner_up),
                                      mbps(up_size, wall_up), curl_up / inner_up,
                                      0.50 if TLS else 0.60))
        print("download %5d MiB  curl -o %7.1f MB/s   pgxfer %7.1f MB/s (%.1f with Wine start)   ratio %.2f"
              "   (target >= 0.50)" % (down_size // MIB, mbps(down_size, curl_down), mbps(down_size, inner_down),
                                      mbps(down_size, wall_down), curl_down / inner_down))
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
