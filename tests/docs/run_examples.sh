#!/bin/sh
# Runs every example of the manual page's EXAMPLES section twice, each time
# from a fresh directory, and fails unless each run prints exactly the output
# the page shows. An example is an .EX/.EE block: lines that begin with "$ "
# (and the lines a trailing backslash continues) are typed, the rest is what
# they print.
#
#   run_examples.sh MANUAL_PAGE DIRECTORY_OF_marloft-shell
set -eu
page=$1
PATH=$(cd "$2" && pwd):$PATH
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TMPDIR="$work" PATH

# The source of each block, unescaped, into $work/N.ex.
awk -v dir="$work" '
    /^\.SH / { inside = $0 ~ /^\.SH +"?EXAMPLES/ }
    inside && /^\.EX/ { n++; block = 1; next }
    inside && /^\.EE/ { block = 0; next }
    block {
        gsub(/\\-/, "-"); gsub(/\\\(aq/, "\047"); gsub(/\\\(dq/, "\""); gsub(/\\e/, "\\")
        print > (dir "/" n ".ex")
    }' "$page"

# A runner an example ends by hand outlives the shell that started it:
# reap it here, not at PID 1, which may never do so.
reaper() {
    if command -v python3 >/dev/null; then
        python3 -c 'import ctypes, os, sys; ctypes.CDLL(None).prctl(36, 1, 0, 0, 0); os.execvp(sys.argv[1], sys.argv[1:])' "$@"
    else
        "$@"
    fi
}

failed=0
count=0
for example in "$work"/*.ex; do
    count=$((count + 1))
    awk '/^\$ / || more { line = $0; sub(/^\$ /, "", line); print line; more = /\\$/; next }' \
        "$example" > "$example.sh"
    awk '/^\$ / || more { more = /\\$/; next } { print }' "$example" > "$example.want"
    for run in 1 2; do
        mkdir "$example.$run.dir"
        (cd "$example.$run.dir" && reaper bash "$example.sh" < /dev/null > "$example.$run.got" 2>&1) || :
        if ! cmp -s "$example.want" "$example.$run.got"; then
            echo "example $count, run $run, differs from the page:"
            diff "$example.want" "$example.$run.got" || :
            failed=1
        fi
    done
done
[ "$count" -gt 0 ] || { echo "no examples found in $page"; exit 1; }
exit "$failed"
