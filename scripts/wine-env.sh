# Sourced: the environment every Wine command of one build folder shares.
# Usage: . wine-env.sh WINE_ROOT
wine_root=$1
export WINEPREFIX=$wine_root/prefix
# The server's socket lives under TMPDIR: every command of a run must agree on it.
export TMPDIR=$wine_root/tmp
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
# Wine maps Windows names to host names through the locale: without a UTF-8
# one it cannot create a file whose name is not ASCII. C.UTF-8 is on every Debian.
export LANG=C.UTF-8
unset LC_ALL LC_CTYPE
mkdir -p "$TMPDIR"
# The wine64 package installs its loader and server here and no `wine` command.
wine_loader=/usr/lib/wine/wine64
wine_server=/usr/lib/wine/wineserver

# Creates the prefix once; concurrent callers wait for the first. Windows
# exist without a display: the prefix uses Wine's null graphics driver (a
# picture of a window needs a display and a prefix of its own, docs/).
wine_ensure_prefix() {
  [ -f "$WINEPREFIX/.tarven-ready-2" ] && return 0
  mkdir -p "$wine_root"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.tarven-ready" ]; then
      "$wine_loader" wineboot -i </dev/null >/dev/null 2>&1 || true
      "$wine_loader" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1 || true
      "$wine_server" -w
      [ -f "$WINEPREFIX/system.reg" ] || { echo "wine: could not create the prefix $WINEPREFIX" >&2; exit 1; }
      touch "$WINEPREFIX/.tarven-ready"
    elif [ ! -f "$WINEPREFIX/.tarven-ready-2" ]; then
      # A prefix made before the null driver: the key is added, and the
      # desktop process that still has the other driver ends with the server.
      "$wine_loader" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1 || true
      "$wine_server" -k 2>/dev/null || true
    fi
    touch "$WINEPREFIX/.tarven-ready-2"
  ) 9>"$wine_root/prefix.lock"
}
