#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each (default 60) from its seeds, with a
# random seed, and prints the inputs each one tried. New inputs are thrown
# away; an input that breaks a promise is kept in build/fuzz/findings/<target>/.
# usage: fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

scripts/setup.sh
scripts/build.sh fuzz >/dev/null

status=0
for exe in build/fuzz/*_fuzz; do
  name=$(basename "$exe" _fuzz)
  log=build/fuzz/$name.log
  if fuzz/run-target.sh "$exe" -max_total_time="$seconds" >"$log" 2>&1; then
    verdict=clean
  else
    verdict="FAILED (see $log)"
    status=1
  fi
  runs=$(awk -F: '/^stat::number_of_executed_units/ { print $NF + 0 }' "$log")
  printf '%-18s %12s inputs in %ss  %s\n' "$name" "${runs:-?}" "$seconds" "$verdict"
done
exit $status
