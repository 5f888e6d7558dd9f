#!/usr/bin/env bash
# The product's footprint: the installed (stripped) binary's size, each
# sub-command's peak resident memory, and the fewest descriptors each one
# needs (found by lowering RLIMIT_NOFILE until it fails) on its largest case:
# `run` with both streams busy, `usage` on a 64-level tree, `guard` tearing
# down a job of 10 processes (needs root and cgroup v2; skipped otherwise).
#
#   bench/resources.sh [path/to/build]     (default build/default)
set -euo pipefail
set +m # no job-control chatter about the job processes we kill
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/default}
shell=$build/src/marloft-shell
[ -x "$shell" ] || { echo "build first: cmake --workflow --preset default" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs GNU time (/usr/bin/time)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
printf '%-34s %s bytes\n' "installed binary (stripped)" "$(stat -c %s "$work/prefix/bin/marloft-shell")"
printf '%-34s %s bytes\n' "build-tree binary (with symbols)" "$(stat -c %s "$shell")"

peak_kib() { awk '/Maximum resident set size/ { print $NF }' "$1"; }

# run: the runner pauses after its result; VmHWM is read then.
run_once() { # $1: nofile limit; prints the status or the peak
    local dir=$work/run-$1 pid
    mkdir "$dir"; : > "$dir/start"
    prlimit --nofile="$1" "$shell" run "$dir/start" "$dir/result" "$dir/out" "$dir/err" \
        'head -c 1000000 /dev/zero; head -c 1000000 /dev/zero >&2' &
    pid=$!
    for _ in $(seq 400); do
        [ -e "$dir/result" ] || ! kill -0 "$pid" 2>/dev/null && break
        sleep 0.01
    done
    if [ -e "$dir/result" ]; then
        awk '/VmHWM/ { print $2 }' "/proc/$pid/status"
        kill -KILL "$pid"
    fi
    wait "$pid" 2>/dev/null || true
}
printf '%-34s %s KiB\n' "run: peak resident memory" "$(run_once 1024)"
for n in $(seq 3 16); do [ -n "$(run_once "$n" 2>/dev/null)" ] && break; done
printf '%-34s %s\n' "run: descriptors needed" "$n"

# usage: 64 nested levels, the deepest it walks.
deep=$work/deep; path=$deep
for _ in $(seq 64); do path=$path/d; done
mkdir -p "$path"
/usr/bin/time -v "$shell" usage "$deep" 2> "$work/usage.time"
printf '%-34s %s KiB\n' "usage: peak resident memory" "$(peak_kib "$work/usage.time")"
for n in $(seq 3 100); do prlimit --nofile="$n" "$shell" usage "$deep" 2>/dev/null && break; done
printf '%-34s %s\n' "usage: descriptors needed" "$n"

# guard: a job of 10 sleeping processes in a cgroup of our own.
mount=$(awk '$0 ~ / - cgroup2 / { print $5; exit }' /proc/self/mountinfo)
if [ "$(id -u)" != 0 ] || [ -z "$mount" ]; then
    echo "guard: skipped (needs root and cgroup v2)"
    exit 0
fi
guard_once() { # $1: nofile limit; prints the guard's status
    local group=$mount/marloft-resources-$$ i first=
    mkdir "$group"
    for i in $(seq 10); do
        (echo "$BASHPID" > "$group/cgroup.procs" && exec sleep 60) &
        first=${first:-$!}
    done
    while [ "$(wc -l < "$group/cgroup.procs")" -lt 10 ]; do sleep 0.01; done
    local status=0
    /usr/bin/time -v prlimit --nofile="$1" "$shell" guard $$ "$first" \
        "gui/0/com.marloft.shell.resources" "$work/guard.log" 1 3</dev/null \
        > /dev/null 2> "$work/guard.time" || status=$?
    echo 1 > "$group/cgroup.kill"
    wait 2>/dev/null || true
    rmdir "$group"
    echo "$status"
}
guard_once 1024 > /dev/null 2>&1
printf '%-34s %s KiB\n' "guard: peak resident memory" "$(peak_kib "$work/guard.time")"
for n in $(seq 4 32); do [ "$(guard_once "$n" 2>/dev/null)" = 0 ] && break; done
printf '%-34s %s\n' "guard: descriptors needed" "$n"
