# shellcheck shell=bash disable=SC2154,SC2034  # the caller sets and reads these variables
# The whole Tarvo system, for scripts/demo and the benchmarks that drive it
# (bench/dashboard-to-block, bench/system-at-rest, bench/daemon-at-rest): the
# daemon and the child run with this system's own mechanisms (dconf,
# nftables, the CA store) in a private mount and network namespace, so the
# host's /etc, /var, firewall and other users stay as they were.
# Sourced, not run. The caller sets:
#   src          the source tree
#   tarvo        the tarvo binary;  service_bin  the tarvo-service binary
#   demo         the folder everything lives under (made if missing)
#   child        the account the agent runs for (the demo child)
#   sys_name     the prefix of this file's messages ("demo")
# and calls, in this order, each once:
#   system_layout, [system_start_service,] system_start_private,
#   system_start_daemon, [system_write_config, system_start_display,
#   system_start_agent]
# Every process started is appended to `pids` (the oldest first), so that
# system_stop ends them one by one in reverse order: the agent and the daemon
# first, so the proxy settings and the firewall table are cleared and the
# presence flag removed as they would be on a real machine.

pids=()
xvfb_display=""
sys_in=()   # the command prefix that runs a program where the daemon and the child run

system_fail() {
  echo "$sys_name: $*" >&2
  exit 1
}

# Lays out the demo folder: sets TARVO_RESOURCES (exported), root_home,
# child_home, child_uid, child_gid, data (the daemon's shared data directory),
# flags (the presence flags' directory), system_logs (the daemon's logs, as
# the host sees them) and agent_log. A child who would be root is a
# throw-away account of the namespace instead.
system_layout() {
  if [ "$(id -u "$child")" = 0 ]; then
    child=tarvo-child child_uid=61100 child_gid=61100 new_child=1
  else
    child_uid="$(id -u "$child")" child_gid="$(id -g "$child")" new_child=0
  fi
  mkdir -p "$demo"
  eval "$("$src/scripts/demo-root" --resources "$demo")"   # TARVO_RESOURCES, HOME (root's)
  unset TARVO_ROOT TARVO_PLATFORM
  root_home="$HOME"
  child_home="$demo/home-$child"
  mkdir -p "$child_home" "$demo/service" "$demo/logs"
  chown "$child_uid:$child_gid" "$child_home"
  data=/var/lib/tarvo
  flags=/run/tarvo/active-children
  system_logs="$demo/system/var/upper/log/tarvo"   # /var/log/tarvo as the namespace sees it
  agent_log="$child_home/.local/state/tarvo/logs/agent.log"
}

