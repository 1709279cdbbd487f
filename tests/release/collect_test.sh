#!/usr/bin/env bash
# The folder scripts/release.sh makes, and its collect.cmd run by Wine's cmd on a share of
# reports: one that runs, one that does not, one of a build without the package keys, one of a
# 1.0.2 build (which answers /values with its usage), and an empty one. Runs under sim/in-sim.sh.
# usage: collect_test.sh SOURCE_DIR BIN_DIR
set -uo pipefail
source_dir=$1 bin=$2
work=$(mktemp -d)
share=$WINEPREFIX/dosdevices/unc/server/zn374\$  # where Wine finds \\server\zn374$
trap 'rm -rf "$work"; rm -f "$share"; rmdir "${share%/*}" "${share%/*/*}" 2>/dev/null' EXIT
failures=0
check() {  # check WHAT EXPECTED FOUND
    [ "$2" = "$3" ] || { printf 'FAIL: %s\n  expected: %s\n  found:    %s\n' "$@"; failures=1; }
}

ZN374_RELEASE_BIN=$bin bash "$source_dir/scripts/release.sh" "$work/release" >/dev/null
check "release.sh exit code" 0 $?
version=$(sed -n 's/^project(ZN374Mon VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' \
    "$source_dir/CMakeLists.txt")
sums="$(cd "$bin" && sha256sum "ZN374Mon-$version.msi" ZN374Stat.exe ZN374Mon.exe)
$(cd "$source_dir/src/status" && sha256sum collect.cmd)"
check "SHA256SUMS: the built files" "$(sort <<< "$sums")" "$(sort "$work/release/SHA256SUMS")"
check "the folder's files but SHA256SUMS" "$(sort <<< "$sums")" \
    "$(cd "$work/release" && sha256sum -- * | grep -v ' SHA256SUMS$' | sort)"
# Windows' cmd expects CRLF: in a file with bare line feeds, call :row can miss its label.
check "collect.cmd's lines without CR" 0 "$(grep -cv $'\r$' "$work/release/collect.cmd")"

mkdir "$work/reports" "$work/run"
report() { printf '%s\r\n' "${@:2}" > "$work/reports/$1.txt"; }
report NOW 'id=USB\VID_05CA&PID_1814' verdict=runs reason.code= directshow.reason.code= \
    autostart.starts_monitor=yes monitors.count=1 report.version=1.1.0.1 \
    'package.product_code={0A1B2C3D-0000-4000-8000-000000000001}' 'summary=camera "A & B" (1%)'
report OFF verdict=does-not-run reason.code=suspend-off directshow.reason.code=no-device \
    autostart.starts_monitor=no monitors.count=0 report.version=1.1.0.1 \
    'package.product_code={0A1B2C3D-0000-4000-8000-000000000002}' 'camera.x=%windir% | > ^'
report OLD verdict=runs 'autostart.starts_monitor=unreadable (error 5)' monitors.count=1
report V102 'ZN374Stat.exe: unknown argument "/values"' 'usage: ZN374Stat.exe [/?]'
: > "$work/reports/ZEMPTY.txt"
mkdir -p "${share%/*}" && ln -s "$work/reports" "$share"
printed=$(cd "$work/run" && wine cmd /c "Z:${work//\//\\}\\release\\collect.cmd" 2>&1 | tr -d '\r')
check "collect.cmd's last words" "1 empty reports; the table is fleet.csv" "$printed"
check "fleet.csv" "machine,verdict,reason.code,directshow.reason.code,autostart.starts_monitor,\
monitors.count,report.version,package.product_code
NOW,runs,,,yes,1,1.1.0.1,{0A1B2C3D-0000-4000-8000-000000000001}
OFF,does-not-run,suspend-off,no-device,no,0,1.1.0.1,{0A1B2C3D-0000-4000-8000-000000000002}
OLD,runs,,,unreadable (error 5),1,,
V102,,,,,,,
ZEMPTY,empty,,,,,," "$(tr -d '\r' < "$work/run/fleet.csv" | { read -r h; echo "$h"; sort; })"
exit $failures
