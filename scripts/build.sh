# Sourced by the demo and the test command: installs what is missing, then
# configures and builds both sides into $build, and starts the build's
# wineserver until the calling script exits.
# Sets: here (the checkout), build (the build folder), wine_root.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TARVEN_BUILD_DIR:-$here/build}
export TARVEN_BUILD_DIR=$build

bash "$here/scripts/setup.sh"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >"$build/configure.log" 2>&1 \
  || { tail -n 30 "$build/configure.log" >&2; exit 1; }
cmake --build "$build" >"$build/build.log" 2>&1 || { tail -n 30 "$build/build.log" >&2; exit 1; }

wine_root=$build/wine
"$here/scripts/wine-session" "$wine_root" start
trap '"$here/scripts/wine-session" "$wine_root" stop' EXIT
