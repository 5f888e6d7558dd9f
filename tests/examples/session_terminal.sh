#!/usr/bin/env bash
# examples/session.sh started from a terminal, as an owner would start it:
# the session must pass, and the job must have found no terminal to open.
# Exits 77 (skipped) where no guarded session or no terminal can be had.
set -euo pipefail
binary=$1
example=$2
if ! command -v script > /dev/null; then
    echo "skipped: no script(1) to give the session a terminal"
    exit 77
fi
out=$(mktemp)
trap 'rm -f "$out"' EXIT
status=0
# script(1) gives the example a pseudo-terminal as its controlling terminal.
script -qec "tty -s || exit 78; $(printf '%q ' env MARLOFT_SESSION="$binary" "$example")" /dev/null \
    < /dev/null > "$out" 2>&1 || status=$?
cat "$out"
case $status in
0) ;;
77) exit 77 ;;
78)
    echo "skipped: script(1) gave the session no terminal"
    exit 77
    ;;
*)
    echo "FAILED: the session ended with status $status"
    exit 1
    ;;
esac
if ! grep -q '^terminal: could not open /dev/tty' "$out"; then
    echo "FAILED: the job's output does not show that it could not open /dev/tty"
    exit 1
fi
