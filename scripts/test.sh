#!/usr/bin/env bash
# Installs what is missing, builds both sides and runs every test:
# the packer's on the host, the launcher's under Wine.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/build.sh"
# Figures that tests leave (fuzz executions, the concurrent launches' time): shown, never judged.
rm -f "$build"/fuzz/runs/*.summary "$build"/win/figures/*.txt
status=0
ctest --test-dir "$build" --output-on-failure -j2 --timeout 600 "$@" | tee "$build/ctest.log" || status=$?
cat "$build"/fuzz/runs/*.summary "$build"/win/figures/*.txt 2>/dev/null || true
# The figures come after ctest's summary: repeat its count as the last line.
sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests failed out of \([0-9]*\)$/\2 \1/p' "$build/ctest.log" |
  { read -r total failed && echo "$((total - failed)) passed, $failed failed"; } || true
exit $status
