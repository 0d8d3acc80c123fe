#!/usr/bin/env bash
# Signs the Windows executables that scripts/build-windows.sh left in dist/
# with the publisher's code-signing certificate (Authenticode, osslsigncode)
# and writes the signed copies, with their SHA256SUMS, to dist/signed/. The
# unsigned files stay as they are: anyone who rebuilds the commit gets them
# byte for byte, and scripts/check-signed.sh shows that each signed file is
# such a file plus its signature.
#   bash scripts/sign-windows.sh --cert CERT.pem --key KEY.pem [options]
#   bash scripts/sign-windows.sh --pkcs12 CERT.p12 [options]
# Options:
#   --pass-file FILE   the key's passphrase, on the first line of FILE
#   --timestamp URL    an RFC 3161 time stamp server (the signature then stays
#                      valid after the certificate expires)
#   --ca FILE          the certificates to trust when checking the signatures
#                      (default: the system's)
#   --dist DIR         the folder of the executables (default: dist)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh

usage() {
    echo "用法：bash scripts/sign-windows.sh --cert 证书.pem --key 私钥.pem [--pass-file 文件] [--timestamp 网址] [--ca 文件] [--dist 目录]" >&2
    echo "  或：bash scripts/sign-windows.sh --pkcs12 证书.p12 [--pass-file 文件] [--timestamp 网址] [--ca 文件] [--dist 目录]" >&2
    exit 2
}
refuse() {
    echo "$*" >&2
    exit 2
}

cert='' key='' pkcs12='' pass_file='' timestamp='' ca='' dist=dist
while [ $# -gt 0 ]; do
    case $1 in
    --cert | --key | --pkcs12 | --pass-file | --timestamp | --ca | --dist)
        if [ $# -lt 2 ] || [ -z "$2" ]; then
            refuse "$1 后面缺少值：请写上文件、网址或目录。"
        fi
        case $1 in
        --cert) cert=$2 ;;
        --key) key=$2 ;;
        --pkcs12) pkcs12=$2 ;;
        --pass-file) pass_file=$2 ;;
        --timestamp) timestamp=$2 ;;
        --ca) ca=$2 ;;
        --dist) dist=$2 ;;
        esac
        shift 2
        ;;
    -h | --help) usage ;;
    *) refuse "不认识的选项 $1：请运行 bash scripts/sign-windows.sh --help 查看用法。" ;;
    esac
done

signer=()
if [ -n "$pkcs12" ]; then
    [ -z "$cert$key" ] || refuse "--pkcs12 不能与 --cert、--key 同时使用：请只给其中一种。"
    signer=(-pkcs12 "$pkcs12")
elif [ -n "$cert" ] && [ -n "$key" ]; then
    signer=(-certs "$cert" -key "$key")
else
    refuse "缺少证书：请用 --cert 和 --key 给出证书和私钥，或用 --pkcs12 给出 .p12 文件。"
fi
for file in "$cert" "$key" "$pkcs12" "$pass_file" "$ca"; do
    [ -z "$file" ] || [ -r "$file" ] || refuse "无法读取 $file：请检查路径和权限。"
done
[ -z "$pass_file" ] || signer+=(-readpass "$pass_file")
case $timestamp in
'' | http://* | https://*) ;;
*) refuse "--timestamp $timestamp 不是网址：请写 http:// 或 https:// 开头的时间戳服务器地址。" ;;
esac
[ -z "$timestamp" ] || signer+=(-ts "$timestamp")
verify_ca=()
[ -z "$ca" ] || verify_ca=(-CAfile "$ca")

pelvoran_install_packages osslsigncode

signed=$dist/signed
mkdir -p "$signed"
for name in Pelvoran.exe pelvoran-decode.exe; do
    [ -f "$dist/$name" ] || refuse "$dist/$name 不存在：请先运行 bash scripts/build-windows.sh。"
    rm -f "$signed/$name"
    if ! osslsigncode sign "${signer[@]}" -h sha256 -n "${name%.exe}" \
        -in "$dist/$name" -out "$signed/$name" >/dev/null; then
        echo "$dist/$name 签名失败：请检查证书、私钥和口令（以及时间戳服务器是否可达）。" >&2
        exit 1
    fi
    if ! osslsigncode verify "${verify_ca[@]}" -in "$signed/$name" >/dev/null; then
        echo "$signed/$name 的签名未通过校验：若证书不是由系统信任的机构签发，请用 --ca 给出其根证书。" >&2
        exit 1
    fi
    echo "已签名：$signed/$name"
done
(cd "$signed" && sha256sum -- Pelvoran.exe pelvoran-decode.exe >SHA256SUMS)
