#!/usr/bin/env python3
"""Runs a command with the test peers it needs, each on a free loopback port.

    with_peers.py [--nginx] [--fault] ... -- command args...

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
        return child.wait()
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
