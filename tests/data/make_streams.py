#!/usr/bin/env python3
"""Writes the payloads the reader tests decode: payload streams, frames made
by the zstd command line tool with various settings, and stored payloads
("WEQ" + frame + trailer). Usage: make_streams.py OUTPUT_DIR"""
import os
import random
import struct
import subprocess
import sys

out = sys.argv[1]
os.makedirs(out, exist_ok=True)


def name(text):
    return text.encode("utf-16-le") + b"\0\0"


def entry(path, data):
    return name(path) + struct.pack("<Q", len(data)) + data


def zstd(data, *flags):
    return subprocess.run(["zstd", "-q", "-c", *flags], input=data, stdout=subprocess.PIPE, check=True).stdout


def stored(frame):
    return b"WEQ" + frame + struct.pack("<Q", 3 + len(frame))


def write(filename, data):
    with open(os.path.join(out, filename), "wb") as f:
        f.write(data)


rng = random.Random(7)
# Mixed content: compressible text and incompressible bytes, over many blocks.
big = b"".join(
    (b"line %d of some text\n" % i) * 3 + bytes(rng.getrandbits(8) for _ in range(64)) for i in range(20000))
example = entry("a\\b", b"AB") + b"\0\0"
streams = {
    "example": example,
    "big": entry("big.bin", big) + b"\0\0",
    "no_end": entry("a", b"xyz"),
}
for key, stream in streams.items():
    write(key + ".stream", stream)

frames = {
    # as the packer writes it: window 2^27, no checksum, no content size
    "example_packer": zstd(example, "--no-check", "--no-content-size", "--long=27"),
    "big_packer": zstd(streams["big"], "--no-check", "--no-content-size", "--long=27", "-3"),
    # as other encoders write it: content size and checksum, other levels
    "big_checksum": zstd(streams["big"], "--check", "-19"),
    "example_checksum": zstd(example, "--check"),
    "big_level1": zstd(streams["big"], "-1", "-B65536"),
    "no_end": zstd(streams["no_end"], "--no-check"),
    "window28": zstd(streams["big"], "--no-check", "--no-content-size", "--long=28"),
}
for key, frame in frames.items():
    write(key + ".payload", stored(frame))

# A checksum that does not match the content: flip a bit of the stored checksum.
damaged = bytearray(frames["big_checksum"])
damaged[-1] ^= 0x40
write("bad_checksum.payload", stored(bytes(damaged)))
damaged = bytearray(frames["example_checksum"])
damaged[-2] ^= 0x01
write("bad_example_checksum.payload", stored(bytes(damaged)))

# Streams for the entry loop: sizes around the write chunk, names at their bound.
loop_streams = {
    "chunks": entry("empty", b"") + entry("d\\exact", b"x" * 32768) + entry("d\\e\\over", b"y" * 32769) + b"\0\0",
    "name1023": entry("n" * 1023, b"z") + b"\0\0",
    "name1024": entry("n" * 1024, b"z") + b"\0\0",
    "one_file": entry("f", b"data") + b"\0\0",
    "only_end": b"\0\0",
}
# Enough files that the loop hands their closes to its threads; the last
# repeats the second's name in other letters and must replace that file.
loop_streams["many"] = b"".join(entry("d%d\\f%03d.txt" % (i % 4, i), b"%d\n" % i * (i % 7 + 1))
                                for i in range(100)) + entry("D1\\F001.TXT", b"later\n") + b"\0\0"
for key, stream in loop_streams.items():
    write(key + ".payload", stored(zstd(stream, "--no-check", "--no-content-size", "--long=27")))

# Names that would reach outside the target folder, or that the packer never
# writes (a device, a refused character, a trailing dot or space): each must be refused.
unsafe_names = ["..\\evil", "a\\..\\..\\evil", "\\rooted", "C:\\evil", "c:evil", "a/../../evil", ".. \\evil",
                "a\\...\\evil", "a\\\\evil", "a\\.", "file:stream", "a\\nul.txt", "Com1", "con .log", "a*b",
                "tab\tname", "dot.", "space "]
for i, unsafe in enumerate(unsafe_names):
    stream = entry("fine.txt", b"ok") + entry(unsafe, b"bad") + b"\0\0"
    write("unsafe%d.payload" % i, stored(zstd(stream, "--no-check", "--no-content-size", "--long=27")))
write("dotted.payload", stored(zstd(entry(".config\\a..b\\x. y", b"ok") + b"\0\0", "--no-check", "--no-content-size",
                                    "--long=27")))
