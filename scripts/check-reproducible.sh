#!/usr/bin/env bash
# Builds the four release files a second time and compares them with those in
# dist/ (scripts/build-packages.sh and scripts/build-windows.sh made them):
# other build folders, a later time of day, another umask and another time
# zone, nothing reused from the first build. Prints both SHA-256 columns;
# exits 1 naming each file that differs. Arguments go to both configure steps
# and must be those the first build had:
#   bash scripts/check-reproducible.sh -DPELVORAN_WERROR=ON
# The second build's folders sit beside build/ (build-again, build-again-win)
# and its files in build-again/dist. With --build first, it only builds
# (nothing of the first build is needed yet); with --compare, it only
# compares what both builds left (the test command builds beside other work
# and compares once the first build's files are all there).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/configure.sh
. scripts/sums.sh

first=${PELVORAN_DIST:-dist}
again=build-again/dist
build=true
compare=true
case "${1:-}" in
--build) compare=false && shift ;;
--compare) build=false && shift ;;
esac
if $compare && [ ! -f "$first/SHA256SUMS" ]; then
    echo "$first/SHA256SUMS 不存在：请先运行 scripts/build-packages.sh 和 scripts/build-windows.sh" >&2
    exit 2
fi
if $build; then
    # Another umask and time zone than the first build's.
    if [ "$(umask)" = 0077 ]; then umask 0022; else umask 0077; fi
    if [ "${TZ:-}" = Pacific/Kiritimati ]; then export TZ=America/Anchorage; else export TZ=Pacific/Kiritimati; fi
    echo "第二次构建：umask $(umask)，TZ=$TZ，当地时间 $(date '+%F %T %z')"

    # Each step's output goes to a log, shown when the step fails.
    rm -rf build-again build-again-win
    mkdir build-again
    log=build-again/steps.log
    quiet() {
        if ! "$@" >"$log" 2>&1; then
            cat "$log" >&2
            echo "第二次构建失败：$*" >&2
            exit 1
        fi
    }
    quiet pelvoran_configure build-again -DCMAKE_BUILD_TYPE=Release "$@"
    quiet cmake --build build-again -j2
    quiet env PELVORAN_DIST=$again bash scripts/build-packages.sh build-again
    quiet env PELVORAN_DIST=$again PELVORAN_WIN_RELEASE_BUILD=build-again-win \
        bash scripts/build-windows.sh "$@"
fi
$compare || exit 0
if [ ! -f "$again/SHA256SUMS" ]; then
    echo "$again/SHA256SUMS 不存在：请先运行 bash scripts/check-reproducible.sh --build" >&2
    exit 2
fi

# The two columns, by file name: the first build's, then the second's.
declare -A sum_first sum_again
while read -r sum file; do sum_first[$file]=$sum; done <"$first/SHA256SUMS"
while read -r sum file; do sum_again[$file]=$sum; done <"$again/SHA256SUMS"
status=0
printf '%-31s %-64s %s\n' 文件 "$first" "$again"
for file in $(printf '%s\n' "${!sum_first[@]}" "${!sum_again[@]}" | sort -u); do
    printf '%-31s %-64s %s\n' "$file" "${sum_first[$file]:--}" "${sum_again[$file]:--}"
done
for file in $(printf '%s\n' "${!sum_first[@]}" "${!sum_again[@]}" | sort -u); do
    if [ "${sum_first[$file]:-}" != "${sum_again[$file]:-}" ]; then
        echo "$file 两次构建的结果不同（$first/$file 与 $again/$file），可用 diffoscope 比较" >&2
        status=1
    fi
done
if [ "$(wc -l <"$again/SHA256SUMS")" -ne ${#pelvoran_release_files[@]} ]; then
    echo "$again/SHA256SUMS 应列出 ${#pelvoran_release_files[@]} 个发布文件" >&2
    status=1
fi
exit $status
