#!/usr/bin/env python3
"""Writes the corpus of damaged stored payloads: each must end the launcher
with its message and exit code 2 ("WEQ" + zstd frame + 8-byte trailer, one
thing wrong in each). With --app DLL it writes instead the payloads whose
oddity lies where the launcher never reads, or that it must get through,
around that application: those must run it.

The manifest, expected.tsv, says what each run must end with: name, source
(corpus: committed beside this script; app: written with --app at build
time), arguments, exit code, standard output, standard error. Texts leave
out the final line feed; '*' stands for any text.

Usage: make_corpus.py OUT_DIR [--app DLL]"""
import os
import random
import struct
import subprocess
import sys

HEADER = "Error, couldn't find attached data header."
DECODE = "Error, couldn't decode attached data."
PLACEHOLDER = b"the first file: never loaded, extraction fails before any child starts\n"


def entry(name, data, size=None):
    return (name.encode("utf-16-le") + b"\0\0" + struct.pack("<Q", len(data) if size is None else size) + data)


END = b"\0\0"


def app_stream(*rest, app=PLACEHOLDER, end=END):
    return entry("app.dll", app) + b"".join(rest) + end


def frame(stream, *flags):
    """A frame as the packer writes it (window 2^27, no checksum, no content size) unless flags say otherwise."""
    flags = flags or ("--no-check", "--no-content-size", "--long=27")
    return subprocess.run(["zstd", "-q", "-c", *flags], input=stream, stdout=subprocess.PIPE,
                          check=True).stdout


def stored(body):
    return b"WEQ" + body + struct.pack("<Q", 3 + len(body))


def frame_header_size(f):
    descriptor = f[4]
    single = descriptor & 0x20
    size = 5 + (0 if single else 1) + [0, 1, 2, 4][descriptor & 3]
    fcs = descriptor >> 6
    return size + ([1 if single else 0, 2, 4, 8][fcs])


def block_headers(f):
    """Offsets of the frame's block headers."""
    at, offsets = frame_header_size(f), []
    while True:
        offsets.append(at)
        header = int.from_bytes(f[at:at + 3], "little")
        kind, size = (header >> 1) & 3, header >> 3
        at += 3 + (1 if kind == 1 else size)
        if header & 1:
            return offsets


def patched(f, at, value):
    return f[:at] + bytes([value]) + f[at + 1:]


def block_patched(f, index, change):
    at = block_headers(f)[index]
    header = change(int.from_bytes(f[at:at + 3], "little"))
    return f[:at] + header.to_bytes(3, "little") + f[at + 3:]


def text_lines(count):
    return b"".join(b"line %d of a text file that the frame spreads over several blocks\n" % i for i in range(count))


