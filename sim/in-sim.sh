#!/usr/bin/env bash
# Runs a command on the simulated XP machine: the repository's prefix with
# the stand-in DLLs installed, and (where the kernel lets us) a private
# /sys/class/power_supply that the Win32 side can rewrite to play battery.
set -uo pipefail
sim=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$sim")

# Inside a run everything is already in place, the namespace included.
if [ "${ZN374_SIM_INSIDE:-}" = 1 ]; then
    exec "$@"
fi

export WINEPREFIX=${ZN374_PREFIX:-$root/build/win32/prefix}
# ZN374_ARCH=win64 with a prefix of its own: Windows XP x64 Edition.
export WINEARCH=${ZN374_ARCH:-win32}
export WINEDEBUG=${ZN374_WINEDEBUG:--all}
if [ $# -eq 0 ]; then
    echo "usage: $0 CMD [ARGS...]" >&2
    exit 2
fi

# A run of a single test needs no separate set-up step; the lock keeps two
# such runs from booting the same prefix twice.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    flock "$WINEPREFIX.lock" bash -c \
        '[ -f "$1/system.reg" ] || "$2/make-prefix.sh" "$1" "$3"' _ "$WINEPREFIX" "$sim" "$WINEARCH" || exit 1
fi

# Copy the stand-ins over Wine's own DLLs of the same names. Compared by
# content, not date: the prefix is usually younger than the build.
bin=${ZN374_SIM_BIN:-$root/build/win32/bin}
# A 64-bit Windows loads 32-bit DLLs from syswow64.
system32=$WINEPREFIX/drive_c/windows/system32
[ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ] || system32=$WINEPREFIX/drive_c/windows/syswow64
if [ -d "$system32" ]; then
    for dll in powrprof.dll cfgmgr32.dll zn374simcam.dll; do
        if [ -f "$bin/$dll" ] && ! cmp -s "$bin/$dll" "$system32/$dll"; then
            cp "$bin/$dll" "$system32/$dll.$$" && mv -f "$system32/$dll.$$" "$system32/$dll"
        fi
    done
fi
# A server that outlives each test by a minute saves the prefix's boot
# (about 0.7 s) for every executable that follows; if one is already
# running this start simply fails. A new server's system processes
# (services.exe and the services it starts) keep the stderr of whichever
# process booted them until the server ends, so they are booted here with
# no output attached: booted by a test, they would keep ctest waiting on its
# pipe for the whole minute.
if [ -d "$WINEPREFIX" ] && wineserver -p60 >/dev/null 2>&1; then
    wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
fi

# Native first, Wine's builtin only where no stand-in has been built yet.
export WINEDLLOVERRIDES="powrprof,cfgmgr32=n,b${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
export ZN374_SIM_INSIDE=1

if [ "${ZN374_SIM_NO_BATTERY:-}" != 1 ] &&
   unshare -m --propagation private true >/dev/null 2>&1; then
    exec unshare -m --propagation private "$sim/sim-battery.sh" "$@"
fi
export ZN374_SIM_NO_BATTERY=1
exec "$@"
