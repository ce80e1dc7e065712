"""bench/soak-upload's driver: one big file uploaded through pgxfer to the
tests' chunk server, interrupted again and again, each interruption answered
by the next `pgxfer upload` of the same file, as a user or a scheduler would.

Every run is interrupted at a random byte of its own traffic, chosen within
what is left of the file so that the interruptions spread over the whole
upload: either the relay in front of the server resets the connection
there ("cut"), or pgxfer's own Windows process is killed (kill -9) a random
0-40 ms later, whatever it is doing by then. A last run goes through.

Prints the interruptions, whether the server's reassembled file equals the
original, the bytes sent (on the wire, and as chunks the server took) over
all runs divided by the file size, the chunks the server received twice and
the Session-ID changes; then one summary line. Exits 1 when a figure misses
its bound."""
import argparse
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
sys.path.insert(0, HERE)
import peer_chunks  # noqa: E402
from peerlib import ServedOnThread, windows_path  # noqa: E402
from soak_lib import Relay, kill_program  # noqa: E402

MIB = 1 << 20
EXE = "pgxfer.exe"


class CountingChunkServer(peer_chunks.ChunkServer):
    """The tests' chunk server, also noting every chunk it stored."""

    def __init__(self, top):
        super().__init__(top)
        self.stored = []  # (session, first, length) in arrival order

    def handle_error(self, request, client_address):
        pass  # a cut or a killed client: the soak's own doing

    def store(self, name, session, first, body, size):
        with self.lock:
            self.stored.append((session, first, len(body)))
        return super().store(name, session, first, body, size)

    def acknowledged(self, session):
        with self.lock:
            return sum(length for s, _, length in {c for c in self.stored if c[0] == session})


def chunk_size(size):
    parts = 100
    while parts > 1 and size % parts == 1:
        parts -= 1
    return size // parts


