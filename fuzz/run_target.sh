#!/usr/bin/env bash
# Runs one fuzz target for a bounded time over its working corpus and seeds,
# then prints libFuzzer's figures (executions, corpus, coverage). A finding
# ends the run with libFuzzer's report, the input saved in the findings folder.
# Usage: run_target.sh FUZZER SECONDS WORK_DIR SEED_DIR [libFuzzer options...]
# TARVEN_FUZZ_SECONDS in the environment replaces SECONDS (fuzz/run.sh).
set -euo pipefail
fuzzer=$1
seconds=${TARVEN_FUZZ_SECONDS:-$2}
work=$3
seeds=$4
shift 4
findings=$(dirname "$work")/findings
mkdir -p "$work" "$findings"
log=$work.log
# New inputs go to the working corpus, the first folder; the seeds are only read.
if ! "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$findings/$(basename "$work")-" \
    "$@" "$work" "$seeds" >"$log" 2>&1; then
  tail -n 80 "$log"
  echo "fuzz: $(basename "$fuzzer") found a fault; the input is in $findings" >&2
  exit 1
fi
executions=$(grep -oE 'number_of_executed_units: [0-9]+' "$log" | grep -oE '[0-9]+')
# The summary is also kept beside the log for the test command's closing figures.
echo "fuzz: $(basename "$fuzzer"): $executions executions in $seconds s, no finding, corpus of $(find "$work" -type f | wc -l) inputs" \
  | tee "$work.summary"
