#!/usr/bin/env bash
# Wall time of `tarvo status` (median of many runs) against the 20 ms budget,
# as root in a private mount and network namespace as scripts/demo runs the
# daemon (the host's /etc, /var and firewall stay as they were), twice:
#  - in a bare root (TARVO_ROOT) with nothing in force: the program's own cost
#    (start-up, file checks, the flag listing of 50 entries);
#  - with this system's mechanisms in force: the daemon running for a child
#    who is present, so the report reads the locked desktop settings, the
#    firewall table (through libnftables), the CA store, Firefox's policy and
#    the child's NSS database (certutil, run as the child).
# `tarvo version` runs beside them as the start-up floor.
# usage: sudo bench/status-startup.sh [path/to/tarvo]
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
sys_name="status-startup"
# shellcheck source-path=SCRIPTDIR source=../scripts/lib/system.sh
source "$src/scripts/lib/system.sh"
[ "$(id -u)" -eq 0 ] || system_fail "run as root: status reads root's view in a namespace of its own"
tarvo="${1:-$src/build/src/tarvo}"
[ -x "$tarvo" ] || system_fail "no tarvo binary at $tarvo (build first)"
tarvo="$(cd "$(dirname "$tarvo")" && pwd)/$(basename "$tarvo")"
demo="$(mktemp -d /tmp/tarvo-bench-status.XXXXXX)"
chmod 0755 "$demo"
child="${SUDO_USER:-$(id -un)}"
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  system_stop
  if [ -n "${TARVO_BENCH_KEEP:-}" ] || { [ "$status" != 0 ] && [ "$status" != 130 ]; }; then
    echo "$sys_name: the run's folder (logs below it) stays at $demo" >&2
  else
    rm -rf "$demo"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM
system_layout
system_start_private
system_start_daemon
system_write_config
system_keep_child_present
system_mechanisms_in_force 60
for _ in $(seq 600); do
  "${sys_in[@]}" test -s /usr/local/share/ca-certificates/tarvo-root.crt && break
  sleep 0.1
done

bare="$demo/bare"
mkdir -p "$bare/var/lib/tarvo" "$bare/run/tarvo/active-children"
echo '{}' >"$bare/var/lib/tarvo/proxy_rules.json"
for i in $(seq 1 50); do : >"$bare/run/tarvo/active-children/$((500 + i)).flag"; done
in_force="$("${sys_in[@]}" "$tarvo" status)"
grep -q 'cert:    trusted' <<<"$in_force" || system_fail "the certificate is not in force:
$in_force"
echo "what \`tarvo status\` reports with the mechanisms in force:"
sed 's/^/  /' <<<"$in_force"

"${sys_in[@]}" hyperfine -N --warmup 5 --runs 40 --export-json "$demo/r.json" \
  -n "version" "env TARVO_ROOT=$bare $tarvo version" \
  -n "status, bare root" "env TARVO_ROOT=$bare $tarvo status" \
  -n "status, in force" "$tarvo status" >/dev/null
python3 - "$demo/r.json" <<'PY'
import json, sys
res = json.load(open(sys.argv[1]))["results"]
print(f"{'command':<20}{'median ms':>10}{'p95 ms':>10}")
for r in res:
    times = sorted(r["times"]); p95 = times[int(len(times) * 0.95) - 1]
    print(f"{r['command']:<20}{r['median']*1e3:>10.2f}{p95*1e3:>10.2f}")
own = res[1]["median"] * 1e3
print(f"budget 20 ms (own cost): {'within' if own < 20 else 'OVER'} ({own:.2f} ms)")
PY
