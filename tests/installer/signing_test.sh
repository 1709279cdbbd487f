#!/usr/bin/env bash
# The signing step with a throw-away certificate authority: the executable and
# the package each get a SHA-1 signature with a nested SHA-256 one that
# osslsigncode verifies against that authority, a changed byte fails the
# check, and without a certificate nothing is signed and the step says so.
# usage: signing_test.sh EXE PACKAGE SIGN_SH
set -uo pipefail
exe=$1 package=$2 sign=$3
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

cp "$exe" ZN374Mon.exe
cp "$package" ZN374Mon.msi
found=$(ZN374_SIGN_CERT='' ZN374_SIGN_KEY='' bash "$sign" ZN374Mon.exe 2>&1)
grep -q 'left unsigned' <<< "$found" || fail "without a certificate: expected 'left unsigned', got: $found"
cmp -s "$exe" ZN374Mon.exe || fail "without a certificate the executable was changed"

ZN374_SIGN_CERT=chain.pem ZN374_SIGN_KEY=signer.key bash "$sign" ZN374Mon.exe ZN374Mon.msi >/dev/null ||
    fail "sign.sh failed with a certificate"

# A byte inside what each signature covers: the code of the executable, the
# summary of the package.
exe_offset=1100
msi_offset=$(grep -obaF "Tells the USB" ZN374Mon.msi | head -1 | cut -d: -f1)
for file in ZN374Mon.exe ZN374Mon.msi; do
    report=$(osslsigncode verify -CAfile ca.pem -in "$file" 2>&1)
    status=$?
    digests=$(grep -o '^Message digest algorithm  *: *[A-Z0-9-]*' <<< "$report" | awk '{ print $NF }' | paste -sd' ')
    [ "$status" -eq 0 ] || fail "$file: verify exit code $status, expected 0:"$'\n'"$report"
    [ "$digests" = "SHA1 SHA256" ] || fail "$file: signature digests [$digests], expected [SHA1 SHA256]"

    offset=$exe_offset
    [ "$file" = ZN374Mon.msi ] && offset=$msi_offset
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
echo "signing: both files signed (SHA-1, nested SHA-256) and verified; changed copies rejected"
