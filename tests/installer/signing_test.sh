#!/usr/bin/env bash
# The signing step with a throw-away certificate authority and a timestamp
# authority made on the spot (openssl ts behind a small HTTP responder on
# 127.0.0.1): package.sh signs the executables and the DLL where they are,
# packages them and signs the package, each with a SHA-1 signature and a
# nested SHA-256 one, both timestamped, that osslsigncode verifies against
# those authorities; signing again replaces the signatures; a changed byte
# fails the check; without a certificate nothing is signed and the step says
# so.
# usage: signing_test.sh PACKAGE_SH MONITOR_EXE STATUS_EXE ACTIONS_DLL
set -uo pipefail
package_sh=$1 exe=$2 status=$3 dll=$4
sign=$(dirname "$package_sh")/sign.sh
responder=$(cd "$(dirname "$0")" && pwd)/timestamp_authority.py
work=$(mktemp -d)
tsa_pid=
trap '[ -z "$tsa_pid" ] || kill "$tsa_pid"; rm -rf "$work"' EXIT
cd "$work"

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The authority and a code-signing certificate it issued.
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
    -subj "/CN=ZN374 test CA" -addext basicConstraints=critical,CA:TRUE 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=ZN374 test signer" 2>/dev/null
printf 'extendedKeyUsage=codeSigning\nkeyUsage=digitalSignature\n' > signer.ext
openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile signer.ext -out signer.pem 2>/dev/null
cat signer.pem ca.pem > chain.pem

# The timestamp authority, with a time-stamping certificate from the same
# authority.
openssl req -newkey rsa:2048 -nodes -keyout tsa.key -out tsa.csr -subj "/CN=ZN374 test TSA" 2>/dev/null
printf 'extendedKeyUsage=critical,timeStamping\nkeyUsage=digitalSignature\n' > tsa.ext
openssl x509 -req -in tsa.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile tsa.ext -out tsa.pem 2>/dev/null
echo 01 > tsa.serial
printf '%s\n' '[ tsa ]' 'default_tsa = test_tsa' '[ test_tsa ]' 'serial = tsa.serial' 'signer_cert = tsa.pem' \
    'certs = ca.pem' 'signer_key = tsa.key' 'signer_digest = sha256' 'default_policy = 1.3.6.1.4.1.99999.1' \
    'digests = sha1, sha256' 'accuracy = secs:1' > tsa.cnf
python3 "$responder" tsa.cnf > tsa.port &
tsa_pid=$!
for ((i = 0; i < 50; i++)); do [ -s tsa.port ] && break; sleep 0.1; done
export ZN374_SIGN_TIMESTAMP_URL=http://127.0.0.1:$(cat tsa.port) no_proxy=127.0.0.1 NO_PROXY=127.0.0.1

cp "$exe" unsigned.exe
found=$(ZN374_SIGN_CERT='' ZN374_SIGN_KEY='' bash "$sign" unsigned.exe 2>&1)
grep -q 'left unsigned' <<< "$found" || fail "without a certificate: expected 'left unsigned', got: $found"
cmp -s "$exe" unsigned.exe || fail "without a certificate the executable was changed"

# Copies of the build's files, which a by-hand install copies: signed too.
mkdir bin
cp "$exe" "$status" "$dll" bin/
bin_exe=bin/$(basename "$exe") bin_status=bin/$(basename "$status") bin_dll=bin/$(basename "$dll")
ZN374_SIGN_CERT=chain.pem ZN374_SIGN_KEY=signer.key bash "$package_sh" ZN374Mon.msi 1.0.0 "$bin_dll" "$bin_exe" "$bin_status" >/dev/null ||
    fail "package.sh failed with a certificate"
cp "$bin_exe" signed-again.exe
ZN374_SIGN_CERT=chain.pem ZN374_SIGN_KEY=signer.key bash "$sign" signed-again.exe >/dev/null ||
    fail "sign.sh failed on a signed file"
msiextract -C files ZN374Mon.msi >/dev/null
recorded=$(msiinfo export ZN374Mon.msi File | tr -d '\r' | awk -F'\t' '$3 == "ZN374Mon.exe" { print $4 }')
[ "$recorded" = "$(stat -c %s files/ZN374Mon.exe 2>/dev/null)" ] ||
    fail "File table records $recorded bytes, the packaged executable has $(stat -c %s files/ZN374Mon.exe 2>&1)"

for file in files/ZN374Mon.exe ZN374Mon.msi "$bin_exe" "$bin_status" "$bin_dll" signed-again.exe; do
    report=$(osslsigncode verify -CAfile ca.pem -TSA-CAfile ca.pem -in "$file" 2>&1)
    status=$?
    digests=$(grep -o '^Message digest algorithm  *: *[A-Z0-9-]*' <<< "$report" | awk '{ print $NF }' | paste -sd' ')
    timestamps=$(grep -c '^Timestamp Server Signature verification: ok' <<< "$report")
    [ "$status" -eq 0 ] || fail "$file: verify exit code $status, expected 0:"$'\n'"$report"
    [ "$digests" = "SHA1 SHA256" ] || fail "$file: signature digests [$digests], expected [SHA1 SHA256]"
    [ "$timestamps" = 2 ] || fail "$file: $timestamps verified timestamps, expected 2"
done

# A byte inside what each signature covers: the code of the executable, the
# package's summary.
for file in files/ZN374Mon.exe ZN374Mon.msi; do
    offset=1100
    [ "$file" = ZN374Mon.msi ] && offset=$(grep -obaF "Tells the USB" "$file" | head -1 | cut -d: -f1)
    cp "$file" changed
    printf '\x5a' | dd of=changed bs=1 seek="$offset" conv=notrunc status=none
    cmp -s "$file" changed && fail "$file: the byte at $offset already was 0x5a"
    osslsigncode verify -CAfile ca.pem -TSA-CAfile ca.pem -in changed >/dev/null 2>&1 &&
        fail "$file with the byte at $offset changed: verify passed, expected a failure"
done

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "signing: executables, DLL and package signed (SHA-1, nested SHA-256, timestamped) and verified; changed copies rejected"
