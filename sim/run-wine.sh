#!/usr/bin/env bash
# The cross build's test emulator: runs one Win32 executable on the
# simulated XP machine and passes its exit code on.
exec "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/in-sim.sh" wine "$@"
