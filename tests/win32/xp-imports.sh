#!/usr/bin/env bash
# Fails when a program imports a DLL or function that Windows XP SP3 does not have; such a
# program would not even load there. Every name in xp-sp3-imports.txt was checked against XP SP3.
#   xp-imports.sh OBJDUMP PROGRAM.exe...
set -eu
objdump=$1; shift
allowed=$(dirname "$0")/xp-sp3-imports.txt
status=0
for program in "$@"; do
  unknown=$("$objdump" -p "$program" |
    awk '/DLL Name:/ { dll = tolower($3); next } /Member-Name|^$/ { next }
         dll != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ { print dll, $3 }' |
    sort -u | comm -23 - <(sort -u "$allowed"))
  if [ -n "$unknown" ]; then
    echo "$program imports what XP SP3 may lack (check, then add to $allowed):"
    echo "$unknown"
    status=1
  fi
done
exit $status
