#!/usr/bin/env bash
# Signs each FILE in place (a PE image or a Windows Installer package) with
# two Authenticode signatures: SHA-1 first, which Windows 2000 and XP before
# SP3 can check, and a nested SHA-256 one for later systems.
#   ZN374_SIGN_CERT       certificate with its chain (PEM or DER)
#   ZN374_SIGN_KEY        its private key (PEM or DER)
#   ZN374_SIGN_PASS_FILE  optional: a file holding the key's password
#   ZN374_SIGN_TIMESTAMP_URL  optional: an RFC 3161 timestamp server; each
#                         signature gets its time countersigned there, so it
#                         keeps verifying after the certificate has expired
# With neither certificate nor key set, the files stay unsigned and the
# script says so. A file that is already signed gets its signatures replaced.
# usage: sign.sh FILE...
set -euo pipefail
cert=${ZN374_SIGN_CERT:-}
key=${ZN374_SIGN_KEY:-}
if [ -z "$cert" ] && [ -z "$key" ]; then
    echo "sign.sh: ZN374_SIGN_CERT and ZN374_SIGN_KEY not set; left unsigned: $*"
    exit 0
fi
if [ -z "$cert" ] || [ -z "$key" ]; then
    echo "sign.sh: set both ZN374_SIGN_CERT and ZN374_SIGN_KEY, or neither" >&2
    exit 1
fi
options=(-certs "$cert" -key "$key" -n ZN374Mon)
[ -n "${ZN374_SIGN_PASS_FILE:-}" ] && options+=(-readpass "$ZN374_SIGN_PASS_FILE")
how="SHA-1, nested SHA-256"
if [ -n "${ZN374_SIGN_TIMESTAMP_URL:-}" ]; then
    options+=(-ts "$ZN374_SIGN_TIMESTAMP_URL")
    how+=", timestamped by $ZN374_SIGN_TIMESTAMP_URL"
fi

for file in "$@"; do
    osslsigncode sign "${options[@]}" -h sha1 -in "$file" -out "$file.sha1" >/dev/null
    osslsigncode sign "${options[@]}" -h sha256 -nest -in "$file.sha1" -out "$file.signed" >/dev/null
    rm -f "$file.sha1"
    chmod --reference="$file" "$file.signed"
    mv -f "$file.signed" "$file"
    echo "sign.sh: signed $file ($how)"
done
