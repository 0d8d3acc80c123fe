#!/usr/bin/env bash
# Shows that a signed Windows executable is the executable rebuilt from the
# published source plus its Authenticode signature, and nothing else:
#   bash scripts/check-signed.sh SIGNED.exe REBUILT.exe [--ca FILE]
# 1. osslsigncode verify checks the signature of SIGNED and its certificate
#    chain (--ca: the certificates to trust; default: the system's).
# 2. The signature is taken out of SIGNED and attached to a copy of REBUILT:
#    osslsigncode computes the Authenticode digest of REBUILT and compares it
#    with the digest that was signed ("MISMATCH" when they differ).
# 3. That copy must equal SIGNED byte for byte: signing only pads the file,
#    appends the signature and sets the PE checksum, which attaching repeats.
# Exits 0 when all three hold, 1 when one fails, 2 on a usage error.
set -euo pipefail

refuse() {
    echo "$*" >&2
    exit 2
}
[ $# -ge 2 ] || refuse "用法：bash scripts/check-signed.sh 已签名.exe 重新构建的.exe [--ca 证书文件]"
signed=$1 rebuilt=$2
shift 2
ca=()
case "${1:-}" in
'') ;;
--ca)
    [ $# -eq 2 ] || refuse "--ca 后面缺少证书文件：请写上要信任的根证书（PEM）。"
    ca=(-CAfile "$2")
    ;;
*) refuse "不认识的选项 $1：只接受 --ca 证书文件。" ;;
esac
for file in "$signed" "$rebuilt" "${ca[@]:1}"; do
    [ -r "$file" ] || refuse "无法读取 $file：请检查路径。"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! osslsigncode verify "${ca[@]}" -in "$signed" >"$work/verify.txt" 2>&1; then
    grep -i 'digest\|verification\|error' "$work/verify.txt" >&2 || true
    echo "$signed 的签名未通过校验：签名无效，或证书不受信任（自签的证书请用 --ca 给出）。" >&2
    exit 1
fi
sed -n 's/^Current message digest *: */已签名的摘要：/p' "$work/verify.txt"

osslsigncode extract-signature -in "$signed" -out "$work/signature.der" >/dev/null
if ! osslsigncode attach-signature "${ca[@]}" -sigin "$work/signature.der" -in "$rebuilt" \
    -out "$work/attached.exe" >"$work/attach.txt" 2>&1; then
    sed -n 's/^Calculated message digest *: */重新构建的摘要：/p' "$work/attach.txt" >&2
    echo "$rebuilt 不是 $signed 所签的文件：两者的 Authenticode 摘要不同。" >&2
    exit 1
fi
if ! cmp -s "$work/attached.exe" "$signed"; then
    echo "$signed 除签名外还有别的改动：与 $rebuilt 加上同一签名的结果不完全相同。" >&2
    exit 1
fi
echo "$signed = $rebuilt + 签名"
