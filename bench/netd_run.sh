#!/bin/sh
# netd_run.sh NETD_BENCH NETD SIM: ZqUpsNetd (in front of ZqUpsSim) against
# Debian's upsd (/lib/nut/upsd, in front of its dummy-ups driver fed the
# variables that ZqUpsNetd serves, from a temporary NUT_CONFPATH) and the
# floor (netd_bench --floor: fixed replies from a bare epoll loop), all
# pinned to processor 0, the load generator to processor 1.  Without upsd
# it says so and compares with the floor alone.  Holds the tests' lock on
# /tmp/UPS0 while it runs.
set -eu
bench=$1 netd=$2 sim=$3
upsd=/lib/nut/upsd driver=/lib/nut/dummy-ups

command -v upsc >/dev/null 2>&1 || { echo "netd_run.sh: upsc is missing (nut-client)" >&2; exit 1; }
with_upsd=yes
for program in "$upsd" "$driver"; do
  [ -x "$program" ] || { echo "netd_run.sh: $program is missing (nut-server): no comparison with upsd"; with_upsd=""; }
done
command -v taskset >/dev/null 2>&1 || { echo "netd_run.sh: taskset is missing" >&2; exit 1; }

exec 9>/tmp/UPS0.test-lock
flock -w 120 9 || { echo "netd_run.sh: /tmp/UPS0 stays busy with tests" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zqups-netd-bench.XXXXXX")
pids=""
cleanup() {
  for pid in $pids; do kill -TERM "$pid" 2>/dev/null || :; done
  for pid in $pids; do wait "$pid" 2>/dev/null || :; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# Waits up to $1 tenths of a second for the command after it to succeed.
within() {
  tenths=$1
  shift
  while ! "$@" 2>/dev/null; do
    tenths=$((tenths - 1))
    [ "$tenths" -gt 0 ] || return 1
    sleep 0.1
  done
}

# Both servers keep one descriptor per connection.
hard=$(ulimit -Hn)
if [ "$hard" = unlimited ] || [ "$hard" -ge 4096 ]; then ulimit -n 4096; else ulimit -n "$hard"; fi

taskset -c 0 "$sim" >"$work/sim.log" 2>&1 &
pids="$pids $!"
within 100 grep -q listening "$work/sim.log" || { cat "$work/sim.log"; exit 1; }
taskset -c 0 "$netd" --listen 127.0.0.1:0 --max-connections 1100 --max-per-address 1100 \
  >"$work/netd.log" 2>&1 &
netd_pid=$!
pids="$pids $netd_pid"
within 100 grep -q listening "$work/netd.log" || { cat "$work/netd.log"; exit 1; }
netd_port=$(sed -n 's/.*127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/netd.log")
within 100 upsc "ups@127.0.0.1:$netd_port" ups.status >/dev/null || { echo "ZqUpsNetd serves no data" >&2; exit 1; }

taskset -c 0 "$bench" --floor "127.0.0.1:$netd_port" >"$work/floor.log" 2>&1 &
floor_pid=$!
pids="$pids $floor_pid"
within 100 grep -q listening "$work/floor.log" || { cat "$work/floor.log"; exit 1; }
floor_port=$(sed -n 's/.*127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/floor.log")

peer=""
if [ -n "$with_upsd" ]; then
  # The peer serves what ZqUpsNetd serves (its driver adds driver.* of its own).
  upsc "ups@127.0.0.1:$netd_port" 2>/dev/null >"$work/ups.dev"
  as_root=""
  [ "$(id -u)" = 0 ] && as_root="-u root"
  export NUT_CONFPATH="$work" NUT_STATEPATH="$work" NUT_ALTPIDPATH="$work"
  printf '[ups]\n  driver = dummy-ups\n  port = %s/ups.dev\n' "$work" >"$work/ups.conf"
  : >"$work/upsd.users"
  chmod 600 "$work"/*
  # shellcheck disable=SC2086
  taskset -c 0 "$driver" -a ups -F $as_root >"$work/driver.log" 2>&1 &
  pids="$pids $!"
  within 100 test -S "$work/dummy-ups-ups" || { cat "$work/driver.log"; exit 1; }
  # A port below Linux's ephemeral ports, tried until upsd gets one.
  upsd_pid=""
  for attempt in 1 2 3 4 5; do
    upsd_port=$((20000 + $(od -An -N2 -tu2 /dev/urandom) % 12768))
    printf 'LISTEN 127.0.0.1 %s\nMAXCONN 2048\n' "$upsd_port" >"$work/upsd.conf"
    chmod 600 "$work/upsd.conf"
    # shellcheck disable=SC2086
    taskset -c 0 "$upsd" -F $as_root >"$work/upsd.log" 2>&1 &
    upsd_pid=$!
    if within 100 upsc "ups@127.0.0.1:$upsd_port" ups.status >/dev/null; then
      pids="$pids $upsd_pid"
      break
    fi
    kill -TERM "$upsd_pid" 2>/dev/null || :
    wait "$upsd_pid" 2>/dev/null || :
    upsd_pid=""
  done
  [ -n "$upsd_pid" ] || { cat "$work/upsd.log"; exit 1; }
  peer="upsd=127.0.0.1:$upsd_port:$upsd_pid"
fi

echo "machine: $(uname -sm), $(getconf _NPROCESSORS_ONLN) processors; load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "servers on processor 0, the load generator on processor 1"
status=0
# shellcheck disable=SC2086
taskset -c 1 "$bench" "ZqUpsNetd=127.0.0.1:$netd_port:$netd_pid" \
  "floor=127.0.0.1:$floor_port:$floor_pid" $peer || status=$?
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$status"
