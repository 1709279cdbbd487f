#!/usr/bin/env bash
# Builds COMMIT (by default the one the build tree was built from) in a fresh
# temporary clone, as scripts/build.sh would (with --working-tree: a copy of
# the working tree, committed or not), and compares what it makes with
# the files in DIR (by default build/win32/bin) byte by byte: the monitor,
# the status report, the custom-action DLL and the package.
#  - A signed image is compared without its signature (osslsigncode
#    remove-signature), so a signed release checks against an unsigned rebuild.
#  - A signed package holds signed images, so it is checked in two steps: each
#    image inside it without its signature, then the package made again
#    around those same signed images, with the package's own signature
#    attached, against the package as it is.
# Prints one line per file; exits 1 on any difference, 2 when it cannot build.
# usage: verify-build.sh [COMMIT|--working-tree [DIR]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${2:-$root/build/win32/bin}
[ -d "$dir" ] || { echo "verify-build.sh: no folder $dir" >&2; exit 2; }
for tool in osslsigncode msiextract msiinfo; do
    command -v "$tool" >/dev/null || { echo "verify-build.sh: $tool is missing (scripts/setup.sh installs it)" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source=$work/source

if [ "${1:-}" = --working-tree ]; then
    # Every file git would see, committed or not, built as of the last
    # commit, the way the build tree was.
    working_identity=$(bash "$root/cmake/source-identity.sh" "$root")
    eval "$working_identity"
    export SOURCE_DATE_EPOCH ZN374_SOURCE_COMMIT
    echo "verify-build: building the working tree in another folder"
    mkdir "$source"
    git -C "$root" ls-files -z --cached --others --exclude-standard |
        tar -C "$root" --null --files-from=- --ignore-failed-read -cf - 2>/dev/null | tar -C "$source" -xf -
else
    commit=${1:-$(sed -n 's/^ZN374_SOURCE_COMMIT=//p' "$root/build/win32/source_identity" 2>/dev/null || true)}
    commit=$(git -C "$root" rev-parse --verify --quiet "${commit:-HEAD}^{commit}") ||
        { echo "verify-build.sh: no commit ${1:-HEAD} in $root" >&2; exit 2; }
    # The rebuild takes the commit from the clone.
    unset ZN374_SOURCE_COMMIT
    echo "verify-build: building $commit in a fresh clone"
    git clone --quiet --no-checkout "$root" "$source"
    git -C "$source" -c advice.detachedHead=false checkout --quiet "$commit"
fi
# The rebuild signs nothing.
if ! (cd "$source" && unset ZN374_SIGN_CERT ZN374_SIGN_KEY &&
      cmake --preset win32 && cmake --build --preset win32 --target zn_package -j "$(nproc)") \
      > "$work/build.log" 2>&1; then
    tail -n 20 "$work/build.log" >&2
    echo "verify-build.sh: the rebuild failed" >&2
    exit 2
fi
identity=$source/build/win32/source_identity
rebuilt=$source/build/win32/bin
echo "verify-build: $(paste -sd' ' "$identity")"
if [ -f "$dir/../source_identity" ] && ! cmp -s "$dir/../source_identity" "$identity"; then
    echo "verify-build: but $dir was built from $(paste -sd' ' "$dir/../source_identity")"
fi

differences=0
verdict() {  # verdict NAME WHAT: one line, counted unless WHAT is "same"
    printf '%-40s %s\n' "$1" "$2"
    [ "$2" = same ] || [ "${2#same }" != "$2" ] || differences=$((differences + 1))
}
signed() { rm -f "$work/signature"; osslsigncode extract-signature -in "$1" -out "$work/signature" >/dev/null 2>&1; }
first_difference() {  # the first differing byte as cmp finds it, or nothing
    cmp "$1" "$2" 2>&1 | sed -n 's/.*differ: \(byte [0-9]*\).*/\1 differs/p; s/.*EOF on .*/one is shorter/p' || true
}
compare_bytes() {  # compare_bytes NAME FILE REBUILT [NOTE]
    local found
    if cmp -s "$2" "$3"; then
        verdict "$1" "same${4:+ ($4)}"
    else
        found=$(first_difference "$2" "$3")
        verdict "$1" "DIFFERENT: ${found:-differs}${4:+ ($4)}"
    fi
}
compare_image() {  # compare_image NAME FILE REBUILT
    if signed "$2"; then
        osslsigncode remove-signature -in "$2" -out "$work/unsigned" >/dev/null
        compare_bytes "$1" "$work/unsigned" "$3" "signature removed"
        rm -f "$work/unsigned"
    else
        compare_bytes "$1" "$2" "$3"
    fi
}
compare_signed_package() {  # compare_signed_package NAME FILE REBUILT
    local inside=$work/inside image version
    mkdir -p "$inside"
    msiextract -C "$inside" "$2" >/dev/null
    msiinfo extract "$2" Binary.InstallerActions > "$inside/ZN374Actions.dll"
    for image in "$inside"/*; do
        [ -f "$rebuilt/${image##*/}" ] || { verdict "$1: ${image##*/}" "DIFFERENT: not in the rebuild"; continue; }
        compare_image "$1: ${image##*/}" "$image" "$rebuilt/${image##*/}"
    done
    version=$(msiinfo export "$3" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductVersion" { print $2 }')
    (cd "$inside" && unset ZN374_SIGN_CERT ZN374_SIGN_KEY &&
        bash "$source/cmake/with-source-identity.sh" "$identity" bash "$source/installer/package.sh" \
            "$work/repackaged.msi" "$version" ZN374Actions.dll $(ls -- *.exe)) > /dev/null
    signed "$2"
    # attach-signature also checks the chain, which may fail where the
    # authority is unknown; the bytes it writes are what counts here.
    osslsigncode attach-signature -sigin "$work/signature" -in "$work/repackaged.msi" \
        -out "$work/resigned.msi" >/dev/null 2>&1 || true
    [ -f "$work/resigned.msi" ] || { verdict "$1" "DIFFERENT: its signature does not attach to the rebuild"; return; }
    compare_bytes "$1" "$2" "$work/resigned.msi" "made again around its own signed images, its signature attached"
}

for file in "$rebuilt"/*.exe "$rebuilt"/*.dll "$rebuilt"/*.msi; do
    name=${file##*/}
    if [ ! -f "$dir/$name" ]; then
        verdict "$name" "DIFFERENT: missing from $dir"
    elif [ "${name%.msi}" = "$name" ]; then
        compare_image "$name" "$dir/$name" "$file"
    elif signed "$dir/$name"; then
        compare_signed_package "$name" "$dir/$name" "$file"
    else
        compare_bytes "$name" "$dir/$name" "$file"
    fi
done
[ "$differences" -eq 0 ] || { echo "verify-build: $differences difference(s)"; exit 1; }
echo "verify-build: every file is the same"
