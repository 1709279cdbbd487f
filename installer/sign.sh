#!/usr/bin/env bash
# Signs each FILE in place (a PE image or a Windows Installer package) with
# two Authenticode signatures: SHA-1 first, which Windows 2000 and XP before
# SP3 can check, and a nested SHA-256 one for later systems.
#   ZN374_SIGN_CERT       certificate with its chain (PEM or DER)
#   ZN374_SIGN_KEY        its private key (PEM or DER)
#   ZN374_SIGN_PASS_FILE  optional: a file holding the key's password
# With neither set, the files stay unsigned and the script says so.
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
pass=()
[ -n "${ZN374_SIGN_PASS_FILE:-}" ] && pass=(-readpass "$ZN374_SIGN_PASS_FILE")

for file in "$@"; do
    osslsigncode sign -certs "$cert" -key "$key" "${pass[@]}" -n ZN374Mon -h sha1 \
        -in "$file" -out "$file.sha1" >/dev/null
    osslsigncode sign -certs "$cert" -key "$key" "${pass[@]}" -n ZN374Mon -h sha256 -nest \
        -in "$file.sha1" -out "$file.signed" >/dev/null
    rm -f "$file.sha1"
    mv -f "$file.signed" "$file"
    echo "sign.sh: signed $file (SHA-1, nested SHA-256)"
done
