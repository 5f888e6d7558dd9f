#!/usr/bin/env bash
# One `run` session end to end: the runner waits for its start file, runs a
# command that writes to both streams, and publishes its result record.
# Prints the record and the capture files, then ends the paused runner.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
shell=${MARLOFT_SHELL:-$here/build/default/src/marloft-shell}
[ -x "$shell" ] || { echo "build first: cmake --workflow --preset default" >&2; exit 1; }

work=$(mktemp -d)
runner=
cleanup() {
    if [ -n "$runner" ]; then
        kill -KILL "$runner" 2>/dev/null
        wait "$runner" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

"$shell" run "$work/start" "$work/result" "$work/stdout" "$work/stderr" \
    'echo "hello from $0"; echo "a warning" >&2; exit 3' &
runner=$!
echo "runner $runner waits for $work/start"
touch "$work/start"
for _ in $(seq 200); do [ -e "$work/result" ] && break; sleep 0.05; done

echo "result: $(cat "$work/result")"
echo "stdout: $(cat "$work/stdout")"
echo "stderr: $(cat "$work/stderr")"
ls -l "$work"
