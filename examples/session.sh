#!/usr/bin/env bash
# One whole guarded session on Linux. A job in a fresh cgroup runs
# `marloft-shell run` with a command that leaves stray processes behind and
# tries to leave its group; a guard watches the job; this script is the
# owner. Once the command's result is in, the owner lets go and the guard
# stops and kills everything in the job. Prints each marloft-shell command it
# runs, the result, the capture files, the guard's summary and proof that no
# process of the job survived.
#
# Root only makes the group and moves the runner in: the runner and the guard
# run as the unprivileged user nobody (uid 65534), since a root job could
# write any group and so leave its own. The owner stays this root script,
# which the job can neither debug nor signal.
#
# Both start in sessions of their own (setsid), with no controlling terminal
# and standard input from /dev/null: a job that could open this terminal
# could push lines into its input (TIOCSTI) for the owner to run once the
# session is over, stop or interrupt the owner's foreground jobs, and read
# the rest of what is typed or pasted. The job shows that it can't.
#
# Needs root and cgroup v2 (a cgroup stands in for the job's coalition).
# Without them it says so loudly, runs the command runner alone and exits 77.
#
# Exit status:
#   0   the guarded session passed: guard status 0, no process of the job
#       left, and the job could not leave its group
#   77  no guarded session was possible here; the runner alone worked
#   1   processes of the job survived, the job left its group, the binary is
#       missing, or a step of this script failed
#   any other: the status of the runner or guard that ended early (see the
#       TROUBLESHOOTING in man marloft-shell), or of the step that failed
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
built=${MARLOFT_SHELL:-$here/build/default/src/marloft-shell}
if [ ! -x "$built" ]; then
    echo "no binary at $built: build it first" >&2
    echo "  cmake --preset default && cmake --build --preset default --target marloft-shell" >&2
    exit 1
fi

# The strays are orphaned on purpose. Where PID 1 does not reap orphans, this
# script takes them in (as a child subreaper) so that their ends are reaped.
if [ -z "${MARLOFT_EXAMPLE_REAPER:-}" ] && command -v python3 > /dev/null; then
    export MARLOFT_EXAMPLE_REAPER=1
    exec python3 -c 'import ctypes, os, sys
ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
os.execv(sys.argv[1], sys.argv[1:])' /bin/bash "$0" "$@"
fi

# The job's user, and how root hands a process to it for good: real,
# effective and saved ids alike, and no supplementary groups.
job_uid=65534
as_job=(setpriv --reuid="$job_uid" --regid="$job_uid" --clear-groups)