def corpus_cases():
    """(name, stored payload, exit code, stdout, stderr) of payloads that must fail."""
    good = frame(app_stream())
    several_blocks = frame(app_stream(entry("text.txt", text_lines(6000))))
    assert len(block_headers(several_blocks)) >= 3
    with_checksum = frame(app_stream(), "--check", "--long=27")
    past_end = frame(app_stream() + bytes(300000), "--check", "--long=27")
    decode_failures = {
        # the stored payload's own framing
        "marker_only": b"WEQ",
        "no_frame": stored(b""),
        "empty_frame": stored(frame(b"")),
        # a frame cut short: inside its header, and halfway through its blocks
        "truncated_header": stored(good[:6]),
        "truncated_frame": stored(several_blocks[:len(several_blocks) * 3 // 5]),
        # bit flips in block headers: the reserved block type, a size beyond the 128 KiB a block may hold
        "reserved_block_type": stored(block_patched(good, 0, lambda h: h | 0b110)),
        "block_size_too_big": stored(block_patched(several_blocks, 1, lambda h: (h & 7) | (0x1FFFFF << 3))),
        # frame header fields the reader must refuse
        "reserved_header_bit": stored(patched(good, 4, good[4] | 0x08)),
        "window_over_2_27": stored(patched(good, 5, 0x89)),  # 2^27 + 2^24
        "window_2_28": stored(patched(good, 5, 0x90)),
        "dictionary_demanded": stored(patched(good, 4, good[4] | 0x01)[:6] + b"\x2a" + good[6:]),
        "checksum_mismatch": stored(with_checksum[:-1] + bytes([with_checksum[-1] ^ 0x40])),
        # frame content after the end record, more than the reader's window: the
        # frame is still decoded to its end, where the checksum is tested
        "checksum_mismatch_past_end_record": stored(past_end[:-1] + bytes([past_end[-1] ^ 0x40])),
        # the entry stream inside a sound frame
        "no_end_record": stored(frame(app_stream(end=b""))),
        "name_1024_units": stored(frame(app_stream(entry("n" * 1024, b"x")))),
        "name_cut_short": stored(frame(app_stream(b"a\0b", end=b""))),
        "size_past_end": stored(frame(app_stream(entry("data.bin", b"y" * 100, size=100 + 4096)))),
        "size_2_64_minus_1": stored(frame(app_stream(entry("data.bin", b"y" * 100, size=2 ** 64 - 1)))),
        # names that would write outside the target folder
        "name_climbs_out": stored(frame(app_stream(entry("..\\..\\escaped.txt", b"x")))),
        "name_climbs_by_slash": stored(frame(app_stream(entry("a/../../escaped.txt", b"x")))),
        "name_rooted": stored(frame(app_stream(entry("\\escaped.txt", b"x")))),
        "name_with_drive": stored(frame(app_stream(entry("C:\\escaped.txt", b"x")))),
    }
    cases = [("wrong_marker", b"WEq" + stored(good)[3:], 2, HEADER, ""),
             ("too_short", b"WE", 2, HEADER, "")]
    cases += [(name, payload, 2, DECODE, "") for name, payload in decode_failures.items()]
    # Names the file system refuses: a file where a folder must go, a folder where a file must go.
    cases.append(("file_then_folder", stored(frame(app_stream(entry("x", b"file"), entry("x\\y", b"below")))), 2, "",
                  "Error, failed to open '*\\onefile_*\\x\\y' for writing."))
    cases.append(("folder_then_file", stored(frame(app_stream(entry("x\\y", b"below"), entry("x", b"file")))), 2, "",
                  "Error, failed to open '*\\onefile_*\\x' for writing."))
    # The same after enough files that the launcher closes them on its other
    # threads: the open failure is still the first failure, its path named.
    many = [entry("many\\f%02d.txt" % i, b"%d\n" % i) for i in range(40)]
    cases.append(("clash_after_many_files", stored(frame(app_stream(*many, entry("x", b"file"),
                                                                    entry("x\\y", b"below")))), 2, "",
                  "Error, failed to open '*\\onefile_*\\x\\y' for writing."))
    # The same with a name beyond Latin-1: the report still ends its line, the path in UTF-8.
    kanji = "\u6f22\u5b57"
    clash = stored(frame(app_stream(entry(kanji, b"file"), entry(kanji + "\\y", b"below"))))
    cases.append(("clash_beyond_latin1", clash, 2, "", "Error, failed to open '*\\onefile_*\\" + kanji + "\\y' for writing."))
    return cases


def app_cases(app):
    """(name, stored payload) of payloads that must run the application."""
    rng = random.Random(11)
    tail = bytes(rng.getrandbits(8) for _ in range(64))
    stream = app_stream(app=app)
    half = len(stream) // 2
    deep = "\\".join(["d"] * 512)  # 1023 units, 511 folders deep
    skippable = struct.pack("<II", 0x184D2A5E, 16) + tail[:16]
    return [
        # the end record ends the stream: what follows it in the frame is decoded to the frame's end and
        # dropped, what follows the frame is never read
        ("after_end_record", stored(frame(stream + entry("never.txt", b"never read") + tail))),
        ("garbage_after_frame", stored(frame(stream) + tail)),
        # zstd's streaming decoder goes on through a second frame and skips a skippable one
        ("two_frames", stored(frame(stream[:half]) + frame(stream[half:]))),
        ("skippable_frame_first", stored(skippable + frame(stream))),
        # as many folder levels as a name can hold
        ("deep_folders", stored(frame(app_stream(entry(deep, b"deep\n"), app=app)))),
    ]


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    if len(sys.argv) > 3 and sys.argv[2] == "--app":
        with open(sys.argv[3], "rb") as f:
            app = f.read()
        for name, payload in app_cases(app):
            with open(os.path.join(out, name + ".payload"), "wb") as f:
                f.write(payload)
        return
    rows = []
    for name, payload, code, stdout, stderr in corpus_cases():
        with open(os.path.join(out, name + ".payload"), "wb") as f:
            f.write(payload)
        rows.append([name, "corpus", "", str(code), stdout, stderr])
    for name, _ in app_cases(b"app"):
        rows.append([name, "app", "exit 7", "7", "", ""])
    with open(os.path.join(out, "expected.tsv"), "w", encoding="utf-8", newline="\n") as f:
        f.write("# name\tsource\targuments\texit code\tstandard output\tstandard error\n")
        for row in rows:
            f.write("\t".join(row) + "\n")


main()
