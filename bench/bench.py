#!/usr/bin/env python3
"""The benchmarks: start-up, two-process overhead, peak memory, launcher size
and packing, each figure beside its floor measured in the same run on the same
machine. bench/run.sh builds what this needs and keeps a warm wineserver, then
starts it; it prints Markdown tables and keeps them in BUILD/bench/results.md.
docs/benchmarks.md says what each figure means.

Usage: bench.py BUILD_DIR [--quick] [--runs N] [--scratch DIR] [--only ROWS]"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # nothing written beside the sources
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from measure import (BenchError, Wine, check_ready, fresh_folder, frame_window_log, host_seconds,  # noqa: E402
                     idle_ticks, key_values, load_average, median, payload_frame, pe_sections, stored_frame,
                     stream_totals, windows_path)
from tables import Report  # noqa: E402

CASES = {"a": "(a) one 200 MiB file", "b": "(b) 2,000 files, 100 MiB", "c": "(c) 20,000 files of 1-4 KiB"}
BENCH_LEVEL = 3
DEFAULT_LEVEL = 18  # tarven-pack's default level (packer/src/pack/payload_format.h)
# The groups of figures, in the order they are measured; --only picks some.
ROWS = ("stub", "two-process", "crowded", "sweep", "startup", "removal", "progress", "scanner", "cached", "memory",
        "packing")


class Bench:
    def __init__(self, build, quick, runs, scratch_root, rows=ROWS):
        self.build = build
        self.quick = quick
        self.rows = set(rows)
        # Five runs of (c), three of the big payloads and of packing; --runs sets them all.
        self.runs = runs or (1 if quick else 3)
        self.case_runs = {"c": runs or (1 if quick else 5)}
        # A removal run is short beside its payload's start: five of each.
        self.removal_runs = runs or (1 if quick else 5)
        self.work = os.path.join(build, "bench")
        self.bin = os.path.join(build, "bench-win")
        self.packer = os.path.join(build, "packer", "tarven-pack")
        # The same packer carrying the launcher under a simulated scanner (bench/win/scanner.cpp).
        self.scanner_packer = os.path.join(build, "bench-packer", "tarven-pack")
        self.app = os.path.join(self.bin, "bench_app.dll")
        self.scratch = fresh_folder(os.path.join(scratch_root, f"tarven-bench-{os.getpid()}"))
        self.temp = os.path.join(self.scratch, "temp")
        self.wine = Wine("/usr/lib/wine/wine64", os.path.join(self.bin, "bench-driver.exe"), self.scratch)
        # Wine gives every process an administrator's token, whose cache
        # folder Wine cannot show as protected (no labels); a standard user's
        # start is what the cached mode's figures are about.
        self.standard = Wine("/usr/lib/wine/wine64", os.path.join(self.bin, "bench-driver-standard.exe"),
                             self.scratch)
        self.report = Report()

    def program(self, name):
        return os.path.join(self.bin, name)

    def case_file(self, case, name):
        return os.path.join(self.work, "cases", case, name)

    # ---- packing ----

    def pack(self, out, inputs, level=None, threads=None, extra=(), packer=None):
        """Packs with the build's tarven-pack; returns (seconds, stored bytes)."""
        command = [packer or self.packer, "build", "-o", out] + inputs + list(extra)
        if level is not None:
            command += ["--level", str(level)]
        if threads is not None:
            command += ["--threads", str(threads)]
        start = time.perf_counter()
        done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        seconds = time.perf_counter() - start
        text = done.stderr.decode(errors="replace")
        if done.returncode != 0:
            raise BenchError(f"tarven-pack failed: {text[-400:]}")
        stored = re.search(r"(\d+) bytes out|raw payload, (\d+) bytes", text)
        return seconds, int(stored.group(1) or stored.group(2))

    def prepare_case(self, case, tree):
        """The packed executable at the benchmark level, its stored payload, the
        payload's frame and decoded stream, and a tar of the same tree."""
        folder = fresh_folder(os.path.join(self.work, "cases", case))
        inputs = [self.app] + ([tree] if tree else [])
        self.pack(self.case_file(case, "app.exe"), inputs, BENCH_LEVEL)
        if "scanner" in self.rows and case in ("c", "b"):
            self.pack(self.case_file(case, "app-scanner.exe"), inputs, BENCH_LEVEL, packer=self.scanner_packer)
        with open(self.case_file(case, "payload.bin"), "wb") as f:
            f.write(stored_payload(self.case_file(case, "app.exe")))
        with open(self.case_file(case, "frame.zst"), "wb") as f:
            f.write(stored_frame(self.case_file(case, "payload.bin")))
        with open(self.case_file(case, "stream.bin"), "wb") as out:
            subprocess.run(["zstd", "-q", "-d", "-c", "--long=27", self.case_file(case, "frame.zst")], stdout=out,
                           check=True)
        tar = ["tar", "-cf", self.case_file(case, "tree.tar"), "-C", self.bin, "bench_app.dll"]
        subprocess.run(tar + (["-C", os.path.dirname(tree), "app"] if tree else []), check=True)
        return folder

    # ---- measurements ----

    def check_temp_empty(self, what):
        left = os.listdir(self.temp)
        if left:
            raise BenchError(f"{what}: the launcher left {left} in its temporary folder")

    def launcher_run(self, exe, args=()):
        run = self.wine.drive(exe, args, temp=self.temp)[0]
        check_ready(run, exe)
        self.check_temp_empty(exe)
        return run

    def startup(self, case, scanner=False):
        """The launcher to its first line beside its floor. With `scanner`,
        both under the simulated scanner: the launcher packed by the scanner
        packer, the tree-writer with --scanner; the references (tar, decoding
        alone) are left out."""
        exe = self.case_file(case, "app-scanner.exe" if scanner else "app.exe")
        stream = self.case_file(case, "stream.bin")
        payload, frame, tar = (self.case_file(case, n) for n in ("payload.bin", "frame.zst", "tree.tar"))
        files, data = stream_totals(stream)
        fresh_folder(self.temp)
        # The first run checks the whole tree arrived, and warms the caches.
        run = self.launcher_run(exe, ["count"])
        if run["out"][1:2] != [f"files={files} bytes={data}"]:
            raise BenchError(f"{case}: the application saw {run['out'][1:2]}, expected {files} files, {data} bytes")
        figures = {k: [] for k in ("launcher", "end", "floor", "zstd", "writer_start", "writer_write", "tar",
                                   "reader", "raw")}
        runs = self.case_runs.get(case, self.runs)
        for i in range(runs):
            run = self.launcher_run(exe)
            figures["launcher"].append(run["first_s"])
            figures["end"].append(run["exit_s"])

            target = os.path.join(self.scratch, "writer")
            shutil.rmtree(target, ignore_errors=True)
            run = self.wine.drive(self.program("tree-writer.exe"), [windows_path(stream), windows_path(target)]
                                  + (["--scanner"] if scanner else []))[0]
            if run["code"] != 0 or not run["out"]:
                raise BenchError(f"tree-writer failed with {run['code']}")
            marks = {k: int(v) for k, v in key_values(run["out"][0]).items()}
            hz = run["qpc_hz"]
            start = (marks["entry_qpc"] - run["create_qpc"]) / hz
            write = (marks["written_qpc"] - marks["loaded_qpc"]) / hz
            if i == 0 and sum(len(f) for _, _, f in os.walk(target)) != files:
                raise BenchError(f"{case}: tree-writer wrote a different tree")
            shutil.rmtree(target)
            figures["writer_start"].append(start)
            figures["writer_write"].append(write)

            zstd = host_seconds(["zstd", "-q", "-d", "-c", "--long=27", frame])
            figures["zstd"].append(zstd)
            figures["floor"].append(zstd + start + write)

            # References, not floors: measured once.
            modes = () if scanner else (("reader", data),)
            if i == 0 and not scanner:
                untar = fresh_folder(os.path.join(self.scratch, "tar"))
                figures["tar"].append(host_seconds(["tar", "-xf", tar, "-C", untar]))
                shutil.rmtree(untar)
                modes += (("raw", os.path.getsize(stream)),)
            for mode, expected in modes:
                run = self.wine.drive(self.program("decode-only.exe"), ["--" + mode, windows_path(payload)])[0]
                values = key_values(run["out"][0]) if run["out"] else {}
                if run["code"] != 0 or int(values.get("bytes", -1)) != expected:
                    raise BenchError(f"decode-only --{mode} failed: {run['out']}")
                figures[mode].append(float(values["decode_us"]) / 1e6)
        result = {k: median(v) for k, v in figures.items() if v}
        result["runs"] = runs
        # File creation under Wine is noisy on a shared machine; noise only adds time.
        result["launcher_best"], result["floor_best"] = min(figures["launcher"]), min(figures["floor"])
        return result

    def cached(self, case, default_start, runs):
        """The cached mode (--cache): the first start, which unpacks and
        publishes, and the later starts, which check the folder and hand the
        process to the library in one process; and the check alone
        (cache-check.exe, the launcher's own code) on the published folder."""
        inputs = [self.app] + ([os.path.join(self.work, "trees", case, "app")] if case != "tiny" else [])
        exe = os.path.join(self.scratch, f"cached-{case}.exe")
        self.pack(exe, inputs, BENCH_LEVEL, extra=["--cache", "--target-template", "{TEMP}\\{PRODUCT}\\{PAYLOAD_ID}"])
        figures = {"first": [], "cached": [], "check": []}
        for _ in range(runs):
            fresh_folder(self.temp)
            run = self.standard.drive(exe, temp=self.temp)[0]
            check_ready(run, exe)
            figures["first"].append(run["exit_s"])
            for run in self.standard.drive(exe, repeat=3, temp=self.temp):
                check_ready(run, exe)
                figures["cached"].append(run["exit_s"])
        product = os.path.join(self.temp, f"cached-{case}")
        published = os.listdir(product) if os.path.isdir(product) else []
        if len(published) != 1:
            raise BenchError(f"cached-{case}.exe published {len(published)} folders under {product}, not one")
        folder = os.path.join(product, published[0])
        run = self.wine.drive(self.program("cache-check.exe"), [windows_path(folder), "9"])[0]
        values = key_values(run["out"][0]) if run["out"] else {}
        if run["code"] != 0 or "check_us" not in values:
            raise BenchError(f"cache-check failed: {run['out']}")
        fresh_folder(self.temp)
        return {"case": case, "first": median(figures["first"]), "cached": median(figures["cached"]),
                "check": float(values["check_us"]) / 1e6, "files": int(values["files"]),
                "default": default_start, "runs": len(figures["cached"])}

    def progress_window(self, case):
        """The same payload packed with --progress-window, its starts
        interleaved with the plain one's: the window shows after half a second,
        on a thread of its own, and reads the loop's byte count (Wine's null
        graphics driver makes the window without a display)."""
        exe = os.path.join(self.scratch, f"progress-{case}.exe")
        self.pack(exe, [self.app, os.path.join(self.work, "trees", case, "app")], BENCH_LEVEL,
                  extra=["--progress-window"])
        plain = self.case_file(case, "app.exe")
        figures = {k: {"first": [], "exit": []} for k in ("with", "without")}
        fresh_folder(self.temp)
        self.launcher_run(exe)  # warm-up
        runs = self.case_runs.get(case, self.runs)
        for _ in range(runs):
            for key, program in (("without", plain), ("with", exe)):
                run = self.launcher_run(program)
                figures[key]["first"].append(run["first_s"])
                figures[key]["exit"].append(run["exit_s"])
        return {key: {"first": median(f["first"]), "exit": median(f["exit"]), "first_best": min(f["first"]),
                      "exit_best": min(f["exit"])} for key, f in figures.items()} | {"runs": runs}

    def two_process(self):
        # Every Wine process spends either about 5 or about 20 ms in its own
        # start-up (the time zone lookup at kernel32's start, at random), and
        # each figure has two processes: 20 runs left medians 20-30% apart
        # between whole runs, 60 hold them within a few per cent.
        blocks, repeat = (2, 3) if self.quick else (15, 4)
        tiny = self.case_file("tiny", "app.exe")
        figures = {"launcher": [], "self": [], "self_load": []}
        fresh_folder(self.temp)
        self.launcher_run(tiny)  # warm-up
        for _ in range(blocks):
            for run in self.wine.drive(tiny, repeat=repeat, temp=self.temp):
                check_ready(run, tiny)
                figures["launcher"].append(run)
            self.check_temp_empty(tiny)
            for key, args in (("self", []), ("self_load", ["--load", windows_path(self.app)])):
                for run in self.wine.drive(self.program("self-start.exe"), args, repeat=repeat):
                    check_ready(run, "self-start " + " ".join(args))
                    figures[key].append(run)
        return {k: {"first": median([r["first_s"] for r in v]), "exit": median([r["exit_s"] for r in v]),
                    "count": len(v)} for k, v in figures.items()}

    def crowded_temp(self):
        """The tiny payload's start with an empty temporary folder and with one
        holding 10,000 unrelated entries (files and folders), in alternating
        blocks: each parent looks for leftover folders beside its own."""
        blocks, repeat = (2, 3) if self.quick else (5, 4)
        tiny = self.case_file("tiny", "app.exe")
        crowded = self.crowded_folder("crowded")
        fresh_folder(self.temp)
        figures = {"empty": [], "crowded": []}
        for _ in range(blocks):
            for key, temp in (("empty", self.temp), ("crowded", crowded)):
                for run in self.wine.drive(tiny, repeat=repeat, temp=temp):
                    check_ready(run, f"tiny, {key} temporary folder")
                    figures[key].append(run)
        self.check_temp_empty(tiny)
        if len(os.listdir(crowded)) != 10000:
            raise BenchError("the crowded temporary folder lost or gained entries")
        shutil.rmtree(crowded)
        return {k: {"first": median([r["first_s"] for r in v]), "exit": median([r["exit_s"] for r in v]),
                    "count": len(v)} for k, v in figures.items()}

    def crowded_folder(self, name):
        """A folder of 10,000 unrelated entries, half files, half folders."""
        crowded = fresh_folder(os.path.join(self.scratch, name))
        for i in range(10000):
            path = os.path.join(crowded, f"tmp{i:05d}" + (".tmp" if i % 2 else ""))
            if i % 2:
                open(path, "w").close()
            else:
                os.mkdir(path)
        return crowded

    def sweep_beside_wait(self):
        """How long after its child the parent ends when its sweep has work:
        the tiny payload in a crowded temporary folder that also holds a
        leftover of 20,000 files from a killed launcher (made afresh for each
        run). The application prints the performance counter just before it
        returns; the parent's end is the driver's. The sweep is stopped when
        the child ends, so the leftover stays, partly removed, claimed under
        the parent's id."""
        runs = 5 if self.quick else 15
        tiny = self.case_file("tiny", "app.exe")
        crowded = self.crowded_folder("crowded-leftover")
        gaps, removed = [], []
        for _ in range(runs):
            for name in os.listdir(crowded):
                if name.startswith("onefile_"):
                    shutil.rmtree(os.path.join(crowded, name))
            leftover = os.path.join(crowded, "onefile_99999996_123456_LEFTOVERLEF")
            for d in range(20):
                os.makedirs(os.path.join(leftover, f"d{d:02d}"))
                for f in range(1000):
                    open(os.path.join(leftover, f"d{d:02d}", f"f{f:04d}"), "w").close()
            run = self.wine.drive(tiny, ["endmark"], temp=crowded)[0]
            check_ready(run, "tiny, crowded temporary folder with a leftover")
            gaps.append(after_application_end(run))
            left = [n for n in os.listdir(crowded) if n.startswith("onefile_")]
            removed.append(20000 - sum(len(files) for n in left for _, _, files in os.walk(os.path.join(crowded, n))))
        shutil.rmtree(crowded)
        return {"gap": median(gaps), "worst": max(gaps), "removed": median(removed), "runs": runs}

    def removal(self, case):
        """The launcher's time from its application's end (the mark its
        run_code prints last) to its own end: the child's exit, the folder's
        removal and the parent's exit. Beside it the floor: tree-remover.exe
        removing the same tree, written by the tree-writer just before, by
        path on one thread, from its mark before the removal to its end as the
        driver sees it. The two run interleaved, run by run."""
        exe = self.case_file(case, "app.exe")
        stream = self.case_file(case, "stream.bin")
        files, _ = stream_totals(stream)
        target = os.path.join(self.scratch, "removal")
        fresh_folder(self.temp)
        self.launcher_run(exe)  # warm-up
        figures = {"launcher": [], "floor": [], "remover": [], "pairwise": [], "idle": []}
        for i in range(self.removal_runs):
            ticks_before, idle_before = idle_ticks()
            figures["launcher"].append(after_application_end(self.launcher_run(exe, ["endmark"])))

            shutil.rmtree(target, ignore_errors=True)
            run = self.wine.drive(self.program("tree-writer.exe"), [windows_path(stream), windows_path(target)])[0]
            if run["code"] != 0:
                raise BenchError(f"tree-writer failed with {run['code']}")
            if i == 0 and sum(len(f) for _, _, f in os.walk(target)) != files:
                raise BenchError(f"{case}: tree-writer wrote a different tree")
            run = self.wine.drive(self.program("tree-remover.exe"), [windows_path(target)])[0]
            marks = {k: int(v) for k, v in key_values(run["out"][0]).items()} if run["out"] else {}
            if run["code"] != 0 or "begin_qpc" not in marks or os.path.exists(target):
                raise BenchError(f"tree-remover failed with {run['code']}: {run['out']}")
            hz = run["qpc_hz"]
            figures["floor"].append((run["create_qpc"] + run["exit_s"] * hz - marks["begin_qpc"]) / hz)
            figures["remover"].append((marks["removed_qpc"] - marks["begin_qpc"]) / hz)
            figures["pairwise"].append(figures["launcher"][-1] / figures["floor"][-1])
            ticks_after, idle_after = idle_ticks()
            figures["idle"].append((idle_after - idle_before) / max(1, ticks_after - ticks_before))
        result = {k: median(v) for k, v in figures.items()}
        result["launcher_best"], result["floor_best"] = min(figures["launcher"]), min(figures["floor"])
        result["runs"] = self.removal_runs
        return result

    def memory(self, cases):
        rows = {}
        for case in cases:
            fresh_folder(self.temp)
            run = self.wine.drive(self.case_file(case, "app.exe"), ["memory"], memory=True, temp=self.temp)[0]
            check_ready(run, case)
            rows[case] = self.memory_row(run, case)
        run = self.wine.drive(self.program("self-start.exe"), ["memory"], memory=True)[0]
        check_ready(run, "self-start memory")
        rows["self"] = self.memory_row(run, "self-start")
        return rows

    @staticmethod
    def memory_row(run, what):
        child = key_values(run["out"][1]) if len(run["out"]) > 1 else {}
        if "parent_peak_ws" not in run or "child_peak_ws" not in child:
            raise BenchError(f"{what}: no memory figures in {run['out']}")
        if "parent_peak_commit" not in run:
            raise BenchError(f"{what}: no committed memory sampled")
        return {"parent": run["parent_peak_ws"], "child": int(child["child_peak_ws"]),
                "commit": run["parent_peak_commit"], "samples": run["parent_commit_samples"]}

    def stub_size(self):
        frame = subprocess.run(["zstd", "-q", "-c", "--no-check", "--no-content-size", "--long=27"], input=b"\0\0",
                               stdout=subprocess.PIPE, check=True).stdout
        payload = os.path.join(self.scratch, "empty.payload")
        with open(payload, "wb") as f:
            f.write(b"WEQ" + frame + struct.pack("<Q", 3 + len(frame)))
        exe = os.path.join(self.scratch, "empty.exe")
        self.pack(exe, ["--raw-payload", payload])
        sections = pe_sections("x86_64-w64-mingw32-objdump", exe)
        return {"file": os.path.getsize(exe), "payload": os.path.getsize(payload), "sections": sections}

    def packing(self, case, level, runs):
        """tarven-pack with --threads 1 and with its default (all cores), each
        beside the zstd tool at the same level with -T1 / -T0 on the very
        stream the payload holds, with the frame's window and checksum; the
        four run interleaved, so the machine's other work weighs on each alike."""
        stream = self.case_file(case, "stream.bin")
        tree = os.path.join(self.work, "trees", case, "app")
        packed_exe = os.path.join(self.scratch, "packed.exe")
        out = os.path.join(self.scratch, "cli.zst")
        # The window follows the stream's size, not the level: the benchmark's own pack of the case has it.
        window = frame_window_log(stored_frame(self.case_file(case, "payload.bin")))
        modes = (("1", 1, "-T1"), (f"all ({os.cpu_count()})", None, "-T0"))
        times = {label: ([], []) for label, _, _ in modes}
        stored, same_frame = set(), True
        for _ in range(runs):
            for label, threads, zstd_threads in modes:
                seconds, size = self.pack(packed_exe, [self.app, tree], level, threads=threads)
                stored.add(size)
                times[label][0].append(seconds)
                # From standard input, as the packer streams: zstd then keeps the window it is given (from a
                # file it would size the window to it) and, with its checksum, makes the packer's very frame.
                with open(stream, "rb") as source, open(out, "wb") as sink:
                    times[label][1].append(host_seconds(["zstd", "-q", f"-{level}", zstd_threads, f"--long={window}",
                                                         "-c"], stdin=source, stdout=sink))
                with open(out, "rb") as f:
                    same_frame = same_frame and payload_frame(stored_payload(packed_exe), packed_exe) == f.read()
        if len(stored) != 1:
            raise BenchError(f"({case}) at level {level}: the stored payload's size depends on --threads: {stored}")
        size, packed, cli = os.path.getsize(stream), stored.pop(), os.path.getsize(out)
        return [{"case": case, "level": level, "threads": label, "zstd_threads": zstd_threads, "runs": runs,
                 "stream": size, "pack_s": median(times[label][0]), "pack_ratio": size / packed,
                 "zstd_s": median(times[label][1]), "zstd_ratio": size / cli, "window": window,
                 "same_frame": same_frame}
                for label, _, zstd_threads in modes]

    def run(self):
        try:
            return self.measure_all()
        finally:
            shutil.rmtree(self.scratch, ignore_errors=True)

    def measure_all(self):
        report = self.report
        rows = self.rows
        report.machine(load_average(), os.path.dirname(self.scratch))
        subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "make_trees.py"),
                        os.path.join(self.work, "trees")], check=True)
        self.prepare_case("tiny", None)
        for case in list(CASES) + ["p"]:
            self.prepare_case(case, os.path.join(self.work, "trees", case, "app"))
        results = {}

        def group(name, measure):
            """Runs one group of figures; one that cannot measure says why in
            the report, and the other groups still print."""
            try:
                results[name] = measure()
            except Exception as error:  # noqa: BLE001 - any failure of one group, reported in its place
                reason = str(error) if isinstance(error, BenchError) else f"{type(error).__name__}: {error}"
                print(f"bench: {name}: not measured: {reason}", file=sys.stderr)
                report.not_measured(name, reason)
            return results.get(name)

        if "stub" in rows:
            group("stub", lambda: report.stub(self.stub_size()))
        two_process = None
        if rows & {"two-process", "cached"}:
            two_process = group("two-process", self.two_process)
            if two_process is not None:
                report.two_process(two_process)
        if "crowded" in rows:
            group("crowded", lambda: report.crowded_temp(self.crowded_temp()))
        if "sweep" in rows:
            group("sweep", lambda: report.sweep_beside_wait(self.sweep_beside_wait()))
        starts = {}
        if rows & {"startup", "cached"}:
            for case in ("c", "b", "a"):
                starts[case] = group(f"startup ({case})", lambda case=case: self.startup(case))
                if starts[case] is not None:
                    report.startup(CASES[case], starts[case])
        if "removal" in rows:
            for case in ("c", "b"):
                group(f"removal ({case})", lambda case=case: report.removal(CASES[case], self.removal(case)))
        if "progress" in rows:
            group("progress", lambda: report.progress_window(CASES["c"], self.progress_window("c")))
        if "scanner" in rows:
            for case in ("c", "b"):
                group(f"scanner ({case})",
                      lambda case=case: report.scanner_startup(CASES[case], self.startup(case, scanner=True)))
        if "cached" in rows:
            def cached_rows():
                if two_process is None:
                    raise BenchError("it compares with the two-process figures, which were not measured")
                tiny = two_process["launcher"]["exit"]
                report.cached([self.cached(case, starts[case]["end"] if starts.get(case) else tiny, self.runs)
                               for case in ("tiny", "c", "b", "a")], tiny)
            group("cached", cached_rows)
        if "memory" in rows:
            group("memory", lambda: report.memory(
                self.memory(["tiny", "c", "b", "a"]),
                {c: (os.path.getsize(self.case_file(c, "payload.bin")),
                     os.path.getsize(self.case_file(c, "stream.bin"))) for c in ["tiny"] + list(CASES)}))
        if "packing" in rows:
            def packing_rows():
                packed = []
                for case in ("c", "b", "a"):
                    packed += self.packing(case, BENCH_LEVEL, self.runs)
                # The default level takes minutes ((a) with one thread about 4 for
                # each tool): one run each, and --quick packs only (p), made for it.
                for case in ("p",) if self.quick else ("c", "b", "a"):
                    packed += self.packing(case, DEFAULT_LEVEL, 1)
                report.packing(packed)
            group("packing", packing_rows)
        report.machine_end(load_average())
        if rows != set(ROWS):
            report.head += f"\nOnly these figures were measured (--only): {', '.join(r for r in ROWS if r in rows)}."
        return report.text()