top=
group=
runner=
guard=
# Runs to the end whatever failed before it, says what it could not undo, and
# ends with the status of the step that failed (1 if only the cleanup did).
cleanup() {
    local status=$? failed=0
    set +e
    exec 7>&-
    if [ -n "$guard" ] && kill -0 "$guard" 2> /dev/null; then
        kill -KILL "$guard"
    fi
    # bash's note that a process we killed was killed is not news.
    [ -n "$guard" ] && { wait "$guard"; } 2> /dev/null
    if [ -n "$group" ] && [ -d "$group" ]; then
        echo 1 > "$group/cgroup.kill" || failed=1
        # The runner that this kills ends here, and bash's note of it is not news.
        for _ in $(seq 250); do
            grep -qx 'populated 0' "$group/cgroup.events" && break
            sleep 0.02
        done 2> /dev/null
        rmdir "$group" || { echo "cleanup: could not remove the job's cgroup $group" >&2; failed=1; }
    fi
    if [ -n "$runner" ] && kill -0 "$runner" 2> /dev/null; then
        kill -KILL "$runner"
    fi
    [ -n "$runner" ] && { wait "$runner"; } 2> /dev/null
    if [ -n "$top" ]; then
        rm -rf "$top" || { echo "cleanup: could not remove $top" >&2; failed=1; }
    fi
    [ "$status" = 0 ] && [ "$failed" != 0 ] && status=1
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
top=$(mktemp -d)
shell=$built
work=$top

# Prints a command the way a shell would take it back.
show() {
    printf '$'
    printf ' %q' "$@"
    printf '\n'
}

# Runs the test "$@" until it passes, for as long as process $1 lives and at
# most $2 seconds.
await() {
    local pid=$1 deadline=$((SECONDS + $2))
    shift 2
    until "$@"; do
        if ! kill -0 "$pid" 2> /dev/null || [ "$SECONDS" -ge "$deadline" ]; then
            "$@"
            return
        fi
        sleep 0.02
    done
}

# What was awaited from process $2 did not come: say why, and end with the
# status that process ended with.
gave_up() {
    if kill -0 "$2" 2> /dev/null; then
        echo "session: gave up waiting for $1 from process $2" >&2
        exit 1
    fi
    local status=0
    wait "$2" || status=$?
    echo "session: $1 never came: process $2 ended with status $status" >&2
    [ "$status" != 0 ] || status=1
    exit "$status"
}

show_run_files() {
    echo "result: $(cat "$work/result")"
    echo "stdout: $(cat "$work/stdout")"
    echo "stderr: $(cat "$work/stderr")"
}

# Without cgroups the runner still works; only the guard has nothing to watch.
run_alone() {
    local command='echo "hello from $0"; echo "a warning" >&2; exit 3'
    show "$shell" run "$work/start" "$work/result" "$work/stdout" "$work/stderr" "$command"
    setsid "$shell" run "$work/start" "$work/result" "$work/stdout" "$work/stderr" "$command" \
        < /dev/null &
    runner=$!
    touch "$work/start"
    await "$runner" 10 test -s "$work/result" || gave_up "the result" "$runner"
    show_run_files
}

mount=$(awk '$0 ~ / - cgroup2 / { print $5; exit }' /proc/self/mountinfo)
why=
if [ "$(id -u)" != 0 ]; then
    why="creating the job's cgroup needs root: run it again as root (sudo $0)"
elif [ -z "$mount" ]; then
    why="no cgroup v2 hierarchy is mounted: mount one (mount -t cgroup2 none /sys/fs/cgroup) and run it again"
elif ! command -v setpriv > /dev/null; then
    why="no setpriv to hand the job to the user nobody: install util-linux and run it again"
fi
if [ -n "$why" ]; then
    cat >&2 <<EOF
************************************************************************
NO GUARDED SESSION HERE: $why.
What follows is the command runner alone, without a guard, and this
script then exits 77, not 0: nothing here shows that a guard works.
************************************************************************
EOF
    run_alone
    exit 77
fi

# 1. Root's, out of the job's reach: the binary (copied execute-only, as the
#    install makes it, so that nobody can run it wherever this tree lies),
#    the owner pipe, the ready line and the log's directory. The job's: its
#    work directory. The guard opens its log as nobody, so root makes the log
#    nobody's, in a directory the job can't change.
chmod 0711 "$top"
shell=$top/marloft-shell
install -m 0711 "$built" "$shell"
work=$top/job
install -d -o "$job_uid" -g "$job_uid" -m 0700 "$work"
install -o "$job_uid" -g "$job_uid" -m 0600 /dev/null "$top/guard.log"
mkfifo -m 0600 "$top/owner"

# The command leaves strays of several kinds behind, then tries to leave its
# group the way a root job could, and can't: the group is root's.
leave="echo \$BASHPID > $(printf %q "$mount/cgroup.procs")"
command='echo "hello from $0 as $(id -un)"
setsid sleep 600 > /dev/null 2>&1 < /dev/null &
( (sleep 600 &) & )
nohup sleep 600 > /dev/null 2>&1 &
if ('"$leave"') 2> /dev/null; then echo "escape: done"; else echo "escape: refused"; fi
if tty_error=$( (: < /dev/tty) 2>&1); then
    echo "terminal: opened /dev/tty"
else
    echo "terminal: could not open /dev/tty: ${tty_error##*: }"
fi
echo "a warning" >&2
exit 3'

# 2. The job: a fresh cgroup whose first process is the runner, as nobody.
#    The runner waits about 10 seconds for its start file, which comes in
#    step 4.
group=$mount/marloft-example-$$
mkdir "$group"
echo "as the first process of the cgroup $group:"
printf '%s < /dev/null\n' "$(show setsid "${as_job[@]}" "$shell" run "$work/start" "$work/result" \
    "$work/stdout" "$work/stderr" "$command")"
# A background job of this script leads no process group, so setsid(1)
# makes the session in place, without a fork: $! stays the runner's pid.
(echo "$BASHPID" > "$group/cgroup.procs" && exec setsid "${as_job[@]}" "$shell" run "$work/start" \
    "$work/result" "$work/stdout" "$work/stderr" "$command" < /dev/null) &
runner=$!
await "$runner" 5 grep -qx "$runner" "$group/cgroup.procs" || gave_up "the runner in its cgroup" "$runner"
# A guard as nobody refuses a member that is still root's.
await "$runner" 5 grep -Eq "^Uid:\s+$job_uid\s+$job_uid\s+$job_uid\s" "/proc/$runner/status" ||
    gave_up "the runner as $job_uid" "$runner"
echo "job: cgroup ID $(stat -c %i "$group"), runner $runner"

# 3. The guard, as nobody, with this script as its owner, holding the pipe
#    on descriptor 3 (a FIFO, so that this shell keeps the other end). The
#    end is opened only now, so that the runner does not hold it too.
target=gui/$job_uid/com.marloft.shell.example
printf '%s < /dev/null 3<%q\n' \
    "$(show setsid "${as_job[@]}" "$shell" guard $$ "$runner" "$target" "$top/guard.log" 60)" "$top/owner"
setsid "${as_job[@]}" "$shell" guard $$ "$runner" "$target" "$top/guard.log" 60 \
    < /dev/null 3< "$top/owner" > "$top/ready" &
guard=$!
exec 7> "$top/owner"
await "$guard" 5 test -s "$top/ready" || gave_up "the guard's ready line" "$guard"
echo "guard: $(cat "$top/ready")"

# 4. The command runs and leaves its strays behind in the job.
touch "$work/start"
await "$runner" 10 test -s "$work/result" || gave_up "the result" "$runner"
show_run_files
mapfile -t job < "$group/cgroup.procs"
echo "the job now holds ${#job[@]} processes:"
ps -o pid,ppid,sid,user,stat,comm -p "$(IFS=,; echo "${job[*]}")"

# 5. The owner lets go; the guard empties the job and reports.
exec 7>&-
status=0
# The killed runner ends here too; bash's note of that is expected, not news.
{ wait "$guard" || status=$?; } 2> /dev/null
guard=
echo "guard exit status: $status"
echo "guard summary: $(tail -n 1 "$top/guard.log")"
echo "(bootoutStatus 32512 is the raw status of a missing /bin/launchctl: there is no launchd here)"

# 6. Proof: the group is empty, none of the processes it held is alive, and
#    the job could not leave it.
{ wait "$runner" || true; } 2> /dev/null
runner=
survivors=0
for pid in "${job[@]}"; do
    state=$(awk '{ print $3 }' "/proc/$pid/stat" 2> /dev/null || true)
    if [ -n "$state" ] && [ "$state" != Z ]; then
        echo "survivor: $pid ($state)"
        survivors=$((survivors + 1))
    fi
done
echo "cgroup.procs now: [$(tr '\n' ' ' < "$group/cgroup.procs")] $(grep populated "$group/cgroup.events")"
echo "processes of the job still alive: $survivors of ${#job[@]}"
if [ "$status" != 0 ]; then
    echo "session: the guard ended with status $status" >&2
    exit "$status"
fi
if [ "$survivors" != 0 ]; then
    echo "session: processes of the job survived the guard" >&2
    exit 1
fi
if ! grep -qx 'escape: refused' "$work/stdout"; then
    echo "session: the job could leave its group" >&2
    exit 1
fi
if ! grep -q '^terminal: could not open /dev/tty' "$work/stdout"; then
    echo "session: the job could open a terminal" >&2
    exit 1
fi
echo "session passed: no process of the job survived, it could not leave its group, and it had no terminal"
