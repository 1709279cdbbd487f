#!/usr/bin/env bash
# Builds an instrumented copy of the product (build/coverage: the Win32 build
# with GCC's coverage counters), runs the test suite against it on a fresh
# simulated XP machine, writes an HTML report to build/coverage/index.html
# and prints line and branch totals per shipped image (and per room of an
# image that has several), then one line for all three images together.
# Not part of the test run.
#   bash scripts/coverage.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
tree=$root/build/coverage
prefix=$tree/prefix
# Each shipped image with the rooms of its own code. The report and the
# actions reach the monitor's rooms through its headers; that code is
# counted once, under the monitor. The file identity that both of them use is
# counted under the report.
images=("ZN374Mon.exe:src/common src/monitor src/camera src/discovery src/startup"
        "ZN374Stat.exe:src/status src/file_identity" "ZN374Actions.dll:src/installer")
rooms=$(printf '%s\n' "${images[@]}" | cut -d: -f2 | tr '\n' ' ')

bash scripts/setup.sh
if ! command -v gcovr >/dev/null; then
  echo "coverage: installing gcovr"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq gcovr >/dev/null
fi

echo "Building the instrumented tree (build/coverage)..."
mkdir -p "$tree"
{ cmake --preset coverage && cmake --build --preset coverage -j "$(nproc)"; } > "$tree/build.log" 2>&1 ||
  { tail -30 "$tree/build.log"; exit 1; }

# Counters add up over every process of a run; a new run starts from none.
find "$tree" -name '*.gcda' -delete
rm -rf "$prefix" "${prefix}64"
sim/make-prefix.sh "$prefix"

# The counter files are named by their absolute Linux paths, which a Win32
# process resolves on its current drive: Z: (Wine's view of /) makes them the
# same whatever folder a program runs in.
export ZN374_PREFIX=$prefix ZN374_SIM_BIN=$tree/bin GCOV_PREFIX=Z:
# Left out: the shape checks read the shipped image's size, imports and
# instructions, which the instrumented image fails by design, the signing
# test, which signs the images without running them, the rebuild
# comparison, which builds another tree, and the release folder's test;
# none of them runs product code.
echo "Running the test suite against it..."
status=0
ctest --test-dir "$tree" --timeout 900 -E '_shape$|^installer\.signing$|^release\.' > "$tree/ctest.log" 2>&1 || status=$?
WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
grep -E '^[0-9]+% tests passed' "$tree/ctest.log" || true
if [ $status -ne 0 ]; then
  grep -A20 'The following tests FAILED' "$tree/ctest.log" || tail -20 "$tree/ctest.log"
fi

# The product's own objects only (the tree's src: its prefixes hold a drive
# that leads to the whole file system), and the walks as the monitor has them:
# the status report's second build of them (*_observed) adds its observer calls.
filter="($(echo $rooms | tr ' ' '|'))/"
gcovr --root "$root" --gcov-executable i686-w64-mingw32-gcov-posix --filter "$filter" \
      --exclude-directories '.*_observed\.dir' \
      --html-details "$tree/index.html" --html-title "ZN374Mon coverage" \
      --json-summary "$tree/summary.json" --txt "$tree/uncovered.txt" "$tree/src"
echo "Report: build/coverage/index.html (uncovered lines per file: build/coverage/uncovered.txt)"
echo
# Dated, so that figures copied from here say what they were measured on.
echo "Measured $(date -u +%F) on commit $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- src tests || echo ', with uncommitted changes')"

python3 - "$tree/summary.json" "${images[@]}" <<'EOF'
import json, sys

files = json.load(open(sys.argv[1]))["files"]
images = [image.split(":") for image in sys.argv[2:]]

def percent(covered, total):
    # Never rounded up to 100.0 while something is left uncovered.
    value = 100.0 * covered / total if total else 100.0
    return min(round(value, 1), 99.9) if covered < total else 100.0

def totals(names):
    picked = [f for f in files if any(f["filename"].startswith(n + "/") for n in names)]
    return [sum(f[key] for f in picked) for key in ("line_covered", "line_total", "branch_covered", "branch_total")]

def show(name, rooms):
    lc, lt, bc, bt = totals(rooms)
    print("%-18s %-20s %s" % (name, "%d/%d %5.1f%%" % (lc, lt, percent(lc, lt)),
                              "%d/%d %5.1f%%" % (bc, bt, percent(bc, bt))))

print("%-18s %-20s %s" % ("image, its rooms", "lines", "branches"))
everything = []
for image, rooms in images:
    rooms = rooms.split()
    everything += rooms
    show(image, rooms)
    for room in rooms if len(rooms) > 1 else []:
        show("  " + room, [room])
lc, lt, bc, bt = totals(everything)
print("product coverage: lines %.1f%%, branches %.1f%%" % (percent(lc, lt), percent(bc, bt)))
EOF
exit $status