# The private mount and network namespace the daemon and the child run in
# (sys_in then enters it): /etc and /var are overlays whose changes go to
# $demo/system, /run and /usr/local/share/ca-certificates start empty, the
# network has only loopback. The child's home there is the throw-away one.
# The service on the host's loopback is reached at the same address inside,
# through two relays and a socket file between them, when one was started
# (service_url set).
system_start_private() {
  local sys="$demo/system" port="${service_url:-}"
  port="${port##*:}"
  rm -rf "$sys"
  mkdir -p "$sys"
  unshare --mount --net --propagation private sleep infinity &
  ns_pid=$!
  pids+=("$ns_pid")
  for _ in $(seq 1 100); do
    [ "$(readlink "/proc/$ns_pid/ns/net")" != "$(readlink /proc/self/ns/net)" ] && break
    sleep 0.1
  done
  sys_in=(nsenter -t "$ns_pid" -m -n --)
  "${sys_in[@]}" bash -ec '
    sys=$1 child=$2 uid=$3 gid=$4 home=$5 new=$6
    for d in etc var; do
      mkdir -p "$sys/$d/upper" "$sys/$d/work"
      mount -t overlay overlay -o "lowerdir=/$d,upperdir=$sys/$d/upper,workdir=$sys/$d/work" "/$d"
    done
    mount -t tmpfs -o mode=0755 tmpfs /run
    mount -t tmpfs -o mode=0755 tmpfs /usr/local/share/ca-certificates
    ip link set lo up
    if [ "$new" = 1 ]; then
      echo "$child:x:$uid:$gid:Tarvo demo child:$home:/bin/bash" >> /etc/passwd
      echo "$child:x:$gid:" >> /etc/group
    else
      awk -F: -v OFS=: -v u="$child" -v h="$home" "\$1 == u { \$6 = h } { print }" /etc/passwd > /etc/passwd.demo
      cat /etc/passwd.demo > /etc/passwd
      rm /etc/passwd.demo
    fi' - "$sys" "$child" "$child_uid" "$child_gid" "$child_home" "$new_child" ||
    system_fail "cannot lay out the private namespace"
  [ -n "$port" ] || return 0
  python3 "$src/scripts/lib/relay.py" "unix:$sys/service.sock" "tcp:127.0.0.1:$port" \
    >"$demo/logs/relay-host.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 1 100); do grep -q ready "$demo/logs/relay-host.out" && break; sleep 0.1; done
  "${sys_in[@]}" python3 "$src/scripts/lib/relay.py" "tcp:127.0.0.1:$port" "unix:$sys/service.sock" \
    >"$demo/logs/relay-private.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 1 100); do grep -q ready "$demo/logs/relay-private.out" && break; sleep 0.1; done
  grep -q ready "$demo/logs/relay-private.out" || system_fail "the service's relay did not start"
}

# Ends every process started, the newest first, each gone (up to 10 s, then
# killed) before the next is told: the agent is never left to watch its X
# server vanish, nor the daemon its namespace.
system_stop() {
  local pid
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid="${pids[$i]}"
    kill -TERM "$pid" 2>/dev/null || continue
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  done
}

# tarvo-service with the demo family on a free loopback port: sets
# service_pid, service_url, login and device_id.
system_start_service() {
  device_id="DEMO-$(hostname | tr -cd 'A-Za-z0-9' | tr 'a-z' 'A-Z' | cut -c1-12)"
  "$service_bin" --listen 127.0.0.1:0 --data "$demo/service" --seed-demo "$device_id:$child" \
    >"$demo/logs/service.out" 2>"$demo/logs/service.log" &
  service_pid=$!
  pids+=("$service_pid")
  service_url=""
  for _ in $(seq 1 100); do
    service_url="$(sed -n 's/^listening on \(http[s]*:\/\/[^ ]*\).*/\1/p' "$demo/logs/service.out" | head -1)"
    [ -n "$service_url" ] && break
    kill -0 "$service_pid" 2>/dev/null || { cat "$demo/logs/service.log" >&2; exit 1; }
    sleep 0.1
  done
  [ -n "$service_url" ] || system_fail "the service did not start"
  login="$(grep -m1 '^demo parent:' "$demo/logs/service.out" || true)"
}

# `tarvo daemon` as root: sets daemon_pid once it has laid out the shared data
# directory (open to every user).
system_start_daemon() {
  HOME="$root_home" "${sys_in[@]}" "$tarvo" daemon >"$demo/logs/daemon.out" 2>&1 &
  daemon_pid=$!
  pids+=("$daemon_pid")
  for _ in $(seq 1 100); do
    "${sys_in[@]}" test -d "$flags" && break
    sleep 0.1
  done
  "${sys_in[@]}" test -d "$flags" || { cat "$demo/logs/daemon.out" >&2; system_fail "the daemon did not start"; }
}

# The configuration the parent's setup window would have written (with no
# service started, only the child).
system_write_config() {
  if [ -z "${service_url:-}" ]; then
    "${sys_in[@]}" bash -c 'cat > "$0" && chmod 0644 "$0"' "$data/config.json" <<<"{\"child_users\": [\"$child\"]}"
    return
  fi
  "${sys_in[@]}" bash -c 'cat > "$0" && chmod 0644 "$0"' "$data/config.json" <<JSON
{
  "child_users": ["$child"],
  "api": "$service_url/",
  "device_id": "$device_id",
  "updated_at": "$(date -u +%Y-%m-%dT%H:%M:%SZ)"
}
JSON
}

