#!/usr/bin/env python3
"""Packed runs as plain: one program (tests/apps/differential_app.cpp), built as a
plain console program and packed (--console), runs every case of CASES both
ways under Wine; standard output, standard error, the exit codes (all 32
bits, through spawn.exe) and the files left in the current folder must be
the same. Only what the launcher documents may differ: the packed program's
environment has the TARVEN_ variables in addition. After each case no
unpacked folder may be left in the temporary folder.

Usage: differential_test.py WINE_ROOT SPAWN_EXE PLAIN_EXE PACKED_EXE SCRATCH"""
import getpass
import os
import random
import re
import shutil
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # nothing written beside the sources
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "console"))
from wine_terminal import WINE, read_terminal, start_on_terminal, type_line, unpacked_folders, \
    wine_environment  # noqa: E402

wine_root, spawn, plain, packed, scratch = sys.argv[1:6]
# No debugger: Wine's would print a crash's registers, which differ with where the code is loaded.
env = wine_environment(wine_root, WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d")
DOCUMENTED = ("TARVEN_ONEFILE_PARENT", "TARVEN_ONEFILE_DIRECTORY", "TARVEN_ORIGINAL_ARGV0", "TARVEN_ONEFILE_TIME_US",
              "TARVEN_ONEFILE_RANDOM", "TARVEN_ONEFILE_START")


def generated_lines(count, seed=21):
    """Command-line tails of quotes, backslashes, spaces, tabs and letters,
    after the program name and a space or a tab. Text touching the program
    name differs by design: after an unquoted name a quote is read
    differently by the runtime and by the system's splitting, and the
    launcher follows the rules they share; after a quoted name (a line no
    shell makes) the launcher puts a space before it, so that argv[0] is
    the executable (tests/e2e/onefile_test.cpp)."""
    pick = random.Random(seed)
    lines = []
    for i in range(count):
        tail = "".join(pick.choice('ab"\\ \t') for _ in range(pick.randint(0, 12)))
        lines.append((i % 2 == 1, pick.choice(" \t") + tail))
    return lines


# The runtimes' splitting disagrees with the system's on these (seen with a real program).
SEEN = [(False, ' "a""b" x'), (False, ' """"'), (False, ' """a b"""'), (False, ' "a b"" c"'), (False, ' a "" b'),
        (True, ""), (True, " x"), (False, "   "), (False, "\tx\t\ty ")]

# One row per case: the name, the command-line tails (quoted program name?,
# tail), then how it runs: standard input ("pipe:TEXT", "file:TEXT", "closed"),
# standard output and error ("pipe", "file", "closed", "early": the reader
# closes the pipe after 4 KiB), a file to wait for, or a dialogue on a
# terminal: what to wait for, then Ctrl+C or a line to type. Where given,
# `codes` are the exit codes both must give, so a case that fails alike in
# both builds is not taken for a pass.
CASES = [
    dict(name="command lines", lines=SEEN + generated_lines(120)),
    dict(name="stdin from a pipe", lines=[(False, " stdin")], stdin="pipe:piped input\n"),
    dict(name="stdin from a file", lines=[(False, " stdin")], stdin="file:input from a file\n"),
    dict(name="stdin closed", lines=[(False, " stdin")], stdin="closed"),
    dict(name="stdout and stderr to files", lines=[(False, " write 100000")], stdout="file", stderr="file"),
    dict(name="stdout closed", lines=[(False, " write 10")], stdout="closed"),
    dict(name="stderr closed", lines=[(False, " write 10")], stderr="closed"),
    dict(name="large output into a pipe closed early", lines=[(False, " write 50000000")], stdout="early",
         codes=["5"]),
    dict(name="current folder", lines=[(False, " cwd")]),
    dict(name="environment", lines=[(False, " env")]),
    dict(name="exit codes", lines=[(False, " exit 0"), (False, " exit 300"), (False, " exit 0xFFFFFFFF")],
         codes=["0", "300", "4294967295"]),
    dict(name="crash", lines=[(False, " crash")], codes=["3221225477"]),
    dict(name="grandchild outlives the program", lines=[(False, " grandchild late.txt")], wait_for="late.txt"),
    dict(name="Ctrl+C handled", lines=[(False, " interrupt handle")],
         dialogue=[("waiting", "\x03"), ("interrupted", "more")], codes=["4"]),
    dict(name="Ctrl+C not handled", lines=[(False, " interrupt")], dialogue=[("waiting", "\x03")]),
]


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def hex_line(text):
    data = text.encode("utf-16-le")
    return "".join("%04x" % int.from_bytes(data[i:i + 2], "little") for i in range(0, len(data), 2))


def talk(command, folder, dialogue):
    """Runs `command` on a new terminal, answering each awaited text; gives what the terminal showed."""
    pid, terminal = start_on_terminal(env, folder, *command[1:])
    shown = ""
    for awaited, answer in dialogue:
        if awaited not in shown:
            shown += read_terminal(terminal, 60, until=awaited)
        if answer == "\x03":
            os.write(terminal, b"\x03")
        else:
            type_line(terminal, answer)
    shown += read_terminal(terminal, 60)
    os.kill(pid, 9)  # a no-op once it has ended
    os.waitpid(pid, 0)
    os.close(terminal)
    return shown.replace("\r", "")


def run(case, exe, folder):
    """One case with one build: what an observer sees."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    result = folder + ".codes"
    if os.path.exists(result):
        os.remove(result)  # a run that writes none must not read the last one's
    lines = ['%s%s' % ('"%s"' % windows_path(exe) if quoted else windows_path(exe), tail)
             for quoted, tail in case["lines"]]
    with open(folder + ".lines", "w") as f:
        f.writelines(hex_line(line) + "\n" for line in lines)
    command = [WINE, spawn, windows_path(result), windows_path(exe), windows_path(folder + ".lines")]
    seen = {}
    if "dialogue" in case:
        seen["terminal"] = talk(command, folder, case["dialogue"])
    else:
        streams, closed = {}, []
        stdin = case.get("stdin", "pipe:")
        if stdin.startswith("file:"):
            with open(folder + ".in", "w") as f:
                f.write(stdin[5:])
            streams["stdin"] = open(folder + ".in", "rb")
        elif stdin == "closed":
            closed.append(0)
        else:
            streams["stdin"] = subprocess.PIPE
        for name, fd in (("stdout", 1), ("stderr", 2)):
            how = case.get(name, "pipe")
            if how == "file":
                streams[name] = open("%s.%s" % (folder, name), "wb")
            elif how == "closed":
                closed.append(fd)
            else:
                streams[name] = subprocess.PIPE
        process = subprocess.Popen(command, cwd=folder, env=env, preexec_fn=lambda: [os.close(fd) for fd in closed],
                                   **streams)
        typed = stdin[5:].encode() if stdin.startswith("pipe:") else None
        if case.get("stdout") == "early":
            process.stdin.close()
            seen["stdout"] = process.stdout.read(4096)
            process.stdout.close()
            seen["stderr"] = process.stderr.read()
        else:
            seen["stdout"], seen["stderr"] = process.communicate(typed, timeout=300)
        process.wait(timeout=300)
        for name in ("stdout", "stderr"):
            if case.get(name) == "file":
                streams[name].close()
                with open("%s.%s" % (folder, name), "rb") as f:
                    seen[name] = f.read()
    if "wait_for" in case:
        for _ in range(100):
            if os.path.exists(os.path.join(folder, case["wait_for"])):
                break
            time.sleep(0.1)
    if not os.path.exists(result):
        sys.exit("%s: spawn.exe wrote no exit codes; it showed: %s" % (case["name"], describe(seen)))
    with open(result) as f:
        seen["codes"] = f.read().split()
    # Wine's own line about a crash names the code's address; Windows writes none.
    if seen.get("stderr") is not None:
        seen["stderr"] = re.sub(rb"wine: Unhandled [^\n]*\n", b"wine: Unhandled ...\n", seen["stderr"])
    # A process that Ctrl+C ends while one of its threads waits on Wine's server
    # may leave Wine's own "wine client error:<thread>: ..." on the terminal, in
    # either build: Wine's noise, not the program's output.
    if seen.get("terminal") is not None:
        seen["terminal"] = re.sub(r"wine client error:[0-9a-f]+: [^\n]*", "", seen["terminal"])
    seen["files"] = {}
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            seen["files"][name] = f.read()
    return seen


def without_documented(seen):
    """The packed program's environment less the documented variables; false when one is missing."""
    lines = seen["stdout"].decode(errors="replace").splitlines(keepends=True)
    kept = [line for line in lines if not line.startswith(tuple(name + "=" for name in DOCUMENTED))]
    present = {line.split("=", 1)[0] for line in lines} >= {"TARVEN_ONEFILE_PARENT", "TARVEN_ONEFILE_DIRECTORY",
                                                          "TARVEN_ORIGINAL_ARGV0"}
    return dict(seen, stdout="".join(kept).encode()), present


def describe(value):
    text = repr(value)
    return text if len(text) < 600 else text[:600] + "..."


def wine_failed_start(seen):
    """Wine 8's process creation now and then fails with ERROR_INTERNAL_ERROR
    (1359): the new process ends in Wine's own start-up. A launcher that meets
    it says its child could not be launched and leaves its folder, as it must;
    Windows does not fail so, and such a run is Wine's."""
    shown = seen.get("stderr") or seen.get("terminal", "").encode()
    return b"Error, couldn't launch child ([Error 1359] " in shown


failures = []
folder = os.path.join(scratch, "differential")
for case in CASES:
    for attempt in range(3):
        before = unpacked_folders(wine_root)
        # The same folder for both builds: the current folder is part of what they print.
        plain_seen = run(case, plain, folder)
        packed_seen = run(case, packed, folder)
        if attempt == 2 or not wine_failed_start(packed_seen):
            break
        print("note: %s: Wine could not start a process (error 1359); the case runs again" % case["name"])
        temp = os.path.join(wine_root, "prefix", "drive_c", "users", getpass.getuser(), "Temp")
        for name in unpacked_folders(wine_root) - before:
            shutil.rmtree(os.path.join(temp, name), ignore_errors=True)
    problems = []
    if "codes" in case and plain_seen["codes"] != case["codes"]:
        problems.append("the plain program gave %s, not %s" % (plain_seen["codes"], case["codes"]))
    if "wait_for" in case and case["wait_for"] not in plain_seen["files"]:
        problems.append("the plain program's grandchild wrote no %s" % case["wait_for"])
    if case["name"] == "environment":
        packed_seen, present = without_documented(packed_seen)
        if not present:
            problems.append("the documented TARVEN_ variables are missing")
    for key in sorted(set(plain_seen) | set(packed_seen)):
        if plain_seen.get(key) != packed_seen.get(key):
            problems.append("%s differs:\n  plain:  %s\n  packed: %s" % (key, describe(plain_seen.get(key)),
                                                                       describe(packed_seen.get(key))))
    for _ in range(50):
        left = unpacked_folders(wine_root) - before
        if not left:
            break
        time.sleep(0.1)
    if left:
        problems.append("unpacked folders left: %s" % sorted(left))
    print("%s: %s (%d runs each way)" % ("ok" if not problems else "FAILED", case["name"], len(case["lines"])))
    for problem in problems:
        print("  " + problem)
    if problems:
        failures.append(case["name"])
shutil.rmtree(folder, ignore_errors=True)
print("%d passed, %d failed" % (len(CASES) - len(failures), len(failures)))
sys.exit(1 if failures else 0)
