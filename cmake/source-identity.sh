#!/usr/bin/env bash
# The identity of the source a build is made from, as shell assignments:
#   SOURCE_DATE_EPOCH=<seconds>    the time stamp every built file carries
#   ZN374_SOURCE_COMMIT=<hash>     the commit the package's codes derive from
# Each comes from the environment when set there, else from the last commit
# of SOURCE_DIR, so that one commit builds to the same bytes at any hour.
# With FILE, writes the assignments there, and only when they changed, so
# that what depends on FILE is remade after a new commit and only then.
# usage: source-identity.sh SOURCE_DIR [FILE]
set -euo pipefail
source_dir=$1 file=${2:-}

git_in_source() { git -C "$source_dir" -c safe.directory="*" "$@" 2>/dev/null; }
epoch=${SOURCE_DATE_EPOCH:-$(git_in_source log -1 --format=%ct || true)}
commit=${ZN374_SOURCE_COMMIT:-$(git_in_source rev-parse HEAD || true)}
if [ -z "$epoch" ] || [ -z "$commit" ]; then
    echo "source-identity.sh: $source_dir is no git checkout; set SOURCE_DATE_EPOCH and ZN374_SOURCE_COMMIT" >&2
    exit 1
fi
identity="SOURCE_DATE_EPOCH=$epoch
ZN374_SOURCE_COMMIT=$commit"

if [ -z "$file" ]; then
    echo "$identity"
elif [ "$(cat "$file" 2>/dev/null)" != "$identity" ]; then
    echo "$identity" > "$file"
fi
