#!/usr/bin/env bash
# Authenticode: signs the Windows executables with certificates made here
# (openssl) through scripts/sign-windows.sh, then scripts/check-signed.sh
# must accept each signed file against the unsigned rebuild and refuse the
# cases in the table. Every command is bounded in time.
#   bash tests/release/authenticode_test.sh <dist> <rebuilt-dist>
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
dist=$1 rebuilt=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
limit="timeout 60"
status=0
fail() {
    echo "FAILED: $*" >&2
    status=1
}

# Two signers: the publisher's and someone else's, each its own root.
for signer in ours other; do
    $limit openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Pelvoran test $signer" \
        -addext extendedKeyUsage=codeSigning -keyout "$work/$signer.key" \
        -out "$work/$signer.pem" 2>/dev/null
    mkdir "$work/$signer"
    cp "$dist/Pelvoran.exe" "$dist/pelvoran-decode.exe" "$work/$signer/"
    $limit bash "$root/scripts/sign-windows.sh" --cert "$work/$signer.pem" --key "$work/$signer.key" \
        --ca "$work/$signer.pem" --dist "$work/$signer" >/dev/null || fail "sign-windows.sh ($signer)"
    (cd "$work/$signer/signed" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS ($signer)"
done

for name in Pelvoran.exe pelvoran-decode.exe; do
    signed=$work/ours/signed/$name
    $limit osslsigncode verify -CAfile "$work/ours.pem" -in "$signed" >/dev/null ||
        fail "osslsigncode verify $name"
    # The rebuild with one byte changed in the middle.
    cp "$rebuilt/$name" "$work/changed-$name"
    size=$(stat -c %s "$work/changed-$name")
    printf '\xcc' | dd of="$work/changed-$name" bs=1 seek=$((size / 2)) conv=notrunc status=none
    # The signed file with another PE checksum (outside the signed digest).
    cp "$signed" "$work/checksum-$name"
    python3 - "$work/checksum-$name" <<'PY'
import struct, sys
with open(sys.argv[1], "r+b") as f:
    f.seek(0x3C)
    checksum = struct.unpack("<I", f.read(4))[0] + 4 + 20 + 64
    f.seek(checksum)
    value = struct.unpack("<I", f.read(4))[0]
    f.seek(checksum)
    f.write(struct.pack("<I", value ^ 0x5A5A))
PY
    # signed file | rebuilt file | expected status | the file a refusal names
    cases=(
        "$signed|$rebuilt/$name|0|"
        "$signed|$work/changed-$name|1|$work/changed-$name"
        "$work/other/signed/$name|$rebuilt/$name|1|$work/other/signed/$name"
        "$work/checksum-$name|$rebuilt/$name|1|$work/checksum-$name"
        "$dist/$name|$rebuilt/$name|1|$dist/$name"
    )
    for case in "${cases[@]}"; do
        IFS='|' read -r s r expected named <<<"$case"
        actual=0
        $limit bash "$root/scripts/check-signed.sh" "$s" "$r" --ca "$work/ours.pem" \
            >"$work/out" 2>&1 || actual=$?
        if [ "$actual" != "$expected" ]; then
            cat "$work/out" >&2
            fail "check-signed.sh $s $r: status $actual, expected $expected"
        elif [ -n "$named" ] && ! grep -qF "$named" "$work/out"; then
            cat "$work/out" >&2
            fail "check-signed.sh $s $r: the refusal does not name $named"
        fi
    done
done
[ $status -eq 0 ] && echo "Authenticode: signed, verified, and each signed file is the rebuild plus its signature"
exit $status
