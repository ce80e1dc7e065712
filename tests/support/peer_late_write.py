"""Peer --late-write: a directory whose writes fail late, for checking that a
writer looks at the result of flushing and closing a file.

A 64 MiB ext4 file system is mounted for the test from an image that lives on
a 4 MiB tmpfs. Writes land in the page cache and succeed (the file system
thinks it has room); flushing them sends them to the image, which cannot
hold them, so the flush fails: the delayed write error of a full server disk
or a pulled stick, on demand. A write beyond 64 MiB fails at once.

Publishes LATE_WRITE_DIR (Windows path of the mounted directory) when the
mount worked, otherwise LATE_WRITE_SKIP with the reason."""
import os
import shutil
import subprocess
import tempfile

from peerlib import windows_path

IMAGE_MIB = 64
BACKING = "4m"


def run(*command):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            timeout=30)
    if result.returncode != 0:
        raise OSError("%s: %s" % (command[0], result.stdout.strip() or result.returncode))


class Mount:
    def __init__(self):
        self.base = tempfile.mkdtemp(prefix="pcg-late-write-")
        self.backing = os.path.join(self.base, "backing")
        self.mounted = os.path.join(self.base, "fs")
        self.points = []
        os.mkdir(self.backing)
        os.mkdir(self.mounted)

    def start(self):
        run("mount", "-t", "tmpfs", "-o", "size=" + BACKING, "tmpfs", self.backing)
        self.points.append(self.backing)
        image = os.path.join(self.backing, "image")
        with open(image, "wb") as f:
            f.truncate(IMAGE_MIB << 20)
        run("mkfs.ext4", "-q", "-F", "-O", "^has_journal", "-E", "lazy_itable_init=1,nodiscard", image)
        run("mount", "-o", "loop,errors=continue", image, self.mounted)
        self.points.append(self.mounted)
        os.chmod(self.mounted, 0o777)

    def stop(self):
        # Dirty pages that can never be written would otherwise keep the
        # kernel retrying; the lazy unmount lets go of them with the mount.
        for point in reversed(self.points):
            subprocess.call(["umount", "-l", point], stderr=subprocess.DEVNULL)
        shutil.rmtree(self.base, ignore_errors=True)


def start(env):
    mount = Mount()
    try:
        mount.start()
        env["LATE_WRITE_DIR"] = windows_path(mount.mounted)
    except (OSError, subprocess.TimeoutExpired) as error:
        env["LATE_WRITE_SKIP"] = "cannot mount a file system that fails late here: %s" % error
        mount.stop()
    return mount
