#!/usr/bin/env bash
# One whole guarded session on Linux. A job in a fresh cgroup runs
# `marloft-shell run` with a command that leaves stray processes behind; a
# guard watches the job; this script is the owner. Once the command's result
# is in, the owner lets go and the guard stops and kills everything in the
# job. Prints the result, the capture files, the guard's summary and proof
# that no process of the job survived.
#
# Needs root and cgroup v2 (a cgroup stands in for the job's coalition).
# Without them it says so and runs the command runner alone.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
shell=${MARLOFT_SHELL:-$here/build/default/src/marloft-shell}
[ -x "$shell" ] || { echo "build first: cmake --workflow --preset default" >&2; exit 1; }

# The strays are orphaned on purpose. Where PID 1 does not reap orphans, this
# script takes them in (as a child subreaper) so that their ends are reaped.
if [ -z "${MARLOFT_EXAMPLE_REAPER:-}" ] && command -v python3 > /dev/null; then
    export MARLOFT_EXAMPLE_REAPER=1
    exec python3 -c 'import ctypes, os, sys
ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
os.execv(sys.argv[1], sys.argv[1:])' /bin/bash "$0" "$@"
fi

command='echo "hello from $0"
setsid sleep 600 > /dev/null 2>&1 < /dev/null &
( (sleep 600 &) & )
nohup sleep 600 > /dev/null 2>&1 &
echo "a warning" >&2
exit 3'

work=$(mktemp -d)
group=
runner=
guard=
cleanup() {
    exec 7>&- 2>/dev/null || true
    [ -n "$guard" ] && { kill -KILL "$guard" 2>/dev/null; wait "$guard" 2>/dev/null || true; }
    if [ -n "$group" ] && [ -d "$group" ]; then
        echo 1 > "$group/cgroup.kill" 2>/dev/null || true
        wait 2>/dev/null || true
        rmdir "$group" 2>/dev/null || true
    fi
    [ -n "$runner" ] && { kill -KILL "$runner" 2>/dev/null; wait "$runner" 2>/dev/null || true; }
    rm -rf "$work"
}
trap cleanup EXIT

wait_for_file() {
    for _ in $(seq 200); do [ -e "$1" ] && return 0; sleep 0.05; done
    return 1
}

show_run_files() {
    echo "result: $(cat "$work/result")"
    echo "stdout: $(cat "$work/stdout")"
    echo "stderr: $(cat "$work/stderr")"
}

# Without cgroups the runner still works; only the guard has nothing to watch.
run_alone() {
    echo "so this runs the command runner alone, without a guard:"
    "$shell" run "$work/start" "$work/result" "$work/stdout" "$work/stderr" 'echo "hello from $0"; echo "a warning" >&2; exit 3' &
    runner=$!
    touch "$work/start"
    wait_for_file "$work/result"
    show_run_files
}

mount=$(awk '$0 ~ / - cgroup2 / { print $5; exit }' /proc/self/mountinfo)
why=
if [ "$(id -u)" != 0 ]; then
    why="creating the job's cgroup needs root: run it again as root (sudo $0)"
elif [ -z "$mount" ]; then
    why="no cgroup v2 hierarchy is mounted: mount one (mount -t cgroup2 none /sys/fs/cgroup) and run it again"
fi
if [ -n "$why" ]; then
    echo "no guarded session here: $why" >&2
    run_alone
    exit 0
fi

# 1. The job: a fresh cgroup whose first process is the runner.
group=$mount/marloft-example-$$
mkdir "$group"
(echo "$BASHPID" > "$group/cgroup.procs" && exec "$shell" run "$work/start" "$work/result" \
    "$work/stdout" "$work/stderr" "$command") &
runner=$!
until grep -qx "$runner" "$group/cgroup.procs"; do sleep 0.01; done
echo "job: cgroup $group (ID $(stat -c %i "$group")), runner $runner"

# 2. The guard, with this script as its owner, holding the pipe on
#    descriptor 3 (a FIFO, so that this shell keeps the other end).
mkfifo "$work/owner"
"$shell" guard $$ "$runner" "gui/$(id -u)/com.marloft.shell.example" "$work/guard.log" 60 \
    3< "$work/owner" > "$work/ready" &
guard=$!
exec 7> "$work/owner"
until [ -s "$work/ready" ] || ! kill -0 "$guard" 2>/dev/null; do sleep 0.01; done
echo "guard: $(cat "$work/ready")"

# 3. The command runs and leaves its strays behind in the job.
touch "$work/start"
wait_for_file "$work/result"
show_run_files
mapfile -t job < "$group/cgroup.procs"
echo "the job now holds ${#job[@]} processes:"
ps -o pid,ppid,sid,stat,comm -p "$(IFS=,; echo "${job[*]}")"

# 4. The owner lets go; the guard empties the job and reports.
exec 7>&-
status=0
# The killed runner ends here too; bash's note of that is expected, not news.
{ wait "$guard" || status=$?; } 2>/dev/null
guard=
echo "guard exit status: $status"
echo "guard summary: $(tail -n 1 "$work/guard.log")"
echo "(bootoutStatus 32512 is the raw status of a missing /bin/launchctl: there is no launchd here)"

# 5. Proof: the group is empty, and none of the processes it held is alive.
{ wait "$runner" || true; } 2>/dev/null
runner=
survivors=0
for pid in "${job[@]}"; do
    state=$(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null || true)
    if [ -n "$state" ] && [ "$state" != Z ]; then
        echo "survivor: $pid ($state)"
        survivors=$((survivors + 1))
    fi
done
echo "cgroup.procs now: [$(tr '\n' ' ' < "$group/cgroup.procs")] $(grep populated "$group/cgroup.events")"
echo "processes of the job still alive: $survivors of ${#job[@]}"
rmdir "$group"
group=
[ "$status" = 0 ] && [ "$survivors" = 0 ]
