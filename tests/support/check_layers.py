#!/usr/bin/env python3
"""Holds pennant's folders to their layer stack: app at the bottom, http and ui
on app only, workflow on everything. Every quoted include of a source or header
in pennant/<folder>/ that names a pennant folder outside what its folder may use
is reported, and the check fails.

    check_layers.py <source root>
"""
import os
import re
import sys
import tempfile

MAY_USE = {
    "app": {"app"},
    "http": {"app", "http"},
    "ui": {"app", "ui"},
    "workflow": {"app", "http", "ui", "workflow"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"/]+)/[^"]*"', re.MULTILINE)


def violations(root):
    found = []
    for folder, allowed in MAY_USE.items():
        directory = os.path.join(root, "pennant", folder)
        if not os.path.isdir(directory):
            continue
        for name in sorted(os.listdir(directory)):
            if not name.endswith((".h", ".cpp")):
                continue
            with open(os.path.join(directory, name), encoding="utf-8") as f:
                text = f.read()
            for used in INCLUDE.findall(text):
                if used in MAY_USE and used not in allowed:
                    found.append(f"pennant/{folder}/{name} includes a header of {used}/")
    return found


def rule_catches_a_downward_include_only():
    """The rule itself, on a tree made for it: one allowed and one forbidden include."""
    with tempfile.TemporaryDirectory() as root:
        for folder, text in (("ui", '#include "app/Log.h"\n#include "http/HttpTasks.h"\n'),
                             ("http", '#include "app/Task.h"\n')):
            os.makedirs(os.path.join(root, "pennant", folder))
            with open(os.path.join(root, "pennant", folder, "X.cpp"), "w") as f:
                f.write(text)
        return violations(root) == ["pennant/ui/X.cpp includes a header of http/"]


def main(root):
    if not rule_catches_a_downward_include_only():
        print("FAIL the include rule misjudges its own example")
        return 1
    found = violations(root)
    for v in found:
        print("FAIL", v)
    print(f"{len(found)} includes across layers")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
