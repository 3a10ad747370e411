#!/usr/bin/env bash
# The benchmark command: builds the project and the benchmark's own Windows
# programs (bench/CMakeLists.txt) in the build folder, keeps a warm wineserver
# for the whole run and prints the figures (bench/bench.py).
# Usage: bash bench/run.sh [--quick] [--runs N] [--scratch DIR] [--only ROWS]   (TARVEN_BUILD_DIR as for the other scripts)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TARVEN_BUILD_DIR:-$here/build}
export TARVEN_BUILD_DIR=$build

bash "$here/scripts/setup.sh"
log=$build/bench-build.log
step() { "$@" >>"$log" 2>&1 || { tail -n 30 "$log" >&2; echo "bench: failed: $*" >&2; exit 1; }; }
: >"$log"
echo "bench: building (log: $log)" >&2
step cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
step cmake --build "$build"
step cmake -S "$here/bench" -B "$build/bench-win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" -DTARVEN_LAUNCHER_LIBS="$build/win/launcher-libs" \
  -DTARVEN_ZSTD_INCLUDE="$build/deps/zstd-mingw/include"
step cmake --build "$build/bench-win"
# A packer that carries the launcher under the simulated scanner (bench/win/scanner.cpp).
step cmake -S "$here/packer" -B "$build/bench-packer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTARVEN_LAUNCHER_IMAGES="$build/bench-win/scanner-images" -DBUILD_TESTING=OFF
step cmake --build "$build/bench-packer" --target tarven-pack

wine_root=$build/wine
"$here/scripts/wine-session" "$wine_root" start
trap '"$here/scripts/wine-session" "$wine_root" stop' EXIT
. "$here/scripts/wine-env.sh" "$wine_root"
echo "bench: measuring (about 15 minutes, most of it packing at the default level; --quick: about 2)" >&2
python3 "$here/bench/bench.py" "$build" "$@"
