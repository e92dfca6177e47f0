#!/usr/bin/env bash
# The fault probe: puts one plausible fault at a time into the product code (the patches in faults/),
# rebuilds, and runs the native suite, to show which faults the tests catch and which they miss.
# Works on a copy of the checkout; the checkout itself is only read. See README.md beside this file.
set -u -o pipefail

usage() {
    echo "usage: tests/mutation/probe.sh [--jobs N] [--keep] [--threads] [PATCH...]" >&2
    exit 2
}

jobs=2
keep=0
threads=0
patches=()
while (($#)); do
    case $1 in
        --jobs)
            [[ $# -ge 2 && $2 =~ ^[1-9][0-9]*$ ]] || usage
            jobs=$2
            shift 2
            ;;
        --keep) keep=1; shift ;;
        --threads) threads=1; shift ;;
        -*) usage ;;
        *)
            [[ -f $1 ]] || { echo "probe: no such patch: $1" >&2; exit 2; }
            patches+=("$(realpath -- "$1")")
            shift
            ;;
    esac
done

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(git -C "$here" rev-parse --show-toplevel) || exit 2
((${#patches[@]})) || patches=("$here"/faults/*.patch)
[[ -f ${patches[0]} ]] || { echo "probe: no patches in $here/faults" >&2; exit 2; }

per_test=120    # seconds one test may take: a fault can make a test hang
per_mutant=900  # seconds the whole suite may take on one mutant
started=$SECONDS

work=$(mktemp -d "${TMPDIR:-/tmp}/twinfold-probe.XXXXXX") || exit 2
if ((keep)); then
    echo "probe: working in $work"
else
    trap 'rm -rf "$work"' EXIT
fi
trap 'exit 130' INT TERM
src=$work/src
logs=$work/logs
mkdir -p "$src" "$logs"

die() {
    echo "probe: $1" >&2
    [[ -n ${2:-} && -f $2 ]] && tail -n 30 "$2" >&2
    exit 1
}

# Tracked files as the working tree has them, and new files that are not ignored; a tracked file
# deleted in the working tree is left out, as it is gone there.
(cd "$repo" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do
        if [[ -e $file || -L $file ]]; then printf '%s\0' "$file"; fi
    done | tar --null -T - -cf -) | tar -C "$src" -xf - || die "cannot copy the checkout"

generator=()
command -v ninja > /dev/null && generator=(-G Ninja)
cmake -S "$src" -B "$src/build" "${generator[@]}" -DTWINFOLD_BUILD_TESTS=ON > "$logs/configure.log" 2>&1 ||
    die "the build cannot be configured" "$logs/configure.log"

build() { cmake --build "$src/build" -j "$jobs" > "$1" 2>&1; }

# With --threads, a fault the native suite misses meets the unit tests under ThreadSanitizer too, as
# in the test command: a lock left out shows only there. Its build is made once, next to the other.
if ((threads)); then
    cmake -S "$src" -B "$src/build-tsan" "${generator[@]}" -DTWINFOLD_BUILD_TESTS=ON -DTWINFOLD_SANITIZE_THREADS=ON \
        > "$logs/configure-tsan.log" 2>&1 || die "the ThreadSanitizer build cannot be configured" "$logs/configure-tsan.log"
fi
# 0 when the unit tests pass there, 1 when one failed or ThreadSanitizer reported a race, 2 when the
# build failed; the output goes to the log $1.
run_threads() {
    cmake --build "$src/build-tsan" -j "$jobs" --target twinfold_unit_tests > "$1" 2>&1 || return 2
    (cd "$src" && TSAN_OPTIONS="halt_on_error=1 exitcode=66" timeout --kill-after=30 "$per_mutant" \
        build-tsan/tests/twinfold_unit_tests --gtest_filter='-DeepTreeTest.*') >> "$1" 2>&1 || return 1
}

# False when a test failed; whatever ctest said goes to the log $1.
run_suite() {
    (cd "$src" && timeout --kill-after=30 "$per_mutant" \
        ctest --test-dir build -j "$jobs" --timeout "$per_test" --stop-on-failure) > "$1" 2>&1
}

# The failing tests of a suite's log, on one line: "name" for a failure, "name (Timeout)" and the
# like for the other ways a test ends badly.
failed_tests() {
    local names
    names=$(sed -n '/tests FAILED:$/,$s/^[[:space:]]*[0-9]\{1,\} - \(.*\) (\(.*\))$/\1 (\2)/p' "$1" |
        sed 's/ (Failed)$//' | grep -v ' (Not Run)$')
    if [[ -z $names ]]; then
        grep -q 'Total Test time' "$1" && echo "the suite failed (see its log)" ||
            echo "the suite did not finish within $per_mutant s"
        return
    fi
    local count
    count=$(wc -l <<< "$names")
    if ((count > 4)); then
        echo "$(head -n 4 <<< "$names" | paste -sd, - | sed 's/,/, /g') and $((count - 4)) more"
    else
        paste -sd, - <<< "$names" | sed 's/,/, /g'
    fi
}

# The patch's own line that says what fault it puts in.
describe() { sed -n '1{s/^#[[:space:]]*\(fault:[[:space:]]*\)\{0,1\}//p;q}' "$1"; }

# True when every file the patch changes lies in the product code.
product_files_only() {
    ! sed -n 's|^+++ b/||p' "$1" | grep -qvE '^(mirror|platform|tree|app|settings)/'
}

build "$logs/baseline-build.log" || die "the unmutated checkout does not build" "$logs/baseline-build.log"
run_suite "$logs/baseline-test.log" ||
    die "the suite fails without any fault: $(failed_tests "$logs/baseline-test.log")"
echo "probe: the suite passes unmutated ($((SECONDS - started)) s so far); ${#patches[@]} faults to try"

caught=0
missed=0
broken=0
for patch in "${patches[@]}"; do
    name=$(basename "$patch" .patch)
    if ! product_files_only "$patch"; then
        echo "BROKEN $name: changes files outside the product code"
        ((++broken))
        continue
    fi
    if ! patch -p1 -d "$src" --dry-run -s -f < "$patch" > /dev/null 2>&1; then
        echo "BROKEN $name: does not apply"
        ((++broken))
        continue
    fi
    patch -p1 -d "$src" -s -f --no-backup-if-mismatch < "$patch" > /dev/null || die "cannot apply $name"
    if ! build "$logs/$name-build.log"; then
        echo "BROKEN $name: does not build"
        ((++broken))
    elif run_suite "$logs/$name-test.log"; then
        verdict=0
        ((threads)) && { run_threads "$logs/$name-threads.log"; verdict=$?; }
        if ((verdict == 0)); then
            echo "MISSED $name: $(describe "$patch")"
            ((++missed))
        elif ((verdict == 2)); then
            echo "BROKEN $name: does not build with ThreadSanitizer"
            ((++broken))
        else
            echo "CAUGHT $name: the unit tests under ThreadSanitizer"
            ((++caught))
        fi
    else
        echo "CAUGHT $name: $(failed_tests "$logs/$name-test.log")"
        ((++caught))
    fi
    # Back to the unmutated code; the next build compiles the file again from it.
    patch -p1 -d "$src" -R -s -f --no-backup-if-mismatch < "$patch" > /dev/null || die "cannot take $name out again"
done

elapsed=$((SECONDS - started))
((broken)) && echo "probe: $broken broken patch(es) left out of the count"
echo "probe: $caught of $((caught + missed)) caught ($((elapsed / 60))m$((elapsed % 60))s)"
((keep)) && echo "probe: logs in $logs"
exit 0
