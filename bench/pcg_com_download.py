"""Body of bench/pcg_com_download.sh; runs under with_peers.py --nginx.

Default: a file of BENCH_SIZE_MIB random MiB, fetched BENCH_ROUNDS times in
turn by `curl -o` and by a client of Parcelgate.dll under Wine; the best run
of each counts. With BENCH_SPARSE=1: a sparse file of that size (marked at
its ends and around 4 GiB) fetched once through the DLL and compared whole.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

MIB = 1048576


def unix(windows_path):
    return windows_path[2:].replace("\\", "/")


def windows(path):
    return "Z:" + path.replace("/", "\\")


def dll_download(url, target):
    """One download through the DLL: (seconds, idle working set, peak)."""
    out = subprocess.run(["wine", os.path.join(os.environ["BENCH_BIN"], "pcg_com_download.exe"), url,
                          windows(target), "1"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    timing = re.search(r"round 1: (\d+) bytes in ([\d.]+) s", out.stdout)
    memory = re.search(r"working set: idle (\d+) peak (\d+)", out.stdout)
    if out.returncode != 0 or not timing or not memory or int(timing.group(1)) != os.path.getsize(target):
        sys.exit("download through the DLL failed: rc=%d %s" % (out.returncode, out.stdout.strip()))
    return float(timing.group(2)), int(memory.group(1)), int(memory.group(2))


def curl_download(url, target):
    """curl's own transfer time (connect to last byte), its bytes checked."""
    out = subprocess.run(["curl", "-sS", "-o", target, "-w", "%{http_code} %{size_download} %{time_total}", url],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    found = re.fullmatch(r"200 (\d+) ([\d.]+)", out.stdout.strip())
    if out.returncode != 0 or not found or int(found.group(1)) != os.path.getsize(target):
        sys.exit("curl's transfer cannot be read: rc=%d %r %s" % (out.returncode, out.stdout, out.stderr))
    return float(found.group(2))


def same_content(a, b):
    return subprocess.call(["cmp", "-s", a, b]) == 0


def make_random(path, size):
    with open(path, "wb") as f:
        for _ in range(size // MIB):
            f.write(os.urandom(MIB))


def make_sparse(path, size):
    with open(path, "wb") as f:
        f.truncate(size)
        for offset in (0, (4 << 30) - 8, 4 << 30, size - 8):
            if 0 <= offset <= size - 8:
                f.seek(offset)
                f.write(b"%08x" % (offset & 0xFFFFFFFF))


def main():
    size = int(os.environ["BENCH_SIZE_MIB"]) * MIB
    rounds = int(os.environ.get("BENCH_ROUNDS", "2"))
    sparse = os.environ.get("BENCH_SPARSE") == "1"
    source = os.path.join(unix(os.environ["HTTP_NGINX_ROOT"]), "bench.bin")
    url = "http://127.0.0.1:%s/bench.bin" % os.environ["HTTP_NGINX_PORT"]
    work = tempfile.mkdtemp(prefix="pcg-bench-", dir="/tmp")
    mb = size / 1e6
    try:
        (make_sparse if sparse else make_random)(source, size)
        os.sync()
        dll_file = os.path.join(work, "dll.bin")
        curl_file = os.path.join(work, "curl.bin")
        dll_s = curl_s = float("inf")
        growth = 0
        for _ in range(1 if sparse else rounds):
            if not sparse:
                os.sync()
                curl_s = min(curl_s, curl_download(url, curl_file))
                os.remove(curl_file)
            os.sync()
            seconds, idle, peak = dll_download(url, dll_file)
            dll_s = min(dll_s, seconds)
            growth = max(growth, peak - idle)
            if os.path.getsize(dll_file) != size or not same_content(source, dll_file):
                sys.exit("the DLL's file differs from the served one")
            os.remove(dll_file)
            print("  DLL %7.1f MB/s   idle working set %.1f MiB, peak %.1f MiB" % (mb / seconds, idle / MIB,
                                                                                  peak / MIB))
    finally:
        shutil.rmtree(work, ignore_errors=True)
        os.remove(source)

    kind = "sparse" if sparse else "random"
    print("file            %d MiB of %s bytes, identical after every download" % (size // MIB, kind))
    print("Parcelgate.dll  %7.1f MB/s  (%.2f s, best of %d)" % (mb / dll_s, dll_s, 1 if sparse else rounds))
    if not sparse:
        print("curl -o         %7.1f MB/s  (%.2f s, best of %d)" % (mb / curl_s, curl_s, rounds))
        print("DLL/curl        %.2f   (target >= 0.50)" % (curl_s / dll_s))
    print("working set     peak %.1f MiB above the idle DLL (target < 16 MiB)" % (growth / MIB))


if __name__ == "__main__":
    main()
