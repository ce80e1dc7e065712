#!/usr/bin/env python3
"""Checks the deliverables tree and one test tree: PE32 for i686, PE32+ for
x86_64, import tables naming only Windows' own DLLs, Parcelgate.dll exporting
exactly its four COM entry points, by name, ordinals 1 to 4, and pennant.exe
importing COMCTL32.dll (on Windows the progress bar class exists only once
the program has initialised the common controls). The deliverable pennant.exe
must not hold the test hooks' marker nor read its feedback URL from the
environment, which the test tree's must both do (so the check cannot pass on
a marker that is never compiled in). Each binary carries a version record
with the project's version, its own original file name and the texts
Windows shows in the file's properties.

    check_binaries.py <build root> <test tree name> <test tree arch> <version a.b.c.d>
"""
import os
import re
import struct
import subprocess
import sys

WINDOWS_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "gdiplus.dll", "advapi32.dll", "shell32.dll",
    "ole32.dll", "oleaut32.dll", "comctl32.dll", "comdlg32.dll", "shlwapi.dll", "winhttp.dll",
    "ws2_32.dll", "wsock32.dll", "version.dll", "crypt32.dll", "msvcrt.dll", "rpcrt4.dll",
    "uuid.dll", "bcrypt.dll", "ntdll.dll", "secur32.dll", "iphlpapi.dll", "mswsock.dll",
    "userenv.dll", "imm32.dll", "uxtheme.dll", "wintrust.dll",
}
FORMATS = {"i686": "pei-i386", "x86_64": "pei-x86-64"}
REQUIRED_IMPORTS = {"pennant.exe": {"comctl32.dll"}}
# The hooks, and the test trees' feedback URL from the environment.
TEST_ONLY = (b"PENNANT_TEST_HOOKS compiled in", "PENNANT_FEEDBACK_URL".encode("utf-16-le"))
EXPORTS = ["DllUnregisterServer", "DllRegisterServer", "DllCanUnloadNow", "DllGetClassObject"]


def objdump(path):
    # The tests run under a Chinese locale; objdump's words must stay English.
    env = dict(os.environ, LC_ALL="C", LANG="C", LANGUAGE="")
    return subprocess.run(["x86_64-w64-mingw32-objdump", "-p", path], check=True,
                          capture_output=True, text=True, env=env).stdout


def exports(dump):
    """(ordinal, name) pairs of the export name table."""
    section = dump.split("[Ordinal/Name Pointer] Table", 1)
    if len(section) < 2:
        return []
    pairs = []
    for line in section[1].splitlines()[1:]:
        m = re.match(r"\s*\[\s*(\d+)\]\s+(\S+)", line)
        if not m:
            break
        pairs.append((int(m.group(1)), m.group(2)))
    return pairs


def check(path, fmt, failures):
    dump = objdump(path)
    name = os.path.basename(path)
    if f"file format {fmt}" not in dump:
        failures.append(f"{path}: not {fmt}")
    if not re.search(r"MajorSubsystemVersion\s+6\n", dump) or not re.search(r"MinorSubsystemVersion\s+1\n", dump):
        failures.append(f"{path}: does not ask for Windows 7 (subsystem version 6.1)")
    imported = {dll.lower() for dll in re.findall(r"DLL Name: (\S+)", dump)}
    for dll in sorted(REQUIRED_IMPORTS.get(name, set()) - imported):
        failures.append(f"{path}: does not import {dll}")
    for dll in sorted(imported):
        if dll not in WINDOWS_DLLS and not dll.startswith("api-ms-win-"):
            failures.append(f"{path}: imports {dll}")
    if name == "Parcelgate.dll":
        # The name table lists (ordinal - base, name) alphabetically.
        by_ordinal = [n for _, n in sorted(exports(dump))]
        if by_ordinal != EXPORTS:
            failures.append(f"{path}: exports by ordinal {by_ordinal}")


def version_record(path):
    """(file version, product version, {string name: value}) of the version record, or None."""
    with open(path, "rb") as f:
        data = f.read()
    at = data.find(struct.pack("<I", 0xFEEF04BD), max(0, data.find("VS_VERSION_INFO".encode("utf-16-le"))))
    if at < 0:
        return None
    ms, ls, pms, pls = struct.unpack_from("<4I", data, at + 8)
    dotted = lambda hi, lo: "%d.%d.%d.%d" % (hi >> 16, hi & 0xFFFF, lo >> 16, lo & 0xFFFF)
    strings = {}
    for name in ("CompanyName", "FileDescription", "FileVersion", "OriginalFilename", "ProductName"):
        # The key, its NUL, alignment, then the value up to its NUL (UTF-16).
        m = re.search(re.escape(name.encode("utf-16-le")) + rb"\0\0(?:\0\0)?((?:[^\0].|\0[^\0])*?)\0\0",
                      data[at:], re.S)
        strings[name] = m.group(1).decode("utf-16-le") if m else ""
    return dotted(ms, ls), dotted(pms, pls), strings


def check_version(path, version, failures):
    record = version_record(path)
    if not record:
        failures.append(f"{path}: no version record")
        return
    file_version, product_version, strings = record
    if file_version != version or product_version != version or strings["FileVersion"] != version:
        failures.append(f"{path}: version {file_version}/{product_version}/{strings['FileVersion']}, not {version}")
    if strings["OriginalFilename"] != os.path.basename(path):
        failures.append(f"{path}: original file name {strings['OriginalFilename']!r}")
    failures += [f"{path}: no {name}" for name in ("CompanyName", "ProductName", "FileDescription")
                 if not strings[name]]


def test_only_parts(path):
    with open(path, "rb") as f:
        image = f.read()
    return [marker for marker in TEST_ONLY if marker in image]


def main(build_root, test_tree, test_arch, version):
    failures = []
    trees = {"release": "i686", test_tree: test_arch}
    for tree, arch in trees.items():
        for name in ("pennant.exe", "Parcelgate.dll", "pgxfer.exe"):
            path = os.path.join(build_root, tree, "bin", name)
            if not os.path.exists(path):
                failures.append(f"{path}: missing")
                continue
            check(path, FORMATS[arch], failures)
            check_version(path, version, failures)
    release = os.path.join(build_root, "release", "bin", "pennant.exe")
    tested = os.path.join(build_root, test_tree, "bin", "pennant.exe")
    if os.path.exists(release) and test_only_parts(release):
        failures.append(f"{release}: carries test-only parts {test_only_parts(release)}")
    if os.path.exists(tested) and len(test_only_parts(tested)) != len(TEST_ONLY):
        failures.append(f"{tested}: holds only {test_only_parts(tested)} (the check would see nothing)")
    for f in failures:
        print("FAIL", f)
    print(f"checked {len(trees)} trees, {len(failures)} problems")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:5]))
