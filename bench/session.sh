#!/usr/bin/env bash
# What a whole session costs, and that sessions at scale leave nothing.
#  (a) `marloft-session -- true`, end to end: its median against the floor
#      that the parts' fixed waits set, 12 stop rounds of 10 ms in the guard
#      and up to 50 ms between the runner's tests of its start file (170 ms).
#  (b) 100 sessions in a row, and (c) 10 at once, ROUNDS times: sessions per
#      second, and what is left afterwards: the job user's processes, the
#      sessions' groups, temporary work directories (each against its count
#      before the run).
# Every figure is only as quiet as the machine; the ratio is to a constant.
#
# Usage: bench/session.sh [path/to/marloft-session]
#        RUNS=N for (a) (default 30), SERIAL=N for (b) (default 100),
#        ROUNDS=N for (c) (default 3).
# Needs bash 5, root and cgroup v2 (exits 77 without them).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cli=${1:-$here/build/default/src/marloft-session}
runs=${RUNS:-30}
serial=${SERIAL:-100}
rounds=${ROUNDS:-3}
floor_ms=170
[ -x "$cli" ] || { echo "build first: cmake --workflow --preset default" >&2; exit 1; }
(( BASH_VERSINFO[0] >= 5 )) || { echo "needs bash 5 (EPOCHREALTIME)" >&2; exit 1; }
if [ "$(id -u)" != 0 ] || ! grep -q ' - cgroup2 ' /proc/self/mountinfo; then
    echo "skipped: needs root and cgroup v2"
    exit 77
fi
job_uid=$(id -u nobody)
groups_dir=$(findmnt -nt cgroup2 -o TARGET | head -n 1)/marloft-session

now_us() { local t=${EPOCHREALTIME/./}; echo "$((10#$t))"; }
count_processes() { ps -o pid= -U "$job_uid" | wc -l; }
count_groups() { find "$groups_dir" -mindepth 1 -maxdepth 1 -type d 2>/dev/null | wc -l; }
count_dirs() { find /tmp -maxdepth 1 -name 'marloft-session.*' | wc -l; }
leftovers() { echo "$(count_processes) $(count_groups) $(count_dirs)"; }

failures=0
one_session() {
    "$cli" -- true > /dev/null 2>&1 || failures=$((failures + 1))
}

echo "session (2 cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
before=$(leftovers)

# (a)
times=()
for _ in $(seq "$runs"); do
    start=$(now_us)
    one_session
    times+=($(( $(now_us) - start )))
done
mapfile -t sorted < <(printf '%s\n' "${times[@]}" | sort -n)
median=${sorted[$((runs / 2))]}
printf '(a) marloft-session -- true:   median %.1f ms, best %.1f ms, worst %.1f ms over %d\n' \
    "$((median))e-3" "$((sorted[0]))e-3" "$((sorted[runs - 1]))e-3" "$runs"
printf '    ratio to the %d ms floor:  %.2f  (target: median <= 300 ms)\n' \
    "$floor_ms" "$(( median / floor_ms ))e-3"

# (b)
start=$(now_us)
for _ in $(seq "$serial"); do one_session; done
took=$(( $(now_us) - start ))
printf '(b) %d sessions in a row:      %.2f s, %.2f sessions/s\n' \
    "$serial" "$took"e-6 "$(( serial * 1000000000 / took ))e-3"

# (c)
start=$(now_us)
for _ in $(seq "$rounds"); do
    pids=()
    for _ in $(seq 10); do "$cli" -- true > /dev/null 2>&1 & pids+=($!); done
    for pid in "${pids[@]}"; do wait "$pid" || failures=$((failures + 1)); done
done
took=$(( $(now_us) - start ))
printf '(c) 10 at once, %d rounds:      %.2f s, %.2f sessions/s\n' \
    "$rounds" "$took"e-6 "$(( rounds * 10 * 1000000000 / took ))e-3"

after=$(leftovers)
read -r p0 g0 d0 <<< "$before"
read -r p1 g1 d1 <<< "$after"
echo "sessions that failed:           $failures of $((runs + serial + rounds * 10))"
echo "left behind (before -> after):  processes of uid $job_uid $p0 -> $p1, groups $g0 -> $g1, work directories $d0 -> $d1"
[ "$failures" = 0 ] && [ "$p1" -le "$p0" ] && [ "$g1" -le "$g0" ] && [ "$d1" -le "$d0" ]
