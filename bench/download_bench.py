"""Body of bench/download; runs under with_peers.py --nginx."""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

MIB = 1048576
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "2"))


def unix(windows_path):
    return windows_path[2:].replace("\\", "/")


def windows(path):
    return "Z:" + path.replace("/", "\\")


def wine(*args):
    out = subprocess.run(["wine", os.path.join(os.environ["BENCH_BIN"], args[0])] + list(args[1:]),
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return out.returncode, out.stdout.strip()


def timed(command):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def curl_seconds(target, url, size):
    """curl's own transfer time (connect to last byte), its bytes checked."""
    out = subprocess.run(["curl", "-sS", "-o", target, "-w", "%{http_code} %{size_download} %{time_total}", url],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    m = re.fullmatch(r"200 (\d+) ([\d.]+)", out.stdout.strip())
    if out.returncode != 0 or not m or int(m.group(1)) != size:
        sys.exit("curl's transfer cannot be read: rc=%d %r %s" % (out.returncode, out.stdout, out.stderr))
    return float(m.group(2))


def main():
    size = int(os.environ["BENCH_SIZE_MIB"]) * MIB
    root = unix(os.environ["HTTP_NGINX_ROOT"])
    port = os.environ["HTTP_NGINX_PORT"]
    source = os.path.join(root, "installer.bin")
    # A signed program with the random bytes in its overlay, which the
    # signature's digest covers, so the signature check reads them all.
    unsigned = source + ".unsigned"
    shutil.copyfile(os.path.join(os.environ["BENCH_BIN"], "test_installer.exe"), unsigned)
    with open(unsigned, "ab") as f:
        for _ in range(size // MIB):
            f.write(os.urandom(MIB))
    certs = os.environ["CODESIGN_DIR"]
    subprocess.run(["osslsigncode", "sign", "-certs", os.path.join(certs, "right.pem"), "-key",
                    os.path.join(certs, "signer.key"), "-h", "sha256", "-in", unsigned, "-out", source],
                   check=True, stdout=subprocess.DEVNULL)
    os.remove(unsigned)
    size = os.path.getsize(source)
    digest = hashlib.md5()
    with open(source, "rb") as f:
        for block in iter(lambda: f.read(MIB), b""):
            digest.update(block)
    md5 = digest.hexdigest()
    os.sync()  # no write-back of the source competing with the runs
    url = "http://127.0.0.1:%s/installer.bin" % port
    work = tempfile.mkdtemp(prefix="pennant-bench-", dir="/tmp")
    mb = size / 1e6
    print("installer: %d MiB of random bytes, md5 %s" % (size // MIB, md5))
    try:
        # (a) the job, from an empty directory.
        # Each contender runs ROUNDS times in turn; the best run counts.
        job_dir = os.path.join(work, "job")
        job_s = ref_s = curl_s = float("inf")
        peak = 0
        for _ in range(ROUNDS):
            shutil.rmtree(job_dir, ignore_errors=True)
            os.mkdir(job_dir)
            os.sync()
            rc, out = wine("download_job.exe", "job", url, windows(job_dir), md5)
            m = re.search(r"result (-?\d+) seconds ([\d.]+) bytes (\d+) peak (\d+)", out)
            if rc != 0 or not m:
                sys.exit("job failed: rc=%d %s" % (rc, out))
            job_s, peak = min(job_s, float(m.group(2))), max(peak, int(m.group(4)))
            # (b) the bare WinHTTP reference.
            reference = os.path.join(work, "reference.bin")
            os.sync()
            rc, out = wine("download_reference.exe", "127.0.0.1", port, "/installer.bin",
                           windows(reference))
            m = re.search(r"transfer ([\d.]+) md5 ([\d.]+) seconds ([\d.]+) digest (\w+)", out)
            if rc != 0 or not m or m.group(4) != md5:
                sys.exit("reference failed: rc=%d %s" % (rc, out))
            if float(m.group(3)) < ref_s:
                ref_transfer, ref_md5, ref_s = (float(m.group(1)), float(m.group(2)),
                                                float(m.group(3)))
            os.remove(reference)
            # (c) curl and md5sum.
            curl_file = os.path.join(work, "curl.bin")
            os.sync()
            curl_s = min(curl_s, curl_seconds(curl_file, url, size) + timed(["md5sum", curl_file]))
            os.remove(curl_file)
        # FileMd5Hex alone against md5sum, on the job's installer (page cache warm for both).
        installer = os.path.join(job_dir, "bench-installer.bin")
        rc, out = wine("download_job.exe", "md5", windows(installer))
        m = re.search(r"md5 (\w+) seconds ([\d.]+)", out)
        if rc != 0 or not m or m.group(1) != md5:
            sys.exit("FileMd5Hex failed: %s" % out)
        ours_md5 = float(m.group(2))
        md5sum_s = timed(["md5sum", installer])
        # MD5 and SHA-256 in one pass through the same provider: what a task's
        # sha256 costs, and the floor of any Authenticode check here, since
        # its digest is a SHA-256 of nearly the whole file.
        rc, out = wine("download_job.exe", "digests", windows(installer))
        m = re.search(r"sha256 (\w{64}) seconds ([\d.]+)", out)
        with open(installer, "rb") as f:
            expected = hashlib.file_digest(f, "sha256").hexdigest()
        if rc != 0 or not m or m.group(1) != expected:
            sys.exit("the MD5 and SHA-256 pass failed: %s" % out)
        digests_s = float(m.group(2))
        sha256sum_s = timed(["sha256sum", installer])
        # OpenSSL uses the CPU's SHA instructions where it has them, as
        # Windows' own SHA-256 does; Wine's does not.
        openssl_s = timed(["openssl", "dgst", "-sha256", installer])
        # The signature check on the same file, its authority trusted meanwhile.
        ca = os.environ["CODESIGN_CA_FILE"]
        if wine("trust_test_ca.exe", ca)[0] != 0:
            sys.exit("the code-signing authority cannot be trusted in the prefix")
        try:
            rc, out = wine("download_job.exe", "trust", windows(installer), "Aldermoor Test Publisher")
        finally:
            wine("trust_test_ca.exe", "--remove", ca)
        m = re.search(r"trusted 1 seconds ([\d.]+)", out)
        if rc != 0 or not m:
            sys.exit("the signature check failed: rc=%d %s" % (rc, out))
        trust_s = float(m.group(1))
        # Where the job's time goes: the transfer with and without the log
        # (every record is committed to disk), and one record's cost.
        parts = {}
        for mode in ("log", "nolog"):
            shutil.rmtree(job_dir, ignore_errors=True)
            os.mkdir(job_dir)
            os.sync()
            rc, out = wine("download_job.exe", "parts", url, windows(job_dir), mode)
            m = re.search(r"result 0 transfer ([\d.]+) md5 ([\d.]+)", out)
            if rc != 0 or not m:
                sys.exit("the job's halves (%s) cannot be read: rc=%d %r" % (mode, rc, out))
            parts[mode] = (float(m.group(1)), float(m.group(2)))
        rc, logcost = wine("download_job.exe", "logcost")
        if rc != 0 or not re.fullmatch(r"log record [\d.]+ us, OutputDebugStringA [\d.]+ us", logcost):
            sys.exit("the log's cost cannot be read: rc=%d %r" % (rc, logcost))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print("(a) download job      %7.1f MB/s  (%.2f s, peak working set %.1f MiB)"
          % (mb / job_s, job_s, peak / MIB))
    print("(b) WinHTTP reference %7.1f MB/s  (%.2f s: transfer %.2f s, MD5 %.2f s)"
          % (mb / ref_s, ref_s, ref_transfer, ref_md5))
    print("(c) curl -o + md5sum  %7.1f MB/s  (%.2f s: curl's transfer time, md5sum with its start)"
          % (mb / curl_s, curl_s))
    print("job/reference %.2f   (target >= 0.90)" % (ref_s / job_s))
    print("job/curl      %.2f" % (curl_s / job_s))
    print("peak memory   %.1f MiB (target < 32 MiB)" % (peak / MIB))
    print("job halves    transfer %.2f s + MD5 %.2f s with the log; transfer %.2f s without it"
          % (parts["log"][0], parts["log"][1], parts["nolog"][0]))
    print("log cost      %s" % logcost)
    print("FileMd5Hex    %7.1f MB/s  (%.2f s)   md5sum %7.1f MB/s  (%.2f s)   ratio %.2f"
          % (mb / ours_md5, ours_md5, mb / md5sum_s, md5sum_s, md5sum_s / ours_md5))
    print("signature     %7.1f MB/s  (%.2f s)   MD5 pass %.2f s   ratio %.2f   (target <= 1.00)"
          % (mb / trust_s, trust_s, ours_md5, trust_s / ours_md5))
    print("MD5+SHA-256   %7.1f MB/s  (%.2f s)   sha256sum %.2f s   openssl dgst -sha256 %.2f s   "
          "signature/MD5+SHA-256 %.2f" % (mb / digests_s, digests_s, sha256sum_s, openssl_s, trust_s / digests_s))


if __name__ == "__main__":
    main()
