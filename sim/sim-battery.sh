#!/usr/bin/env bash
# Runs inside in-sim.sh's private mount namespace: hides the host's power
# supplies behind a tmpfs holding one mains adapter and one battery, laid out
# the way Wine's Linux battery query reads them, then runs the command.
#
# Wine reports ACLineStatus as the number in AC/online and, while a
# "Battery" entry has a status file, BatteryLifePercent as
# 100 * charge_now / charge_full (both scaled by voltage_now); without one it
# reports no battery and 255. At 1 V and charge_full 100000 the percentage is
# charge_now / 1000 exactly.
set -u
ps=/sys/class/power_supply
if mount -t tmpfs -o mode=0755,size=64k zn374sim "$ps" 2>/dev/null &&
   mkdir "$ps/AC" "$ps/BAT0"; then
    echo Mains > "$ps/AC/type"
    echo 1 > "$ps/AC/online"
    echo Battery > "$ps/BAT0/type"
    echo Full > "$ps/BAT0/status"
    echo 1000000 > "$ps/BAT0/voltage_now"
    echo 100000 > "$ps/BAT0/charge_full"
    echo 100000 > "$ps/BAT0/charge_now"
    echo 0 > "$ps/BAT0/current_now"
else
    export ZN374_SIM_NO_BATTERY=1
fi
exec "$@"
