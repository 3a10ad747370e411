"""Running Wine programs from host tests: the build's Wine environment, its
temporary folder, and programs on a pseudo-terminal, where Wine gives them a
console (and so delivers Ctrl+C)."""
import getpass
import os
import pty
import re
import select
import time

WINE = "/usr/lib/wine/wine64"


def wine_environment(wine_root, **changes):
    env = dict(os.environ, WINEPREFIX=wine_root + "/prefix", TMPDIR=wine_root + "/tmp", WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=", LANG="C.UTF-8")
    env.pop("LC_ALL", None)
    env.update(changes)
    return env


def temp_folder(wine_root):
    """The prefix's temporary folder: Wine takes it from its prefix, not from the host's TMP."""
    return os.path.join(wine_root, "prefix", "drive_c", "users", getpass.getuser(), "Temp")


def unpacked_folders(wine_root):
    """The launchers' folders in the prefix's temporary folder."""
    temp = temp_folder(wine_root)
    return {name for name in os.listdir(temp) if name.startswith("onefile_")} if os.path.isdir(temp) else set()


def start_on_terminal(env, folder, *arguments):
    """Starts wine64 with `arguments` in `folder` on a new pseudo-terminal: (pid, terminal)."""
    pid, terminal = pty.fork()
    if pid == 0:
        os.chdir(folder)
        os.execve(WINE, ["wine64", *arguments], env)
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


def type_line(terminal, text):
    """Types `text` and Enter once the program reads. Wine's console takes the
    terminal's input raw only then: typed earlier, the line's end would
    arrive as a line feed, which is no Enter to it."""
    time.sleep(0.5)
    os.write(terminal, text.encode() + b"\r")
