#!/usr/bin/env bash
# One guarded session on macOS: a job in the user's GUI domain runs the
# runner with a command that leaves strays behind, some of them in sessions
# of their own where no process-group kill can reach them; a guard watches
# the job's coalition; the owner (this script) lets go of its pipe. The guard
# alone must have stopped and killed every one of them, and the service must
# be gone. Needs a logged-in GUI session for the current user.
#
# launchd gives the job no terminal; the job shows that it can't open one.
# The guard, started from here, gets none either: a session of its own with
# standard input from /dev/null, so that nothing of this terminal is handed
# on to a process that outlives or outwaits the owner.
set -euo pipefail
shell=${1:?usage: macos-session.sh PATH-TO-marloft-shell}
uid=$(id -u)
label=com.marloft.shell.session-$$
target=gui/$uid/$label

fail() {
    echo "$*" >&2
    exit 1
}

launchctl print "gui/$uid" >/dev/null 2>&1 ||
    fail "no launchd domain gui/$uid: this needs a logged-in GUI session of user $uid"
[ -x /usr/bin/perl ] || fail "needs /usr/bin/perl to start strays in sessions of their own"

work=$(mktemp -d)
guard=
cleanup() {
    # A guard still at work is stopped and waited for before its log goes.
    exec 4>&-
    if [ -n "$guard" ]; then
        kill "$guard" 2>/dev/null || true
        wait "$guard" 2>/dev/null || true
    fi
    launchctl bootout "$target" 2>/dev/null || true
    # Strays are written down until they are known to be gone.
    for file in "$work"/stray.*; do
        if [ -s "$file" ]; then kill -KILL "$(cat "$file")" 2>/dev/null || true; fi
    done
    rm -rf "$work"
}
trap cleanup EXIT

# What the job runs: strays that each write down their pid. launchd kills what
# is left of a job's process group when the job ends (unless the plist says
# otherwise, as this one does), and only the guard's coalition scan can find a
# process in a session of its own.
cat >"$work/job.sh" <<'JOB'
set -eu
work=$1
if tty_error=$( (: </dev/tty) 2>&1); then
    echo "terminal: opened /dev/tty"
else
    echo "terminal: could not open /dev/tty: ${tty_error##*: }"
fi
# Run in the background, so that the pid written down is the stray's own.
in_session() {
    exec /usr/bin/perl -MPOSIX -e 'POSIX::setsid() or die "setsid: $!\n"; exec @ARGV or die "exec: $!\n"' "$@"
}
echo started
(sleep 600 >/dev/null 2>&1 & echo $! >"$work/stray.grouped")
in_session /bin/sleep 600 </dev/null >/dev/null 2>&1 &
echo $! >"$work/stray.session"
in_session /bin/sh -c 'sleep 600 & echo $! >"$1/stray.grandchild"; exec sleep 600' sh "$work" \
    </dev/null >/dev/null 2>&1 &
echo $! >"$work/stray.leader"
JOB

cat >"$work/job.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>Label</key><string>$label</string>
  <key>ProgramArguments</key><array>
    <string>$shell</string><string>run</string>
    <string>$work/start</string><string>$work/result</string>
    <string>$work/stdout</string><string>$work/stderr</string>
    <string>/bin/bash $work/job.sh $work</string>
  </array>
  <key>RunAtLoad</key><true/>
  <key>AbandonProcessGroup</key><true/>
</dict></plist>
PLIST
launchctl bootstrap "gui/$uid" "$work/job.plist"

# The listing goes to a file first: awk leaving early must not turn into a
# SIGPIPE that ends this script without a word.
member=
for _ in $(seq 100); do
    launchctl print "$target" >"$work/print" 2>/dev/null || true
    member=$(awk '$1 == "pid" && $2 == "=" { print $3; exit }' "$work/print")
    [ -n "$member" ] && break
    sleep 0.1
done
[ -n "$member" ] || fail "the job did not start"

# The guard reads the owner pipe on descriptor 3; this script keeps the write
# end on descriptor 4 until it lets go.
mkfifo "$work/owner"
# perl execs in place, so $! stays the guard's pid.
/usr/bin/perl -MPOSIX -e 'POSIX::setsid() or die "setsid: $!\n"; exec @ARGV or die "exec: $!\n"' \
    "$shell" guard $$ "$member" "$target" "$work/guard.log" 60 </dev/null 3<"$work/owner" >"$work/ready" &
guard=$!
exec 4>"$work/owner"
for _ in $(seq 100); do [ -s "$work/ready" ] && break; sleep 0.1; done
[ -s "$work/ready" ] || fail "the guard did not report ready"
echo "ready:   $(cat "$work/ready")"

touch "$work/start"
for _ in $(seq 200); do [ -e "$work/result" ] && break; sleep 0.05; done
[ -e "$work/result" ] || fail "the runner wrote no result"
echo "result:  $(cat "$work/result")"
echo "stdout:  $(cat "$work/stdout")"
grep -q '^terminal: could not open /dev/tty' "$work/stdout" || fail "the job could open a terminal"
strays=(grouped session leader grandchild)
for name in "${strays[@]}"; do
    for _ in $(seq 100); do [ -s "$work/stray.$name" ] && break; sleep 0.05; done
    [ -s "$work/stray.$name" ] || fail "the $name stray wrote no pid"
done
started=("$member")
for name in "${strays[@]}"; do started+=("$(cat "$work/stray.$name")"); done
for pid in "${started[@]}"; do
    kill -0 "$pid" 2>/dev/null || fail "process $pid was gone before the guard let go"
done

exec 4>&-
status=0
wait "$guard" || status=$?
guard=
summary=$(tail -n 1 "$work/guard.log")
echo "summary: $summary (exit $status)"

[ "$status" -eq 0 ] || fail "guard exit $status"
shape='^\{"cleaned":true,"stopped":([0-9]+),"killed":([0-9]+),"remaining":0,"reason":"owner-pipe-closed","bootoutStatus":0\}$'
[[ $summary =~ $shape ]] || fail "unexpected summary"
stopped=${BASH_REMATCH[1]}
killed=${BASH_REMATCH[2]}
[ "$stopped" -gt 0 ] || fail "the guard stopped nothing"
[ "$killed" -ge "${#started[@]}" ] || fail "the guard killed $killed of ${#started[@]} processes"

# launchd reaps what the kills leave, but not necessarily at once.
for pid in "${started[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || continue 2; sleep 0.1; done
    fail "process $pid survived"
done
rm -f "$work"/stray.*
if launchctl print "$target" >/dev/null 2>&1; then fail "service still loaded"; fi
echo "no process of the job survived; the service is gone"
