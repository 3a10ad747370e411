#!/usr/bin/env bash
# Installs what is missing, builds both sides and runs every test:
# the packer's on the host, the launcher's under Wine.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TARVEN_BUILD_DIR:-$here/build}
export TARVEN_BUILD_DIR=$build

bash "$here/scripts/setup.sh"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >"$build/configure.log" 2>&1 \
  || { tail -n 30 "$build/configure.log" >&2; exit 1; }
cmake --build "$build"

wine_root=$build/wine
"$here/scripts/wine-session" "$wine_root" start
trap '"$here/scripts/wine-session" "$wine_root" stop' EXIT
# Figures that tests leave (fuzz executions, the concurrent launches' time): shown, never judged.
figures=("$build"/fuzz/runs/*.summary "$build"/win/figures/*.txt)
rm -f "${figures[@]}"
status=0
ctest --test-dir "$build" --output-on-failure -j2 --timeout 600 "$@" || status=$?
cat "${figures[@]}" 2>/dev/null || true
exit $status
