#!/usr/bin/python3
"""The Windows tarven-pack under Wine reads an executable as the Linux one does,
and writes the same bytes from the same inputs.

usage: winpack_test.py WINDOWS_PACKER.exe LINUX_PACKER WINE_ROOT APP.exe ENTRY.dll DATA_DIR
(ENTRY.dll: the probe, whose `exit N` ends with N)

Every path handed to the Windows packer is a Windows one (Z:\\..., backslashes)
inside a folder with a non-ASCII name, so the command line, the console output
and the files made all have to carry names that are not ASCII.
"""
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

if len(sys.argv) != 7:
    sys.exit(__doc__)
win_pack, linux_pack, wine_root, app, entry, data = sys.argv[1:]
wine_run = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "wine-run"
failures = []
passed = 0


def windows(path):
    # Wine's Z: drive is the Linux root.
    return "Z:" + str(path).replace("/", "\\")


def run(command):
    done = subprocess.run(command, capture_output=True, stdin=subprocess.DEVNULL)
    text = [stream.decode(errors="replace").replace("\r\n", "\n") for stream in (done.stdout, done.stderr)]
    return done.returncode, *text


def on_windows(*args):
    return run([str(wine_run), wine_root, win_pack, *args])


def check(what, condition, shown):
    global passed
    if condition:
        passed += 1
    else:
        failures.append(what)
        print(f"FAILED: {what}\n{shown}", file=sys.stderr)


def tree(root):
    root = pathlib.Path(root)
    return {str(p.relative_to(root)): p.read_bytes() for p in root.rglob("*") if p.is_file()}


os.makedirs(wine_root, exist_ok=True)
work = pathlib.Path(tempfile.mkdtemp(prefix="winpack-", dir=wine_root))
try:
    folder = work / "Çà 日本"
    folder.mkdir()
    exe = folder / "app.exe"
    shutil.copyfile(app, exe)

    expected = run([linux_pack, "list", str(exe)])
    got = on_windows("list", windows(exe))
    check("list shows what the Linux packer shows", got == expected and got[0] == 0, f"{got}\n{expected}")

    code, out, err = run([linux_pack, "verify", str(exe)])
    expected = (code, out.replace(str(exe), windows(exe)), err)
    got = on_windows("verify", windows(exe))
    check("verify passes with the same summary", got == expected and got[0] == 0, f"{got}\n{expected}")

    run([linux_pack, "extract", str(exe), str(work / "linux")])
    code, out, err = on_windows("extract", windows(exe), windows(folder / "out"))
    check("extract writes the files the Linux packer writes",
          code == 0 and f"into {windows(folder / 'out')}\n" in err and tree(folder / "out") == tree(work / "linux")
          and len(tree(work / "linux")) > 0, f"{code} {out} {err}")

    missing = windows(folder / "missing.exe")
    code, out, err = on_windows("verify", missing)
    check("a missing input is one line naming it, exit 2",
          code == 2 and out == "" and err.count("\n") == 1 and err.startswith(f"tarven-pack: {missing}: "),
          f"{code} {out!r} {err!r}")
    # On a console (Wine makes one for a terminal, which `script` provides) the
    # same message has to show the folder's name, not its UTF-8 bytes one by one.
    code, out, err = run(["script", "-qec", shlex.join([str(wine_run), wine_root, win_pack, "verify", missing]), "/dev/null"])
    out = re.sub(r"\x1b\[[?0-9;]*[A-Za-z]", "", out)  # the terminal's cursor moves
    check("a console shows the non-ASCII name", code == 2 and "Çà" in out and "日本" in out, f"{code} {out!r}")
    code, out, err = on_windows("extract", windows(exe), windows(folder))
    check("a folder that is not empty is refused in one line, exit 2",
          code == 2 and out == "" and err == f"tarven-pack: {windows(folder)}: must be an empty folder or not exist\n",
          f"{code} {out!r} {err!r}")

    # Built on Windows and on Linux from the same inputs: the same bytes, and it runs.
    shutil.copyfile(entry, folder / "probe.dll")
    shutil.copytree(data, folder / "données")
    options = ["--level", "3", "--company", "Société 日本", "--version", "1.2.3.4"]
    (work / "linux-out").mkdir()
    (folder / "win-out").mkdir()
    code, out, err = run([linux_pack, "build", "-o", str(work / "linux-out" / "app2.exe"),
                          str(folder / "probe.dll"), str(folder / "données"), *options])
    check("the Linux packer builds", code == 0, err)
    code, out, err = on_windows("build", "-o", windows(folder / "win-out" / "app2"),
                                windows(folder / "probe.dll"), windows(folder / "données"), *options)
    built = folder / "win-out" / "app2.exe"
    check("the Windows packer builds and says so in one line",
          code == 0 and err.count("\n") == 1 and f"wrote {windows(built)} (.exe added to -o)" in err, f"{code} {err!r}")
    check("both packers write the same bytes",
          built.exists() and built.read_bytes() == (work / "linux-out" / "app2.exe").read_bytes(), "")
    code, out, err = run([str(wine_run), wine_root, str(built), "exit", "7"])
    check("the executable the Windows packer wrote runs", code == 7, f"{code} {err!r}")

    # Names Windows cannot start: refused before packing, as the Linux packer does.
    for name in ("con.exe", "NUL.exe", "COM1.exe", "aux", "app.exe."):
        code, out, err = on_windows("build", "-o", windows(folder / "win-out" / name), windows(folder / "probe.dll"))
        check(f"{name} is refused in one line, exit 2",
              code == 2 and err.count("\n") == 1 and "Windows cannot start a program of this name" in err,
              f"{code} {err!r}")
finally:
    shutil.rmtree(work, ignore_errors=True)

print(f"winpack: {passed} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
