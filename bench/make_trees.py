#!/usr/bin/env python3
"""Writes the benchmark's payload trees, deterministically (fixed seeds, stdlib
only), so every run and every machine packs the same bytes.

Usage: make_trees.py OUT_DIR [CASE]...   (cases: a b c p; default all)
  a  one file of 200 MiB
  b  2,000 files, 100 MiB in all, mixed text and binary, in 40 folders (72 with their parents)
  c  20,000 files of 1-4 KiB in 500 folders
  p  240 files, 12 MiB, made like b: the sample packed at level 19, which is slow
Each case is written to OUT_DIR/<case>/app and stamped with OUT_DIR/<case>.done;
a case whose stamp matches this generator is left as it is."""
import hashlib
import os
import random
import shutil
import sys

MIB = 1 << 20
# Changing what a case holds must change its stamp.
VERSION = "4"


def vocabulary(rng):
    letters = "etaoinshrdlucmfwypvbgkjqxz"
    weights = [12, 9, 8, 8, 7, 7, 6, 6, 6, 4, 4, 3, 3, 2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1]
    return ["".join(rng.choices(letters, weights, k=rng.randint(2, 10))) for _ in range(3000)]


class Content:
    """Byte generators of different compressibility, the way real applications
    mix source text, machine code and already compressed assets."""

    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.words = vocabulary(self.rng)
        # 16 symbols, skewed: about 3.3 bits of entropy a byte, like tables and code.
        symbols = bytes([0, 0, 0, 0, 0, 0xFF, 0xFF, 0x48, 0x8B, 0x89, 0x01, 0x24, 0xE8, 0x0F, 0x45, 0xC3])
        self.table = bytes(symbols[i % 16] if i < 240 else symbols[i % 7] for i in range(256))

    def text(self, n):
        out = []
        size = 0
        while size < n:
            line = " ".join(self.rng.choices(self.words, k=self.rng.randint(4, 14))) + "\n"
            out.append(line)
            size += len(line)
        return "".join(out).encode()[:n]

    def low_entropy(self, n):
        return self.rng.randbytes(n).translate(self.table)

    def random(self, n):
        return self.rng.randbytes(n)

    def sparse(self, n):
        data = bytearray(n)
        for _ in range(n // 256):
            at = self.rng.randrange(0, max(1, n - 16))
            data[at:at + 16] = self.rng.randbytes(16)
        return bytes(data)

    def mixed(self, n, kinds):
        """n bytes in 64 KiB pieces whose kinds are drawn from `kinds` (name: weight)."""
        names, weights = list(kinds), list(kinds.values())
        pieces = []
        left = n
        while left > 0:
            k = min(left, 64 * 1024)
            pieces.append(getattr(self, self.rng.choices(names, weights)[0])(k))
            left -= k
        return b"".join(pieces)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def case_a(root):
    c = Content(1)
    kinds = {"text": 35, "low_entropy": 25, "random": 25, "sparse": 15}
    with open(os.path.join(root, "data.bin"), "wb") as f:
        for _ in range(200):
            f.write(c.mixed(MIB, kinds))
    return 1, 200 * MIB


def mixed_tree(root, seed, files, total, folder_count):
    """`files` files of log-uniform sizes (1 KiB to 2 MiB before scaling to
    `total` bytes in all) in `folder_count` folders, some nested."""
    c = Content(seed)
    rng = random.Random(seed * 11)
    folders = [f"pkg{i:02d}" + ("" if i % 3 == 0 else f"/sub{i % 3}") + ("/deep" if i % 7 == 0 else "")
               for i in range(folder_count)]
    raw = [2 ** rng.uniform(10, 21) for _ in range(files)]
    scale = total / sum(raw)
    sizes = [max(1, int(s * scale)) for s in raw]
    sizes[-1] += total - sum(sizes)
    kinds = [(".py", {"text": 1}), (".json", {"text": 1}), (".txt", {"text": 1}),
             (".dll", {"sparse": 2, "low_entropy": 2, "text": 1}), (".dat", {"low_entropy": 1}),
             (".png", {"random": 1}), (".pyd", {"sparse": 1, "low_entropy": 2})]
    for i, size in enumerate(sizes):
        extension, mix = kinds[rng.randrange(len(kinds))]
        write(os.path.join(root, folders[i % folder_count], f"file{i:04d}{extension}"), c.mixed(size, mix))
    return files, total


def case_b(root):
    return mixed_tree(root, 2, 2000, 100 * MIB, 40)


def case_p(root):
    return mixed_tree(root, 4, 240, 12 * MIB, 8)


def case_c(root):
    c = Content(3)
    rng = random.Random(33)
    folders = []
    for top in range(20):
        folders.append(f"lib{top:02d}")
        folders += [f"lib{top:02d}/mod{sub:02d}" for sub in range(24)]
    total = 0
    for i in range(20000):
        size = rng.randint(1024, 4096)
        binary = i % 5 == 4
        name = f"f{i:05d}" + (".pyc" if binary else ".py")
        write(os.path.join(root, folders[i % 500], name),
              c.low_entropy(size) if binary else c.text(size))
        total += size
    return 20000, total


CASES = {"a": case_a, "b": case_b, "c": case_c, "p": case_p}


def stamp_text(case):
    source = open(__file__, "rb").read()
    return f"{case} {VERSION} {hashlib.sha256(source).hexdigest()[:16]}\n"


def main():
    out = sys.argv[1]
    for case in sys.argv[2:] or sorted(CASES):
        stamp = os.path.join(out, case + ".done")
        expected = stamp_text(case)
        if os.path.exists(stamp) and open(stamp).read().startswith(expected):
            continue
        root = os.path.join(out, case, "app")
        shutil.rmtree(os.path.join(out, case), ignore_errors=True)
        os.makedirs(root)
        files, size = CASES[case](root)
        with open(stamp, "w") as f:
            f.write(expected + f"files={files} bytes={size}\n")
        print(f"make_trees: case {case}: {files} files, {size} bytes", file=sys.stderr)


if __name__ == "__main__":
    main()
