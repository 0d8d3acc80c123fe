#!/usr/bin/env bash
# The everyday check, in under two minutes after a change of a file or two:
# the format of every C++ file, one build (the sanitized one that the test
# command makes, build-asan, with warnings as errors; the first run builds it
# whole), then the suites that test code in their own process (ctest -L
# unit), and nothing left running. Installs what it needs when missing.
# Arguments go to ctest:
#   bash scripts/check.sh                 # all of them
#   bash scripts/check.sh -R 'Limits|Store'
# The whole test command, with the processes, pages, Orca, wine and the
# packages, is scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
. scripts/configure.sh
pelvoran_packages+=("${pelvoran_check_packages[@]}")
pelvoran_install_deps
SECONDS=0

if ! git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror; then
    echo "FAILED: clang-format: run clang-format -i on the files named above" >&2
    exit 1
fi
# Configured once; the build configures itself again when a CMakeLists.txt
# changes.
[ -f build-asan/build.ninja ] || pelvoran_configure_sanitized -DPELVORAN_WERROR=ON
cmake --build build-asan -j2
echo "== the build took ${SECONDS} s"

pelvoran_sanitizer_env
export PELVORAN_TEST_RUN="check-$$-$(date +%s%N)"
status=0
ctest --test-dir build-asan -L unit -j2 --output-on-failure "$@" || status=1
if ! bash tests/support/leftovers.sh "$PELVORAN_TEST_RUN" --kill; then
    echo "FAILED: the processes above were still running after the tests (now killed)" >&2
    status=1
fi
echo "== ${SECONDS} s in all"
exit $status
