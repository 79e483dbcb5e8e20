#!/usr/bin/env bash
# Builds the driver package into WORKDIR with make-package.sh and checks it:
#   - the package holds exactly its four files, the INF unchanged
#   - the signature of bulkcom.sys verifies against the test certificate,
#     and bulkcom-test.cer is that certificate
#   - the signed image still passes the image check, its PE checksum
#     included, and a byte changed after signing fails that check
#   - a second run reuses the test certificate
#   - INSTALL.txt is the README's install section
#
#   check-package.sh BULKCOM.SYS BULKCOM.INF README.md WORKDIR

set -uo pipefail

[[ $# -eq 4 ]] || { echo "usage: check-package.sh BULKCOM.SYS BULKCOM.INF README.md WORKDIR" >&2; exit 2; }
sys=$1
inf=$2
readme=$3
workdir=${4%/}
tools=$(dirname "$0")
package=$workdir/package
cert=$workdir/package-key/bulkcom-test.pem

failures=0
fail() {
    echo "FAIL: $1" >&2
    failures=$((failures + 1))
}

rm -rf "$workdir"
"$tools/make-package.sh" "$sys" "$inf" "$readme" "$package" || { echo "FAIL: make-package.sh failed" >&2; exit 1; }

files=$(find "$package" -mindepth 1 -printf '%f\n' | LC_ALL=C sort | tr '\n' ' ')
[[ $files == "INSTALL.txt bulkcom-test.cer bulkcom.inf bulkcom.sys " ]] ||
    fail "the package holds '$files', expected INSTALL.txt bulkcom-test.cer bulkcom.inf bulkcom.sys"
cmp -s "$inf" "$package/bulkcom.inf" || fail "bulkcom.inf differs from $inf"

osslsigncode verify -CAfile "$cert" -in "$package/bulkcom.sys" >"$workdir/verify.log" 2>&1 ||
    fail "osslsigncode verify refuses the signed bulkcom.sys: $(tail -n 3 "$workdir/verify.log")"
fingerprint() { openssl x509 -noout -fingerprint -sha256 "$@"; }
[[ $(fingerprint -inform DER -in "$package/bulkcom-test.cer") == $(fingerprint -in "$cert") ]] ||
    fail "bulkcom-test.cer is not the certificate that signed bulkcom.sys"

"$tools/check-sys-image.sh" --map "${sys%.sys}.map" "$package/bulkcom.sys" ||
    fail "the image check refuses the signed bulkcom.sys"
altered=$workdir/altered.sys
cp "$package/bulkcom.sys" "$altered"
last=$(($(stat -c %s "$altered") - 1))
printf -v complement '\\x%02x' $((255 - $(od -An -tu1 -j "$last" -N1 "$altered")))
printf '%b' "$complement" | dd of="$altered" bs=1 seek="$last" conv=notrunc status=none
if "$tools/check-sys-image.sh" --map "${sys%.sys}.map" "$altered" 2>"$workdir/altered.log" >/dev/null ||
    ! grep -q "PE checksum .* does not match the file" "$workdir/altered.log"; then
    fail "the image check misses a byte changed after signing: $(cat "$workdir/altered.log")"
fi

cp "$package/bulkcom-test.cer" "$workdir/first.cer"
"$tools/make-package.sh" "$sys" "$inf" "$readme" "$package" >/dev/null || fail "a second make-package.sh failed"
cmp -s "$workdir/first.cer" "$package/bulkcom-test.cer" || fail "a second run made a new test certificate"

[[ $(head -n 1 "$package/INSTALL.txt") == "## Installing the driver package" ]] ||
    fail "INSTALL.txt does not start with the README's install heading"
grep -q "pnputil /add-driver" "$package/INSTALL.txt" || fail "INSTALL.txt lacks the pnputil step"
! grep -q "^## " <(tail -n +2 "$package/INSTALL.txt") || fail "INSTALL.txt runs past the install section"

if (( failures != 0 )); then
    echo "check-package: $failures problems" >&2
    exit 1
fi
echo "check-package: $package OK"
