#!/usr/bin/env bash
# The working tree built a second time, in another folder and later, makes
# the same images and package as the build tree (verify-build.sh), and each
# image carries the commit's time stamp and a PE checksum that is right;
# another commit of the same version gets another ProductCode and package code.
# usage: rebuild_test.sh SOURCE_DIR BIN_DIR
set -uo pipefail
source_dir=$1 bin=$2
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

started=$SECONDS
bash "$source_dir/scripts/verify-build.sh" --working-tree "$bin" || fail "verify-build.sh --working-tree exit code $?, expected 0"
echo "the second build and its comparison took $((SECONDS - started)) s"

# The PE header's time stamp (at 8 into the header) and checksum (at 88), and
# the checksum as the image loader computes it: the 16-bit words of the file
# summed with end-around carry, the checksum field left out, plus its length.
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
computed_checksum() {
    od -An -v -tu2 -w2 "$1" | awk -v field=$(($2 / 2)) -v size=$(stat -c %s "$1") '
        NR - 1 == field || NR - 1 == field + 1 { next }
        { sum += $1; sum = sum % 65536 + int(sum / 65536) }
        END { print sum + size }'
}
epoch=$(sed -n 's/^SOURCE_DATE_EPOCH=//p' "$bin/../source_identity")
for image in "$bin/ZN374Mon.exe" "$bin/ZN374Stat.exe" "$bin/ZN374Actions.dll"; do
    header=$(u32 "$image" 60)
    stamp=$(u32 "$image" $((header + 8)))
    [ "$stamp" = "$epoch" ] || fail "${image##*/}: time stamp $stamp, expected the commit's $epoch"
    stored=$(u32 "$image" $((header + 88)))
    expected=$(computed_checksum "$image" $((header + 88)))
    [ "$stored" = "$expected" ] || fail "${image##*/}: checksum $stored, expected $expected"
done

# The codes follow the source: another commit of the same version makes
# another product, and so another package.
package=$(ls "$bin"/ZN374Mon-*.msi)
codes() {
    echo "$(msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" { print $2 }')" \
         "$(msiinfo suminfo "$1" | sed -n 's/^Revision number (UUID): //p')"
}
version=$(msiinfo export "$package" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductVersion" { print $2 }')
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ZN374_SOURCE_COMMIT=0000000000000000000000000000000000000000 ZN374_SIGN_CERT='' ZN374_SIGN_KEY='' \
    bash "$source_dir/installer/package.sh" "$work/other.msi" "$version" \
        "$bin/ZN374Actions.dll" "$bin/ZN374Mon.exe" "$bin/ZN374Stat.exe" >/dev/null ||
    fail "package.sh for another commit: exit code $?"
read -r product package_code <<< "$(codes "$package")"
read -r other_product other_package_code <<< "$(codes "$work/other.msi")"
[ -n "$product" ] && [ "$product" != "$other_product" ] ||
    fail "ProductCode for another commit: $other_product, expected other than $product"
[ -n "$package_code" ] && [ "$package_code" != "$other_package_code" ] ||
    fail "package code for another commit: $other_package_code, expected other than $package_code"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "rebuilt elsewhere: the same bytes; time stamps $epoch, checksums right; another commit, other codes"
