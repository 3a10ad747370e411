#!/usr/bin/env python3
"""Writes the tree the round-trip tests pack: nested folders, an empty file,
files around the launcher's write chunk, non-ASCII and non-BMP names, and a
name at the 1023-unit bound; 5 MiB in all, so the packer lays the executable
out at page alignment. Usage: make_tree.py DIR"""
import os
import random
import sys

root = sys.argv[1]
rng = random.Random(3)


def put(relative, data):
    path = os.path.join(root, relative)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


put("tree/empty.txt", b"")
put("tree/exact.bin", bytes(rng.getrandbits(8) for _ in range(32768)))
put("tree/over.bin", bytes(rng.getrandbits(8) for _ in range(32769)))
put("tree/a/b/c/d/deep.txt", b"deep\n" * 1000)
put("tree/a/pages.bin", bytes(range(256)) * (5 << 12))
put("tree/caf\u00e9 \u00fcber/\u00e9t\u00e9.txt", "non-ASCII \u00e9\n".encode())
put("tree/\U0001F600 smile/\U0001F680.txt", "non-BMP\n".encode())
# tree\ + folder\ + file: 1023 UTF-16 units in all (folders kept under 255 bytes for the host).
folder = "f" * 200
name = "n" * (1023 - len("tree\\") - 4 * (len(folder) + 1))
put(os.path.join("tree", folder, folder, folder, folder, name), b"long name\n")