# The child present without an agent: its presence flag written as the child,
# every 15 s as its agent writes it.
system_keep_child_present() {
  "${sys_in[@]}" setpriv --reuid="$child_uid" --regid="$child_gid" --init-groups \
    sh -c 'trap "kill \$s; exit 0" TERM
      while :; do touch "$0"; sleep 15 & s=$!; wait $s; done' "$flags/$child_uid.flag" &
  pids+=($!)
}

# A display for the agent: $DISPLAY, or when there is none a private Xvfb with
# openbox and a tray (then xvfb_display names it). Sets display.
system_start_display() {
  display="${DISPLAY:-}"
  if [ -z "$display" ]; then
    Xvfb -displayfd 1 -nolisten tcp -screen 0 1280x800x24 >"$demo/logs/xvfb.display" 2>/dev/null &
    pids+=($!)
    for _ in $(seq 1 100); do
      [ -s "$demo/logs/xvfb.display" ] && break
      sleep 0.1
    done
    display=":$(head -1 "$demo/logs/xvfb.display")"
    xvfb_display="$display"
    DISPLAY="$display" openbox --sm-disable >/dev/null 2>&1 &
    pids+=($!)
    if command -v trayer >/dev/null; then
      DISPLAY="$display" trayer --edge top --align right --widthtype request --height 24 >/dev/null 2>&1 &
      pids+=($!)
    fi
  fi
}

# `tarvo agent` as the child, on the display: sets agent_pid.
system_start_agent() {
  mkdir -p "$demo/run-$child" && chown "$child_uid:$child_gid" "$demo/run-$child" && chmod 0700 "$demo/run-$child"
  # The agent's HOME is a throw-away one: bring the display's key along.
  local xauthority="${XAUTHORITY:-}" real_home
  real_home="$(getent passwd "$child" | cut -d: -f6 || true)"
  if [ -z "$xauthority" ] && [ -z "$xvfb_display" ] && [ -f "$real_home/.Xauthority" ]; then
    xauthority="$real_home/.Xauthority"
  fi
  local env=(HOME="$child_home" DISPLAY="$display" XAUTHORITY="$xauthority"
    TARVO_RESOURCES="$TARVO_RESOURCES" XDG_RUNTIME_DIR="$demo/run-$child")
  "${sys_in[@]}" setpriv --reuid="$child_uid" --regid="$child_gid" --init-groups \
    env "${env[@]}" "$tarvo" agent >"$demo/logs/agent.out" 2>&1 &
  agent_pid=$!
  pids+=("$agent_pid")
}

# Once the system has settled with the child present, the pid of the filtering
# proxy (mitmproxy's process) that serves the child; empty when that does not
# happen within SECONDS (default 60). The daemon starts a proxy at once and
# restarts it when the child's agent first shows up, so the proxy counts only
# when it was started after the child became active (or none ran before),
# is still alive, and answers on 127.0.0.1:8080.
system_settled_proxy_pid() {
  local log="$system_logs/daemon.log" found pid
  for _ in $(seq 1 $((${1:-60} * 10))); do
    if "${sys_in[@]}" test -e "$flags/$child_uid.flag"; then
      found="$(awk '
        /child user active/ && !active { active = NR }
        match($0, /proxy started \(pid [0-9]+\)/) {
          start = NR; pid = substr($0, RSTART + 19, RLENGTH - 20)
          if (!active) before = 1
        }
        END { if (active && pid != "" && (!before || start > active)) print pid }' "$log" 2>/dev/null || true)"
      pid="${found:-}"
      if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null &&
        [ "$("${sys_in[@]}" curl -s -o /dev/null -w '%{http_code}' --max-time 5 --noproxy '' \
          -x http://127.0.0.1:8080 http://example.org/ 2>/dev/null)" != 000 ]; then
        echo "$pid"
        return 0
      fi
    fi
    sleep 0.1
  done
}

