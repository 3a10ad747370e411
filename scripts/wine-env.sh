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

# Creates the prefix once; concurrent callers wait for the first.
wine_ensure_prefix() {
  [ -f "$WINEPREFIX/.tarven-ready" ] && return 0
  mkdir -p "$wine_root"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.tarven-ready" ]; then
      "$wine_loader" wineboot -i </dev/null >/dev/null 2>&1 || true
      "$wine_server" -w
      [ -f "$WINEPREFIX/system.reg" ] || { echo "wine: could not create the prefix $WINEPREFIX" >&2; exit 1; }
      touch "$WINEPREFIX/.tarven-ready"
    fi
  ) 9>"$wine_root/prefix.lock"
}
