#!/usr/bin/env bash
# A longer fuzz run: builds the fuzz targets (host, clang, sanitizers) and runs
# both side by side for SECONDS each (default 600), growing the working corpus
# kept in the build folder; findings are saved under its fuzz/runs/findings.
# Usage: bash fuzz/run.sh [SECONDS]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TARVEN_BUILD_DIR:-$here/build}
seconds=${1:-600}
export TARVEN_BUILD_DIR=$build

bash "$here/scripts/setup.sh"
cmake -S "$here/fuzz" -B "$build/fuzz" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >"$build/fuzz-configure.log" 2>&1 \
  || { tail -n 30 "$build/fuzz-configure.log" >&2; exit 1; }
cmake --build "$build/fuzz"
TARVEN_FUZZ_SECONDS=$seconds ctest --test-dir "$build/fuzz" -j2 --timeout $((seconds + 300)) -V
