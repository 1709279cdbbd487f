#!/usr/bin/env bash
# The package on the simulated machine with Wine's own msiexec and the real
# executable: refusals on other Windows versions, a quiet install, the same
# install again, upgrades to and from other builds, refused downgrades, an
# uninstall with monitors running, an install by an account nobody sees, an
# uninstall after the file was lost, a repair that turns a machine back on,
# an uninstall after a Windows upgrade, a reinstall that fails, and the
# whole run on 64-bit Windows. Monitors on a second desktop stand for other
# users' sessions, which the quit broadcast does not reach. Each check
# prints the machine's state as found. Runs whole under sim/in-sim.sh.
# usage: package_test.sh PACKAGE BIN_DIR
set -uo pipefail
package=$1 bin=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
camera="ZN374 USB Camera"
installed='C:\windows\ZN374Mon.exe'
long_link="Windows Folder Link"
work=$(mktemp -d)

failures=0
check() {  # check WHAT EXPECTED FOUND
    if [ "$2" != "$3" ]; then
        echo "FAIL: $1"
        echo "  expected: $2"
        echo "  found:    $3"
        failures=$((failures + 1))
    fi
}
simctl() { wine "$bin/simctl.exe" "$@" 2>/dev/null | tr -d '\r'; }
msiexec() { wine msiexec "$@" /qn >/dev/null 2>&1; }
# Starts PROGRAM [ARGS] on a second desktop, out of the quit broadcast's reach
# from the default one.
on_other_desktop() { wine explorer /desktop=other,640x480 "$@" >/dev/null 2>&1 & }
windows_path() { echo "Z:${1//\//\\}"; }
monitors() { simctl pids ZN374Mon.exe | paste -sd' '; }
count() { set -- $1; echo $#; }
# Polls up to 10 s until N monitors run.
wait_monitors() {
    local i
    for ((i = 0; i < 100; i++)); do
        [ "$(count "$(monitors)")" = "$1" ] && return
        sleep 0.1
    done
}
run_value() {
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v ZN374Mon 2>/dev/null |
        tr -d '\r' | sed -n 's/^ *ZN374Mon *REG_SZ *//p'
}
# Each Add/Remove Programs entry of ours as "version NoModify NoRepair".
arp_entries() {
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
        tr -d '\r' | awk '
            function flush() { if (name == "ZN374Mon") print version, modify, repair }
            /^HKEY_/ { flush(); name = version = modify = repair = "" }
            $1 == "DisplayName" { name = $3 }
            $1 == "DisplayVersion" { version = $3 }
            $1 == "NoModify" { modify = "NoModify=" $3 }
            $1 == "NoRepair" { repair = "NoRepair=" $3 }
            END { flush() }' | paste -sd';'
}
state() {
    local files= file
    for file in ZN374Mon.exe ZN374Stat.exe; do
        [ -f "$WINEPREFIX/drive_c/windows/$file" ] && files+="${files:+ }$file"
    done
    echo "files=[$files] value=[$(run_value)] entries=[$(arp_entries)] monitors=$(count "$(monitors)")"
}
# Whose monitor is installed: this build's or another.
installed_build() {
    cmp -s "$bin/ZN374Mon.exe" "$WINEPREFIX/drive_c/windows/ZN374Mon.exe" && echo this || echo other
}
# Windows Installer sees the Windows version that Wine gives msiexec.exe:
# VERSION (win7, nt40), or with none the machine's own.
msiexec_windows() {
    if [ -n "${1:-}" ]; then
        wine reg add 'HKCU\Software\Wine\AppDefaults\msiexec.exe' /v Version /d "$1" /f
    else
        wine reg delete 'HKCU\Software\Wine\AppDefaults\msiexec.exe' /f
    fi >/dev/null 2>&1
}
package_property() {
    msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' -v p="$2" '$1 == p { print $2 }'
}
policies='HKLM\Software\Microsoft\Windows\CurrentVersion\Policies\Explorer'
cleanup() {
    msiexec_windows
    wine reg delete "$policies" /v DisableLocalMachineRun /f >/dev/null 2>&1
    wine "$installed" /u >/dev/null 2>&1
    [ -f "$work/other/ZN374Mon.exe" ] &&
        wine explorer /desktop=other,640x480 "$(windows_path "$work/other/ZN374Mon.exe")" /u >/dev/null 2>&1
    [ -n "$(arp_entries)" ] && for msi in "$work"/{higher,lower,same}.msi "$package"; do
        [ -f "$msi" ] && msiexec /x "$(windows_path "$msi")"
    done
    simctl camera-clear >/dev/null
    simctl device-clear >/dev/null
    rm -f "$WINEPREFIX/dosdevices/m:" "$WINEPREFIX/drive_c/$long_link"
    rm -rf "$work"
}
trap cleanup EXIT

simctl camera-clear >/dev/null
simctl device-clear >/dev/null
simctl log-clear >/dev/null
simctl device-add-camera "$camera" >/dev/null
simctl camera-add "$camera" >/dev/null
check "nothing of ours before the test" "files=[] value=[] entries=[] monitors=0" "$(state)"

# A Windows other than NT 5.x is refused and nothing is written.
for windows in win7 nt40; do
    msiexec_windows $windows
    msiexec /i "$(windows_path "$package")"
    check "msiexec /i on $windows exit code (1603, of which Unix keeps the low byte)" 67 $?
    check "after the refusal on $windows" "files=[] value=[] entries=[] monitors=0" "$(state)"
done
msiexec_windows

# Versioned files, so that an upgrade replaces them by version, not by date,
# each with an 8.3 name for volumes without long names.
check "files the package records without a version" "" \
    "$(msiinfo export "$package" File | tr -d '\r' | tail -n +4 | awk -F'\t' '$5 == "" { print $3 }' | paste -sd' ')"
check "files the package records without an 8.3 name" "" \
    "$(msiinfo export "$package" File | tr -d '\r' | tail -n +4 | cut -f3 | grep -vE '^[[:alnum:]_~-]{1,8}(\.[[:alnum:]_~-]{1,3})?(\||$)' | paste -sd' ')"

version=$(package_property "$package" ProductVersion)
IFS=. read -r major minor build <<< "$version"
higher=$major.$minor.$((build + 1))
# Its monitor is another build's: the same file version, 1.0.2.0 as in every
# build, and other bytes: the last field of PRODUCTVERSION, two bytes at 20
# past the version block's signature, goes up by one.
mkdir "$work/new" "$work/other"
cp "$bin/ZN374Mon.exe" "$bin/ZN374Stat.exe" "$bin/ZN374Actions.dll" "$work/new/"
fixed=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe\x00\x00\x01\x00' "$work/new/ZN374Mon.exe" | head -n 1 | cut -d: -f1)
old_field=$(od -An -tu2 -j $((fixed + 20)) -N 2 "$work/new/ZN374Mon.exe" | tr -d ' ')
printf "\\x$(printf %02x $(((old_field + 1) & 255)))\\x$(printf %02x $(((old_field + 1) >> 8)))" |
    dd of="$work/new/ZN374Mon.exe" bs=1 seek=$((fixed + 20)) conv=notrunc status=none
# Packages of this source around it: a higher version, and as past builds a
# lower one and another commit's build of this one (another ProductCode).
for other in "higher $higher" "lower $((major - 1)).$minor.$build" "same $version an-earlier-commit"; do
    read -r name v commit <<< "$other"
    env ${commit:+ZN374_SOURCE_COMMIT=$commit} bash "$root/installer/package.sh" "$work/$name.msi" "$v" \
        "$work/new/ZN374Actions.dll" "$work/new/ZN374Mon.exe" "$work/new/ZN374Stat.exe" >/dev/null ||
        check "building $name.msi" "exit code 0" "exit code $?"
done
check "the monitor's File.Version in both packages" "1.0.2.0 1.0.2.0" \
    "$(for msi in "$package" "$work/higher.msi"; do msiinfo export "$msi" File | tr -d '\r' | awk -F'\t' '$1 == "Monitor" { print $5 }'; done | paste -sd' ')"

# A quiet install by a person starts the monitor, which tells the driver.
msiexec /i "$(windows_path "$package")"
check "msiexec /i exit code" 0 $?
wait_monitors 1
# The value ZN374Mon.exe /i writes: the installed file's path, quoted only
# where it holds a space.
value=$installed
check "after a quiet install" "files=[ZN374Mon.exe ZN374Stat.exe] value=[$value] entries=[$version NoModify=0x1 NoRepair=0x1] monitors=1" "$(state)"
simctl post ZN374Mon.exe suspend >/dev/null
check "driver log after a suspend" "words=0,0,0,0,0,0,0,2,0" "$(simctl log | grep -o 'words=[0-9,]*' | paste -sd' ')"

# The same package again changes nothing and starts no second monitor.
first=$(monitors)
msiexec /i "$(windows_path "$package")"
check "msiexec /i again exit code" 0 $?
sleep 1
check "after installing again" "files=[ZN374Mon.exe ZN374Stat.exe] value=[$value] entries=[$version NoModify=0x1 NoRepair=0x1] monitors=1" "$(state)"

# The value is the one the installed file writes itself with /i.
wine "$installed" /i >/dev/null 2>&1 &
wait_monitors 2
check "Run value: written by the package, then by $installed /i" "$value" "$(run_value)"

# An upgrade ends both monitors and the one on the other desktop, puts the
# newer file in place and starts it.
on_other_desktop "$installed"
wait_monitors 3
old=$(monitors)
msiexec /i "$(windows_path "$work/higher.msi")"
check "msiexec /i of version $higher with a monitor on another desktop exit code" 0 $?
wait_monitors 1
check "after the upgrade to $higher" "files=[ZN374Mon.exe ZN374Stat.exe] value=[$value] entries=[$higher NoModify=0x1 NoRepair=0x1] monitors=1" "$(state)"
check "monitors of the old version still running (old: $old)" "" "$(comm -12 <(tr ' ' '\n' <<< "$old" | sort) <(monitors | tr ' ' '\n' | sort))"
cmp -s "$work/new/ZN374Mon.exe" "$WINEPREFIX/drive_c/windows/ZN374Mon.exe"
check "$installed after the upgrade is the newer file: cmp exit code" 0 $?

# The older package refuses to replace the newer one.
running=$(monitors)
msiexec /i "$(windows_path "$package")"
check "msiexec /i of the older package exit code (1603, of which Unix keeps the low byte)" 67 $?
check "after the refused downgrade" "files=[ZN374Mon.exe ZN374Stat.exe] value=[$value] entries=[$higher NoModify=0x1 NoRepair=0x1] monitors=1 pid=$running" "$(state) pid=$(monitors)"

# Uninstalling ends every monitor of the installed file, the one on the
# other desktop too, whatever spelling of the file started it: a second drive
# letter for the Windows directory (as subst makes one) and the 8.3 name of a
# long-named link to it. It removes everything at once; a monitor's end sends
# the driver nothing. A ZN374Mon.exe elsewhere on the disk is not ours. The
# log names each process ended by force.
cp "$bin/ZN374Mon.exe" "$work/other/"
ln -sfn ../drive_c/windows "$WINEPREFIX/dosdevices/m:"
ln -sfn windows "$WINEPREFIX/drive_c/$long_link"
short=$(wine cmd /c dir /x 'C:\' 2>/dev/null | tr -d '\r' | awk -v l="$long_link" 'substr($0, length($0) - length(l) + 1) == l { print $5 }')
check "an 8.3 name for C:\\$long_link ($short)" yes "$([[ $short == *~* ]] && echo yes)"
here=$(monitors)
for spelling in "$installed" 'M:\ZN374Mon.exe' "C:\\$short\\ZN374Mon.exe"; do on_other_desktop "$spelling"; done
wait_monitors 4
other=$(comm -13 <(tr ' ' '\n' <<< "$here" | sort) <(monitors | tr ' ' '\n' | sort) | paste -sd' ')
before=$(monitors)
on_other_desktop "$(windows_path "$work/other/ZN374Mon.exe")"
wait_monitors 5
elsewhere=$(comm -13 <(tr ' ' '\n' <<< "$before" | sort) <(monitors | tr ' ' '\n' | sort))
check "ZN374Stat's monitors.N.installed, sorted, for these spellings and the copy elsewhere" "no yes yes yes yes" \
    "$(wine "$WINEPREFIX/drive_c/windows/ZN374Stat.exe" /values 2>/dev/null | tr -d '\r' | sed -n 's/^monitors\.[0-9]*\.installed=//p' | sort | paste -sd' ')"
simctl log-clear >/dev/null
msiexec /x "$(windows_path "$work/higher.msi")" /l*v "$(windows_path "$work/uninstall.log")"
check "msiexec /x with monitors running here and on another desktop exit code" 0 $?
check "monitors of other spellings and desktops logged as ended" "$other" \
    "$(tr -d '\0\r' < "$work/uninstall.log" | sed -n 's/.*EndRemainingMonitors: ended process \([0-9]*\).*/\1/p' | sort | paste -sd' ')"
check "monitors logged as ended in the count of processes looked at" "$(count "$other")" \
    "$(tr -d '\0\r' < "$work/uninstall.log" | sed -n 's/.*EndRemainingMonitors: looked at [1-9][0-9]* processes, ended \([0-9]*\).*/\1/p')"
check "after uninstalling with monitors running (the one left runs from elsewhere)" "files=[] value=[] entries=[] monitors=1 ($elsewhere)" "$(state) ($(monitors))"
check "driver log during the uninstall" "" "$(simctl log)"
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' >/dev/null 2>&1
check "Run key after the uninstall (ZN374Mon.exe /i does not create it): reg query exit code" 0 $?
on_other_desktop "$(windows_path "$work/other/ZN374Mon.exe")" /u
wait_monitors 0

# An account nobody sees (a service, a scheduled task: no INTERACTIVE in its
# token) installs quietly: the Run value is written, no monitor starts.
wine "$bin/simctl.exe" run-without-interactive msiexec /i "$(windows_path "$package")" /qn >/dev/null 2>&1
check "msiexec /i /qn without an interactive log-on: simctl exit code" 0 $?
sleep 1
check "after that install" "files=[ZN374Mon.exe ZN374Stat.exe] value=[$value] entries=[$version NoModify=0x1 NoRepair=0x1] monitors=0" "$(state)"
# Whichever build is installed goes by the ProductCode that the report reads.
code=$(wine "$WINEPREFIX/drive_c/windows/ZN374Stat.exe" /values 2>/dev/null | tr -d '\r' |
    sed -n 's/^package\.\(product_code\|version\)=//p' | paste -sd' ')
check "ZN374Stat's package.product_code and package.version" "$(package_property "$package" ProductCode) $version" "$code"
msiexec /x "${code%% *}"
check "msiexec /x by that ProductCode exit code" 0 $?
check "after removing it by its ProductCode" "files=[] value=[] entries=[] monitors=0" "$(state)"

# A lost file (deleted by hand, or quarantined): the uninstall still removes
# the value and the entry, and keeps the Run key. Installed under the
# machine's policy that stops its Run list, which the log names.
wine reg add "$policies" /v DisableLocalMachineRun /t REG_DWORD /d 1 /f >/dev/null 2>&1
msiexec /i "$(windows_path "$package")" /l*v "$(windows_path "$work/policy.log")"
check "msiexec /i under the machine's DisableLocalMachineRun exit code" 0 $?
wine reg delete "$policies" /v DisableLocalMachineRun /f >/dev/null 2>&1
check "lines of that install's log naming the policy" 1 \
    "$(tr -d '\0\r' < "$work/policy.log" | grep -c 'CheckRunListPolicy: .*DisableLocalMachineRun is 1')"
wait_monitors 1
wine taskkill /f /pid "$(monitors)" >/dev/null 2>&1
wait_monitors 0
rm -f "$WINEPREFIX/drive_c/windows/ZN374Mon.exe"
check "before uninstalling without the file" "files=[ZN374Stat.exe] value=[$value] entries=[$version NoModify=0x1 NoRepair=0x1] monitors=0" "$(state)"
msiexec /x "$(windows_path "$package")" /l*v "$(windows_path "$work/lost.log")"
check "msiexec /x without the file exit code" 0 $?
check "after uninstalling without the file" "files=[] value=[] entries=[] monitors=0" "$(state)"
check "the log of that uninstall (ERROR_FILE_NOT_FOUND)" "EndRemainingMonitors: no installed file to match, error 2; no process ended" \
    "$(tr -d '\0\r' < "$work/lost.log" | grep -o 'EndRemainingMonitors: no installed file.*ended')"
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' >/dev/null 2>&1
check "Run key after uninstalling without the file: reg query exit code" 0 $?

# Without a supported camera the first start removes the Run value and ends;
# the file stays until the uninstall.
simctl camera-clear >/dev/null
simctl device-clear >/dev/null
msiexec /i "$(windows_path "$package")"
check "msiexec /i without a camera exit code" 0 $?
for ((i = 0; i < 100; i++)); do [ -z "$(run_value)" ] && break; sleep 0.1; done
wait_monitors 0
check "after an install without a camera" "files=[ZN374Mon.exe ZN374Stat.exe] value=[] entries=[$version NoModify=0x1 NoRepair=0x1] monitors=0" "$(state)"
# Turned back on once a camera is fitted, as the README says: a repair
# rewrites the value. It replaces no file (no o, e, d, c or a in its mode,
# as with /fum), so it ends no monitor, here one the person started by hand,
# and starts none.
simctl device-add-camera "$camera" >/dev/null
simctl camera-add "$camera" >/dev/null
wine "$installed" >/dev/null 2>&1 &
wait_monitors 1
first=$(monitors)
msiexec /i "$(windows_path "$package")" REINSTALL=ALL REINSTALLMODE=mus
check "msiexec /i REINSTALL=ALL REINSTALLMODE=mus after the monitor removed its value exit code" 0 $?
sleep 1
check "after that repair" "files=[ZN374Mon.exe ZN374Stat.exe] value=[$value] entries=[$version NoModify=0x1 NoRepair=0x1] monitors=1 pid=$first" "$(state) pid=$(monitors)"
# The machine's Windows was upgraded since: the product still goes.
msiexec_windows win7
msiexec /x "$(windows_path "$package")"
check "msiexec /x on win7 since the install, exit code" 0 $?
msiexec_windows
check "after uninstalling on win7" "files=[] value=[] entries=[] monitors=0" "$(state)"

# A reinstall that fails once the monitors are ended. Wine's msiexec does not
# roll back, so a copy of the package runs the rollback's DLL entry, with
# the data a person's install gives it, as a deferred action, then fails (cmd /c exit 1): the Run value is still there,
# since ending the monitors never deletes it, and the person's monitor runs
# again, started without the installer waiting for it. Without the rollback
# Wine's registration is left half undone; a whole reinstall mends it.
msiexec /i "$(windows_path "$package")"
wait_monitors 1
first=$(monitors)
cp "$package" "$work/failing.msi"
msibuild "$work/failing.msi" -q "INSERT INTO Property (Property, Value) VALUES ('FailProgram', 'cmd.exe')" \
    -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('SetRestartNowData', 51, 'RestartNow', '[InteractiveLogon]|[WindowsFolder]ZN374Mon.exe')" \
    -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('RestartNow', 1025, 'InstallerActions', 'RestartMonitor')" \
    -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('Fail', 1074, 'FailProgram', '/c exit 1')" \
    -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('SetRestartNowData', 1453)" \
    -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('RestartNow', 3497)" \
    -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('Fail', 3498)"
timeout 120 wine msiexec /i "$(windows_path "$work/failing.msi")" REINSTALL=ALL REINSTALLMODE=vomus /qn >/dev/null 2>&1
check "a reinstall failing after the monitors were ended: exit code (1627, of which Unix keeps 91)" 91 $?
wait_monitors 1
check "after the failed reinstall (monitor: the restarted one, not $first)" "files=[ZN374Mon.exe ZN374Stat.exe] value=[$value] entries=[$version NoModify=0x1 NoRepair=0x1] monitors=1 restarted" \
    "$(state) $([ "$(monitors)" != "$first" ] && echo restarted)"
msiexec /i "$(windows_path "$package")" REINSTALL=ALL REINSTALLMODE=vomus
msiexec /x "$(windows_path "$package")"
check "after mending and uninstalling" "files=[] value=[] entries=[] monitors=0" "$(state)"

# Upgrades by this package from a past build of a lower version and from
# another build of this version, each installed with its monitor running,
# on a machine without ours; then the lower version is refused.
upgrade_path() {  # upgrade_path MACHINE
    local old pids code
    for old in lower same; do
        msiexec /i "$(windows_path "$work/$old.msi")"
        wait_monitors 1
        pids=$(monitors)
        check "$1: after installing $old.msi" \
            "entries=[$(package_property "$work/$old.msi" ProductVersion) NoModify=0x1 NoRepair=0x1] monitors=1 other" \
            "$(state | grep -o 'entries.*') $(installed_build)"
        msiexec /i "$(windows_path "$package")"
        code=$?
        wait_monitors 1
        check "$1: msiexec /i over it: exit code, state (the monitor: not $pids)" \
            "0 files=[ZN374Mon.exe ZN374Stat.exe] value=[$value] entries=[$version NoModify=0x1 NoRepair=0x1] monitors=1 this new" \
            "$code $(state) $(installed_build) $([ "$(monitors)" != "$pids" ] && echo new)"
    done
    pids=$(monitors)
    msiexec /i "$(windows_path "$work/lower.msi")"
    code=$?
    check "$1: msiexec /i of lower.msi: exit code (1603, of which Unix keeps 67), state" \
        "67 entries=[$version NoModify=0x1 NoRepair=0x1] monitors=1 this pid=$pids" \
        "$code $(state | grep -o 'entries.*') $(installed_build) pid=$(monitors)"
    msiexec /x "$(windows_path "$package")"
    check "$1: after the upgrades and an uninstall" "files=[] value=[] entries=[] monitors=0" "$(state)"
}
upgrade_path "32-bit Windows"

# The whole run on a 64-bit Windows (XP x64 Edition, NT 5.2), the programs
# under WOW64, on a machine made once beside this one.
machine=$WINEPREFIX prefix64=${WINEPREFIX}64
[ -f "$prefix64/system.reg" ] || bash "$root/sim/make-prefix.sh" "$prefix64" win64
export WINEPREFIX=$prefix64 WINEARCH=win64
cp "$bin/powrprof.dll" "$bin/cfgmgr32.dll" "$bin/zn374simcam.dll" "$WINEPREFIX/drive_c/windows/syswow64/"
simctl device-add-camera "$camera" >/dev/null
simctl camera-add "$camera" >/dev/null
msiexec /i "$(windows_path "$package")"
check "msiexec /i on 64-bit Windows exit code" 0 $?
wait_monitors 1
check "after a quiet install on 64-bit Windows" "files=[ZN374Mon.exe ZN374Stat.exe] value=[$value] entries=[$version NoModify=0x1 NoRepair=0x1] monitors=1" "$(state)"
msiexec /x "$(windows_path "$package")"
check "msiexec /x on 64-bit Windows exit code" 0 $?
check "after uninstalling on 64-bit Windows" "files=[] value=[] entries=[] monitors=0" "$(state)"
upgrade_path "64-bit Windows"
wineserver -k
export WINEPREFIX=$machine WINEARCH=win32

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "package on the simulated machine: all checks passed"
