#!/usr/bin/env bash
# Runs the fuzz targets of the `fuzz` preset (all of them, or those named after the time) for the
# given number of seconds each (default 60),
# starting from the seed corpus in fuzz/corpus and the working corpus it grew before, and prints
# the executions each reached. Findings are written to build/fuzz/findings/<target>/ and make the
# script fail. The running totals per target are kept in build/fuzz/executions.tsv.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
bin=build/fuzz/fuzz
work=build/fuzz/corpus
findings=build/fuzz/findings
totals=build/fuzz/executions.tsv
targets=(fuzz_tcp_receive fuzz_serial_receive fuzz_frame_splitter fuzz_unpack fuzz_package_check)
if [[ $# -gt 1 ]]; then
  targets=("${@:2}")
fi

# The targets write scratch files for every input; memory-backed storage keeps them fast.
if [[ -d /dev/shm && -w /dev/shm ]]; then export TMPDIR=/dev/shm; fi

touch "$totals"
failed=0
printf '%-22s %12s %14s %s\n' target executions "all runs" result
for target in "${targets[@]}"; do
  mkdir -p "$work/$target" "$findings/$target"
  log=$(mktemp)
  status=ok
  if ! "$bin/$target" "$work/$target" "fuzz/corpus/$target" -max_total_time="$seconds" -print_final_stats=1 \
       -artifact_prefix="$findings/$target/" -close_fd_mask=1 > "$log" 2>&1; then
    status="FINDING (see $findings/$target/ and $log)"
    failed=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  runs=${runs:-0}
  before=$(awk -v t="$target" '$1 == t { n = $2 } END { print n + 0 }' "$totals")
  total=$((before + runs))
  grep -v "^$target	" "$totals" > "$totals.new" || true
  printf '%s\t%s\n' "$target" "$total" >> "$totals.new"
  mv "$totals.new" "$totals"
  printf '%-22s %12s %14s %s\n' "$target" "$runs" "$total" "$status"
  [[ $status == ok ]] && rm -f "$log"
done
exit $failed
