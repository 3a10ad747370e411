#!/usr/bin/env python3
"""A full disk, for real: mounts a 4 MiB file system (tmpfs, which, full,
writes part of a write and fails the next, as Windows' file systems do) and
runs the launcher's tests' FullDisk case (tests/e2e/full_disk_test.cpp) under
Wine with a folder on it, which Wine sees through its Z: drive. The case runs
as the tests' standard user, so the cached mode uses its cache folder.

Mounting needs root: without it, or where mounting is refused, the test is
skipped with a message (exit 77).

Usage: full_disk_test.py WINE_ROOT E2E_TESTS_EXE SCRATCH"""
import os
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # nothing written beside the sources
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "console"))
from wine_terminal import WINE, wine_environment  # noqa: E402

SKIPPED = 77
wine_root, e2e_tests, scratch = sys.argv[1:4]


def skip(reason):
    print("skipped: " + reason)
    sys.exit(SKIPPED)


if os.geteuid() != 0:
    skip("mounting the small file system needs root")
mount = os.path.join(scratch, "disk")
if os.path.exists(scratch):
    subprocess.run(["umount", mount], capture_output=True)
    shutil.rmtree(scratch)
os.makedirs(mount)
mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tarven-full-disk", mount], capture_output=True,
                         text=True)
if mounted.returncode != 0:
    skip("cannot mount a small file system here: " + mounted.stderr.strip())
try:
    env = wine_environment(wine_root, TARVEN_SMALL_DISK="Z:" + mount.replace("/", "\\"))
    done = subprocess.run([WINE, e2e_tests, "--gtest_filter=FullDisk.*"], env=env, capture_output=True, text=True,
                          errors="replace", timeout=280)
    print(done.stdout + done.stderr)
    ran = "[  PASSED  ] 1 test" in done.stdout or "[  FAILED  ]" in done.stdout
    status = done.returncode if ran else 1
finally:
    subprocess.run(["umount", mount], check=False)
sys.exit(status)
