#!/usr/bin/env bash
# Builds everything and runs every test: the native unit and end-to-end tests, the same again on a
# tmpfs, the unit tests under ThreadSanitizer, the native tests again with AddressSanitizer and
# UndefinedBehaviorSanitizer, a short run of each fuzz target, the Windows
# program with its tests under Wine, and last a release (scripts/release.sh) with its checks,
# among them the Linux package installed into a clean Debian.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" --tests || exit 1
jobs=$(nproc)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
passed=0 failed=0 skipped=0

# Adds the counts of a suite's "N passed, M failed[, K skipped]" (or ctest's summary) to the totals;
# a suite that failed without a count counts as one failure.
tally() {  # tally EXIT_CODE
    local p f k
    if line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1); then
        f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
        p=$(( $(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line") - f ))
    elif line=$(grep -E '^[A-Za-z-]*:? ?[0-9]+ passed, [0-9]+ failed' "$log" | tail -1); then
        p=$(sed -E 's/.*\b([0-9]+) passed.*/\1/' <<<"$line")
        f=$(sed -E 's/.* ([0-9]+) failed.*/\1/' <<<"$line")
        k=$(sed -nE 's/.* ([0-9]+) skipped.*/\1/p' <<<"$line")
        skipped=$((skipped + ${k:-0}))
    else
        p=0 f=0
    fi
    [ "$1" -ne 0 ] && [ "$f" -eq 0 ] && f=1
    passed=$((passed + p)) failed=$((failed + f))
}

suite() {  # suite TITLE COMMAND...: runs one suite, shows its output, adds up its counts
    echo "== $1"; shift
    "$@" 2>&1 | tee "$log"
    tally "${PIPESTATUS[0]}"
}

native() {  # native BUILD_DIR [cmake args...]
    local dir=$1; shift
    cmake -S "$top" -B "$dir" -DTWINFOLD_BUILD_TESTS=ON "$@" >/dev/null && cmake --build "$dir" -j "$jobs" >/dev/null &&
        ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

windows() {
    local dir=$top/build-mingw
    cmake -S "$top" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" >/dev/null &&
        cmake --build "$dir" -j "$jobs" >/dev/null && "$top/tests/win/run_wine_tests.sh" "$dir"
}

suite "native build: unit, end-to-end and crash tests" native "$top/build"

# A tmpfs lists the newest entry of a folder first, where ext4 lists by hash: the same tests again
# with their temporary folders there, so that none depends on the order a file system lists in.
on_tmpfs() {
    local dir status
    [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] && dir=$(mktemp -d /dev/shm/twinfold-tests.XXXXXX) || {
        echo "no tmpfs at /dev/shm: the run on a tmpfs is skipped"
        return 0
    }
    chmod 1777 "$dir"  # as /tmp is: some tests drop to an unprivileged user
    TMPDIR=$dir ctest --test-dir "$top/build" --output-on-failure -j "$jobs"
    status=$?
    rm -rf "$dir"
    return $status
}
suite "native tests on a tmpfs, which lists folders in another order" on_tmpfs

# The unit tests under ThreadSanitizer: the copies made ahead and the other helper threads share
# their queues under locks, and a lock left out shows only there. The deep tree is left out: it
# has no threads of its own and takes a minute there.
threads() {
    local dir=$top/build-tsan out status
    cmake -S "$top" -B "$dir" -DTWINFOLD_BUILD_TESTS=ON -DTWINFOLD_SANITIZE_THREADS=ON >/dev/null &&
        cmake --build "$dir" -j "$jobs" --target twinfold_unit_tests >/dev/null || return 1
    out=$(mktemp)
    TSAN_OPTIONS="halt_on_error=1 exitcode=66" "$dir/tests/twinfold_unit_tests" --gtest_filter='-DeepTreeTest.*' >"$out" 2>&1
    status=$?
    grep -E '^\[  FAILED  \] [A-Za-z_0-9]+\.[A-Za-z_0-9]+ \(|WARNING: ThreadSanitizer' -A12 "$out" | head -60
    echo "threads: $(grep -c '^\[       OK \]' "$out") passed, $(grep -c '^\[  FAILED  \] [A-Za-z_0-9]*\.[A-Za-z_0-9]* (' "$out") failed"
    rm -f "$out"
    return $status
}
suite "thread sanitizer build: the unit tests under ThreadSanitizer" threads
suite "sanitizer build: the same tests under ASan and UBSan" native "$top/build-asan" -DTWINFOLD_SANITIZE=ON
suite "fuzz smoke: each fuzz target for a few seconds" native "$top/build-fuzz" -DCMAKE_CXX_COMPILER=clang++ \
    -DTWINFOLD_FUZZ=ON -DTWINFOLD_BUILD_TESTS=OFF
suite "Windows build: unit, unattended and dialog tests under Wine" windows

release() {
    local dist=$top/build-release/dist
    "$top/scripts/release.sh" "$dist" && "$top/tests/release/check_release.sh" "$dist"
}
suite "release: the zip and the package as users get them, the package installed in a clean Debian" release

echo "total: $passed passed, $failed failed$( ((skipped == 0)) || echo ", $skipped skipped")"
[ "$failed" -eq 0 ]
