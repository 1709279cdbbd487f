#!/usr/bin/env bash
# Gathers into one folder what an administrator copies to the share: the
# package, ZN374Stat.exe and ZN374Mon.exe on their own (for checks before
# deploying, and for an install by hand), collect.cmd, and SHA256SUMS over
# them. Installs what is missing and builds the Win32 tree first, signed when
# the signing variables are set (docs/releasing.md); ZN374_RELEASE_BIN names a
# built bin folder to take the files from instead, without building. The
# folder holds nothing else: files of an earlier release are replaced, and a
# folder with other files is refused.
# usage: release.sh [DIR]   (default build/release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/release}
bin=${ZN374_RELEASE_BIN:-}
if [ -z "$bin" ]; then
    bash "$root/scripts/setup.sh"
    bash "$root/scripts/build.sh" win32
    bin=$root/build/win32/bin
fi

# The package is named after the first three fields of the project version.
version=$(sed -n 's/^project(ZN374Mon VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' \
    "$root/CMakeLists.txt")
package=$bin/ZN374Mon-$version.msi
files=("$package" "$bin/ZN374Stat.exe" "$bin/ZN374Mon.exe" "$root/src/status/collect.cmd")
for file in "${files[@]}"; do
    [ -f "$file" ] || { echo "release.sh: no $file" >&2; exit 2; }
done

mkdir -p "$out"
ours='ZN374Mon-[0-9.]+\.msi|ZN374Stat\.exe|ZN374Mon\.exe|collect\.cmd|SHA256SUMS'
others=$(ls -A "$out" | grep -vxE "$ours" || true)
if [ -n "$others" ]; then
    echo "release.sh: $out holds other files ($(echo $others)); give an empty folder" >&2
    exit 2
fi
rm -f "$out"/ZN374Mon-*.msi "$out/SHA256SUMS"
cp "${files[@]}" "$out/"
(cd "$out" && sha256sum -- "${files[@]##*/}" > SHA256SUMS)
echo "release.sh: $out"
(cd "$out" && ls -l -- "${files[@]##*/}" SHA256SUMS | awk '{ print "  " $5 "\t" $NF }')
