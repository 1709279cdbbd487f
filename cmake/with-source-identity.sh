#!/usr/bin/env bash
# Runs COMMAND with the source identity that source-identity.sh wrote to FILE
# in its environment: the linker takes its time stamp from SOURCE_DATE_EPOCH.
# usage: with-source-identity.sh FILE COMMAND [ARG]...
set -euo pipefail
file=$1
shift
set -a
. "$file"
set +a
exec "$@"
