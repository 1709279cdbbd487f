#!/usr/bin/env bash
# Makes a fresh simulated XP machine: a 32-bit Wine prefix that reports
# Windows XP and draws through the null display driver, so that windows can
# be created on a machine without a display. With win64, a 64-bit prefix
# that reports Windows XP x64 Edition (NT 5.2), where 32-bit programs run
# under WOW64.
# usage: make-prefix.sh PREFIX [win32|win64]
set -euo pipefail
if [ $# -lt 1 ] || [ $# -gt 2 ] || [[ ! ${2:-win32} =~ ^win(32|64)$ ]]; then
    echo "usage: $0 PREFIX [win32|win64]" >&2
    exit 2
fi
mkdir -p "$(dirname "$1")"
prefix=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
arch=${2:-win32}
version=winxp
[ "$arch" = win32 ] || version=winxp64

export WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=-all
# Mono and Gecko installers would only slow down the boot; nothing here
# needs them.
WINEDLLOVERRIDES="mscoree,mshtml=" wineboot --init >/dev/null 2>&1

wine reg add 'HKCU\Software\Wine' /v Version /d "$version" /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
# A crashing program would otherwise wait for someone to close winedbg's
# crash dialog, which nobody sees on the null display: a test would hang
# until its timeout instead of failing at once with a backtrace.
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1

# The display driver is chosen when the prefix's server starts, so the new
# setting only counts after a restart.
wineserver -k >/dev/null 2>&1 || true
wineserver -w
