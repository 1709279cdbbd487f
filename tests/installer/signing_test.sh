#!/usr/bin/env bash
# The signing step with a throw-away certificate authority: package.sh signs
# the executable, packages it and signs the package, each with a SHA-1
# signature and a nested SHA-256 one that osslsigncode verifies against that
# authority; a changed byte fails the check; without a certificate nothing is
# signed and the step says so.
# usage: signing_test.sh PACKAGE_SH MONITOR_EXE STATUS_EXE ACTIONS_DLL
set -uo pipefail
package_sh=$1 exe=$2 status=$3 dll=$4
sign=$(dirname "$package_sh")/sign.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
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

cp "$exe" unsigned.exe
found=$(ZN374_SIGN_CERT='' ZN374_SIGN_KEY='' bash "$sign" unsigned.exe 2>&1)
grep -q 'left unsigned' <<< "$found" || fail "without a certificate: expected 'left unsigned', got: $found"
cmp -s "$exe" unsigned.exe || fail "without a certificate the executable was changed"

ZN374_SIGN_CERT=chain.pem ZN374_SIGN_KEY=signer.key bash "$package_sh" ZN374Mon.msi 1.0.0 "$dll" "$exe" "$status" >/dev/null ||
    fail "package.sh failed with a certificate"
msiextract -C files ZN374Mon.msi >/dev/null
recorded=$(msiinfo export ZN374Mon.msi File | tr -d '\r' | awk -F'\t' '$3 == "ZN374Mon.exe" { print $4 }')
[ "$recorded" = "$(stat -c %s files/ZN374Mon.exe 2>/dev/null)" ] ||
    fail "File table records $recorded bytes, the packaged executable has $(stat -c %s files/ZN374Mon.exe 2>&1)"

# A byte inside what each signature covers: the code of the executable, the
# package's summary.
for file in files/ZN374Mon.exe ZN374Mon.msi; do
    report=$(osslsigncode verify -CAfile ca.pem -in "$file" 2>&1)
    status=$?
    digests=$(grep -o '^Message digest algorithm  *: *[A-Z0-9-]*' <<< "$report" | awk '{ print $NF }' | paste -sd' ')
    [ "$status" -eq 0 ] || fail "$file: verify exit code $status, expected 0:"$'\n'"$report"
    [ "$digests" = "SHA1 SHA256" ] || fail "$file: signature digests [$digests], expected [SHA1 SHA256]"

    offset=1100
    [ "$file" = ZN374Mon.msi ] && offset=$(grep -obaF "Tells the USB" "$file" | head -1 | cut -d: -f1)
    cp "$file" changed
    printf '\x5a' | dd of=changed bs=1 seek="$offset" conv=notrunc status=none
    cmp -s "$file" changed && fail "$file: the byte at $offset already was 0x5a"
    osslsigncode verify -CAfile ca.pem -in changed >/dev/null 2>&1 &&
        fail "$file with the byte at $offset changed: verify passed, expected a failure"
done

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "signing: executable and package signed (SHA-1, nested SHA-256) and verified; changed copies rejected"