def after_application_end(run):
    """Seconds from the mark the application printed just before returning
    (its "endmark" argument) to the launcher's end as the driver saw it."""
    marks = key_values(run["out"][1]) if len(run["out"]) > 1 else {}
    if "end_qpc" not in marks:
        raise BenchError(f"the application printed no end mark: {run['out']}")
    return (run["create_qpc"] + run["exit_s"] * run["qpc_hz"] - int(marks["end_qpc"])) / run["qpc_hz"]


def stored_payload(exe):
    """The stored payload of a packed executable, found as the launcher finds
    it: through the slots at the start of its .tarven section."""
    with open(exe, "rb") as f:
        image = f.read()
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    count, optional = struct.unpack_from("<H", image, pe + 6)[0], struct.unpack_from("<H", image, pe + 20)[0]
    sections = [struct.unpack_from("<8sIIII", image, pe + 24 + optional + 40 * i) for i in range(count)]

    def offset(rva):
        for _, size, start, raw, at in sections:
            if start <= rva < start + max(size, raw):
                return at + rva - start
        raise BenchError(f"{exe}: RVA {rva:#x} is in no section")

    slots = next(at for name, _, _, _, at in sections if name.rstrip(b"\0") == b".tarven")
    size, rva = struct.unpack_from("<QI", image, slots + 8)
    return image[offset(rva):offset(rva) + size]


