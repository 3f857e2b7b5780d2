#!/bin/sh
# run.sh UPS_BENCH SIMULATOR TOOL: the benchmark pinned to processor 0
# (client and service alike), then unpinned.
set -eu
bench=$1 sim=$2 tool=$3
echo "machine: $(uname -sm), $(getconf _NPROCESSORS_ONLN 2>/dev/null || echo '?') processors"
if command -v taskset >/dev/null 2>&1; then
  echo "--- pinned to one processor (taskset -c 0)"
  taskset -c 0 "$bench" "$sim" "$tool"
elif command -v cpuset >/dev/null 2>&1; then
  echo "--- pinned to one processor (cpuset -l 0)"
  cpuset -l 0 "$bench" "$sim" "$tool"
fi
echo "--- unpinned"
"$bench" "$sim" "$tool"
