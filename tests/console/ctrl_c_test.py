#!/usr/bin/env python3
"""Console control, end to end: the packed probe runs on a pseudo-terminal
under Wine, and a Ctrl+C is typed while the application sleeps.

Wine delivers Ctrl+C only to programs attached to a console, which a
pseudo-terminal gives them; Ctrl+Break, closing the console, log-off and
shut-down cannot be sent at all (the unit tests drive those through the
system-call table). The interrupt is the application's: one that does not
handle it ends at once (Wine's default handling ends it with 0 where Windows
gives 0xC000013A, so that status is not asserted) and the folder is removed;
one that handles it goes on reading its input while the launcher waits, and
ends with its own exit code.

With "console" after the probe (one packed with --console), it first runs the
probe from cmd on the terminal: cmd waits for a console program, sees its
output and its exit code in %ERRORLEVEL%. On Windows cmd does none of that for
a GUI program; Wine's cmd waits for GUI programs too and passes their output
on, so the difference shows only on Windows (the packer's tests check the
subsystem that Windows decides by).

Usage: ctrl_c_test.py WINE_ROOT PROBE_EXE [console]"""
import os
import shutil
import sys
import time

sys.dont_write_bytecode = True  # nothing written beside the sources
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wine_terminal import (read_terminal, start_on_terminal, temp_folder, type_line, unpacked_folders,  # noqa: E402
                           wine_environment)

wine_root, probe = sys.argv[1], sys.argv[2]
console = sys.argv[3:] == ["console"]
env = wine_environment(wine_root)
failures = []


def folders():
    return unpacked_folders(wine_root)


def check(condition, text):
    print(("ok: " if condition else "FAILED: ") + text)
    if not condition:
        failures.append(text)


def interrupted_run(*arguments):
    """Starts the probe, types Ctrl+C while it sleeps and gives (the folder it
    ran in, seconds until the terminal closed, folders left, the terminal's
    processes when it stayed open). A run that Wine left half-ended runs again."""
    for attempt in range(3):
        before = folders()
        pid, terminal = start_on_terminal(env, wine_root, probe, "sleep", "60000", *arguments)
        read_terminal(terminal, 60, until="sleeping")
        during = folders() - before
        interrupted = time.time()
        os.write(terminal, b"\x03")
        read_terminal(terminal, 30)
        took = time.time() - interrupted
        left = session_processes(pid) if took >= 30 else []
        # Half-ended: the main thread gone (a zombie leader), one thread stuck
        # in Wine's process exit, so Wine never ends the process. Wine 8 did
        # so to the probe's child in about one run in forty; Windows does not.
        stuck = [other for other, _, state, threads in left if other != pid and state == "Z" and threads > 1]
        for other in ([pid] if left else []) + stuck:
            os.kill(other, 9)
        os.waitpid(pid, 0)
        if not stuck or attempt == 2:
            return during, took, folders() - before, "; ".join("%d %s %s/%d" % process for process in left)
        print("note: Wine left the application half-ended after Ctrl+C (its main thread gone, a thread stuck "
              "in Wine's own process exit), so its launcher waited on; the run is Wine's and runs again")
        for name in folders() - before:
            shutil.rmtree(os.path.join(temp_folder(wine_root), name), ignore_errors=True)


def session_processes(session):
    """The processes of the terminal's session (the launcher, its child,
    Wine's console host): (pid, command, state, threads) each."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % pid) as f:
                command, rest = f.read().split(" (", 1)[1].rsplit(") ", 1)
        except (OSError, ValueError):
            continue
        # After the command: state, parent, group, session, ..., threads (the 18th).
        fields = rest.split()
        if int(fields[3]) == session:
            found.append((int(pid), command, fields[0], int(fields[17])))
    return found


def terminal_output(*command):
    """Everything a command writes to a terminal, escapes stripped."""
    pid, terminal = start_on_terminal(env, wine_root, *command)
    shown = read_terminal(terminal, 60)
    os.waitpid(pid, 0)
    return shown


checks = 8
if console:
    checks += 2
    before = folders()
    shown = terminal_output("cmd", "/c", probe.replace("/", "\\") + " sleep 0 & echo errorlevel=%ERRORLEVEL%")
    check("sleeping" in shown and "errorlevel=3" in shown and shown.find("sleeping") < shown.find("errorlevel="),
          "cmd waits for the console program, shows its output and gets its exit code (%r)" % shown[-200:])
    check(not (folders() - before), "the console program's folder is removed")

during, took, after, still_running = interrupted_run()
check(len(during) == 1, "the application ran in a folder of its own (%s)" % sorted(during))
check(took < 5, "an application that ends on Ctrl+C ends the launcher at once (%.1f s%s)" %
      (took, "; still running: " + still_running if still_running else ""))
check(not after, "the folder is removed after Ctrl+C (%s left)" % sorted(after))

before = folders()
pid, terminal = start_on_terminal(env, wine_root, probe, "sleep", "60000", "handle")
read_terminal(terminal, 60, until="sleeping")
os.write(terminal, b"\x03")
shown = read_terminal(terminal, 10, until="interrupted")
check("interrupted" in shown, "the application handles Ctrl+C (%r)" % shown[-200:])
check(len(folders() - before) == 1, "its launcher goes on waiting, the folder stays while it reads on")
type_line(terminal, "more")
shown = read_terminal(terminal, 30)
_, status = os.waitpid(pid, 0)
check("read=more" in shown, "the application reads what is typed after Ctrl+C (%r)" % shown[-200:])
check(os.waitstatus_to_exitcode(status) == 4, "the launcher ends with the application's code (%d)" % status)
check(not (folders() - before), "the folder is removed once the application has ended")
print("%d passed, %d failed" % (checks - len(failures), len(failures)))
sys.exit(1 if failures else 0)
