#!/usr/bin/env bash
# The release folder as scripts/release.sh makes it: exactly its files, each
# the built one, with sums that check. Then its collect.cmd, run by Wine's
# cmd on a share of reports as ZN374Stat.exe /values writes them: a machine
# that runs, one that does not, one of an earlier build without the package
# keys, one of a 1.0.2 build (which answers /values with its usage), and an
# empty one. Runs whole under sim/in-sim.sh.
# usage: collect_test.sh SOURCE_DIR BIN_DIR
set -uo pipefail
source_dir=$1 bin=$2
work=$(mktemp -d)
# Wine serves \\server\zn374$, the share collect.cmd reads, from the
# prefix's dosdevices/unc/server/zn374$.
share=$WINEPREFIX/dosdevices/unc/server/zn374\$
trap 'rm -rf "$work"; rm -f "$share"; rmdir "${share%/*}" "${share%/*/*}" 2>/dev/null' EXIT
failures=0
check() {  # check WHAT EXPECTED FOUND
    if [ "$2" != "$3" ]; then
        printf 'FAIL: %s\n  expected: %s\n  found:    %s\n' "$1" "$2" "$3"
        failures=$((failures + 1))
    fi
}

ZN374_RELEASE_BIN=$bin bash "$source_dir/scripts/release.sh" "$work/release" >/dev/null
check "release.sh exit code" 0 $?
version=$(sed -n 's/^project(ZN374Mon VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' "$source_dir/CMakeLists.txt")
check "the release folder's files" "SHA256SUMS ZN374Mon-$version.msi ZN374Mon.exe ZN374Stat.exe collect.cmd" \
    "$(ls "$work/release" | LC_ALL=C sort | paste -sd' ')"
check "the files SHA256SUMS checks" "ZN374Mon-$version.msi ZN374Mon.exe ZN374Stat.exe collect.cmd" \
    "$(cd "$work/release" && sha256sum -c SHA256SUMS 2>&1 | sed -n 's/: OK$//p' | LC_ALL=C sort | paste -sd' ')"
for file in "$bin/ZN374Mon-$version.msi" "$bin/ZN374Mon.exe" "$bin/ZN374Stat.exe" \
            "$source_dir/src/status/collect.cmd"; do
    cmp -s "$file" "$work/release/${file##*/}"
    check "${file##*/} in the folder is the built one: cmp exit code" 0 $?
done
# A batch file with bare line feeds can lose a label to cmd's 512-byte reads.
check "collect.cmd's lines without a carriage return" 0 \
    "$(grep -cv $'\r$' "$work/release/collect.cmd")"

# Each report as a startup script's redirection writes it: CRLF lines.
mkdir "$work/reports" "$work/run"
report() { printf '%s\r\n' "${@:2}" > "$work/reports/$1.txt"; }
report NOW report.version=1.1.0.1 'search.0.hardware_id.0=USB\VID_05CA&PID_1814&REV_0100&MI_00' \
    directshow.reason.code= autostart.starts_monitor=yes monitors.count=1 monitors=776 \
    'package.product_code={0A1B2C3D-0000-4000-8000-000000000001}' verdict=runs reason= reason.code= \
    'summary=ZN374Mon would run for camera "A & B (100%)"; at the next log-on it starts.'
report OFF report.version=1.1.0.1 'camera.friendly_name=%windir% | > ^' \
    directshow.reason.code=no-device autostart.starts_monitor=no monitors.count=0 monitors= \
    'package.product_code={0A1B2C3D-0000-4000-8000-000000000002}' verdict=does-not-run \
    'reason=selective suspend is off' reason.code=suspend-off
report OLD report.version=1.1.0.1 directshow.reason.code= \
    'autostart.starts_monitor=unreadable (error 5)' monitors.count=1 verdict=runs reason.code=
report V102 'ZN374Stat.exe: unknown argument "/values"' 'usage: ZN374Stat.exe [/?]' \
    'Exit code: 0 the monitor would run, 1 it would not, 2 usage error.'
: > "$work/reports/ZEMPTY.txt"
mkdir -p "${share%/*}"
ln -sfn "$work/reports" "$share"

printed=$(cd "$work/run" && wine cmd /c "Z:${work//\//\\}\\release\\collect.cmd" 2>&1 | tr -d '\r')
check "collect.cmd's last words" "1 empty reports; the table is fleet.csv" "$printed"
check "fleet.csv" "machine,verdict,reason.code,directshow.reason.code,autostart.starts_monitor,monitors.count,report.version,package.product_code
NOW,runs,,,yes,1,1.1.0.1,{0A1B2C3D-0000-4000-8000-000000000001}
OFF,does-not-run,suspend-off,no-device,no,0,1.1.0.1,{0A1B2C3D-0000-4000-8000-000000000002}
OLD,runs,,,unreadable (error 5),1,1.1.0.1,
V102,,,,,,,
ZEMPTY,empty,,,,,," "$(tr -d '\r' < "$work/run/fleet.csv" 2>&1 | { read -r header; echo "$header"; LC_ALL=C sort; })"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "release folder and collect.cmd: all checks passed"
