#!/usr/bin/env bash
# Configures and builds the trees named (all three by default): build/native,
# build/win32 and build/fuzz (the libFuzzer targets, built with clang).
# usage: build.sh [native|win32|fuzz]...
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
trees=("$@")
[ ${#trees[@]} -gt 0 ] || trees=(native win32 fuzz)
for tree in "${trees[@]}"; do
  if [ "$tree" = fuzz ]; then
    cmake -S fuzz -B build/fuzz -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
    cmake --build build/fuzz -j "$jobs"
  else
    cmake --preset "$tree" >/dev/null
    cmake --build --preset "$tree" -j "$jobs"
  fi
done
