#!/usr/bin/env python3
"""Runs a command with the test peers it needs, each on a free loopback port.

    with_peers.py [--nginx] [--fault] ... -- command args...

Every peer started is stopped by its PID when the command ends; the
command's exit code is returned. Peers publish their addresses to the
command through environment variables (see each peer's module).
"""
import importlib
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def main(argv):
    if "--" not in argv:
        sys.exit("usage: with_peers.py [--peer ...] -- command ...")
    split = argv.index("--")
    options, command = argv[:split], argv[split + 1:]
    peers = []
    env = dict(os.environ)
    try:
        for option in options:
            module = importlib.import_module("peer_" + option.lstrip("-").replace("-", "_"))
            peer = module.start(env)
            peers.append(peer)
        return subprocess.call(command, env=env)
    finally:
        for peer in reversed(peers):
            peer.stop()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
