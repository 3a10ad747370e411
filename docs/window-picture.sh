#!/usr/bin/env bash
# Takes docs/progress-window.png: the progress window of a packed executable
# (the tests' progress.exe: 4,000 files packed with --progress-window) as Wine
# draws it on a virtual X display (Debian's xvfb). Needs a build
# (scripts/test.sh or scripts/build.sh); uses a Wine prefix of its own with
# the X11 driver, since the tests' prefix draws nothing (null driver).
# Usage: bash docs/window-picture.sh [OUT.png]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TARVEN_BUILD_DIR:-$here/build}
out=${1:-$here/docs/progress-window.png}
exe=$build/win/tests/packed/progress.exe
[ -f "$exe" ] || { echo "window-picture: build first ($exe is missing)" >&2; exit 1; }
bash "$here/scripts/setup.sh"

root=$build/wine-x11
export WINEPREFIX=$root/prefix TMPDIR=$root/tmp WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
export LANG=C.UTF-8
unset LC_ALL LC_CTYPE
mkdir -p "$TMPDIR" "$root/temp"
display=:$((90 + $$ % 9))
Xvfb "$display" -screen 0 640x360x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
cleanup() {
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
export DISPLAY=$display
sleep 1
[ -f "$WINEPREFIX/system.reg" ] || /usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1 || true
# No window manager runs: Wine draws the windows' frames and captions itself.
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1 || true
/usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1 || true

# The application unpacks into a folder of this prefix; the window shows after
# half a second, and the picture is taken while the bar moves.
TEMP='Z:'$root/temp TMP='Z:'$root/temp \
  /usr/lib/wine/wine64 "$exe" exit 0 </dev/null >/dev/null 2>&1 &
run=$!
shot=$root/screen.png
for _ in $(seq 60); do
  sleep 0.25
  import -display "$display" -window root "$shot" 2>/dev/null || continue
  # The screen is black but for the window: trimmed, only the window stays.
  if convert "$shot" -trim +repage "$out" 2>/dev/null && [ "$(identify -format %w "$out")" -gt 200 ]; then
    sleep 0.5
    import -display "$display" -window root "$shot"
    convert "$shot" -trim +repage -strip "$out"
    break
  fi
done
wait "$run" || true
identify "$out"
