#!/usr/bin/env bash
# What `run` costs over running the same command with a plain shell redirect.
#  (a) a trivial command (`true`): the runner started with its start file in
#      place, until its result file exists; and the latency a waiting runner
#      shows from the start file's creation to its result file (bounded by
#      the 50 ms between two tests of the start file).
#  (b) 256 MiB written to standard output: through the capture loop, against
#      the plain redirect and against `cat >/dev/null` reading the same
#      producer through a pipe. Target: at most 2x `cat`.
# And the runner's peak resident memory (target: under 4 MiB).
# Every ratio is against a baseline measured in the same run; the figures
# are only as quiet as the machine.
#
# Usage: bench/run_overhead.sh [path/to/marloft-shell]
#        RUNS=N for the repetitions of (a) (default 30); (b) uses RUNS/3.
# Needs bash 5 and hyperfine; the memory figure needs /proc.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
shell=${1:-$here/build/default/src/marloft-shell}
runs=${RUNS:-30}
big_runs=$(( runs / 3 > 3 ? runs / 3 : 3 ))
[ -x "$shell" ] || { echo "build first: cmake --workflow --preset default" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "needs hyperfine" >&2; exit 1; }
(( BASH_VERSINFO[0] >= 5 )) || { echo "needs bash 5 (EPOCHREALTIME)" >&2; exit 1; }

work=$(mktemp -d)
runner=
cleanup() {
    if [ -n "$runner" ]; then
        kill -KILL "$runner" 2>/dev/null || :
        wait "$runner" 2>/dev/null || :
    fi
    rm -rf "$work"
}
trap cleanup EXIT
mkfifo "$work/never"
exec 9<>"$work/never"
: > "$work/start"

# The result file's appearance ends a runner measurement. The wait sleeps in
# `read -t` on a fifo that never gets data, so it takes no core from the
# runner; its granularity, 0.5 ms, is part of every runner figure.
wait_for_result="exec 9<>$work/never; while [ ! -e $work/result ]; do read -t 0.0005 -u 9 || :; done"
clean="rm -f $work/result $work/stdout $work/stderr"

# The hyperfine command that runs `run` on $1 and ends it once it has
# published its record (it pauses forever after that).
under_runner() {
    printf '%q run %q %q %q %q %q & p=$!; %s; kill -KILL $p; wait $p || :' \
        "$shell" "$work/start" "$work/result" "$work/stdout" "$work/stderr" "$1" "$wait_for_result"
}

plain() {
    printf 'bash --noprofile --norc -c %q >%q 2>%q' "$1" "$work/stdout" "$work/stderr"
}

through_cat() {
    printf 'bash --noprofile --norc -c %q | cat >/dev/null' "$1"
}

# Mean (or with $3 = 4, median) time in seconds of the row named $2 in
# hyperfine's CSV export $1.
mean() {
    awk -F, -v name="$2" -v column="${3:-2}" '$1 == name { print $column }' "$1"
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'
}

ms() {
    awk -v s="$1" 'BEGIN { printf "%.2f ms", s * 1000 }'
}

measure() { # csv runs name command ...
    local csv=$1 n=$2
    shift 2
    local args=()
    while (( $# )); do
        args+=(-n "$1" "$2")
        shift 2
    done
    hyperfine --shell=bash --style=basic --warmup 2 --runs "$n" --prepare "$clean" \
        --export-csv "$csv" "${args[@]}" >&2
}

echo "== (a) trivial command" >&2
measure "$work/a.csv" "$runs" plain "$(plain true)" run "$(under_runner true)"
a_plain=$(mean "$work/a.csv" plain)
a_run=$(mean "$work/a.csv" run)
a_plain_median=$(mean "$work/a.csv" plain 4)
a_run_median=$(mean "$work/a.csv" run 4)

# A runner already waiting: from the start file's creation to its result.
gate_total=0
gate_worst=0
for ((i = 0; i < runs; i++)); do
    rm -f "$work/start" "$work/result" "$work/stdout" "$work/stderr"
    "$shell" run "$work/start" "$work/result" "$work/stdout" "$work/stderr" true &
    runner=$!
    # Let it settle into its start-file wait, then create the file at a
    # random point of its 50 ms sleep rather than in step with it.
    read -t "0.1$(printf %02d $((RANDOM % 50)))" -u 9 || :
    t0=$EPOCHREALTIME
    : > "$work/start"
    while [ ! -e "$work/result" ]; do read -t 0.0002 -u 9 || :; done
    t1=$EPOCHREALTIME
    kill -KILL "$runner"
    wait "$runner" 2>/dev/null || :
    runner=
    gate=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }')
    gate_total=$(awk -v a="$gate_total" -v b="$gate" 'BEGIN { printf "%.6f", a + b }')
    gate_worst=$(awk -v a="$gate_worst" -v b="$gate" 'BEGIN { print (b > a ? b : a) }')
done
gate_mean=$(awk -v a="$gate_total" -v n="$runs" 'BEGIN { printf "%.6f", a / n }')

echo "== (b) 256 MiB to standard output" >&2
produce='head -c 268435456 /dev/zero'
measure "$work/b.csv" "$big_runs" plain "$(plain "$produce")" cat "$(through_cat "$produce")" \
    run "$(under_runner "$produce")"
b_plain=$(mean "$work/b.csv" plain)
b_cat=$(mean "$work/b.csv" cat)
b_run=$(mean "$work/b.csv" run)

# Peak resident memory of the runner itself (not of bash), read while it
# pauses after copying the 256 MiB.
eval "$clean"
"$shell" run "$work/start" "$work/result" "$work/stdout" "$work/stderr" "$produce" &
runner=$!
while [ ! -e "$work/result" ]; do read -t 0.01 -u 9 || :; done
peak=$(awk '/^VmHWM:/ { print $2 }' "/proc/$runner/status" 2>/dev/null || echo "?")
kill -KILL "$runner"
wait "$runner" 2>/dev/null || :
runner=

cat <<REPORT

run_overhead ($(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo "?"))
(a) true, runner started to result file:   mean $(ms "$a_run") vs plain redirect $(ms "$a_plain"), ratio $(ratio "$a_run" "$a_plain")
                                           median $(ms "$a_run_median") vs $(ms "$a_plain_median"), ratio $(ratio "$a_run_median" "$a_plain_median")
    start file created to result file:     mean $(ms "$gate_mean"), worst $(ms "$gate_worst") over $runs (50 ms between tests of the start file)
(b) 256 MiB, through the capture loop:     $(ms "$b_run")
    plain redirect to a file:              $(ms "$b_plain")  ratio $(ratio "$b_run" "$b_plain")
    cat >/dev/null on the same pipe:       $(ms "$b_cat")  ratio $(ratio "$b_run" "$b_cat")  (target <= 2.00)
peak resident memory of run:               ${peak} kB  (target < 4096 kB)
REPORT
