#!/usr/bin/env bash
# Builds the test-signed driver package: OUTDIR gets
#   bulkcom.sys        the image with an embedded Authenticode signature
#                      (SHA-256) by the test certificate
#   bulkcom.inf        the shipped INF, unchanged
#   bulkcom-test.cer   the test certificate (DER), for the test machine's
#                      Trusted Root and Trusted Publishers stores
#   INSTALL.txt        the README's section "Installing the driver package"
#
# The test certificate (self-signed, code signing, CN=bulkcom test) and its
# key live in OUTDIR-key, made on the first run and reused after it, so that
# a test machine that trusts the certificate keeps trusting later packages.
# That folder also holds bulkcom-test.pfx (password "bulkcom"), for SignTool
# to sign the catalog on Windows. The key never goes into the package.

set -euo pipefail

usage() {
    echo "usage: make-package.sh BULKCOM.SYS BULKCOM.INF README.md OUTDIR" >&2
    exit 2
}

[[ $# -eq 4 ]] || usage
sys=$1
inf=$2
readme=$3
outdir=${4%/}
keydir=$outdir-key
for input in "$sys" "$inf" "$readme"; do
    [[ -f $input ]] || { echo "make-package: $input: no such file" >&2; exit 2; }
done

key=$keydir/bulkcom-test.key.pem
cert=$keydir/bulkcom-test.pem
pfx=$keydir/bulkcom-test.pfx

mkdir -p "$keydir"
if [[ ! -f $key || ! -f $cert ]]; then
    (umask 077 && openssl req -x509 -newkey rsa:2048 -sha256 -nodes -days 3650 -subj "/CN=bulkcom test" \
        -addext "basicConstraints=critical,CA:FALSE" -addext "keyUsage=critical,digitalSignature" \
        -addext "extendedKeyUsage=codeSigning" -keyout "$key" -out "$cert" 2>/dev/null)
    rm -f "$pfx"
fi
# Triple-DES rather than OpenSSL 3's AES default: Windows before 10 version 1709
# cannot read an AES-protected PFX.
if [[ ! -f $pfx ]]; then
    (umask 077 && openssl pkcs12 -export -name "bulkcom test" -inkey "$key" -in "$cert" -passout pass:bulkcom \
        -keypbe PBE-SHA1-3DES -certpbe PBE-SHA1-3DES -macalg sha1 -out "$pfx")
fi

mkdir -p "$outdir"
rm -f "$outdir/bulkcom.sys" "$outdir/bulkcom.inf" "$outdir/bulkcom-test.cer" "$outdir/INSTALL.txt"

# osslsigncode appends the certificate table and recomputes the PE checksum.
osslsigncode sign -h sha256 -certs "$cert" -key "$key" -n "bulkcom" -in "$sys" -out "$outdir/bulkcom.sys" >/dev/null
cp "$inf" "$outdir/bulkcom.inf"
openssl x509 -in "$cert" -outform DER -out "$outdir/bulkcom-test.cer"

# The section runs from its heading to the next level-2 heading.
awk '/^## / { inside = ($0 == "## Installing the driver package") } inside' "$readme" >"$outdir/INSTALL.txt"
[[ -s $outdir/INSTALL.txt ]] ||
    { echo "make-package: $readme has no section \"Installing the driver package\"" >&2; exit 1; }

verified=$(osslsigncode verify -CAfile "$cert" -in "$outdir/bulkcom.sys" 2>&1) ||
    { echo "$verified" >&2; echo "make-package: the signed image does not verify" >&2; exit 1; }
echo "$outdir:"
for file in bulkcom.sys bulkcom.inf bulkcom-test.cer INSTALL.txt; do
    printf "  %-18s %6d bytes\n" "$file" "$(stat -c %s "$outdir/$file")"
done
grep -E '^(PE checksum|Signature verification)' <<<"$verified" | sed 's/^/  /'
echo "  test certificate:  $cert (key and PFX beside it, never in the package)"
