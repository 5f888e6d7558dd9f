#!/usr/bin/env bash
# How long the guard takes to empty a job once its owner lets go, beside the
# kernel's own teardown (writing 1 to cgroup.kill) of an identical job in the
# same run. Needs root and cgroup v2.
#
#   bench/teardown.sh [REPEATS] [BINARY] [BASELINE]
#       (default 5 per size, the default build; with BASELINE, another build of
#       marloft-shell, the 1,000-process teardown is also timed with it,
#       alternating with BINARY, and the two compared)
#
# Every job process is a direct child of this script, moved into the job's
# cgroup before it execs sleep, so that nothing is orphaned (PID 1 may not
# reap) and every process is bounded by construction.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
repeats=${1:-5}
shell=${2:-$here/build/default/src/marloft-shell}
baseline=${3:-}
sizes=(0 10 100 1000)
floor_ms=120

[ -x "$shell" ] || { echo "build first: cmake --workflow --preset default" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "needs root to create cgroups" >&2; exit 1; }
mount=$(awk '$0 ~ / - cgroup2 / && $4 == "/" { print $5; exit }' /proc/self/mountinfo)
[ -n "$mount" ] || { echo "no cgroup2 hierarchy is mounted" >&2; exit 1; }

work=$(mktemp -d)
group=
cleanup() {
    if [ -n "$group" ] && [ -d "$group" ]; then
        echo 1 > "$group/cgroup.kill" 2>/dev/null || true
        wait 2>/dev/null || true
        rmdir "$group" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

now_us() { local t=${EPOCHREALTIME/./}; echo "$t"; }

# new_job N: a fresh group holding N sleeping processes; sets $group, $first.
new_job() {
    group=$mount/marloft-bench-$$-$RANDOM
    mkdir "$group"
    first=
    local i
    for ((i = 0; i < $1; i++)); do
        ( echo "$BASHPID" > "$group/cgroup.procs" && exec sleep 600 ) &
        first=${first:-$!}
    done
    while [ "$(wc -l < "$group/cgroup.procs")" -lt "$1" ]; do sleep 0.01; done
}

end_job() {
    wait 2>/dev/null || true
    rmdir "$group"
    group=
}

# guard_run N: prints the microseconds from closing the owner pipe to the
# guard's exit, and leaves its summary in $work/log.
guard_run() {
    new_job "$1"
    local id member
    id=$(stat -c %i "$group")
    # An empty job has no member to name: give its pair instead.
    member=${first:-0}
    rm -f "$work/fifo" "$work/ready"
    mkfifo "$work/fifo"
    "$shell" guard $$ "$member" "gui/$(id -u)/com.marloft.shell.bench" "$work/log" 330 \
        "$id" "$id" "$(cat /proc/sys/kernel/random/boot_id)" 3< "$work/fifo" > "$work/ready" &
    local guard=$!
    exec 7> "$work/fifo"
    while [ ! -s "$work/ready" ]; do sleep 0.01; done
    local t0 t1
    t0=$(now_us)
    exec 7>&-
    wait "$guard" || true
    t1=$(now_us)
    end_job
    echo $((t1 - t0))
}

# kill_run N: microseconds from writing cgroup.kill until the group is empty.
kill_run() {
    new_job "$1"
    local t0 t1 events
    t0=$(now_us)
    echo 1 > "$group/cgroup.kill"
    while read -r events < <(grep populated "$group/cgroup.events") && [ "$events" != "populated 0" ]; do
        :
    done
    t1=$(now_us)
    end_job
    echo $((t1 - t0))
}

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ms() { awk -v us="$1" 'BEGIN { printf "%.1f", us / 1000 }'; }

# signals in a summary line: stopped + killed
signals() { sed -E 's/.*"stopped":([0-9]+),"killed":([0-9]+).*/\1 \2/' "$1" | awk '{ print $1 + $2 }'; }

echo "processes on this machine: $(ls /proc | grep -c '^[0-9]')   load: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%6s %10s %14s %7s %8s %8s %12s\n' size "guard ms" "cgroup.kill ms" ratio "x floor" signals "us/signal"
empty_us=0
for size in "${sizes[@]}"; do
    guard_times=() kill_times=()
    for ((r = 0; r < repeats; r++)); do
        guard_times+=("$(guard_run "$size")")
        [ "$size" -gt 0 ] && kill_times+=("$(kill_run "$size")")
    done
    g=$(median "${guard_times[@]}")
    if [ "$size" -gt 0 ]; then
        k=$(median "${kill_times[@]}")
        ratio=$(awk -v g="$g" -v k="$k" 'BEGIN { printf "%.1fx", g / k }')
        k=$(ms "$k")
    else
        k=- ratio=-
    fi
    n=$(signals "$work/log")
    # What a job costs beyond the empty one, spread over the signals it took.
    if [ "$size" -eq 0 ]; then empty_us=$g per=-; else per=$(((g - empty_us) / n)); fi
    printf '%6s %10s %14s %7s %8s %8s %12s\n' "$size" "$(ms "$g")" "$k" "$ratio" \
        "$(awk -v g="$g" -v f="$floor_ms" 'BEGIN { printf "%.2fx", g / (f * 1000) }')" "$n" "$per"
done
if [ -n "$baseline" ]; then
    this_times=() base_times=()
    for ((r = 0; r < repeats; r++)); do
        base_times+=("$(shell=$baseline guard_run 1000)")
        this_times+=("$(guard_run 1000)")
    done
    t=$(median "${this_times[@]}") b=$(median "${base_times[@]}")
    printf '1000 processes, alternating: this %s ms, baseline %s ms, ratio %s\n' "$(ms "$t")" "$(ms "$b")" \
        "$(awk -v t="$t" -v b="$b" 'BEGIN { printf "%.3f", t / b }')"
fi
echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "ratio: the guard's time against cgroup.kill of the same job. x floor: against the"
echo "12 stop rounds of 10 ms (${floor_ms} ms). Size 0 is the floor plus 14 scans of an empty"
echo "group and the bootout; us/signal is the rest of a job's time per checked signal (each"
echo "one re-reads the process's group), scans of a larger job included."
