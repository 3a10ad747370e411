"""Measuring helpers for bench.py: host-side timing, the Windows driver under
Wine, the payload files the packer keeps, and medians. Every helper checks
what it measured did its work: a figure from a failed run is never reported."""
import os
import shutil
import statistics
import struct
import subprocess
import time


class BenchError(Exception):
    pass


def windows_path(path):
    """The Wine name of a host path (drive Z: is the host's root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def median(values):
    return statistics.median(values) if values else float("nan")


def host_seconds(command, **kwargs):
    """Wall time of a host command; its output goes to /dev/null unless redirected."""
    kwargs.setdefault("stdout", subprocess.DEVNULL)
    start = time.perf_counter()
    done = subprocess.run(command, stderr=subprocess.PIPE, **kwargs)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        raise BenchError(f"{command[0]} failed ({done.returncode}): {done.stderr.decode(errors='replace')[-400:]}")
    return seconds


def fresh_folder(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


class Wine:
    """Runs bench-driver.exe under the build's wine64 (environment from
    scripts/wine-env.sh, inherited from bench/run.sh)."""

    def __init__(self, loader, driver, cwd):
        self.loader = loader
        self.driver = driver
        self.cwd = cwd

    def drive(self, program, args=(), repeat=1, memory=False, temp=None):
        command = [self.loader, self.driver, "--repeat", str(repeat)]
        if memory:
            command.append("--memory")
        if temp is not None:
            command += ["--temp", windows_path(temp)]
        command += ["--", windows_path(program)] + list(args)
        done = subprocess.run(command, cwd=self.cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
        if done.returncode != 0:
            raise BenchError(f"bench-driver failed for {program}: {done.stderr.decode(errors='replace')[-400:]}")
        return parse_driver_output(done.stdout.decode(errors="replace"))


def key_values(line):
    return dict(item.split("=", 1) for item in line.split() if "=" in item)


def parse_driver_output(text):
    runs = []
    pending = {}
    for line in text.splitlines():
        if line.startswith("out="):
            runs[-1]["out"].append(line[4:])
        elif line.startswith("run="):
            values = key_values(line)
            run = {"first_s": float(values["first_us"]) / 1e6, "exit_s": float(values["exit_us"]) / 1e6,
                   "code": int(values["code"]), "create_qpc": int(values["create_qpc"]),
                   "qpc_hz": int(values["qpc_hz"]), "out": []}
            run.update(pending)
            pending = {}
            runs.append(run)
        elif line.startswith("parent_"):
            pending.update({k: int(v) for k, v in key_values(line).items()})
    return runs


def check_ready(run, what):
    """A launcher or self-start run that worked: exit code 0, "ready" first."""
    if run["code"] != 0 or not run["out"] or run["out"][0] != "ready":
        raise BenchError(f"{what}: exit code {run['code']:#x}, output {run['out'][:3]}")


def payload_frame(data, what):
    """The zstd frame inside a stored payload ("WEQ", frame, 8-byte trailer)."""
    if data[:3] != b"WEQ" or struct.unpack("<Q", data[-8:])[0] != len(data) - 8:
        raise BenchError(f"{what}: not a stored payload")
    return data[3:-8]


def stored_frame(payload_path):
    with open(payload_path, "rb") as f:
        return payload_frame(f.read(), payload_path)


def frame_window_log(frame):
    """The window a zstd frame's header declares, as a power of two: the
    packer's frames hold one of 2^10 to 2^27, chosen from the stream's size."""
    descriptor, window = frame[4], frame[5]
    if frame[:4] != b"\x28\xb5\x2f\xfd" or descriptor & 0x20 or window & 7:
        raise BenchError("the payload's frame declares no power-of-two window")
    return 10 + (window >> 3)


def stream_totals(stream_path):
    """Number of files and data bytes in a decoded entry stream."""
    files = data = 0
    with open(stream_path, "rb") as f:
        stream = f.read()
    at = 0
    while True:
        end = at
        while stream[end:end + 2] != b"\0\0":
            end += 2
        if end == at:
            return files, data
        (size,) = struct.unpack_from("<Q", stream, end + 2)
        at = end + 10 + size
        files += 1
        data += size


def pe_sections(objdump, exe):
    """Section name -> size, from objdump -h."""
    out = subprocess.run([objdump, "-h", exe], stdout=subprocess.PIPE, check=True).stdout.decode()
    sections = {}
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 3 and parts[0].isdigit() and parts[1].startswith("."):
            sections[parts[1]] = int(parts[2], 16)
    return sections


def idle_ticks():
    """The host's processor time so far, all and idle (with waiting for I/O), in clock ticks."""
    with open("/proc/stat") as f:
        values = [int(v) for v in f.readline().split()[1:]]
    return sum(values), values[3] + values[4]


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])
