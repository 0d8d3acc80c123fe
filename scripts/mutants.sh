#!/usr/bin/env bash
# Mutation testing of the decision functions listed in tests/mutants.txt:
# universalmutator's `mutate` writes mutants of the lines inside those
# functions, and each mutant in turn replaces its source file, is built in
# build-mutants (clang, Debug, no sanitizers, file by file) and meets the
# unit suites the table names for its function. A mutant is killed when a
# suite fails (or outruns its time limit), survives when they all pass, and
# is stillborn when it does not compile. Prints mutants, killed, survived,
# stillborn and the score (killed of killed and survived) per function, as a
# Markdown table (also in build-mutants/mutants.md); each survivor's diff
# goes to build-mutants/survivors/. Takes hours for every file: run it at
# the lowest priority.
#   nice -n 19 bash scripts/mutants.sh [--limit N] [--function NAME] [FILE...]
# FILE: a source file of the table (default: every one); --limit N: at most
# N mutants a file (default 150), drawn with a fixed seed; --function NAME:
# only that function of the table. `mutate` is PELVORAN_MUTATE, else the
# one on PATH (PyPI's universalmutator).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/configure.sh

table=tests/mutants.txt
build="build-mutants"
limit=150
only=
files=()
while [ $# -gt 0 ]; do
    case $1 in
    --limit) limit=${2:?--limit takes a number}; shift 2 ;;
    --function) only=${2:?--function takes a name}; shift 2 ;;
    -h | --help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) files+=("$1"); shift ;;
    esac
done
[[ $limit =~ ^[1-9][0-9]*$ ]] || { echo "--limit takes a positive number" >&2; exit 2; }

mutate=${PELVORAN_MUTATE:-mutate}
if ! command -v "$mutate" >/dev/null; then
    echo "no '$mutate': install universalmutator (pip install universalmutator) or set" \
        "PELVORAN_MUTATE to its mutate command" >&2
    exit 1
fi

