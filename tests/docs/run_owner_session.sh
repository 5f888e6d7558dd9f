#!/bin/sh
# Runs the Linux session of the owner's page as written, as root, and fails
# unless it passes and leaves its group behind neither populated nor at all.
# Exits 77 (skipped) where the script itself finds no root or cgroup v2.
#
#   run_owner_session.sh MANUAL_PAGE PATH_OF_marloft-shell
set -eu
page=$1 shell=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

awk '/^\.SH / { inside = $0 ~ /^\.SH +LINUX/ }
    inside && /^\.EX/ { block = 1; next }
    inside && /^\.EE/ { exit }
    block {
        gsub(/\\-/, "-"); gsub(/\\\(aq/, "\047"); gsub(/\\\(dq/, "\""); gsub(/\\e/, "\\")
        print
    }' "$page" > "$work/session.sh"

# The job's strays are reparented here, to be reaped, not to PID 1.
python3 -c 'import ctypes, os, sys; ctypes.CDLL(None).prctl(36, 1, 0, 0, 0); os.execvp(sys.argv[1], sys.argv[1:])' \
    bash "$work/session.sh" "$shell" &
session=$!
status=0
wait "$session" || status=$?
[ "$status" = 77 ] && exit 77
mount=$(findmnt -nt cgroup2 -o TARGET | head -n 1)
if [ -d "$mount/marloft-owner-$session" ]; then
    echo "the session left its group behind"
    exit 1
fi
exit "$status"
