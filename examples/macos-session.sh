#!/usr/bin/env bash
# One guarded session on macOS: a job in the user's GUI domain runs the
# runner with a command that leaves a stray process behind; a guard watches
# the job's coalition; the owner (this script) lets go of its pipe; nothing
# of the job may survive and the service must be gone.
# Needs a logged-in GUI session for the current user.
set -euo pipefail
shell=${1:?usage: macos-session.sh PATH-TO-marloft-shell}
uid=$(id -u)
label=com.marloft.shell.session-$$
target=gui/$uid/$label
work=$(mktemp -d)
trap 'launchctl bootout "$target" 2>/dev/null || true; rm -rf "$work"' EXIT

cat >"$work/job.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>Label</key><string>$label</string>
  <key>ProgramArguments</key><array>
    <string>$shell</string><string>run</string>
    <string>$work/start</string><string>$work/result</string>
    <string>$work/stdout</string><string>$work/stderr</string>
    <string>echo started; (sleep 600 &amp; echo \$! &gt;$work/stray1); nohup sleep 600 &gt;/dev/null 2&gt;&amp;1 &amp; echo \$! &gt;$work/stray2; exit 0</string>
  </array>
  <key>RunAtLoad</key><true/>
</dict></plist>
PLIST
launchctl bootstrap "gui/$uid" "$work/job.plist"

member=
for _ in $(seq 100); do
    member=$(launchctl print "$target" 2>/dev/null | awk '$1 == "pid" && $2 == "=" { print $3; exit }')
    [ -n "$member" ] && break
    sleep 0.1
done
[ -n "$member" ] || { echo "the job did not start" >&2; exit 1; }

# The guard reads the owner pipe on descriptor 3; this script keeps the write
# end on descriptor 4 until it lets go.
mkfifo "$work/owner"
"$shell" guard $$ "$member" "$target" "$work/guard.log" 60 3<"$work/owner" >"$work/ready" &
guard=$!
exec 4>"$work/owner"
for _ in $(seq 100); do [ -s "$work/ready" ] && break; sleep 0.1; done
echo "ready:   $(cat "$work/ready")"

touch "$work/start"
for _ in $(seq 200); do [ -e "$work/result" ] && break; sleep 0.05; done
echo "result:  $(cat "$work/result")"
# The command wrote down the strays it left behind: a double fork and nohup.
job_pids="$(cat "$work/stray1") $(cat "$work/stray2")"

exec 4>&-
status=0
wait "$guard" || status=$?
summary=$(tail -n 1 "$work/guard.log")
echo "summary: $summary (exit $status)"

[ "$status" -eq 0 ] || { echo "guard exit $status" >&2; exit 1; }
case "$summary" in
*'"cleaned":true'*'"remaining":0'*'"bootoutStatus":0}') ;;
*) echo "unexpected summary" >&2; exit 1 ;;
esac
for pid in $member $job_pids; do
    if kill -0 "$pid" 2>/dev/null; then echo "process $pid survived" >&2; exit 1; fi
done
if launchctl print "$target" >/dev/null 2>&1; then echo "service still loaded" >&2; exit 1; fi
echo "no process of the job survived; the service is gone"
