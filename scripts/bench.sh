#!/usr/bin/env bash
# Measures ZN374Mon.exe on a freshly made simulated XP machine and prints one
# table, each figure beside a floor taken in the same run. Not part of the
# test run. Everything runs on one core: the bench, the programs it starts and
# the prefix's wineserver (a wineserver call across two cores costs several
# times one on the same core).
#   bash scripts/bench.sh [SAMPLES [ENDURANCE_EVENTS [TREES]]]
# (defaults 200, 10000 and 16,256,1024: the device trees of the start-up rows).
# Exits non-zero when any target fails or a row could not be measured.
# ZN374_BENCH_CPU chooses the core (default 0).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
cpu=${ZN374_BENCH_CPU:-0}
bin=$root/build/win32/bin
prefix=$root/build/win32/bench-prefix

bash scripts/setup.sh
mkdir -p build
echo "Building (build/win32)..."
bash scripts/build.sh win32 > build/bench-build.log 2>&1 || { tail -30 build/bench-build.log; exit 1; }

rm -rf "$prefix"
echo "Making a fresh simulated Windows XP machine in build/win32/bench-prefix..."
sim/make-prefix.sh "$prefix"

# The wineserver's working directory is named after the prefix's device and
# inode; that is how its process is told from other prefixes' servers.
server_affinity() {
    local dir pid
    dir=$(printf 'server-%x-%x' "$(stat -c %d "$prefix")" "$(stat -c %i "$prefix")")
    for pid in /proc/[0-9]*; do
        case "$(cat "$pid/comm" 2>/dev/null)" in wineserver*) ;; *) continue ;; esac
        if [ "$(basename "$(readlink "$pid/cwd" 2>/dev/null)")" = "$dir" ]; then
            taskset -pc "${pid#/proc/}" | sed 's/.*: /CPU /'
            return
        fi
    done
    echo "not found"
}

export ZN374_PREFIX=$prefix ZN374_SIM_BIN=$bin
WINEPREFIX=$prefix WINEARCH=win32 taskset -c "$cpu" wineserver -p60
# The prefix's system processes start with its first program; started now,
# they are not part of any figure.
taskset -c "$cpu" sim/in-sim.sh wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date +%s)
status=0
output=$(taskset -c "$cpu" sim/in-sim.sh wine "$bin/zn_bench.exe" "$@" 2>&1 | tr -d '\r') || status=$?
elapsed=$(( $(date +%s) - started ))
affinity=$(server_affinity)
WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true

echo
echo "ZN374Mon benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), simulated Windows XP on $(wine --version 2>/dev/null)"
echo "Pinned to CPU $cpu with taskset: zn_bench, every program it starts, and the prefix's wineserver"
echo "(its affinity read back: $affinity). $(nproc) cores online; load average $load_before before the"
echo "measurements, $(cut -d' ' -f1-3 /proc/loadavg) after."
echo
echo "$output"
echo
echo "Run time ${elapsed} s. Floors: the minimal hidden dialog, the walk floor and the program that exits at"
echo "once are built with the product's own compiler and linker options; the walk floor is the minimal dialog"
echo "after the device tree walk's calls that the design requires (the Imaging class's hardware IDs, then each"
echo "USB instance located with its hardware IDs, and a match's status); start-up rows: N devices, the camera"
echo "last, medians of the pairs' starts, the verdict on the median of the pairs' ratios. The design floor is"
echo "another process (the bench) enumerating the video input category, reading every friendly name, binding"
echo "the camera, making one Set and releasing everything; 'ignored msg' is the round trip of a message the"
echo "monitor does not act on."
if [ $status -ne 0 ]; then
  echo
  echo "bench: FAILED (exit $status): see the FAIL verdicts above."
fi
exit $status
