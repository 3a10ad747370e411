#!/usr/bin/env python3
"""Writes the fuzz targets' seeds: OUT/payload holds the stored payloads found
in the given folders (the first 16 KiB of a larger one, still a frame's
start) and a few whose streams pass the reader's window; OUT/reader the same
payloads behind request sizes; OUT/template template inputs (their layout is
in fuzz/template_fuzzer.cpp); OUT/template.dict the template names in UTF-16LE.
Usage: make_seeds.py OUT PAYLOAD_FOLDER..."""
import os
import struct
import subprocess
import sys

LIMIT = 16384
out = sys.argv[1]
payloads = os.path.join(out, "payload")
templates = os.path.join(out, "template")
os.makedirs(payloads, exist_ok=True)
os.makedirs(templates, exist_ok=True)

for folder in sys.argv[2:]:
    for name in sorted(os.listdir(folder)):
        if name.endswith(".payload"):
            with open(os.path.join(folder, name), "rb") as f:
                data = f.read(LIMIT)
            with open(os.path.join(payloads, os.path.basename(folder) + "-" + name), "wb") as f:
                f.write(data)


def stored_frame(stream):
    frame = subprocess.run(["zstd", "-q", "-c", "--no-check", "--no-content-size", "--long=27"], input=stream,
                           stdout=subprocess.PIPE, check=True).stdout
    return b"WEQ" + frame + struct.pack("<Q", 3 + len(frame))


def entry(name, data):
    return name.encode("utf-16-le") + b"\0\0" + struct.pack("<Q", len(data)) + data


# Small inputs whose streams pass the reader's 128 KiB window, some of them
# ending just at its edge, where the decoder still holds output with no input left.
text = b"".join(b"line %d\n" % i for i in range(20000))
for name, stream in {
    "large_text": entry("a.txt", text) + b"\0\0",
    "window_edge": entry("a", b"x" * (131072 - 2 - 2 - 8)) + b"\0\0",
    "two_windows": entry("a", text[:131072]) + entry("b\\c", text[:131072 - 24]) + b"\0\0",
}.items():
    with open(os.path.join(payloads, "made-" + name + ".payload"), "wb") as f:
        f.write(stored_frame(stream))


# An empty frame with a wrong checksum after the frame that holds the end
# record: past what the loop reads, though both frames end at one place in the stream.
empty = subprocess.run(["zstd", "-q", "-c", "--check"], input=b"", stdout=subprocess.PIPE, check=True).stdout
with open(os.path.join(payloads, "made-bad_empty_frame_after_end.payload"), "wb") as f:
    f.write(stored_frame(b"\0\0")[:-8] + empty[:-1] + bytes([empty[-1] ^ 0x40]))


# The reader target's seeds: request sizes (a count, then 3 bytes each) before each payload.
readers = os.path.join(out, "reader")
os.makedirs(readers, exist_ok=True)
patterns = [[2, 2, 8, 131072, 300000], [0, 1, 131071, 2, 0], [16777215], [131072, 131072, 131072, 7]]
for index, name in enumerate(sorted(os.listdir(payloads))):
    sizes = patterns[index % len(patterns)]
    with open(os.path.join(payloads, name), "rb") as f:
        payload = f.read()
    with open(os.path.join(readers, name), "wb") as f:
        f.write(bytes([len(sizes)]) + b"".join(size.to_bytes(3, "little") for size in sizes) + payload)


def units(text):
    return text.encode("utf-16-le")


def template_input(capacity, *fields):
    """Capacity byte (capacity - 1), then the fields separated by zero units."""
    return bytes([capacity - 1]) + b"\0\0".join(units(field) for field in fields)


seeds = {
    "default": template_input(200, "{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}"),
    "default_cached": template_input(80, "{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}", "4242", "ABCDEFGHIJK",
                                     "012345", "133000000001234567"),
    "tight": template_input(12, "{PID}{PID}{PID}"),
    "program": template_input(60, "{PROGRAM_DIR}\\{PROGRAM_BASE}.d\\{PROGRAM}"),
    "folders": template_input(100, "{HOME}\\{CACHE_DIR}\\x\\\\{TEMP}", "", "", "", "", "C:\\T\\\\\\", "C:\\",
                              "D:\\cache\\"),
    "texts": template_input(40, "{COMPANY}\\{PRODUCT}\\{VERSION}{FILE_VERSION}{PRODUCT_VERSION}{TIME}"),
    "digits": template_input(30, "{pid}", "\u0661\u0662\u0663"),
    "broken": template_input(256, "a}b{NOPE}{}{" + "A" * 1030 + "}"),
    "no_temp": template_input(50, "{TEMP}\\x", "", "", "", "", ""),
    "program_exe": template_input(20, "{PROGRAM_BASE}", "", "", "", "", "", "", "", "tool.EXE"),
}
for name, data in seeds.items():
    with open(os.path.join(templates, name), "wb") as f:
        f.write(data)


def image(cached, files, payload=b"WEQ" + b"\0" * 16):
    """An executable image as the slots target reads it: the slots first
    (contract/contract.h), then the texts, the cached mode's file table (the
    entry first, the rest sorted) and the payload, at the offsets the slots name."""
    body = bytearray(48)
    def put(data, align=2):
        while len(body) % align:
            body.append(0)
        at = len(body)
        body.extend(data)
        return at
    texts = [put(units(t) + b"\0\0") for t in ("{TEMP}\\{PRODUCT}\\{PAYLOAD_ID}", "Company", "Product",
                                                "1.2.3.4", "0123456789abcdef")]
    table = 0
    if cached:
        records = bytearray(struct.pack("<I", len(files)) + b"\0" * (4 * len(files)))
        while len(records) % 8:
            records.append(0)
        for i, (name, size) in enumerate(files):
            struct.pack_into("<I", records, 4 + 4 * i, len(records))
            records += struct.pack("<QI", size, len(name)) + units(name)
            while len(records) % 8:
                records.append(0)
        table = put(records, 8)
    start = put(payload, 8)
    struct.pack_into("<8sQ8I", body, 0, b"TVNSLOT2", len(payload), start, *texts, table, 1 if cached else 0)
    return bytes(body)


slots = os.path.join(out, "slots")
os.makedirs(slots, exist_ok=True)
for name, data in {
    "cached": image(True, [("app.dll", 778808), ("data\\a.txt", 23), ("data\\b.txt", 28), ("notes.txt", 84)]),
    "cached_one": image(True, [("app.dll", 1)]),
    "default": image(False, []),
}.items():
    with open(os.path.join(slots, name), "wb") as f:
        f.write(data)

names = ["TEMP", "PROGRAM", "PROGRAM_BASE", "PROGRAM_DIR", "PID", "HOME", "CACHE_DIR", "COMPANY", "PRODUCT",
         "VERSION", "FILE_VERSION", "PRODUCT_VERSION", "RANDOM", "TIME_US", "TIME"]
with open(os.path.join(out, "template.dict"), "w") as f:
    for name in names:
        f.write('"%s"\n' % "".join("\\x%02X" % b for b in units("{" + name + "}")))
    f.write('"%s"\n' % "".join("\\x%02X" % b for b in units("\\")))
