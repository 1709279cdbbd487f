#!/usr/bin/env bash
# Runs every test: the native unit tests, a short run of each fuzz target,
# then the Win32 tests on one freshly made simulated XP machine, in a single
# ctest run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/setup.sh
scripts/build.sh

prefix=$root/build/win32/prefix
# The package's test makes the 64-bit machine beside it on first use.
rm -rf "$prefix" "${prefix}64"
sim/make-prefix.sh "$prefix"

# One ctest run over the three trees, so that its summary covers everything.
printf 'subdirs("native" "fuzz" "win32")\n' > build/CTestTestfile.cmake

status=0
ctest --test-dir build --output-on-failure --timeout 900 || status=$?
WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
exit $status