# Waits up to SECONDS (default 30) until this system's web proxy mechanisms
# are in force for the child in the namespace: the firewall table names its
# uid and the locked desktop settings are compiled. Fails when they are not.
system_mechanisms_in_force() {
  for _ in $(seq 1 $((${1:-30} * 10))); do
    if "${sys_in[@]}" nft list table inet tarvo 2>/dev/null | grep -q "meta skuid $child_uid " &&
      "${sys_in[@]}" test -s /etc/dconf/db/tarvo; then
      return 0
    fi
    sleep 0.1
  done
  system_fail "the firewall table or the desktop proxy settings are not in force for uid $child_uid; see $system_logs/daemon.log"
}

# One sample of process $1's CPU time, on one line: its own clock ticks
# (utime + stime, all threads, those ended included), its helpers' (cutime +
# cstime: what it ran and reaped) and, per live thread, "tid:ns" of run time
# as the scheduler counts it, exact to the nanosecond where ticks are 10 ms.
system_cpu_sample() {
  local line f tid ns rest
  line="$(awk '{print $14 + $15, $16 + $17}' "/proc/$1/stat")"
  for f in /proc/"$1"/task/*/schedstat; do
    tid="${f%/schedstat}" tid="${tid##*/}"
    read -r ns rest <"$f" 2>/dev/null && line+=" $tid:$ns"
  done
  echo "$line"
}

# The CPU time between two samples of one process, in nanoseconds: "own
# helpers how". Own is the threads' exact run time while every thread of the
# first sample still runs (a new thread counts from its start; how "exact");
# when one ended, its time is only in the ticks, and those are used instead
# (how "ticks").
system_cpu_window() {
  awk -v a="$1" -v b="$2" -v hz="$(getconf CLK_TCK)" 'BEGIN {
    n = split(a, x, " "); m = split(b, y, " ")
    for (i = 3; i <= n; i++) { split(x[i], p, ":"); was[p[1]] = p[2] }
    for (i = 3; i <= m; i++) { split(y[i], p, ":"); now[p[1]] = p[2] }
    exact = 0; whole = 1
    for (t in now) exact += now[t] - (t in was ? was[t] : 0)
    for (t in was) if (!(t in now)) whole = 0
    own = whole ? exact : (y[1] - x[1]) * 1e9 / hz
    printf "%.0f %.0f %s\n", own, (y[2] - x[2]) * 1e9 / hz, whole ? "exact" : "ticks" }'
}

# The binaries of the build folder $1: sets tarvo and service_bin.
system_binaries() {
  tarvo="$1/src/tarvo"
  service_bin="$(find "$1" -maxdepth 3 -type f -name tarvo-service -perm -u+x 2>/dev/null | head -1 || true)"
  if [ ! -x "$tarvo" ] || [ ! -x "$service_bin" ]; then
    system_fail "no tarvo and tarvo-service in $1; build them first:
  cmake -S . -B $1 -G Ninja -DCMAKE_BUILD_TYPE=Release && cmake --build $1 --target tarvo tarvo-service"
  fi
}

# For the benchmarks: runs the calling script again in a network namespace of
# its own (only loopback, up), so the proxy's fixed port and every other one
# are its own and nothing else on the machine answers or disturbs. Needs root.
system_own_network() {
  if [ "$(id -u)" -ne 0 ]; then
    system_fail "run as root: the daemon runs as root and the benchmark needs a network of its own"
  fi
  if [ -z "${TARVO_BENCH_NETNS:-}" ]; then
    exec env TARVO_BENCH_NETNS=1 unshare -n bash -c 'ip link set lo up && exec bash "$0" "$@"' "$@"
  fi
}

# Runs "$@" in the background and waits for it, so that a signal reaches this
# script's traps at once rather than when the command ends; system_stop ends
# the command too.
system_run() {
  "$@" <&0 &
  pids+=($!)
  wait $!
}
