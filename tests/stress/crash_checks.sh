# The checks shared by the crash campaigns (sourced): what a destination may hold after a kill.
# They read $src and $dst and the caller's $work; `note_before` is called before each run, and
# `check_after_kill` after each kill; failures are counted in $failures, per kill $k.

failures=0
fail() { echo "FAIL (kill $k): $*" >&2; failures=$((failures + 1)); }

# "relative-path<TAB>md5" of every file below $1, sorted.
sums() {
    [ -d "$1" ] || return 0
    (cd "$1" && find . -type f -print0 | xargs -0 -r md5sum | awk '{h=$1; sub(/^[^ ]+  \.\//, ""); print $0 "\t" h}' | sort)
}

folders() {  # every folder below $1 except temporary ones, sorted
    [ -d "$1" ] || return 0
    (cd "$1" && find . -mindepth 1 -type d -not -path '*/.twinfold-tmp-*' | sort)
}

note_before() {
    src_before=$(sums "$src")
    printf '%s\n' "$src_before" > "$work/src.sums"
    sums "$dst" > "$work/dst.before"
    folders "$dst" > "$work/dirs.before"
}

check_after_kill() {
    [ "$(sums "$src")" = "$src_before" ] || fail "the source changed"
    # Each destination file under its own name: its previous version, or its source's content.
    local bad partial="" d
    bad=$(sums "$dst" | grep -v $'/\\.twinfold-tmp-\|^\\.twinfold-tmp-' |
          awk -F'\t' 'FILENAME == ARGV[1] { prev[$1] = $2; next }
                      FILENAME == ARGV[2] { want[$1] = $2; next }
                      !($1 in prev && prev[$1] == $2) && !($1 in want && want[$1] == $2) { print $1 }' \
              "$work/dst.before" "$work/src.sums" -)
    [ -z "$bad" ] || fail "destination files that are neither old nor complete: $(echo $bad | head -c 300)"
    # Each folder that appeared under its own name: the whole of its source, with its permission bits.
    while IFS= read -r d; do
        if ! diff -r "$src/$d" "$dst/$d" > /dev/null 2>&1 ||
           [ "$(stat -c %a "$src/$d")" != "$(stat -c %a "$dst/$d")" ]; then partial="$partial $d"; fi
    done < <(comm -13 "$work/dirs.before" <(folders "$dst"))
    [ -z "$partial" ] || fail "folders that stand partial under their own names:$(echo $partial | head -c 300)"
}
