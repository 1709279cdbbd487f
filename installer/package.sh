#!/usr/bin/env bash
# Builds the Windows Installer package from ZN374Mon.wxs: signs the executables
# and the DLL where they are (the package records their sizes, so they are
# signed first, and a by-hand install copies the same signed files), stages
# them, compiles the package with wixl, completes what wixl leaves out,
# reading back every change, and signs the package. Each EXE reaches the
# source as $(var.<name>Exe), e.g. $(var.ZN374MonExe) for ZN374Mon.exe.
# Its codes and times follow the source (cmake/source-identity.sh: the last
# commit, or SOURCE_DATE_EPOCH and ZN374_SOURCE_COMMIT from the environment).
# usage: package.sh OUTPUT.msi PRODUCT_VERSION ACTIONS_DLL EXE...
set -euo pipefail
if [ $# -lt 4 ]; then
    echo "usage: $0 OUTPUT.msi PRODUCT_VERSION ACTIONS_DLL EXE..." >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
output=$1 version=$2 actions=$3
shift 3
for tool in wixl msibuild msiinfo; do
    command -v "$tool" >/dev/null || { echo "package.sh: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done

# One commit makes the same package in any folder and at any hour: its codes
# are name-based UUIDs over what is built, and every time in it is the
# commit's, written in UTC whatever the machine's time zone.
identity=$(bash "$here/../cmake/source-identity.sh" "$here/..")
eval "$identity"
export TZ=UTC
codes_namespace=C4A2B224-08D7-49CD-A375-D19A66AC1CA5
# A version 5 (SHA-1) UUID for the name given, in the namespace above.
name_uuid() {
    local hash
    hash=$({ printf "$(sed 's/../\\x&/g' <<< "${codes_namespace//-/}")"; printf '%s' "$1"; } | sha1sum)
    hash=${hash:0:12}5${hash:13:3}$(printf %x $((16#${hash:16:1} & 3 | 8)))${hash:17:15}
    echo "${hash:0:8}-${hash:8:4}-${hash:12:4}-${hash:16:4}-${hash:20:12}" | tr a-f A-F
}
# A new commit of the same version is a new product, which the Upgrade
# table's IncludeMaximum lets replace the installed one.
product_code=$(name_uuid "ProductCode $version $ZN374_SOURCE_COMMIT")

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
bash "$here/sign.sh" "$@" "$actions"
defines=(-D ProductVersion="$version" -D ActionsDll=ZN374Actions.dll)
cp "$actions" "$stage/ZN374Actions.dll"
for exe in "$@"; do
    name=$(basename "$exe")
    cp "$exe" "$stage/$name"
    defines+=(-D "${name%.exe}Exe=$name")
done
# The package code names these exact contents: the files as packaged
# (signed or not) and the source and script that shape the tables. The files
# carry the commit's time into the cabinet.
touch -d "@$SOURCE_DATE_EPOCH" "$stage"/*
contents=$({ (cd "$stage" && sha256sum -- *); (cd "$here" && sha256sum ZN374Mon.wxs package.sh); } | sha256sum)
package_code=$(name_uuid "PackageCode $product_code ${contents%% *}")
defines+=(-D ProductCode="$product_code")

# The FILEVERSION of a PE image's version block: the four 16-bit fields after
# the VS_FIXEDFILEINFO signature 0xFEEF04BD and its structure version 1.0,
# matched on whole bytes only.
file_version() {
    local offset minor major private build
    offset=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe\x00\x00\x01\x00' "$1" | head -n 1 | cut -d: -f1)
    [ -n "$offset" ] || { echo "package.sh: no version block in $1" >&2; return 1; }
    read -r minor major private build < <(od -An --endian=little -tu2 -j $((offset + 8)) -N 8 "$1")
    echo "$major.$minor.$build.$private"
}

# The cell in column COLUMN (counted from 1; 0: the whole row) of the rows of
# TABLE whose column KEY_COLUMN holds KEY, one line each.
cell() {  # cell TABLE KEY_COLUMN KEY COLUMN
    msiinfo export "$stage/package.msi" "$1" | tr -d '\r' | tail -n +4 |
        awk -F'\t' -v k="$2" -v key="$3" -v c="$4" '$k == key { print $c }'
}
# Stops the build when a change to the package did not take.
read_back() {  # read_back WHAT EXPECTED FOUND
    [ "$2" = "$3" ] && return
    echo "package.sh: $1 did not take: expected [$2], found [$3]" >&2
    exit 1
}

# A valid 8.3 name: up to eight characters, then optionally a dot and up to
# three, from the characters short names allow.
short_char='[[:alnum:]_~!#$%&()@^{}-]'
is_short_name() {
    [[ $1 =~ ^$short_char{1,8}(\.$short_char{1,3})?$ ]]
}

# The language of a PE image's version block: the first entry of its
# VarFileInfo\Translation value, whose key "Translation" (UTF-16, NUL,
# padded to 32 bits) the language ID follows.
file_language() {
    local offset
    offset=$(LC_ALL=C grep -obUaP 'T\x00r\x00a\x00n\x00s\x00l\x00a\x00t\x00i\x00o\x00n\x00\x00\x00' "$1" | head -n 1 | cut -d: -f1)
    [ -n "$offset" ] || { echo "package.sh: no translation in $1" >&2; return 1; }
    od -An --endian=little -tu2 -j $((offset + 26)) -N 2 "$1" | tr -d ' '
}

# wixl only finds sources by relative name.
(cd "$stage" && wixl -a x86 "${defines[@]}" -o package.msi "$here/ZN374Mon.wxs")
# wixl leaves File.Version and File.Language empty, which would make every
# file unversioned; a versioned file needs its language too (ICE60). It
# also hashes every file, but the MsiFileHash table is for unversioned
# files only ("MsiFileHash Table"; ICE60).
for exe in "$stage"/*.exe; do
    name=$(basename "$exe")
    version_of_file=$(file_version "$exe")
    language=$(file_language "$exe")
    file_key=$(cell File 3 "$name" 1)
    msibuild "$stage/package.msi" -q "UPDATE File SET Version = '$version_of_file', Language = '$language' WHERE FileName = '$name'" \
        -q "DELETE FROM MsiFileHash WHERE File_ = '$file_key'"
    read_back "File.Version and File.Language of $name" "$version_of_file	$language" "$(cell File 3 "$name" 0 | cut -f5,6)"
    read_back "dropping the hash of $name" "" "$(cell MsiFileHash 1 "$file_key" 1)"
done
# wixl drops ShortName: every long name that is not a valid 8.3 name gets
# one, "FIRST6~N.EXT" as Windows makes them, as "short|long".
names=$(msiinfo export "$stage/package.msi" File | tr -d '\r' | tail -n +4 | cut -f3)
used=" $(tr '\n' ' ' <<< "${names^^}") "
for name in $names; do
    ! is_short_name "$name" || continue
    stem=${name%.*} extension=${name##*.}
    stem=$(tr -d ' .' <<< "${stem^^}") extension=${extension^^}
    for ((n = 1; n < 10; n++)); do
        short="${stem:0:6}~$n.${extension:0:3}"
        [[ "$used" == *" $short "* ]] || break
    done
    used+="$short "
    msibuild "$stage/package.msi" -q "UPDATE File SET FileName = '$short|$name' WHERE FileName = '$name'"
    read_back "the short name of $name" "$short|$name" "$(cell File 3 "$short|$name" 3)"
done
# wixl also drops IncludeMaximum: without it a rebuild of the same version
# would be installed beside the old one instead of replacing it. Attributes
# is part of the row's key, so the row is replaced (768: both ends included).
upgrade_code=$(msiinfo export "$stage/package.msi" Property | tr -d '\r' | awk -F'\t' '$1 == "UpgradeCode" { print $2 }')
msibuild "$stage/package.msi" \
    -q "DELETE FROM Upgrade WHERE ActionProperty = 'OLDERVERSIONFOUND'" \
    -q "INSERT INTO Upgrade (UpgradeCode, VersionMin, VersionMax, Attributes, ActionProperty) VALUES ('$upgrade_code', '0.0.0', '$version', 768, 'OLDERVERSIONFOUND')"
read_back "the upgrade row" "$upgrade_code	0.0.0	$version		768" \
    "$(cell Upgrade 7 OLDERVERSIONFOUND 0 | cut -f1-5)"
# wixl's CustomAction table carries ExtendedType, a column of Windows
# Installer 4.5, and its empty Shortcut table columns of 4.0: the one is
# rewritten with the four columns that 2.0 knows, the other dropped. wixl
# also drops Execute="rollback": RestartMonitor gets its rollback and
# in-script bits (0x100 + 0x400) here. And it has no TerminalServerAware:
# every in-script action that impersonates the user (0x400 without 0x800)
# gets msidbCustomActionTypeTSAware (0x4000), without which a terminal
# server runs it as LocalSystem in a per-machine installation ("Custom
# Action In-Script Execution Options"); Windows Installer knows the bit from
# version 1.5 (msidefs.h), and the package requires 2.0.
rollback_type=$(( $(cell CustomAction 1 RestartMonitor 2) | 0x4500 ))
end_type=$(( $(cell CustomAction 1 EndMonitor 2) | 0x4000 ))
msiinfo export "$stage/package.msi" CustomAction | tr -d '\r' | cut -f1-4 |
    awk -F'\t' -v OFS='\t' -v t="$rollback_type" '
        function has(type, bit) { return int(type / bit) % 2 }
        NR > 3 && $1 == "RestartMonitor" { $2 = t }
        NR > 3 && has($2, 1024) && !has($2, 2048) && !has($2, 16384) { $2 += 16384 }
        { print }' > "$stage/CustomAction.idt"
msibuild "$stage/package.msi" -q "DROP TABLE CustomAction" -q "DROP TABLE Shortcut" -i "$stage/CustomAction.idt"
read_back "the CustomAction columns" "Action Type Source Target" \
    "$(msiinfo export "$stage/package.msi" CustomAction | head -n 1 | tr -d '\r' | tr '\t' ' ')"
read_back "RestartMonitor's type" "$rollback_type" "$(cell CustomAction 1 RestartMonitor 2)"
read_back "EndMonitor's type" "$end_type" "$(cell CustomAction 1 EndMonitor 2)"
read_back "dropping the Shortcut table" "" "$(msiinfo tables "$stage/package.msi" | grep -x Shortcut)"
# wixl writes a random package code (summary property 9) and the current
# time as the creation and last-saved times (12, 13).
(cd "$stage" &&
    msiinfo export package.msi _SummaryInformation | tr -d '\r' |
    awk -F'\t' -v OFS='\t' -v when="$(date -d "@$SOURCE_DATE_EPOCH" '+%Y/%m/%d %H:%M:%S')" \
        -v code="{$package_code}" '$1 == 9 { $2 = code } $1 == 12 || $1 == 13 { $2 = when } { print }' > _SummaryInformation.idt &&
    msibuild package.msi -i _SummaryInformation.idt)
read_back "the package code" "{$package_code}" \
    "$(msiinfo export "$stage/package.msi" _SummaryInformation | tr -d '\r' | awk -F'\t' '$1 == 9 { print $2 }')"
bash "$here/sign.sh" "$stage/package.msi"
mv -f "$stage/package.msi" "$output"
echo "package.sh: $output ($(stat -c %s "$output") bytes)"