def make_source(path, size, sparse):
    """Random bytes; a sparse file is holes but for random blocks at its
    start, across the 4 GiB line and at its end, so that a chunk misplaced
    by a 32-bit offset shows."""
    with open(path, "wb") as out:
        if not sparse:
            for at in range(0, size, 16 * MIB):
                out.write(os.urandom(min(16 * MIB, size - at)))
            return
        out.truncate(size)
        for at in (0, (4 << 30) - MIB // 2, size - MIB):
            out.seek(at)
            out.write(os.urandom(MIB))


def md5_of(path):
    digest = hashlib.md5()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(8 * MIB), b""):
            digest.update(block)
    return digest.hexdigest()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("cuts", type=int)
    parser.add_argument("--mib", type=int, default=256)
    parser.add_argument("--sparse", action="store_true", help="a sparse file of 4 GiB + 3 MiB + 5 bytes")
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 30)
    rng = random.Random(seed)
    prefix = os.environ["WINEPREFIX"]
    pgxfer = os.path.join(os.environ["BENCH_BIN"], EXE)

    work = tempfile.mkdtemp(prefix="pcg-soak-upload-")
    top = tempfile.mkdtemp(prefix="pcg-soak-chunks-")
    server = CountingChunkServer(top)
    served = ServedOnThread(server, top)
    relay = Relay(server.server_address[1])
    try:
        size = (4 << 30) + 3 * MIB + 5 if args.sparse else args.mib * MIB
        name = "soak.bin"
        source = os.path.join(work, name)
        make_source(source, size, args.sparse)
        chunk = chunk_size(size)
        url = "http://127.0.0.1:%d/up/-/%s?access_token=T" % (relay.port, name)
        print("soak-upload: %s file of %d bytes, %d chunks of %d, %d interruptions, seed %d"
              % ("sparse" if args.sparse else "random", size, -(-size // chunk), chunk, args.cuts, seed),
              flush=True)

        kinds = (["kill", "cut"] * (args.cuts // 2 + 1))[:args.cuts]
        rng.shuffle(kinds)
        counts = {"kill": 0, "cut": 0}
        contradictions = []
        wire_per_run = []
        session = None

        def run_once(kind, left_interruptions):
            nonlocal session
            acknowledged = server.acknowledged(session) if session else 0
            remaining = size - acknowledged
            process = None
            killed = threading.Event()

            def kill_soon():
                def later():
                    time.sleep(rng.uniform(0, 0.04))
                    killed.set()
                    kill_program(EXE, prefix)
                threading.Thread(target=later, daemon=True).start()

            if kind:
                # Spread over what is left: on average one share each, never
                # past the end (then the run would finish).
                budget = 2.0 * remaining / (left_interruptions + 1)
                at = rng.uniform(1, min(budget, remaining - 1))
                relay.arm("up", at, "cut" if kind == "cut" else kill_soon)
            before = relay.up
            process = subprocess.Popen(["wine", pgxfer, "--token", "T", "upload", windows_path(source), url],
                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            try:
                output, _ = process.communicate(timeout=3600)
            except subprocess.TimeoutExpired:
                kill_program(EXE, prefix, process)
                output = b"(timed out)"
            code = process.returncode
            fired = relay.disarm()
            relay.idle(10)
            wire_per_run.append(relay.up - before)
            with server.lock:
                sessions = [s for s, _, _ in server.stored]
            if sessions:
                session = sessions[-1]
            text = output.decode("utf-8", "replace").replace("\r", "\n")
            if kind and not fired:
                contradictions.append("%s planned but the run ended first (exit %d)" % (kind, code))
            elif kind == "cut" and code != 10:
                contradictions.append("cut: exit code %d, not 10 (OnFail(0)): %s" % (code, text.strip()[-200:]))
            elif kind == "kill" and code == 0 and killed.is_set():
                contradictions.append("kill: exit code 0 after the kill")
            elif not kind and code != 0:
                contradictions.append("last run: exit code %d: %s" % (code, text.strip()[-300:]))
            if kind and fired:
                counts[kind] += 1
            return code

        for i, kind in enumerate(kinds):
            run_once(kind, len(kinds) - i)
        started = time.time()
        run_once(None, 0)
        final_seconds = time.time() - started

        target = os.path.join(server.root, name)
        identical = os.path.isfile(target) and os.path.getsize(target) == size and md5_of(target) == md5_of(source)
        with server.lock:
            stored = list(server.stored)
        taken = sum(length for _, _, length in stored)
        ranges = {}
        for s, first, length in stored:
            ranges[(first, length)] = ranges.get((first, length), 0) + 1
        twice = sum(n - 1 for n in ranges.values() if n > 1)
        changes = sum(1 for a, b in zip(stored, stored[1:]) if a[0] != b[0])
        interruptions = counts["kill"] + counts["cut"]
        wire = relay.up
        # One chunk in flight per interruption at most: a chunk sent whole
        # whose answer the client never read is taken by the server and sent
        # again, as the protocol has no way to ask what arrived. On the wire,
        # the request heads come on top.
        taken_bound = size + interruptions * chunk
        wire_bound = taken_bound + 1024 * (len(stored) + interruptions + 1)

        print("interruptions: %d (kill -9 %d, cut %d), %d runs" % (interruptions, counts["kill"], counts["cut"],
                                                                   len(wire_per_run)))
        print("server's file: %s" % ("identical" if identical else "DIFFERENT or missing"))
        print("bytes on the wire: %d = %.4f x the file (bound %.4f: one chunk per interruption)"
              % (wire, wire / size, wire_bound / size))
        print("bytes in chunks the server took: %d = %.4f x the file (bound %.4f: one chunk per interruption;"
              " 1.05 %s)" % (taken, taken / size, taken_bound / size, "met" if taken <= 1.05 * size else "missed"))
        print("chunks received twice: %d; Session-ID changes: %d; last run %.1f s (wall, with Wine's start)"
              % (twice, changes, final_seconds))
        for line in contradictions:
            print("contradiction: " + line)
        ok = (identical and taken <= taken_bound and wire <= wire_bound and changes == 0
              and not contradictions and interruptions == args.cuts)
        print("soak-upload: %s: %d interruptions, file %s, sent %.3fx (wire %.3fx), %d twice, %d session changes"
              % ("PASS" if ok else "FAIL", interruptions, "identical" if identical else "DIFFERENT",
                 taken / size, wire / size, twice, changes))
        return 0 if ok else 1
    finally:
        kill_program(EXE, prefix)
        relay.stop()
        served.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
