#!/usr/bin/env python3
"""Writes a copy of test_installer.exe that carries a plan, and prints the
copy's MD5 (what a task names as "md5").

    make_test_installer.py <test_installer.exe> <out.exe> name=value...

The names are those of tests/support/TestInstaller.cpp: key, view, path,
mkdir, version, filepath, exe, exedir, fileversion, exit, forever, delay, selfshare.
For example, an installer that installs Quillon 2.0.1 into the 64-bit view:

    make_test_installer.py build/test-i686/bin/test_installer.exe setup.exe \\
        'key=HKEY_LOCAL_MACHINE\\SOFTWARE\\Aldermoor\\Quillon' \\
        'path=C:\\Program Files\\Quillon' version=2.0.1 exe=Quillon.exe \\
        exedir=bin\\x64 fileversion=2.0.1.0 filepath=@exe

Variants a task typically needs: the right version (as above), a wrong one
(version=1.0), the version in the executable only (no version=; the task's
version must then have four parts, as fileversion= has), no FilePath (no
filepath=), and an installer that never ends (forever=1).

The plan is appended to the program's bytes (a plan the source already
carries is replaced): the "name=value" lines, their length as a 32-bit
little-endian number, and the mark "TIPLAN01" (TestInstallerPlan.h).
"""
import hashlib
import struct
import sys

MARK = b"TIPLAN01"
FIELDS = {"key", "view", "path", "mkdir", "version", "filepath", "exe", "exedir",
          "fileversion", "exit", "forever", "delay", "selfshare"}


def without_plan(data):
    if len(data) < 4 + len(MARK) or not data.endswith(MARK):
        return data
    (length,) = struct.unpack("<I", data[-len(MARK) - 4:-len(MARK)])
    if length > len(data) - 4 - len(MARK):
        return data
    return data[:len(data) - 4 - len(MARK) - length]


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    source, out, pairs = argv[1], argv[2], argv[3:]
    lines = []
    for pair in pairs:
        name, sep, value = pair.partition("=")
        if not sep or name not in FIELDS:
            sys.exit(f"make_test_installer.py: not a plan field: {pair!r}")
        lines.append(f"{name}={value}\n")
    # Paths and registry keys are ANSI text for the installer; keep them ASCII
    # or in the code page of the Wine prefix.
    plan = "".join(lines).encode("gbk")
    with open(source, "rb") as f:
        data = without_plan(f.read())
    data += plan + struct.pack("<I", len(plan)) + MARK
    with open(out, "wb") as f:
        f.write(data)
    print(hashlib.md5(data).hexdigest())


if __name__ == "__main__":
    main(sys.argv)
