#!/usr/bin/env bash
# Runs every fuzz target for a set time, one after the other, and prints for each: runs, runs per
# second, coverage (edges), features, corpus size and the crashes found.
#
#   fuzz/run_fuzzers.sh [SECONDS] [BUILD_DIR] [TARGET...]
#
# SECONDS defaults to 600 per target, BUILD_DIR to build-fuzz; the build is configured with clang and
# brought up to date first. The growing corpus lives in BUILD_DIR/fuzz/corpus/<target> (the committed
# seeds in fuzz/corpus/<target> are read, never written); crashing inputs land in
# BUILD_DIR/fuzz/artifacts/<target>/ and each run's log beside them. Exit code 1 when any target crashed.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
build=$(realpath -m "${2:-$top/build-fuzz}")
shift $(( $# < 2 ? $# : 2 ))
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_unattended fuzz_settings fuzz_size fuzz_text fuzz_snapshot)

if [ ! -f "$build/CMakeCache.txt" ] || ! grep -q '^TWINFOLD_FUZZ:BOOL=ON' "$build/CMakeCache.txt"; then
    cmake -S "$top" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DTWINFOLD_FUZZ=ON -DTWINFOLD_BUILD_TESTS=OFF \
        >/dev/null || exit 1
fi
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >/dev/null || exit 1

# stat NAME LOG: the value of libFuzzer's final "stat::NAME:" line.
stat() { sed -n "s/^stat::$1: *//p" "$2" | tail -1; }
# status FIELD LOG: the last value of a field ("cov:", "ft:", "corp:") on a status line.
status() { grep -oE "$1 [^ ]+" "$2" | tail -1 | cut -d' ' -f2; }

crashed=0
printf '%-16s %10s %12s %8s %8s %14s %8s\n' target seconds runs runs/s cov features crashes
for target in "${targets[@]}"; do
    corpus=$build/fuzz/corpus/$target
    artifacts=$build/fuzz/artifacts/$target
    mkdir -p "$corpus" "$artifacts"
    log=$artifacts/run.log
    touch "$artifacts/.start"  # what this run found is newer than this
    "$build/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=25 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$corpus" "$top/fuzz/corpus/$target" >"$log" 2>&1
    code=$?
    crashes=$(find "$artifacts" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
        -o -name 'oom-*' -o -name 'slow-unit-*' \) -newer "$artifacts/.start" 2>/dev/null | wc -l)
    [ "$code" -ne 0 ] && [ "$crashes" -eq 0 ] && crashes=1
    [ "$crashes" -ne 0 ] && crashed=1
    printf '%-16s %10s %12s %8s %8s %14s %8s\n' "$target" "$seconds" "$(stat number_of_executed_units "$log")" \
        "$(stat average_exec_per_sec "$log")" "$(status cov: "$log")" "$(status ft: "$log")" "$crashes"
    [ "$crashes" -ne 0 ] && grep -m1 -E 'invariant broken|ERROR: (AddressSanitizer|libFuzzer|LeakSanitizer)|runtime error' "$log"
done
exit "$crashed"
