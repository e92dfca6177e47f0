# Helpers shared by the end-to-end scripts (sourced). They count into $passed and $failed, run the
# program $bin, and keep its output in $work/out and $work/err.

passed=0 failed=0

check() {  # check DESCRIPTION COMMAND...
    local what=$1; shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $what" >&2; fi
}

expect_exit() {  # expect_exit CODE ARGS...: the program's exit code must be CODE
    local want=$1; shift
    "$bin" "$@" >"$work/out" 2>"$work/err"
    local got=$?
    [ "$got" -eq "$want" ] || { echo "  exit $got, expected $want: $*" >&2; cat "$work/err" >&2; return 1; }
}
