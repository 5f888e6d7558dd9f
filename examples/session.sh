#!/usr/bin/env bash
# One guarded session through marloft-session. The command leaves strays of
# several kinds behind: a background child, an orphan, a process in a session
# of its own, one deaf to SIGTERM and SIGHUP, and a real daemon (ssh-agent).
# Each writes down its pid; once the session is over, none may be alive.
# The job has no terminal, and says whether it could open one.
#
# Linux: as root, with cgroup v2. macOS: as the user logged in at the
# console. Exits 0 when the session passed, 1 when it failed or something
# survived it, 77 when no session can run here.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cli=${MARLOFT_SESSION:-$here/build/default/src/marloft-session}
if [ ! -x "$cli" ]; then
    echo "no marloft-session at $cli: build it first (cmake --workflow --preset default)" >&2
    exit 1
fi
if [ "$(uname -s)" = Linux ] && { [ "$(id -u)" != 0 ] || ! grep -q ' - cgroup2 ' /proc/self/mountinfo; }; then
    echo "skipped: a session on Linux needs root and cgroup v2" >&2
    exit 77
fi

command='
sleep 600 & echo "stray child $!"
(sleep 600 & echo "stray orphan $!")
perl -MPOSIX -e "POSIX::setsid(); exec @ARGV" sleep 600 & echo "stray session-leader $!"
(trap "" TERM HUP; exec sleep 600) & echo "stray deaf $!"
eval "$(ssh-agent -s -a "$PWD/agent")" > /dev/null && echo "stray daemon $SSH_AGENT_PID"
if (: < /dev/tty) 2> /dev/null; then echo "terminal: opened /dev/tty"
else echo "terminal: could not open /dev/tty"; fi'

printf '$ %q -t 60 %q\n' "$(basename "$cli")" "$command"
status=0
out=$("$cli" -t 60 "$command") || status=$?
echo "$out"
echo "marloft-session exit status: $status"
[ "$status" = 0 ] || exit 1

survivors=0
while read -r _ kind pid; do
    state=$(ps -o stat= -p "$pid" || :)
    if [ -n "$state" ] && [ "${state:0:1}" != Z ]; then
        echo "survivor: the $kind, pid $pid ($state)"
        survivors=$((survivors + 1))
    fi
done < <(grep '^stray ' <<< "$out")
strays=$(grep -c '^stray ' <<< "$out")
echo "strays alive after the session: $survivors of $strays"
[ "$survivors" = 0 ] && [ "$strays" = 5 ]
