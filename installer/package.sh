#!/usr/bin/env bash
# Builds the Windows Installer package from ZN374Mon.wxs: stages and signs the
# executables (the package records their sizes, so they are signed first),
# compiles the package with wixl, completes what wixl leaves out, and signs
# the package. Each EXE reaches the source as $(var.<name>Exe), e.g.
# $(var.ZN374MonExe) for ZN374Mon.exe.
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

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
defines=(-D ProductVersion="$version" -D ActionsDll=ZN374Actions.dll)
cp "$actions" "$stage/ZN374Actions.dll"
for exe in "$@"; do
    name=$(basename "$exe")
    cp "$exe" "$stage/$name"
    defines+=(-D "${name%.exe}Exe=$name")
done
bash "$here/sign.sh" "$stage"/*.exe "$stage/ZN374Actions.dll"

# The FILEVERSION of a PE image's version block: the four 16-bit fields
# after the VS_FIXEDFILEINFO signature 0xFEEF04BD and its structure version.
file_version() {
    local hex fixed
    hex=$(od -An -v -tx1 "$1" | tr -d ' \n')
    fixed=${hex#*bd04effe}
    [ "$fixed" != "$hex" ] || { echo "package.sh: no version block in $1" >&2; return 1; }
    field() { echo $((16#${fixed:$1+2:2}${fixed:$1:2})); }
    echo "$(field 12).$(field 8).$(field 20).$(field 16)"
}

# wixl only finds sources by relative name.
(cd "$stage" && wixl -a x86 "${defines[@]}" -o package.msi "$here/ZN374Mon.wxs")
# wixl leaves File.Version empty, which would make every file unversioned.
for exe in "$stage"/*.exe; do
    version_of_file=$(file_version "$exe")
    msibuild "$stage/package.msi" -q "UPDATE File SET Version = '$version_of_file' WHERE FileName = '$(basename "$exe")'"
done
# wixl also drops IncludeMaximum: without it a rebuild of the same version
# would be installed beside the old one instead of replacing it. Attributes
# is part of the row's key, so the row is replaced (768: both ends included).
upgrade_code=$(msiinfo export "$stage/package.msi" Property | tr -d '\r' | awk -F'\t' '$1 == "UpgradeCode" { print $2 }')
msibuild "$stage/package.msi" \
    -q "DELETE FROM Upgrade WHERE ActionProperty = 'OLDERVERSIONFOUND'" \
    -q "INSERT INTO Upgrade (UpgradeCode, VersionMin, VersionMax, Attributes, ActionProperty) VALUES ('$upgrade_code', '0.0.0', '$version', 768, 'OLDERVERSIONFOUND')"
# Attributes 20: registry key path + permanent (see RunValue in the source).
msibuild "$stage/package.msi" -q "UPDATE Component SET Attributes = 20 WHERE Component = 'RunValue'"
# wixl's CustomAction table carries ExtendedType, a column of Windows
# Installer 4.5, and its empty Shortcut table columns of 4.0: the one is
# rewritten with the four columns that 2.0 knows, the other dropped.
msiinfo export "$stage/package.msi" CustomAction | tr -d '\r' | cut -f1-4 > "$stage/CustomAction.idt"
msibuild "$stage/package.msi" -q "DROP TABLE CustomAction" -q "DROP TABLE Shortcut" -i "$stage/CustomAction.idt"
bash "$here/sign.sh" "$stage/package.msi"
mv -f "$stage/package.msi" "$output"
echo "package.sh: $output ($(stat -c %s "$output") bytes)"
