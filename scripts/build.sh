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
# The whole output goes to build.log; a first build takes minutes, so a line
# at most every 15 seconds names the step it reached (nothing when all is built).
build_progress() {
  local last=$SECONDS line
  while IFS= read -r line; do
    if [[ $line =~ ^\[([0-9]+)/([0-9]+)\] ]] && ((SECONDS - last >= 15)); then
      printf 'build: step %s of %s (log: %s)\n' "${BASH_REMATCH[1]}" "${BASH_REMATCH[2]}" "$build/build.log" >&2
      last=$SECONDS
    fi
  done
}
if ! cmake --build "$build" 2>&1 | tee "$build/build.log" | build_progress; then
  tail -n 30 "$build/build.log" >&2
  exit 1
fi

wine_root=$build/wine
"$here/scripts/wine-session" "$wine_root" start
trap '"$here/scripts/wine-session" "$wine_root" stop' EXIT
