#!/usr/bin/env bash
# Wall time of `tarvo status` (median of many runs) against the 20 ms budget,
# in two roots: one without tools (the program's own cost: start-up, file
# checks, the flag listing of 50 entries) and one laid out by make-root, where
# the report also runs openssl and the python stand-ins for security and
# networksetup (on a Mac those are the system's tools).
# `tarvo version` runs beside them as the start-up floor.
# usage: bench/status-startup.sh [path/to/tarvo]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
bin="${1:-$here/../build/src/tarvo}"
[ -x "$bin" ] || { echo "no tarvo binary at $bin (build first)" >&2; exit 1; }
tmp="$(mktemp -d)"; trap 'rm -rf "$tmp"' EXIT
for root in bare made; do
  data="$tmp/$root/Library/Application Support/Tarvo"
  mkdir -p "$data/active-children"
  echo '{}' > "$data/proxy_rules.json"
  for i in $(seq 1 50); do : > "$data/active-children/$((500 + i)).flag"; done
done
"$here/../scripts/make-root" "$tmp/made" >/dev/null
"$here/../scripts/make-test-ca" "$tmp/res" >/dev/null
export HOME="$tmp/home" TARVO_RESOURCES="$tmp/res" TARVO_PLATFORM=mac
hyperfine -N --warmup 5 --runs 40 --export-json "$tmp/r.json" \
  -n "version" "env TARVO_ROOT=$tmp/bare $bin version" \
  -n "status, no tools" "env TARVO_ROOT=$tmp/bare $bin status" \
  -n "status, stand-ins" "env TARVO_ROOT=$tmp/made $bin status" >/dev/null
python3 - "$tmp/r.json" <<'PY'
import json, sys
res = json.load(open(sys.argv[1]))["results"]
print(f"{'command':<20}{'median ms':>10}{'p95 ms':>10}")
for r in res:
    times = sorted(r["times"]); p95 = times[int(len(times) * 0.95) - 1]
    print(f"{r['command']:<20}{r['median']*1e3:>10.2f}{p95*1e3:>10.2f}")
own = res[1]["median"] * 1e3
print(f"budget 20 ms (own cost): {'within' if own < 20 else 'OVER'} ({own:.2f} ms)")
PY
