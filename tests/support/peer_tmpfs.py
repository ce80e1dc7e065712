"""Peer --tmpfs: a 2 MiB tmpfs mounted for the test, for running out of disk
space on purpose. Publishes HTTP_TMPFS_DIR (Windows path) when the mount
worked, otherwise HTTP_TMPFS_SKIP with the reason."""
import os
import shutil
import subprocess
import tempfile

from peerlib import windows_path


class Mount:
    def __init__(self, path, mounted):
        self.path = path
        self.mounted = mounted

    def stop(self):
        if self.mounted:
            subprocess.call(["umount", self.path], stderr=subprocess.DEVNULL)
        shutil.rmtree(self.path, ignore_errors=True)


def start(env):
    path = tempfile.mkdtemp(prefix="pennant-tmpfs-")
    try:
        result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m,mode=0777", "tmpfs", path],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                timeout=20)
        reason = result.stdout.strip() or "mount exited with %d" % result.returncode
        mounted = result.returncode == 0
    except (OSError, subprocess.TimeoutExpired) as error:
        reason, mounted = str(error), False
    if mounted:
        env["HTTP_TMPFS_DIR"] = windows_path(path)
        return Mount(path, True)
    env["HTTP_TMPFS_SKIP"] = "cannot mount a tmpfs here: " + reason
    return Mount(path, False)
