#!/usr/bin/env bash
# Shows ZN374Mon at work on a freshly made simulated Windows XP machine with a
# simulated USB camera: installs what is missing, builds, starts the real
# ZN374Mon.exe with /i, plays a suspend, a session end and a battery dip
# through the critical band, ends it with a /u run, and prints what the
# camera's driver received.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bin=${ZN374_SIM_BIN:-$root/build/win32/bin}
camera="ZN374 USB Camera"
critical=5

# ---- Inside the simulated machine (one namespace, so one battery) ----------
if [ "${1:-}" = --inside ]; then
    simctl() { wine "$bin/simctl.exe" "$@" 2>/dev/null | tr -d '\r'; }
    run_value() {
        local line
        line=$(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v ZN374Mon 2>/dev/null |
               tr -d '\r' | grep -i 'ZN374Mon' | grep REG_ || true)
        if [ -z "$line" ]; then echo "(none)"; else echo "${line#*REG_SZ}" | sed 's/^ *//'; fi
    }
    word7() { sed -n 's/.*words=\([0-9]*,\)\{7\}\([0-9]*\),.*/\2/p' <<< "$1"; }
    # The driver log's lines not shown yet, into $news as "value (event)".
    shown=0
    driver_news() {
        local lines i value
        mapfile -t lines < <(simctl log)
        news=""
        for ((i = shown; i < ${#lines[@]}; i++)); do
            value=$(word7 "${lines[$i]}")
            news+="${news:+, }$value ($(event_name "$value"))"
        done
        shown=${#lines[@]}
        news=${news:-nothing}
    }
    event_name() {
        case $1 in
            2) echo "system is suspending" ;;
            3) echo "session is ending" ;;
            4) echo "battery reached the critical band" ;;
            5) echo "battery left the critical band" ;;
            *) echo "unknown" ;;
        esac
    }
    step=0
    say() {  # say WHAT RESULT
        step=$((step + 1))
        printf '%2d. %-40s -> %s\n' "$step" "$1" "$2"
    }
    # Delivers one message to the monitor window and reports what reached the driver.
    play() {  # play WHAT EVENT
        simctl post ZN374Mon.exe "$2" >/dev/null
        driver_news
        say "$1" "driver received $news"
    }

    # The machine: a supported camera in the device tree, its capture filter,
    # mains power with a full battery, a critical alarm at $critical%.
    simctl camera-clear >/dev/null
    simctl device-clear >/dev/null
    simctl log-clear >/dev/null
    simctl device-add-camera "$camera" >/dev/null
    simctl camera-add "$camera" >/dev/null
    simctl critical "$critical" >/dev/null
    battery=1
    if [ "${ZN374_SIM_NO_BATTERY:-}" = 1 ]; then battery=0; else simctl battery 1 100 >/dev/null; fi
    wine reg delete 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v ZN374Mon /f >/dev/null 2>&1 || true

    echo "Camera: \"$camera\" (USB, selective suspend on), critical battery level $critical%"
    echo "Run value before: $(run_value)"
    echo

    wine "$bin/ZN374Mon.exe" /i >/dev/null 2>&1 &
    monitor=$!
    if ! simctl wait-window ZN374Mon.exe 20000 >/dev/null; then
        monitor_exit=0
        wait $monitor || monitor_exit=$?
        say "ZN374Mon.exe /i" "no monitor window; it ended with exit code $monitor_exit"
        exit 1
    fi
    say "ZN374Mon.exe /i" "monitoring; Run value = $(run_value)"
    play "system suspends (PBT_APMSUSPEND)" suspend
    play "user session ends (WM_ENDSESSION)" endsession
    if [ "$battery" = 1 ]; then
        for level in 80 6 5 30; do
            simctl battery 0 "$level" >/dev/null
            play "on battery at $level%, poll (WM_TIMER 101)" tick
        done
        simctl battery 1 100 >/dev/null
        play "mains power, battery full, poll" tick
    else
        say "battery dip" "skipped: no simulated battery on this machine"
    fi
    uninstall=0
    wine "$bin/ZN374Mon.exe" /u >/dev/null 2>&1 || uninstall=$?
    monitor_exit=0
    wait $monitor || monitor_exit=$?
    say "ZN374Mon.exe /u" "exit code $uninstall; monitor ended with exit code $monitor_exit"
    echo
    echo "Run value after:  $(run_value)"
    echo
    echo "What the camera's driver received (property 0x807 of the vendor set, value in word 7):"
    simctl log | while read -r line; do
        value=$(word7 "$line")
        result=$(sed -n 's/.*result=\(0x[0-9a-fA-F]*\).*/\1/p' <<< "$line")
        printf '  %s  %-34s (Set returned %s)\n' "$value" "$(event_name "$value")" "$result"
    done
    simctl device-clear >/dev/null
    simctl camera-clear >/dev/null
    exit 0
fi

# ---- Outside: tools, build, a fresh machine ---------------------------------
bash scripts/setup.sh
echo "Building (build/win32)..."
mkdir -p build
bash scripts/build.sh win32 > build/demo-build.log 2>&1 || { tail -30 build/demo-build.log; exit 1; }

prefix=$root/build/demo/prefix
rm -rf "$prefix"
echo "Making a fresh simulated Windows XP machine in build/demo/prefix..."
sim/make-prefix.sh "$prefix"
echo

status=0
ZN374_PREFIX=$prefix ZN374_SIM_BIN=$bin sim/in-sim.sh bash "$root/scripts/demo.sh" --inside || status=$?
WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
exit $status
