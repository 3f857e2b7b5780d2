#!/bin/sh
# install_consumer.sh build=DIR source=DIR claim=PROGRAM libdir=DIR
#   includedir=DIR bindir=DIR mandir=DIR datadir=DIR version=X.Y.Z cc=CC
#   cxx=CXX [flags=FLAGS] [sim=1]
# Installs the build tree into a temporary prefix, moves the prefix (the
# installed files must not depend on where they were put), then builds
# the examples against it through find_package (the shared library and
# the object) and through pkg-config, and runs them all and the
# installed ZqUpsTest while holding the claim on /tmp/UPS0: without a
# service, and against the installed ZqUpsSim when there is one.
set -eu
failures=0
unset LD_LIBRARY_PATH

fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

# Runs a step quietly; on failure shows its output and stops.
step() {
  what=$1
  shift
  if ! "$@" >"$work/step.log" 2>&1; then
    cat "$work/step.log"
    echo "FAILED: $what"
    exit 1
  fi
}

expect_file() {
  [ -f "$prefix/$1" ] || fail "not installed: $1"
}

check_layout() {
  for f in "$libdir/libZqUps.so" "$libdir/ZqUpsApi.o" "$includedir/ZqUpsApi.h" \
      "$includedir/ZqUpsResultText.h" "$bindir/ZqUpsTest" \
      "$libdir/cmake/ZqUps/ZqUpsConfig.cmake" "$libdir/cmake/ZqUps/ZqUpsConfigVersion.cmake" \
      "$libdir/pkgconfig/ZqUps.pc"; do
    expect_file "$f"
  done
  for page in "$source"/man/*.1 "$source"/man/*.3; do
    [ -f "$page" ] || continue
    name=$(basename "$page")
    expect_file "$mandir/man${name##*.}/$name"
  done
  if [ "$sim" = 1 ]; then
    expect_file "$bindir/ZqUpsSim"
    [ -n "$(ls "$prefix/$datadir/ZqUps/profiles" 2>/dev/null)" ] ||
      fail "ZqUpsSim's profiles are not installed"
  fi
  [ ! -e "$prefix/$includedir/ZqUpsInternal.h" ] || fail "the internal header is installed"
  if command -v readelf >/dev/null 2>&1; then
    readelf -d "$prefix/$libdir/libZqUps.so" | grep SONAME | grep -Eq 'libZqUps\.so(]|[[:space:]]*$)' ||
      fail "installed library lacks the soname libZqUps.so"
  fi
}

build_with_cmake() {
  step "configure the examples with find_package" cmake -S "$source/examples" -B "$work/cmake" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_C_FLAGS="-Wall -Wextra -Werror $flags" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror $flags"
  found=$(sed -n 's/^ZqUps_DIR:PATH=//p' "$work/cmake/CMakeCache.txt")
  case $found in
    "$prefix"/*) ;;
    *) fail "find_package found ZqUps in '$found', not in the temporary prefix" ;;
  esac
  step "build the examples with CMake" cmake --build "$work/cmake"
}

build_with_pkg_config() {
  export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
  got=$(pkg-config --modversion ZqUps) || { fail "pkg-config does not know ZqUps"; return; }
  [ "$got" = "$version" ] || fail "pkg-config gives version '$got', not $version"
  pc_flags=$(pkg-config --cflags --libs ZqUps)
  case $pc_flags in
    *"$prefix"*) ;;
    *) fail "pkg-config flags do not point into the prefix: $pc_flags" ;;
  esac
  # The README's recipe: the program finds the library through a run path
  # that pkg-config names.
  pc_rpath=-Wl,-rpath,$(pkg-config --variable=libdir ZqUps)
  # shellcheck disable=SC2086
  step "build the C example with pkg-config" "$cc" -Wall -Wextra -Werror $flags \
    -o "$work/read_report_pc" "$source/examples/read_report.c" $pc_flags "$pc_rpath"
}

# Runs each program with its stdout, stderr and status going to files
# named after it and the suffix $1.
run_each() {
  suffix=$1
  shift
  for program in "$@"; do
    name=$(basename "$program")$suffix
    set +e
    "$program" >"$work/$name.out" 2>"$work/$name.err"
    echo $? >"$work/$name.rc"
    set -e
  done
}

# With the installed ZqUpsSim serving its installed default profile on
# the path: it must be listening within 10 s, and is stopped afterwards.
run_served() {
  simulator=$1
  profile=$2
  shift 2
  "$simulator" --profile "$profile" >"$work/sim.out" 2>"$work/sim.err" &
  simulator_pid=$!
  trap 'kill "$simulator_pid" 2>/dev/null' EXIT
  tries=0
  until grep -q listening "$work/sim.out"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ] || ! kill -0 "$simulator_pid" 2>/dev/null; then
      echo "ZqUpsSim did not start: $(cat "$work/sim.err")"
      return 1
    fi
    sleep 0.1
  done
  run_each .served "$@"
  kill "$simulator_pid"
  wait "$simulator_pid" || true
  trap - EXIT
  touch "$work/served"
}

# Under the claim: the programs without a service and, when the claim
# cleared the path and ZqUpsSim is installed, with it.
run_programs() {
  simulator=$1
  profile=$2
  shift 2
  echo "$ZQUPS_PATH_CLAIMED" >"$work/claimed"
  run_each "" "$@"
  if [ "$ZQUPS_PATH_CLAIMED" = 1 ] && [ -x "$simulator" ]; then
    run_served "$simulator" "$profile" "$@"
  fi
}

# The examples fail readably without a service, and print their report
# with one.
check_example() {
  name=$1
  rc=$(cat "$work/$name.rc")
  err=$(cat "$work/$name.err")
  if [ "$(cat "$work/claimed")" = 1 ]; then
    want="UPSOpen failed: 0xeca60201: service socket missing (/tmp/UPS0)"
    [ "$rc" = 1 ] || fail "$name exits with $rc, not 1, without a service"
    [ "$err" = "$want" ] || fail "$name says '$err', not '$want'"
  elif [ "$rc" = 0 ]; then
    grep -q '^Vendor: ' "$work/$name.out" || fail "$name succeeds without its report"
  else
    case $err in *" failed"*": "*) ;; *) fail "$name fails with '$err'" ;; esac
  fi
}

# The installed tool finds the installed library by itself: its run path.
check_tool() {
  rc=$(cat "$work/ZqUpsTest.rc")
  out=$(cat "$work/ZqUpsTest.out")
  [ ! -s "$work/ZqUpsTest.err" ] || fail "ZqUpsTest writes to stderr: $(cat "$work/ZqUpsTest.err")"
  if [ "$(cat "$work/claimed")" = 1 ]; then
    [ "$rc" = 1 ] || fail "ZqUpsTest exits with $rc, not 1, without a service"
    [ "$out" = "UPSOpen failed: 0xeca60201" ] || fail "ZqUpsTest prints '$out'"
  else
    case $rc in 0|1) ;; *) fail "ZqUpsTest exits with $rc" ;; esac
    [ -n "$out" ] || fail "ZqUpsTest prints nothing"
  fi
}

# Served, every example prints its four lines, each as ZqUpsTest prints it.
check_served() {
  [ -f "$work/served" ] || return 0
  [ "$(cat "$work/ZqUpsTest.served.rc")" = 0 ] ||
    fail "ZqUpsTest fails against ZqUpsSim: $(cat "$work/ZqUpsTest.served.out")"
  for name in read_report_c read_report_cpp read_report_static read_report_pc; do
    [ "$(cat "$work/$name.served.rc")" = 0 ] ||
      fail "$name fails against ZqUpsSim: $(cat "$work/$name.served.err")"
    [ "$(wc -l <"$work/$name.served.out" | tr -d ' ')" = 4 ] || fail "$name does not print four lines"
    while IFS= read -r line; do
      grep -qxF "$line" "$work/ZqUpsTest.served.out" ||
        fail "$name prints '$line', which ZqUpsTest does not"
    done <"$work/$name.served.out"
  done
}

if [ "${1:-}" = run ]; then
  work=$2
  shift 2
  run_programs "$@"
  exit 0
fi

flags=
sim=0
for arg in "$@"; do
  case $arg in
    build=*|source=*|claim=*|libdir=*|includedir=*|bindir=*|mandir=*|datadir=*|version=*|cc=*|cxx=*|flags=*|sim=*)
      eval "${arg%%=*}=\${arg#*=}" ;;
    *) echo "unknown argument: $arg"; exit 2 ;;
  esac
done

work=$(mktemp -d "${TMPDIR:-/tmp}/zqups-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM
prefix=$work/moved

step "cmake --install" cmake --install "$build" --prefix "$work/installed"
mv "$work/installed" "$prefix"
check_layout
build_with_cmake
build_with_pkg_config

# No library path is set: each program finds the library by its run path.
step "run the programs" "$claim" sh "$0" run "$work" \
  "$prefix/$bindir/ZqUpsSim" "$prefix/$datadir/ZqUps/profiles/default.profile" \
  "$work/cmake/read_report_c" "$work/cmake/read_report_cpp" "$work/read_report_pc" \
  "$work/cmake/read_report_static" "$prefix/$bindir/ZqUpsTest"
for name in read_report_c read_report_cpp read_report_static read_report_pc; do
  check_example "$name"
done
check_tool
check_served
[ ! -e "$prefix/$bindir/ZqUpsCtl" ] || "$prefix/$bindir/ZqUpsCtl" points >/dev/null || fail "the installed ZqUpsCtl does not run"
if [ "$sim" = 1 ] && [ "$(cat "$work/claimed")" = 1 ] && [ ! -f "$work/served" ]; then
  fail "the examples did not run against the installed ZqUpsSim"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "install, find_package, pkg-config and the installed object: OK"
