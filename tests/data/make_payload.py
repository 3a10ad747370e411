#!/usr/bin/env python3
"""Builds a stored payload from files, without the packer's checks, for
payloads the packer would refuse (a first file that is not a library, one
without run_code, no entries at all).
Usage: make_payload.py OUTPUT [NAME=PATH]..."""
import struct
import subprocess
import sys

stream = b""
for item in sys.argv[2:]:
    name, path = item.split("=", 1)
    with open(path, "rb") as f:
        data = f.read()
    stream += name.encode("utf-16-le") + b"\0\0" + struct.pack("<Q", len(data)) + data
stream += b"\0\0"
frame = subprocess.run(["zstd", "-q", "-c", "--no-check", "--no-content-size", "--long=27"],
                       input=stream, stdout=subprocess.PIPE, check=True).stdout
with open(sys.argv[1], "wb") as f:
    f.write(b"WEQ" + frame + struct.pack("<Q", 3 + len(frame)))
