#!/bin/sh
# service_files_test.sh systemd CMAKE BUILD NAME...
# service_files_test.sh rc.d CMAKE INSTALL_SCRIPT NAME...
# The service files as installed to a prefix other than the configured one.
# systemd: `cmake --install BUILD --prefix P --component services` puts a
# unit for each NAME (netd, exporter, watch) in P/lib/systemd/system that
# starts P/bin's program with settings from P/etc/zqups, which it makes;
# each passes `systemd-analyze verify` without a word, its program stood in
# for by a script that does nothing (exits 77, not run, without
# systemd-analyze).  rc.d: the install script run for FreeBSD puts a script
# in P/etc/rc.d that parses (sh -n) and starts P/bin's program through
# daemon(8) with -u.
set -u
kind=$1
cmake=$2
from=$3
shift 3
status=0
fail() {
  echo "FAILED: $*"
  status=1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/opt/zqups

case $kind in
systemd)
  "$cmake" --install "$from" --prefix "$prefix" --component services >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "cmake --install"; }
  [ -d "$prefix/etc/zqups" ] || fail "no $prefix/etc/zqups"
  units=
  for name in "$@"; do
    unit=$prefix/lib/systemd/system/zqups-$name.service
    [ -f "$unit" ] || { fail "no $unit"; continue; }
    units="$units $unit"
    program=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
    case $program in
      "$prefix/bin/"*) ;;
      *) fail "$unit starts $program" ;;
    esac
    grep -qx "EnvironmentFile=-$prefix/etc/zqups/$name.env" "$unit" ||
      fail "$unit reads no $prefix/etc/zqups/$name.env"
    mkdir -p "$prefix/bin"
    printf '#!/bin/sh\nexit 0\n' >"$program"
    chmod 755 "$program"
    for setting in User=zqups NoNewPrivileges=yes ProtectSystem=strict PrivateTmp=no \
        CapabilityBoundingSet= SystemCallFilter=@system-service; do
      grep -qx "$setting" "$unit" || fail "$unit lacks $setting"
    done
  done
  if ! command -v systemd-analyze >/dev/null 2>&1; then
    [ "$status" -eq 0 ] || exit "$status"
    echo "systemd-analyze not found: units not verified"
    exit 77
  fi
  # shellcheck disable=SC2086
  out=$(cd "$work" && systemd-analyze verify --man=no $units 2>&1)
  rc=$?
  if [ "$rc" -ne 0 ] || [ -n "$out" ]; then
    fail "systemd-analyze verify (exit $rc)"
    printf '%s\n' "$out"
  fi
  ;;
rc.d)
  "$cmake" -DCMAKE_INSTALL_PREFIX="$prefix" -DZQUPS_SYSTEM=FreeBSD -P "$from" \
    >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "the install script"; }
  [ -d "$prefix/etc/zqups" ] || fail "no $prefix/etc/zqups"
  for name in "$@"; do
    script=$prefix/etc/rc.d/zqups_$name
    [ -x "$script" ] || { fail "no program $script"; continue; }
    sh -n "$script" || fail "$script does not parse"
    grep -q '^command="/usr/sbin/daemon"' "$script" && grep -q -- '-u \${' "$script" ||
      fail "$script does not start through daemon -u"
    grep -q "^procname=\"$prefix/bin/" "$script" || fail "$script starts no program of $prefix/bin"
  done
  ;;
*)
  echo "usage: service_files_test.sh systemd|rc.d CMAKE BUILD|INSTALL_SCRIPT NAME..." >&2
  exit 2
  ;;
esac
[ "$status" -eq 0 ] && echo "OK: $# services under $prefix"
exit "$status"
