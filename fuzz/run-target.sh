#!/usr/bin/env bash
# Runs one fuzz target from its seeds in fuzz/corpus/<name>/. New inputs go to
# a temporary corpus that is thrown away, so the repository never changes;
# an input that breaks a promise is kept in build/fuzz/findings/<name>/.
# usage: run-target.sh TARGET_EXE [LIBFUZZER_OPTIONS...]
set -euo pipefail
exe=$1
shift
name=$(basename "$exe" _fuzz)
here=$(cd "$(dirname "$0")" && pwd)
findings=$(dirname "$exe")/findings/$name
mkdir -p "$findings"
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
"$exe" -artifact_prefix="$findings/" -print_final_stats=1 "$@" "$corpus" "$here/corpus/$name"
