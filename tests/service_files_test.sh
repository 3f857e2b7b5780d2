#!/bin/sh
# service_files_test.sh systemd|rc.d FILE...
# systemd: each unit passes `systemd-analyze verify` without a word, its
# program stood in for by a script that does nothing; exits 77 (not
# run) without systemd-analyze.  rc.d: each script parses (sh -n) and
# starts its program through daemon(8) with -u.
set -u
kind=$1
shift
status=0

case $kind in
systemd)
  if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "systemd-analyze not found: units not checked"
    exit 77
  fi
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  mkdir "$work/bin"
  for unit in "$@"; do
    program=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
    name=$(basename "$program")
    printf '#!/bin/sh\nexit 0\n' >"$work/bin/$name"
    chmod 755 "$work/bin/$name"
    sed "s|^ExecStart=$program|ExecStart=$work/bin/$name|" "$unit" >"$work/$(basename "$unit")"
  done
  out=$(cd "$work" && systemd-analyze verify --man=no ./*.service 2>&1)
  rc=$?
  if [ "$rc" -ne 0 ] || [ -n "$out" ]; then
    echo "FAILED: systemd-analyze verify (exit $rc)"
    printf '%s\n' "$out"
    status=1
  fi
  for unit in "$@"; do
    for setting in User=zqups NoNewPrivileges=yes ProtectSystem=strict PrivateTmp=no \
        CapabilityBoundingSet= SystemCallFilter=@system-service; do
      grep -qx "$setting" "$unit" || { echo "FAILED: $unit lacks $setting"; status=1; }
    done
  done
  ;;
rc.d)
  for script in "$@"; do
    sh -n "$script" || { echo "FAILED: $script does not parse"; status=1; }
    grep -q '^command="/usr/sbin/daemon"' "$script" && grep -q -- '-u \${' "$script" ||
      { echo "FAILED: $script does not start through daemon -u"; status=1; }
  done
  ;;
*)
  echo "usage: service_files_test.sh systemd|rc.d FILE..." >&2
  exit 2
  ;;
esac
[ "$status" -eq 0 ] && echo "OK: $# files"
exit "$status"
