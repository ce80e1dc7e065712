#!/usr/bin/env python3
"""Holds each component's folders to their layer stack. pennant: app at the
bottom, http and ui on app only, workflow on everything. Parcelgate: base at
the bottom, then http, transfer and com, each on what lies below it; pgxfer, a
client of the registered DLL, on none of them. Every quoted include of a source
or header in <component>/<folder>/ that names a folder of that component
outside what its folder may use is reported, and the check fails.

    check_layers.py <source root>
"""
import os
import re
import sys
import tempfile

MAY_USE = {
    "pennant": {
        "app": {"app"},
        "http": {"app", "http"},
        "ui": {"app", "ui"},
        "workflow": {"app", "http", "ui", "workflow"},
    },
    "parcelgate": {
        "base": {"base"},
        "http": {"base", "http"},
        "transfer": {"base", "http", "transfer"},
        "com": {"base", "http", "transfer", "com"},
        "pgxfer": {"pgxfer"},
    },
}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"/]+)/[^"]*"', re.MULTILINE)


def violations(root):
    found = []
    for component, stack in MAY_USE.items():
        for folder, allowed in stack.items():
            directory = os.path.join(root, component, folder)
            if not os.path.isdir(directory):
                continue
            for name in sorted(os.listdir(directory)):
                if not name.endswith((".h", ".cpp")):
                    continue
                with open(os.path.join(directory, name), encoding="utf-8") as f:
                    text = f.read()
                for used in INCLUDE.findall(text):
                    if used in stack and used not in allowed:
                        found.append(f"{component}/{folder}/{name} includes a header of {used}/")
    return found


def rule_catches_a_downward_include_only():
    """The rule itself, on a tree made for it: allowed and forbidden includes in
    both components (http/ is a folder of each, with its own neighbours)."""
    with tempfile.TemporaryDirectory() as root:
        for folder, text in (("pennant/ui", '#include "app/Log.h"\n#include "http/HttpTasks.h"\n'),
                             ("pennant/http", '#include "app/Task.h"\n'),
                             ("parcelgate/http", '#include "base/Json.h"\n#include "transfer/FileUtils.h"\n'),
                             ("parcelgate/transfer", '#include "http/HttpSession.h"\n')):
            os.makedirs(os.path.join(root, folder))
            with open(os.path.join(root, folder, "X.cpp"), "w") as f:
                f.write(text)
        return violations(root) == ["pennant/ui/X.cpp includes a header of http/",
                                    "parcelgate/http/X.cpp includes a header of transfer/"]


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
