#!/usr/bin/env bash
# Checks the shape of a built image that we ship (ZN374Mon.exe, ZN374Stat.exe,
# the installer's custom-action DLL): it must load on a bare Windows 2000
# machine, so it may import only functions that Windows 2000's own DLLs
# export, from system DLLs and msvcrt.dll, with no MinGW runtime DLL; it
# declares subsystem version 4.0 or 5.0, is Terminal Server aware (an
# executable), uses no SSE or MMX, is stripped, and stays within its budget.
# usage: check_exe_shape.sh IMAGE ALLOWED_IMPORTS [OBJDUMP [SUBSYSTEM [SIZE_LIMIT]]]
# SUBSYSTEM as objdump names it ("Windows GUI", "Windows CUI"); SIZE_LIMIT in
# bytes, 12288 (the monitor's budget) unless given.
set -uo pipefail
exe=$1
allowed=$2
objdump=${3:-i686-w64-mingw32-objdump}
subsystem=${4:-Windows GUI}
size_limit=${5:-12288}

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

headers=$("$objdump" -p "$exe") || { echo "FAIL: $objdump cannot read $exe"; exit 1; }

# "dll function" per imported function, DLL names lower-cased.
imports=$(printf '%s\n' "$headers" | awk '
    /^[ \t]*DLL Name:/ { dll = tolower($3); next }
    /^[ \t]*$/ { next }
    dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[^ ]+$/ { print dll, $3; next }
    /^The Export Tables|^PE File Base Relocations|^The Data Directory/ { dll = "" }')
if [ -z "$imports" ]; then
    fail "no imported functions found in $exe"
fi

echo "imports of $(basename "$exe"):"
printf '%s\n' "$imports" | sed 's/^/  /'

# The list names only system DLLs and msvcrt.dll, so a runtime DLL's import
# is not on it either.
while read -r dll function; do
    if ! grep -qixF "$dll $function" "$allowed"; then
        fail "$dll!$function is not on the list of Windows 2000 exports ($allowed)"
    fi
    case "$function" in
        CM_*) [ "$dll" = cfgmgr32.dll ] || fail "$function comes from $dll, expected cfgmgr32.dll" ;;
        GetCurrentPowerPolicies) [ "$dll" = powrprof.dll ] || fail "$function comes from $dll, expected powrprof.dll" ;;
    esac
done <<< "$imports"

# The monitor's device and power calls must come from the DLLs that the
# simulated machine replaces, or its tests would not reach the stand-ins.
if [ "$(basename "$exe")" = ZN374Mon.exe ]; then
    grep -q '^cfgmgr32\.dll CM_' <<< "$imports" || fail "no CM_ function imported from cfgmgr32.dll"
    grep -qx 'powrprof\.dll GetCurrentPowerPolicies' <<< "$imports" ||
        fail "GetCurrentPowerPolicies not imported from powrprof.dll"
fi

major=$(printf '%s\n' "$headers" | awk '/^MajorSubsystemVersion/ { print $2 }')
minor=$(printf '%s\n' "$headers" | awk '/^MinorSubsystemVersion/ { print $2 }')
case "$major.$minor" in
    4.0 | 5.0) echo "subsystem version: $major.$minor" ;;
    *) fail "subsystem version is $major.$minor, expected 4.0 or 5.0" ;;
esac
grep -q "^Subsystem.*$subsystem" <<< "$headers" || fail "subsystem is not $subsystem"

# Without the Terminal Server flag (0x8000), Terminal Services in application
# mode on Windows 2000 Server and Server 2003 hand the program the user's
# private Windows directory, and /i would write a machine-wide Run value
# naming a per-user folder (the status report would read the same wrong
# folder). Windows looks at the flag of the executable only, not of a DLL.
characteristics=$(awk '/^DllCharacteristics/ { print $2 }' <<< "$headers")
if [[ "$exe" == *.exe ]] && [ $(( 0x${characteristics:-0} & 0x8000 )) -eq 0 ]; then
    fail "DllCharacteristics 0x$characteristics lacks TERMINAL_SERVICE_AWARE (0x8000)"
fi

# Windows 2000 and XP run on the Pentium, which has neither SSE nor the
# conditional moves of later processors, and call window and dialog
# procedures with a stack aligned to 4 bytes only, which SSE code assumes is
# 16; Wine on a newer processor reproduces none of this.
vector_code=$("$objdump" -d "$exe" | grep -E '%[xyz]?mm[0-9]|mxcsr' | head -n 3)
[ -z "$vector_code" ] || fail "SSE or MMX instructions in the image, e.g.:
$vector_code"
cmov_code=$("$objdump" -d "$exe" | grep -E '\sf?cmov' | head -n 3)
[ -z "$cmov_code" ] || fail "conditional moves (Pentium Pro and later) in the image, e.g.:
$cmov_code"

sections=$("$objdump" -h "$exe")
if grep -q ' \.debug_\| \.stab' <<< "$sections"; then
    fail "debug sections present: the executable is not stripped"
fi
symbols=$("$objdump" -t "$exe" 2>/dev/null || true)
if grep -q '^\[ *[0-9]*\]' <<< "$symbols"; then
    fail "symbol table present: the executable is not stripped"
fi

# The budget is the image's own: an Authenticode signature, which the build
# adds when given a certificate, is appended after it and not counted.
signature=$(( 0x$(awk '/^Entry 4 .*Security Directory/ { print $4 }' <<< "$headers") ))
size=$(( $(stat -c %s "$exe") - signature ))
echo "size: $size bytes ($(( (size + 1023) / 1024 )) KiB)$([ "$signature" -eq 0 ] || echo ", and a signature of $signature bytes")"
if [ "$size" -gt "$size_limit" ]; then
    fail "size $size bytes exceeds the budget of $size_limit"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "executable shape: all checks passed"
