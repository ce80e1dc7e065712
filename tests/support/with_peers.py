#!/usr/bin/env python3
"""Runs a command with the test peers it needs, each on a free loopback port.

    with_peers.py [--cache=DIR] [--prefix=DIR] [--own-prefix=runs] [--nginx] [--fault] ...
        -- command args...

--cache names a directory where peers keep what is slow to make and can
be reused (PEER_CACHE_DIR); --prefix the Wine prefix the command runs in
when none is set, so that a test run outside scripts/test (ctest -N's
test discovery among them) never makes ~/.wine; --own-prefix=runs runs the
command in <prefix>-runs on the display PENNANT_RUNS_DISPLAY, which
wine_env_start_runs (tests/support/wine_env.sh) starts.

Every peer started is stopped by its PID when the command ends; the
command's exit code is returned. Peers publish their addresses to the
command through environment variables (see each peer's module).

The command writes into a temporary file that is copied out when it ends:
Wine's desktop and services, started by whichever test needs them first,
live on and would otherwise hold CTest's output pipe open, so that CTest
waits for them long after the test has passed.
"""
import importlib
import os
import signal
import socket
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


STOP_SIGNALS = (signal.SIGTERM, signal.SIGHUP, signal.SIGINT)


def stop_on_signal(signum, _frame):
    # CTest ends a test that runs too long with a signal; leaving through
    # SystemExit still runs the finally below, so no peer outlives its test.
    print("with_peers: stopped by signal %d" % signum, file=sys.stderr, flush=True)
    raise SystemExit(128 + signum)


def main(argv):
    for signum in STOP_SIGNALS:
        signal.signal(signum, stop_on_signal)
    if "--" not in argv:
        sys.exit("usage: with_peers.py [--peer ...] -- command ...")
    split = argv.index("--")
    options, command = argv[:split], argv[split + 1:]
    peers = []
    child = None
    env = dict(os.environ)
    settings = dict(o[2:].split("=", 1) for o in options if "=" in o)
    options = [o for o in options if "=" not in o]
    if "cache" in settings:
        env["PEER_CACHE_DIR"] = settings["cache"]
    if "prefix" in settings and "WINEPREFIX" not in env:
        env.update(WINEPREFIX=settings["prefix"], WINEDEBUG="-all")
    if "own-prefix" in settings:
        env["WINEPREFIX"] += "-" + settings["own-prefix"]
        if env.get("PENNANT_RUNS_DISPLAY"):
            env["DISPLAY"] = env["PENNANT_RUNS_DISPLAY"]
    # A test without a recorder has the program report to a port held here
    # and never listened on: refused at once, never another test's recorder.
    nowhere = socket.socket()
    nowhere.bind(("127.0.0.1", 0))
    env["PENNANT_FEEDBACK_URL"] = "http://127.0.0.1:%d/api/record/feedback" % nowhere.getsockname()[1]
    if "--gtest_list_tests" in command:
        options = []  # a listing meets no peer; CTest lists every executable before a run
    output, errors = tempfile.TemporaryFile(), tempfile.TemporaryFile()
    try:
        # A signal that arrives while a peer starts waits until the peer is
        # on the list, so that it is stopped too.
        signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
        for option in options:
            module = importlib.import_module("peer_" + option.lstrip("-").replace("-", "_"))
            peers.append(module.start(env))
            signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS)
            signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS)
        child = subprocess.Popen(command, env=env, stdout=output, stderr=errors)
        code = child.wait()
        if code != 0 and output.tell() == 0 and errors.tell() == 0:
            # A program that dies before its first line is flushed leaves
            # nothing to read but this.
            print("with_peers: '%s' ended with exit code %d (0x%08x) and printed nothing"
                  % (" ".join(command)[:300], code, code & 0xFFFFFFFF), file=sys.stderr, flush=True)
        return code
    finally:
        if child is not None and child.poll() is None:
            child.kill()
            child.wait()
        for peer in reversed(peers):
            peer.stop()
        for captured, stream in ((output, sys.stdout), (errors, sys.stderr)):
            captured.seek(0)
            stream.flush()
            shutil.copyfileobj(captured, stream.buffer)
            stream.flush()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
