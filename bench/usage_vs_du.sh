#!/usr/bin/env bash
# Times `marloft-shell usage` on a wide tree (9,990 names) and a deep one (64
# levels) beside `du -s --apparent-size`, `find DIR -printf ''` and a minimal
# walk that does one fstatat per name (bench/min_walk.cpp), all in one run on
# a warm cache, and prints the median times and their ratios.
#
#   bench/usage_vs_du.sh [path/to/marloft-shell]
#
# Default binary: build/default/src/marloft-shell (cmake --workflow --preset
# default builds it). ROUNDS rounds of RUNS timed runs per command (10 x 10).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
shell_bin=$(realpath "${1:-$here/../build/default/src/marloft-shell}")
rounds=${ROUNDS:-10}
runs=${RUNS:-10}
[[ -x $shell_bin ]] || { echo "no binary at $shell_bin; build it first" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "hyperfine is needed" >&2; exit 1; }

work=$(mktemp -d /tmp/marloft-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

# The minimal walk gets the optimisation level of the default preset.
"${CXX:-c++}" -std=c++20 -O2 -o "$work/min_walk" "$here/min_walk.cpp"

# wide: 10 directories of 998 files each, 9,990 names in all.
mkdir "$work/wide"
for d in $(seq 0 9); do
    mkdir "$work/wide/d$d"
    (cd "$work/wide/d$d" && seq -f 'f%g' 1 998 | xargs touch)
done
# deep: a chain of 64 directories with one small file at every level.
path="$work/deep"
mkdir "$path"
for level in $(seq 1 64); do
    echo x >"$path/file"
    path="$path/d"
    mkdir "$path"
done

# Other work on the machine drifts over seconds, so the commands take turns:
# each round times all four, and the medians are over every round's runs.
for tree in wide deep; do
    dir="$work/$tree"
    "$shell_bin" usage "$dir" || { echo "usage answered $? for $tree, not 0" >&2; exit 1; }
    for round in $(seq 1 "$rounds"); do
        hyperfine -N --warmup 5 --runs "$runs" --style none \
            --export-json "$work/$tree.$round.json" \
            -n usage "$shell_bin usage $dir" \
            -n du "du -s --apparent-size $dir" \
            -n find "find $dir -printf ''" \
            -n min_walk "$work/min_walk $dir" >/dev/null 2>&1
    done
done

python3 - "$work" "$rounds" <<'PY'
import json, statistics, sys
work, rounds = sys.argv[1], int(sys.argv[2])
print(f"{'tree':6} {'usage ms':>9} {'du ms':>8} {'find ms':>8} {'min ms':>8}"
      f" {'usage/du':>9} {'usage/find':>11} {'usage/min':>10}")
for tree in ("wide", "deep"):
    times = {}
    for round in range(1, rounds + 1):
        for r in json.load(open(f"{work}/{tree}.{round}.json"))["results"]:
            times.setdefault(r["command"], []).extend(r["times"])
    m = {name: statistics.median(t) * 1000 for name, t in times.items()}
    print(f"{tree:6} {m['usage']:9.3f} {m['du']:8.3f} {m['find']:8.3f} {m['min_walk']:8.3f}"
          f" {m['usage'] / m['du']:9.3f} {m['usage'] / m['find']:11.3f}"
          f" {m['usage'] / m['min_walk']:10.3f}")
PY
