#!/usr/bin/env python3
"""Console control, end to end: the packed probe runs on a pseudo-terminal
under Wine, and a Ctrl+C is typed while the application sleeps.

Wine delivers Ctrl+C only to programs attached to a console, which a
pseudo-terminal gives them; Ctrl+Break, closing the console, log-off and
shut-down cannot be sent at all (the unit tests drive those through the
system-call table). Wine's default handling then ends the process with 0
where Windows gives 0xC000013A, so the exit status is not asserted: what is
the launcher's doing is that the application ends (or is terminated after
five seconds when it ignores the event) and the folder is removed.

With "console" after the probe (one packed with --console), it first runs the
probe from cmd on the terminal: cmd waits for a console program, sees its
output and its exit code in %ERRORLEVEL%. On Windows cmd does none of that for
a GUI program; Wine's cmd waits for GUI programs too and passes their output
on, so the difference shows only on Windows (the packer's tests check the
subsystem that Windows decides by).

Usage: ctrl_c_test.py WINE_ROOT PROBE_EXE [console]"""
import getpass
import os
import pty
import re
import select
import sys
import time

wine_root, probe = sys.argv[1], sys.argv[2]
console = sys.argv[3:] == ["console"]
env = dict(os.environ, WINEPREFIX=wine_root + "/prefix", TMPDIR=wine_root + "/tmp", WINEDEBUG="-all",
           WINEDLLOVERRIDES="mscoree,mshtml=", LANG="C.UTF-8")
env.pop("LC_ALL", None)
# Wine takes the temporary folder from its prefix, not from the host's TMP.
temp = os.path.join(wine_root, "prefix", "drive_c", "users", getpass.getuser(), "Temp")
failures = []


def folders():
    return {name for name in os.listdir(temp) if name.startswith("onefile_")} if os.path.isdir(temp) else set()


def check(condition, text):
    print(("ok: " if condition else "FAILED: ") + text)
    if not condition:
        failures.append(text)


def start_on_terminal(*arguments):
    """Starts wine64 with `arguments` on a new pseudo-terminal: (pid, terminal)."""
    pid, terminal = pty.fork()
    if pid == 0:
        os.chdir(wine_root)
        os.execve("/usr/lib/wine/wine64", ["wine64", *arguments], env)
    return pid, terminal


def read_terminal(terminal, seconds, until=None):
    """What the terminal shows, escapes stripped, until it closes, `until`
    appears in it or `seconds` pass."""
    seen = b""
    started = time.time()
    while time.time() - started < seconds:
        # The terminal interleaves cursor escapes with the text: strip them before looking.
        shown = re.sub(rb"\x1b\[[0-9;?]*[a-zA-Z]", b"", seen).decode(errors="replace")
        if until is not None and until in shown:
            break
        if select.select([terminal], [], [], 0.2)[0]:
            try:
                chunk = os.read(terminal, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
    return re.sub(rb"\x1b\[[0-9;?]*[a-zA-Z]", b"", seen).decode(errors="replace")


def interrupted_run(*arguments):
    before = folders()
    pid, terminal = start_on_terminal(probe, "sleep", "60000", *arguments)
    read_terminal(terminal, 60, until="sleeping")
    during = folders() - before
    interrupted = time.time()
    os.write(terminal, b"\x03")
    read_terminal(terminal, 30)
    os.kill(pid, 9) if time.time() - interrupted >= 30 else None
    os.waitpid(pid, 0)
    return during, time.time() - interrupted, folders() - before


def terminal_output(*command):
    """Everything a command writes to a terminal, escapes stripped."""
    pid, terminal = start_on_terminal(*command)
    shown = read_terminal(terminal, 60)
    os.waitpid(pid, 0)
    return shown


checks = 6
if console:
    checks += 2
    before = folders()
    shown = terminal_output("cmd", "/c", probe.replace("/", "\\") + " sleep 0 & echo errorlevel=%ERRORLEVEL%")
    check("sleeping" in shown and "errorlevel=3" in shown and shown.find("sleeping") < shown.find("errorlevel="),
          "cmd waits for the console program, shows its output and gets its exit code (%r)" % shown[-200:])
    check(not (folders() - before), "the console program's folder is removed")

during, took, after = interrupted_run()
check(len(during) == 1, "the application ran in a folder of its own (%s)" % sorted(during))
check(took < 5, "an application that ends on Ctrl+C ends the launcher at once (%.1f s)" % took)
check(not after, "the folder is removed after Ctrl+C (%s left)" % sorted(after))

during, took, after = interrupted_run("ignore")
check(len(during) == 1, "the application ignoring Ctrl+C ran (%s)" % sorted(during))
check(5 <= took < 15, "an application that ignores Ctrl+C is terminated after five seconds (%.1f s)" % took)
check(not after, "the folder is removed after the termination (%s left)" % sorted(after))

print("%d passed, %d failed" % (checks - len(failures), len(failures)))
sys.exit(1 if failures else 0)