def default_scratch(build):
    """A RAM file system when there is one: on a disk, creating a tree here
    grew slower with every tree deleted before it (native tar -x of (c): 1.4,
    6.4, 12.6, 16.7 s in four rounds), which would time the disk's backlog of
    deletions, not the launcher."""
    shm = "/dev/shm"
    if os.path.isdir(shm) and os.access(shm, os.W_OK) and shutil.disk_usage(shm).free > (2 << 30):
        return shm
    return os.path.join(build, "bench")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build")
    parser.add_argument("--quick", action="store_true", help="one run of each figure, fewer two-process runs")
    parser.add_argument("--runs", type=int, default=0, help="runs of each start-up and packing figure")
    parser.add_argument("--only", help="measure only these groups of figures, comma-separated: " + ", ".join(ROWS))
    parser.add_argument("--scratch", help="where the trees are unpacked (default: /dev/shm, a RAM file system, "
                        "when there is one; else the build folder)")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    scratch = options.scratch or default_scratch(build)
    try:
        rows = options.only.split(",") if options.only else ROWS
        unknown = set(rows) - set(ROWS)
        if unknown:
            parser.error(f"--only: unknown {', '.join(sorted(unknown))}; choose from {', '.join(ROWS)}")
        text = Bench(build, options.quick, options.runs, os.path.abspath(scratch), rows).run()
    except BenchError as error:
        print(f"bench: {error}", file=sys.stderr)
        return 1
    print(text)
    with open(os.path.join(build, "bench", "results.md"), "w") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
