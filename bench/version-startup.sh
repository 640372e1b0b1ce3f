#!/usr/bin/env bash
# Wall time of `tarvo version` and `tarvo help` (median of many runs) beside a
# bare C program, side by side in one run, against the budget of 6x the bare
# program's start.
# usage: bench/version-startup.sh [path/to/tarvo]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
bin="${1:-$here/../build/src/tarvo}"
[ -x "$bin" ] || { echo "no tarvo binary at $bin (build first)" >&2; exit 1; }
tmp="$(mktemp -d)"; trap 'rm -rf "$tmp"' EXIT
printf 'int main(void){return 0;}\n' > "$tmp/bare.c"
cc -O2 -o "$tmp/bare" "$tmp/bare.c"
export TARVO_ROOT="$tmp/root" HOME="$tmp/home"
hyperfine -N --warmup 20 --runs 300 --export-json "$tmp/r.json" \
  -n bare "$tmp/bare" -n "tarvo version" "$bin version" -n "tarvo help" "$bin help" >/dev/null
python3 - "$tmp/r.json" <<'PY'
import json, sys
res = json.load(open(sys.argv[1]))["results"]
bare = res[0]["median"]
print(f"{'command':<16}{'median ms':>10}{'p95 ms':>10}{'vs bare':>10}")
for r in res:
    times = sorted(r["times"]); p95 = times[int(len(times) * 0.95) - 1]
    print(f"{r['command']:<16}{r['median']*1e3:>10.2f}{p95*1e3:>10.2f}{r['median']/bare:>9.1f}x")
worst = max(r["median"] for r in res[1:]) / bare
print(f"budget 6x bare: {'within' if worst <= 6 else 'OVER'} (slowest {worst:.1f}x)")
PY