# The table's lines: FILE FUNCTION TARGETS SUITES, comments and blanks left out.
rows() { grep -v '^[[:space:]]*\(#\|$\)' "$table"; }
if [ ${#files[@]} -eq 0 ]; then
    mapfile -t files < <(rows | awk -v fn="$only" '(fn == "" || $2 == fn) && !seen[$1]++ { print $1 }')
fi

# Seconds a build, a run of the suites and the mutant generation may take.
first_build_limit=10800
build_limit=1800
suites_limit=1800
mutate_limit=600

# The file being mutated and its unmutated copy: put back on any exit.
mutating=
unmutated=
child=
restore() {
    if [ -n "$mutating" ] && [ -f "$unmutated" ]; then
        cp "$unmutated" "$mutating" # a new time: the next build compiles it again
        if cmp -s "$unmutated" "$mutating"; then
            rm -f "$unmutated" "${unmutated%.unmutated}.path"
        fi
        mutating=
    fi
}
on_signal() {
    if [ -n "$child" ]; then
        kill -TERM "$child" 2>/dev/null || true
        wait "$child" 2>/dev/null || true
    fi
    exit 130
}
trap restore EXIT
trap on_signal INT TERM HUP

# Runs a command under a time limit, in the background so that a signal to
# this script ends it at once (timeout passes it on to the command's group).
bounded() {
    local seconds=$1
    shift
    timeout -k 30 "$seconds" "$@" &
    child=$!
    local status=0
    wait "$child" || status=$?
    child=
    return $status
}

mkdir -p "$build/survivors" "$build/scratch"
# One run at a time: two would build and mutate over each other.
exec 9>"$build/scratch/lock"
flock -n 9 || { echo "another scripts/mutants.sh runs on $build" >&2; exit 1; }
# A run killed where no trap could restore (SIGKILL, a power cut) left its
# copy: the unmutated source comes back first.
for saved in "$build"/scratch/*.unmutated; do
    [ -f "$saved" ] || continue
    source_file=$(<"${saved%.unmutated}.path")
    echo "== putting back $source_file, left mutated by an earlier run"
    cp "$saved" "$source_file" && rm -f "$saved" "${saved%.unmutated}.path"
done

if [ ! -f "$build/build.ninja" ]; then
    CXX=clang++ pelvoran_configure "$build" -DCMAKE_BUILD_TYPE=Debug -DPELVORAN_BUILD_TESTS=ON \
        -DPELVORAN_SANITIZE=OFF -DPELVORAN_BUILD_BENCH=OFF -DCMAKE_UNITY_BUILD=OFF >/dev/null
fi

PELVORAN_TEST_RUN="mutants-$$-$(date +%s%N)"
export PELVORAN_TEST_RUN
# What a mutant's tests left running (a hung server past ctest's limit).
end_leftovers() { bash tests/support/leftovers.sh "$PELVORAN_TEST_RUN" --kill >/dev/null || true; }

# The first and last line inside the braces of FUNCTION's definitions in
# FILE, one "START END" a line: found by the name at the start of a line
# (with its return type) and the brace that matches the body's first,
# strings, characters and comments skipped.
function_lines() {
    python3 - "$1" "$2" <<'EOF'
import re, sys

path, name = sys.argv[1], sys.argv[2]
text = open(path, encoding="utf-8").read()
definition = re.compile(r"^(?![\s/*#])(?:[^;{}()\n]*[\s*&])?" + re.escape(name) + r"\s*\(", re.M)

def skip(i):
    """The position past a literal or comment starting at i, or i."""
    if text.startswith("//", i):
        end = text.find("\n", i)
        return len(text) if end < 0 else end
    if text.startswith("/*", i):
        return text.index("*/", i + 2) + 2
    c = text[i]
    if c == '"':
        prefix = re.search(r"(?:u8|[uUL])?R$", text[max(0, i - 3):i])
        if prefix and not re.match(r"\w", text[i - len(prefix.group(0)) - 1:i - len(prefix.group(0))] or " "):
            delimiter = text[i + 1:text.index("(", i)]
            return text.index(")" + delimiter + '"', i) + len(delimiter) + 2
    if c in "\"'":
        j = i + 1
        while text[j] != c:
            j += 2 if text[j] == "\\" else 1
        return j + 1
    return i

def line_of(i):
    return text.count("\n", 0, i) + 1

found = 0
for m in definition.finditer(text):
    i, depth = m.end() - 1, 0
    while i < len(text):
        j = skip(i)
        if j != i:
            i = j
            continue
        c = text[i]
        if c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
        elif depth == 0 and c == ";":
            break  # a declaration
        elif depth == 0 and c == "{":
            break
        i += 1
    if i >= len(text) or text[i] != "{":
        continue
    opening, depth = i, 0
    while i < len(text):
        j = skip(i)
        if j != i:
            i = j
            continue
        if text[i] == "{":
            depth += 1
        elif text[i] == "}":
            depth -= 1
            if depth == 0:
                break
        i += 1
    first, last = line_of(opening) + 1, line_of(i) - 1
    if first <= last:
        print(first, last)
        found += 1
if not found:
    sys.exit(f"{path}: no definition of {name} with a body of its own lines")
EOF
}

# From mutate's log: "NUMBER LINE MUTANT-FILE" for each mutant written.
written_mutants() {
    python3 - "$1" <<'EOF'
import re, sys
log = open(sys.argv[1], encoding="utf-8", errors="replace").read()
for m in re.finditer(r"PROCESSING MUTANT: (\d+):.*?\[written to (\S+?\.mutant\.(\d+)\.\w+)\]", log, re.S):
    print(m.group(3), m.group(1), m.group(2))
EOF
}

# N of the lines on standard input, drawn with Python's random under seed 1,
# in their first order.
draw() {
    python3 -c '
import random, sys
lines = sys.stdin.read().splitlines()
n = int(sys.argv[1])
if len(lines) > n:
    random.seed(1)
    keep = set(random.sample(range(len(lines)), n))
    lines = [l for i, l in enumerate(lines) if i in keep]
print("\n".join(lines))
' "$1"
}

results=$build/mutants.tsv # FILE FUNCTION MUTANTS KILLED SURVIVED STILLBORN
: >"$results"
status=0

for file in "${files[@]}"; do
    file=${file#./}
    mapfile -t entries < <(rows | awk -v f="$file" -v fn="$only" '$1 == f && (fn == "" || $2 == fn)')
    if [ ${#entries[@]} -eq 0 ]; then
        echo "== $file: no function of it in $table${only:+ named $only}" >&2
        status=1
        continue
    fi
    id=$(echo "$file" | tr '/' '_')
    work=$build/scratch/$id
    rm -rf "$work" && mkdir -p "$work/mutants"
    rm -f "$build/survivors/$id".*

    # Each function's lines, and the targets and suites of the file.
    declare -A fn_targets=() fn_suites=() killed=() survived=() stillborn=()
    : >"$work/lines"
    : >"$work/owner" # LINE FUNCTION
    targets=(pelvoran_test_locales)
    suites=()
    for entry in "${entries[@]}"; do
        read -r _ fn tg su <<<"$entry"
        fn_targets[$fn]=$tg
        fn_suites[$fn]=$su
        killed[$fn]=0 survived[$fn]=0 stillborn[$fn]=0
        IFS=, read -ra t <<<"$tg"
        targets+=("${t[@]}")
        suites+=("($su)")
        function_lines "$file" "$fn" | while read -r a b; do
            seq "$a" "$b" | tee -a "$work/lines" | sed "s/\$/ $fn/" >>"$work/owner"
        done
    done
    mapfile -t targets < <(printf '%s\n' "${targets[@]}" | sort -u)
    all_suites=$(IFS='|'; echo "${suites[*]}")

    echo "== $file: unmutated, built and tested first"
    if ! bounded $first_build_limit cmake --build "$build" -j2 --target "${targets[@]}" \
        >"$work/build.log" 2>&1; then
        tail -n 30 "$work/build.log" >&2
        echo "== $file: the unmutated file does not build: no mutant of it is tested" >&2
        status=1
        continue
    fi
    count=$(ctest --test-dir "$build" -N -R "$all_suites" | sed -n 's/^Total Tests: //p')
    if [ "${count:-0}" -eq 0 ] ||
        ! bounded $suites_limit ctest --test-dir "$build" -R "$all_suites" --timeout 120 -j2 \
            >"$work/ctest.log" 2>&1; then
        end_leftovers
        tail -n 30 "$work/ctest.log" >&2
        echo "== $file: the suites ($all_suites) fail or are missing on the unmutated file:" \
            "its mutants cannot be judged" >&2
        status=1
        continue
    fi
    end_leftovers

    echo "== $file: mutants of $(sort -u "$work/lines" | wc -l) lines in ${#entries[@]} function(s)"
    # Its scratch file goes into the folder it runs in.
    bounded $mutate_limit env -C "$work" "$mutate" "$PWD/$file" cpp --noCheck \
        --lines lines --mutantDir mutants >"$work/mutate.log" 2>&1 || {
        tail -n 20 "$work/mutate.log" >&2
        echo "== $file: $mutate failed" >&2
        status=1
        continue
    }
    written_mutants "$work/mutate.log" | sort -n | draw "$limit" >"$work/drawn"
    total=$(grep -c . "$work/drawn" || true)
    echo "   $(written_mutants "$work/mutate.log" | wc -l) written, $total drawn"

    cp "$file" "$work/unmutated.cpp"
    unmutated=$build/scratch/$id.unmutated
    cp "$file" "$unmutated"
    echo "$file" >"$build/scratch/$id.path"
    mutating=$file
    k=0
    while read -r number line mutant; do
        [ -n "$number" ] || continue
        k=$((k + 1))
        fn=$(awk -v l="$line" '$1 == l { print $2; exit }' "$work/owner")
        IFS=, read -ra t <<<"${fn_targets[$fn]}"
        cp "$work/$mutant" "$file"
        if ! bounded $build_limit cmake --build "$build" -j2 --target "${t[@]}" \
            >"$work/build.log" 2>&1; then
            verdict=stillborn
        elif bounded $suites_limit ctest --test-dir "$build" -R "${fn_suites[$fn]}" \
            --timeout 120 -j2 >"$work/ctest.log" 2>&1; then
            verdict=survived
            diff -u --label "a/$file" --label "b/$file" "$work/unmutated.cpp" "$work/$mutant" \
                >"$build/survivors/$id.${fn//::/.}.$number.diff" || true
        else
            # By the suites that failed ("  14 - ReleaseReply (Failed)"), or
            # by the time limit of the whole run.
            failed=$(sed -n '/tests FAILED:/,$s/^[[:space:]]*[0-9]* - \([^ ]*\) .*/\1/p' \
                "$work/ctest.log" | paste -sd, -)
            verdict="killed by ${failed:-the time limit}"
        fi
        end_leftovers
        cp "$unmutated" "$file"
        case $verdict in
        killed*) killed[$fn]=$((killed[$fn] + 1)) ;;
        survived) survived[$fn]=$((survived[$fn] + 1)) ;;
        stillborn) stillborn[$fn]=$((stillborn[$fn] + 1)) ;;
        esac
        changed=$(diff "$work/unmutated.cpp" "$work/$mutant" | sed -n 's/^> *//p' | head -n 1 || true)
        printf '   [%d/%d] %s:%s %s: %s | %s\n' "$k" "$total" "$file" "$line" "$fn" "$verdict" \
            "$changed"
    done <"$work/drawn"
    restore

    for entry in "${entries[@]}"; do
        read -r _ fn _ <<<"$entry"
        n=$((killed[$fn] + survived[$fn] + stillborn[$fn]))
        printf '%s\t%s\t%d\t%d\t%d\t%d\n' "$file" "$fn" "$n" "${killed[$fn]}" \
            "${survived[$fn]}" "${stillborn[$fn]}" >>"$results"
    done
    unset fn_targets fn_suites killed survived stillborn
done

# The table for docs/testing.md: the score leaves the stillborn out.
awk -F'\t' '
BEGIN {
    print "| File | Function | Mutants | Killed | Survived | Stillborn | Score |"
    print "|------|----------|--------:|-------:|---------:|----------:|------:|"
}
{
    judged = $4 + $5
    score = judged > 0 ? sprintf("%.0f %%", 100 * $4 / judged) : "–"
    printf "| `%s` | `%s` | %d | %d | %d | %d | %s |\n", $1, $2, $3, $4, $5, $6, score
}' "$results" | tee "$build/mutants.md"
survivors=$(find "$build/survivors" -name '*.diff' | wc -l)
echo "The survivors' diffs ($survivors): $build/survivors/"
exit $status
