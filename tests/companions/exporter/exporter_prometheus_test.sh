#!/bin/sh
# exporter_prometheus_test.sh rules RULES RULES_TESTS
# exporter_prometheus_test.sh textfile EXPORTER SIM
# exporter_prometheus_test.sh server EXPORTER SIM RULES PROFILES
#
# ZqUpsExporter through Prometheus' own tools: promtool accepts the example
# rules and their unit tests pass (rules); promtool accepts the textfile
# written against ZqUpsSim (textfile); a real Prometheus server scrapes
# the exporter every second and its HTTP API sees the UPS up, the service
# gone, and a power cut, while curl scrapes the exporter four at a time,
# and SIGTERM ends it with status 0 (server).
# The last two run under install_path_claim, which holds /tmp/UPS0.
# Exits 77 (not run) only when promtool, prometheus or curl is missing;
# a service that is none of the tests' on /tmp/UPS0 is a failure.
set -u
mode=$1
shift

skip() {
  echo "SKIPPED: $*"
  exit 77
}

fail() {
  echo "FAILED: $*"
  exit 1
}

need() {
  for program in "$@"; do
    command -v "$program" >/dev/null 2>&1 || skip "$program is not installed"
  done
}

sim_pid=""
exporter_pid=""
prometheus_pid=""
work=""

# Ended, or ended and not yet waited for.
gone() {
  case $(ps -o stat= -p "$1" 2>/dev/null) in
    "" | Z*) return 0 ;;
    *) return 1 ;;
  esac
}

# Everything this script started goes, on every way out; the simulator by
# SIGTERM first, so that it removes its socket file.
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null
    within 20 gone "$sim_pid"
  fi
  for pid in $prometheus_pid $exporter_pid $sim_pid; do
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  [ -n "$work" ] && rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP PIPE

# Waits up to $1 tenths of a second for the command after it to succeed.
within() {
  tenths=$1
  shift
  while ! "$@"; do
    tenths=$((tenths - 1))
    [ "$tenths" -gt 0 ] || return 1
    sleep 0.1
  done
}

# Starts ZqUpsSim with the arguments given and waits for its ready line.
start_sim() {
  "$sim" "$@" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  within 100 grep -q listening "$work/sim.out" ||
    fail "ZqUpsSim did not start: $(cat "$work/sim.err")"
}

stop_sim() {
  kill -TERM "$sim_pid"
  within 50 gone "$sim_pid" || fail "ZqUpsSim did not end on SIGTERM"
  wait "$sim_pid"
  sim_pid=""
}

# A path held by a service that is none of the tests' fails the test (it
# would otherwise pass unseen), unless the run allows skips.
claimed() {
  [ "${ZQUPS_PATH_CLAIMED:-}" = 1 ] && return
  [ "${ZQUPS_ALLOW_SKIP:-}" = 1 ] && skip "/tmp/UPS0 is not ours to use"
  fail "/tmp/UPS0 is not ours to use (a service that is none of the tests' listens there; ZQUPS_ALLOW_SKIP=1 to skip)"
}

check_rules() {
  need promtool
  promtool check rules "$1" || fail "promtool rejects $1"
  promtool test rules "$2" || fail "the unit tests in $2 fail"
}

check_textfile() {
  need promtool
  claimed
  start_sim
  "$exporter" --textfile "$work/ups.prom" || fail "ZqUpsExporter --textfile exits with $?"
  promtool check metrics <"$work/ups.prom" || fail "promtool rejects: $(cat "$work/ups.prom")"
}

# The first sample of an instant query's result, or nothing.
query() {
  curl -sf -G "http://127.0.0.1:$prometheus_port/api/v1/query" --data-urlencode "query=$1" |
    sed -n 's/.*"value":\[[0-9.]*,"\([^"]*\)"\].*/\1/p'
}

is() {
  [ "$(query "$1")" = "$2" ]
}

expect() {
  within "$3" is "$1" "$2" || fail "$1 is '$(query "$1")' in Prometheus, not $2"
}

# Four scrapes at once, each complete and accepted by promtool.
scrape_together() {
  curls=""
  for n in 1 2 3 4; do
    curl -sf --max-time 20 "http://127.0.0.1:$exporter_port/metrics" >"$work/scrape$n" &
    curls="$curls $!"
  done
  for pid in $curls; do
    wait "$pid"
  done
  for n in 1 2 3 4; do
    grep -qx "zqups_up 1" "$work/scrape$n" || fail "scrape $n: $(cat "$work/scrape$n")"
  done
  promtool check metrics <"$work/scrape1" || fail "promtool rejects /metrics"
}

start_exporter() {
  "$exporter" --listen 127.0.0.1:0 --read-interval 1s >"$work/exporter.out" \
    2>"$work/exporter.err" &
  exporter_pid=$!
  within 100 grep -q listening "$work/exporter.out" ||
    fail "ZqUpsExporter did not start: $(cat "$work/exporter.err")"
  exporter_port=$(sed -n 's/.*:\([0-9]*\)$/\1/p' "$work/exporter.out")
}

write_config() {
  cat >"$work/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
  scrape_timeout: 1s
  evaluation_interval: 1s
rule_files: ["$rules"]
scrape_configs:
  - job_name: zqups
    static_configs:
      - targets: ["127.0.0.1:$exporter_port"]
EOF
}

# A port in 20000-32767, below Linux's ephemeral ports; tried until
# Prometheus gets one.
random_port() {
  echo $((20000 + $(od -An -N2 -tu2 /dev/urandom) % 12768))
}

ready() {
  curl -sf "http://127.0.0.1:$prometheus_port/-/ready" >/dev/null
}

start_prometheus() {
  for attempt in 1 2 3 4 5; do
    prometheus_port=$(random_port)
    prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/data" \
      --web.listen-address="127.0.0.1:$prometheus_port" --log.level=warn \
      >"$work/prometheus.log" 2>&1 &
    prometheus_pid=$!
    within 150 ready && return 0
    kill -KILL "$prometheus_pid" 2>/dev/null
    wait "$prometheus_pid" 2>/dev/null
    prometheus_pid=""
  done
  fail "Prometheus did not start: $(tail -5 "$work/prometheus.log")"
}

check_server() {
  need prometheus promtool curl
  claimed
  start_sim
  start_exporter
  scrape_together
  write_config
  start_prometheus
  expect zqups_up 1 150
  expect zqups_input_voltage_volts 230 10
  stop_sim
  expect zqups_up 0 50
  start_sim --profile "$profiles/power-cut-drill.profile"
  expect zqups_on_battery 1 120
  expect 'count(ALERTS{alertname="UpsOnBattery"})' 1 30
  kill -TERM "$exporter_pid"
  within 50 gone "$exporter_pid" || fail "ZqUpsExporter did not end on SIGTERM"
  wait "$exporter_pid"
  status=$?
  exporter_pid=""
  [ "$status" = 0 ] || fail "ZqUpsExporter ends on SIGTERM with status $status"
}

work=$(mktemp -d "${TMPDIR:-/tmp}/zqups-prometheus.XXXXXX") || fail "no temporary folder"
case $mode in
  rules) check_rules "$1" "$2" ;;
  textfile)
    exporter=$1
    sim=$2
    check_textfile
    ;;
  server)
    exporter=$1
    sim=$2
    rules=$3
    profiles=$4
    check_server
    ;;
  *) fail "unknown mode $mode" ;;
esac
echo "OK"
