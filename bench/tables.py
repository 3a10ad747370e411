"""The Markdown tables bench.py prints: a summary of each figure beside its
floor and target, then the details the summary is made of."""
import os
import platform
import re
import subprocess

MIB = 1 << 20


def duration(seconds):
    return f"{seconds * 1000:.0f} ms" if seconds < 1 else f"{seconds:.2f} s"


def mib(size):
    return f"{size / MIB:.1f} MiB"


def kib(size):
    return f"{size / 1024:.1f} KiB"


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def first_line(command):
    try:
        out = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT).stdout.decode()
        return out.splitlines()[0].strip() if out else "?"
    except OSError:
        return "?"


def zstd_version():
    found = re.search(r"v(\d+\.\d+\.\d+)", first_line(["zstd", "--version"]))
    return found.group(1) if found else "?"


def filesystem(path):
    """The type of the file system holding `path`, from /proc/mounts."""
    best, kind = "", "?"
    with open("/proc/mounts") as f:
        for line in f:
            fields = line.split()
            if len(fields) > 2 and (path == fields[1] or path.startswith(fields[1].rstrip("/") + "/")) \
                    and len(fields[1]) > len(best):
                best, kind = fields[1], fields[2]
    return kind


def cpu_model():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor() or "?"


class Report:
    def __init__(self):
        self.summary = []
        self.sections = []
        self.startup_rows = []
        self.scanner_rows = []
        self.removal_rows = []

    def machine(self, load, scratch):
        memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
        self.head = (f"Machine: {cpu_model()}, {os.cpu_count()} cores, {memory / (1 << 30):.0f} GiB, "
                     f"Linux {platform.release()}; {first_line(['/usr/lib/wine/wine64', '--version'])} "
                     f"(warm wineserver); zstd {zstd_version()}. Trees unpacked in {scratch} "
                     f"({filesystem(scratch)}).\n"
                     f"Load average at the start: {load}")

    def machine_end(self, load):
        self.head += f"; at the end: {load}."
        if float(load.split()[0]) > os.cpu_count():
            self.head += (" More runnable processes than cores: other work competed with these runs, and "
                          "every figure, floors included, is slower than on an idle machine.")

    def stub(self, size):
        sections = size["sections"]
        stub = size["file"] - size["payload"]
        self.summary.append(["launcher stub, stripped, without payload", kib(stub), "", "", "≤ 136 KiB"])
        self.summary.append(["  of which .text", kib(sections.get(".text", 0)), "", "", ""])
        rows = [[name, kib(bytes_)] for name, bytes_ in sorted(sections.items(), key=lambda s: -s[1])
                if name != ".bss"]
        self.sections.append("### Launcher size\n\n"
                             f"An executable packed with a payload of only the end record ({size['payload']} bytes "
                             f"stored) is {size['file']} bytes: {stub} bytes of launcher. Its sections (raw sizes; "
                             ".bss takes no room in the file):\n\n" + table(["section", "size"], rows))

    def two_process(self, figures):
        bare = figures["self"]
        launcher = figures["launcher"]
        self.summary.append(["two-process overhead: tiny payload to first line", duration(launcher["first"]),
                             f"{duration(bare['first'])} (bare self-start)",
                             f"{launcher['first'] / bare['first']:.2f}x", "≤ 1.3x"])
        rows = [[name, duration(f["first"]), duration(f["exit"]), f"{f['first'] / bare['first']:.2f}x", f["count"]]
                for name, f in (("launcher, tiny payload (the benchmark DLL alone)", launcher),
                                ("self-start: starts itself once and waits", bare),
                                ("self-start whose child loads the DLL and calls run_code", figures["self_load"]))]
        self.sections.append("### Two-process overhead\n\n" + table(
            ["program", "to first line", "to its end", "first line vs self-start", "runs"], rows))

    def crowded_temp(self, figures):
        empty, crowded = figures["empty"], figures["crowded"]
        self.summary.append(["tiny payload, temporary folder with 10,000 unrelated entries, to its end",
                             duration(crowded["exit"]), f"{duration(empty['exit'])} (empty folder)",
                             f"{crowded['exit'] / empty['exit']:.2f}x", "no measurable change"])
        rows = [[name, duration(f["first"]), duration(f["exit"]), f["count"]]
                for name, f in (("empty", empty), ("10,000 unrelated files and folders", crowded))]
        self.sections.append("### Leftover sweep in a crowded temporary folder\n\nEach parent looks for folders "
                             "that killed launchers left beside its own folder, on a thread of its own while its "
                             "child runs.\n\n" +
                             table(["temporary folder", "to first line", "to its end", "runs"], rows))

    def progress_window(self, title, f):
        with_, without = f["with"], f["without"]
        self.summary.append([f"start-up {title} with the progress window, to first line", duration(with_["first"]),
                             f"{duration(without['first'])} (the same payload without it)",
                             f"{with_['first'] / without['first']:.2f}x", "≤ 1.05x"])
        rows = [[name, duration(g["first"]), duration(g["first_best"]), duration(g["exit"]), duration(g["exit_best"]),
                 f["runs"]] for name, g in (("without (the default)", without), ("with --progress-window", with_))]
        self.sections.append(
            f"### Progress window\n\n{title} packed with --progress-window and without it, their starts "
            "interleaved. To the first line the parent has unpacked everything and started the child; to its "
            "end it has also removed the folder. With the window, a thread waits half a second, then loads "
            "user32, comctl32 and gdi32 and shows the window, whose timer reads the entry loop's byte count "
            "every 50 ms; the benchmark's application shows no window, so the parent's window stays until "
            "the parent ends (at most 5 s after unpacking). Under Wine the prefix's null graphics driver makes "
            "the window without a display.\n\n" +
            table(["packed", "to first line", "best", "to its end", "best", "runs"], rows))

    def sweep_beside_wait(self, figures):
        self.summary.append(["parent's end after its child's: crowded temporary folder and a leftover of 20,000 "
                             "files", duration(figures["gap"]), "0 ms (the child's end)", "-", "≤ 50 ms"])
        self.sections.append(
            "### Leftover sweep beside the wait\n\nThe tiny payload in a temporary folder of 10,000 unrelated "
            "entries that also holds a killed launcher's leftover of 20,000 files, made afresh for each run. The "
            "sweep runs on a thread of its own and is stopped when the child ends; the leftover stays claimed under "
            "the parent's id for a later start.\n\n" + table(
                ["parent's end after its child's (median)", "worst", "leftover files removed per run (median)",
                 "runs"], [[duration(figures["gap"]), duration(figures["worst"]), figures["removed"],
                            figures["runs"]]]))

    def cached(self, rows, tiny):
        for r in rows:
            if r["case"] == "tiny":
                continue
            self.summary.append([f"cached start ({r['case']}), to its end", duration(r["cached"]),
                                 f"{duration(tiny)} (tiny payload, default mode)", f"{r['cached'] / tiny:.2f}x",
                                 "≤ 1.1x"])
            self.summary.append([f"cached mode's first start ({r['case']}), to its end", duration(r["first"]),
                                 f"{duration(r['default'])} (default mode)", f"{r['first'] / r['default']:.2f}x",
                                 "≤ 1.1x"])
        b = next(r for r in rows if r["case"] == "b")
        self.summary.append(["cached mode's folder check (b), share of a cached start", duration(b["check"]),
                             duration(b["cached"]), f"{100 * b['check'] / b['cached']:.0f}%", "≤ 10%"])
        table_rows = [[r["case"], r["files"], duration(r["first"]), duration(r["default"]), duration(r["cached"]),
                       duration(r["check"]), r["runs"]] for r in rows]
        self.sections.append(
            "### Cached mode\n\nPacked with --cache into the benchmark's temporary folder, and started with a "
            "standard user's token (bench-driver-standard.exe), as a user's double-click starts it: Wine gives "
            "every process an administrator's token otherwise. First start: an empty folder, unpacked and published; cached start: the folder is there, checked, and the launcher hands "
            "the process to the library itself. Both to the program's end. Default mode: the same payload's "
            "start-up above (to its end), and for the tiny payload the two-process figure. The check alone is "
            "the launcher's own cache_folder_is_whole() on the published folder (bench/win/cache_check.cpp), "
            "median of 9.\n\n" + table(
                ["payload", "files", "first start", "default mode start", "cached start", "check alone",
                 "cached runs"], table_rows))

    def startup(self, title, f):
        self.summary.append([f"start-up {title}", duration(f["launcher"]), duration(f["floor"]),
                             f"{f['launcher'] / f['floor']:.2f}x", "≤ 1.25x"])
        if not self.startup_rows:
            self.sections.append(None)  # the start-up table's place, filled in by text()
        self.startup_rows.append([title, f["runs"], duration(f["launcher"]), duration(f["launcher_best"]), duration(f["end"]),
                                  duration(f["floor"]), duration(f["floor_best"])] + [duration(f[k]) for k in (
                                      "zstd", "writer_start", "writer_write", "tar", "reader", "raw")])

    def scanner_startup(self, title, f):
        target = "≤ 0.4x" if title.startswith("(c)") else "≤ 0.6x"
        self.summary.append([f"start-up {title}, simulated scanner (1 ms per close of a written file)",
                             duration(f["launcher"]), duration(f["floor"]), f"{f['launcher'] / f['floor']:.2f}x",
                             target])
        if not self.scanner_rows:
            self.sections.append("scanner")  # the scanner table's place, filled in by text()
        self.scanner_rows.append([title, f["runs"], duration(f["launcher"]), duration(f["launcher_best"]),
                                  duration(f["end"]), duration(f["floor"]), duration(f["floor_best"]),
                                  duration(f["zstd"]), duration(f["writer_start"]), duration(f["writer_write"])])

    def scanner_table(self):
        return ("### Start-up under a simulated scanner\n\nA real-time scanner on Windows inspects a written file "
                "when it is closed, and the closing thread waits. Simulated: in a build of the launcher whose "
                "system-call table makes every close of a file it wrote cost 1 ms more (bench/win/scanner.cpp, packed "
                "by a packer built to carry it), and in the floor's tree-writer with --scanner, which waits 1 ms "
                "before each close. Medians; floor as for the start-up.\n\n" + table(
                    ["payload", "runs", "launcher (scanner): first line", "best", "launcher (scanner): end",
                     "floor (scanner)", "best", "zstd -d (native)", "writer: process start",
                     "writer (scanner): writes"], self.scanner_rows))

    def startup_table(self):
        return ("### Start-up\n\nMedians, and the best run beside the launcher's and the floor's. Floor = native zstd -d + the Windows tree-writer's process start + "
                "its writes. tar -x and the bare zstd decoding under Wine are from the first run alone.\n\n" + table(
                    ["payload", "runs", "launcher: first line", "best", "launcher: end (folder removed)", "floor", "best",
                     "zstd -d (native)",
                     "writer: process start", "writer: writes", "tar -x (native)",
                     "decode under Wine: launcher's reader", "decode under Wine: bare zstd"], self.startup_rows))

    def removal(self, title, f):
        self.summary.append([f"removal {title}: the application's end to the launcher's", duration(f["launcher"]),
                             f"{duration(f['floor'])} (one-thread remover by path)",
                             f"{f['launcher'] / f['floor']:.2f}x", "≤ 1.0x floor"])
        if not self.removal_rows:
            self.sections.append("removal")  # the table's place, filled in by text()
        self.removal_rows.append([title, f["runs"], duration(f["launcher"]), duration(f["launcher_best"]),
                                  duration(f["floor"]), duration(f["floor_best"]), duration(f["remover"]),
                                  f"{f['launcher'] / f['floor']:.2f}x", f"{f['pairwise']:.2f}x",
                                  f"{100 * f['idle']:.0f}%"])

    def removal_table(self):
        return ("### Removal after the application's end\n\nThe launcher: from the mark its application prints just "
                "before run_code returns to the launcher's end (the child's exit, the folder's removal through "
                "handles, the parent's exit). The floor: tree-remover.exe, a plain GUI program, removing the same "
                "tree (written by the tree-writer just before) by path on one thread with FindFirstFileW, "
                "DeleteFileW and RemoveDirectoryW, from its mark before the removal to its end (the removal and "
                "its exit). Interleaved run by run; medians. The pairwise ratio is the median of each run's launcher "
                "against the floor measured next to it. Idle: the share of the host's processor time spent idle "
                "over each run's launcher, writer and remover (median): under Wine a removal is a chain of round "
                "trips to the server, and with processors idle each costs a wake-up, so the same removal takes "
                "several times longer on an idle machine than on a busy one, and the launcher's removal hands "
                "its files to helper threads only then.\n\n" + table(
                    ["payload", "runs", "launcher: application's end to its end", "best", "floor: removal to its end",
                     "best", "remover: removal alone", "ratio", "pairwise ratio", "idle"], self.removal_rows))

    def memory(self, rows, sizes):
        tiny, big = rows["tiny"], rows["a"]
        self.summary.append(["peak working set, parent: (a) against a tiny payload", mib(big["parent"]),
                             mib(tiny["parent"]), f"+{mib(big['parent'] - tiny['parent'])}", "no growth"])
        self.summary.append(["peak working set, child: (a) against a tiny payload", mib(big["child"]),
                             mib(tiny["child"]), f"+{mib(big['child'] - tiny['child'])}", "no growth"])
        names = {"tiny": "tiny (the DLL alone)", "a": "(a)", "b": "(b)", "c": "(c)"}
        bare = rows["self"]["commit"]
        for c in ("tiny", "c", "b", "a"):
            # The decoder's history is the frame's window: the decoded stream
            # rounded up to a power of two (2^10 to 2^27), plus 16 MiB of room.
            stream = sizes[c][1]
            window = 1 << max(10, min(27, (stream - 1).bit_length()))
            limit = window + (16 << 20)
            over = rows[c]["commit"] - bare
            self.summary.append([f"peak committed memory, parent: {names[c]} above the bare self-start",
                                 f"+{mib(over)}", mib(bare), f"+{mib(over)}",
                                 f"≤ +{mib(limit)} ({'met' if over <= limit else 'missed'})"])
        table_rows = [[names[c], mib(sizes[c][0]), mib(sizes[c][1]), mib(r["parent"]), mib(r["commit"]),
                       str(r["samples"]), mib(r["child"])]
                      for c, r in rows.items() if c != "self"]
        table_rows.append(["bare self-start (no payload)", "", "", mib(rows["self"]["parent"]),
                           mib(rows["self"]["commit"]), str(rows["self"]["samples"]), mib(rows["self"]["child"])])
        self.sections.append(
            "### Peak memory\n\nPeakWorkingSetSize from GetProcessMemoryInfo: the driver reads the parent's on its "
            "process handle while the child runs; the child reports its own as run_code starts. Peak committed: "
            "the parent's committed private memory, summed over its address space with VirtualQueryEx by a thread "
            "of the driver from the parent's start until its child runs, walk after walk (the samples "
            "column; a peak shorter than one walk can be missed): the commit charge the start asks of the machine.\n\n" +
            table(["payload", "stored", "decoded stream", "parent peak", "parent peak committed", "samples",
                   "child peak at run_code"], table_rows))

    def packing(self, rows):
        def level(r):
            return f"{r['level']} (the default)" if r["level"] == 18 else r["level"]

        # One summary line per payload and level: --threads 1 against -T1 / the default against -T0.
        pairs = {}
        for r in rows:
            pairs.setdefault((r["case"], r["level"]), []).append(r)
        for (case, _), pair in pairs.items():
            self.summary.append([f"packing ({case}) at level {level(pair[0])}, threads "
                                 + " / ".join(r["threads"] for r in pair),
                                 " / ".join(duration(r["pack_s"]) for r in pair),
                                 " / ".join(duration(r["zstd_s"]) for r in pair) + " (zstd "
                                 + " / ".join(r["zstd_threads"] for r in pair) + f" --long={pair[0]['window']})",
                                 " / ".join(f"{r['pack_s'] / r['zstd_s']:.2f}x" for r in pair), "≤ 1.1x"])
        for (case, lvl), pair in pairs.items():
            single = [r for r in pair if r["zstd_threads"] == "-T1"]
            for r in pair:
                if case == "b" and lvl == 18 and r["zstd_threads"] == "-T0" and single:
                    self.summary.append([f"packing (b) at level 18, threads {r['threads']}, against one-threaded zstd",
                                         duration(r["pack_s"]),
                                         f"{duration(single[0]['zstd_s'])} (zstd -T1 --long={r['window']})",
                                         f"{r['pack_s'] / single[0]['zstd_s']:.2f}x", "< 1x"])
        table_rows = [[f"({r['case']})", level(r), r["threads"], mib(r["stream"]), duration(r["pack_s"]),
                       f"{r['stream'] / r['pack_s'] / MIB:.1f} MiB/s", f"{r['pack_ratio']:.3f}",
                       f"{duration(r['zstd_s'])} ({r['zstd_threads']} --long={r['window']})", f"{r['zstd_ratio']:.3f}",
                       "yes" if r["same_frame"] else "no", f"{r['pack_s'] / r['zstd_s']:.2f}x", r["runs"]]
                      for r in rows]
        self.sections.append(
            "### Packing\n\ntarven-pack's time is the whole build (reading the tree, the entry digests, compressing, "
            "writing the executable); beside it the zstd tool compresses the decoded stream the payload holds "
            "(the same bytes, from standard input) at the same level with --long=W, W the window the payload's "
            "frame declares, and its content checksum (which the packer's frame carries), with one worker "
            "(-T1, against --threads 1) and with one per core (-T0, against the default). \"same frame\": the "
            "zstd tool's output is the packer's stored frame byte for byte, in every run. Ratio = decoded stream / "
            "stored bytes. Medians; "
            "the default level is one run of each. (p) is 240 files, 12 MiB, made like (b): --quick packs it "
            "instead of (a)-(c) at the default level. Target: at most 1.1x the zstd tool's time.\n\n" +
            table(["payload", "level", "threads", "stream", "tarven-pack", "speed", "ratio", "zstd", "ratio",
                   "same frame", "time against zstd", "runs"], table_rows))

    def not_measured(self, group, reason):
        self.summary.append([f"{group}: not measured", reason, "", "", ""])
        self.sections.append(f"### {group}: not measured\n\n{reason}")

    def text(self):
        summary = table(["figure", "measured", "floor", "ratio", "target"], self.summary)
        tables = {"scanner": self.scanner_table, "removal": self.removal_table}
        sections = [self.startup_table() if s is None else tables[s]() if s in tables else s for s in self.sections]
        return "\n\n".join([self.head, "### Summary", summary] + sections) + "\n"
