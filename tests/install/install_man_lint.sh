#!/bin/sh
# install_man_lint.sh MANDIR
# Every manual page in MANDIR renders without a single groff warning, and
# every page that the library and the tool promise is there.
# Exits 77 (skipped) when groff is missing.
set -u
mandir=$1

if ! command -v groff >/dev/null 2>&1; then
  echo "groff not found: manual pages not checked"
  exit 77
fi

status=0
for page in ZqUpsTest.1 libZqUps.3 UPSOpen.3 UPSClose.3 UPSRead.3 UPSWrite.3 \
    UPSReadWrite.3 UPSIoControl.3 UPSResultText.3; do
  if [ ! -f "$mandir/$page" ]; then
    echo "FAILED: $page is missing"
    status=1
  fi
done

checked=0
for page in "$mandir"/*.1 "$mandir"/*.3; do
  [ -f "$page" ] || continue
  warnings=$(groff -ww -man -Tutf8 -z "$page" 2>&1)
  rc=$?
  if [ "$rc" -ne 0 ] || [ -n "$warnings" ]; then
    echo "FAILED: $page (groff exit $rc)"
    printf '%s\n' "$warnings"
    status=1
  fi
  checked=$((checked + 1))
done
# A page referred to under SEE ALSO that is neither here nor a system page
# is a broken reference.
for page in "$mandir"/*.1 "$mandir"/*.3; do
  [ -f "$page" ] || continue
  for ref in $(sed -n 's/^\.BR \([A-Za-z][A-Za-z0-9_]*\) (\([0-9]\)).*/\1.\2/p' "$page"); do
    case $ref in
      ZqUps*|libZqUps*|UPS*)
        if [ ! -f "$mandir/$ref" ]; then
          echo "FAILED: $(basename "$page") refers to $ref, which is missing"
          status=1
        fi ;;
    esac
  done
done
echo "$checked manual pages checked"
exit $status
