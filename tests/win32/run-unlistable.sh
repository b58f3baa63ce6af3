#!/usr/bin/env bash
# Runs a scan test on a folder that can be entered but not listed: with read but no search
# permission, Wine opens the folder (so it can be made the current directory) but cannot look
# at its entries. As root, Wine would read it all the same, so the test (and the wineserver it
# starts) runs without the capabilities that bypass file permissions.
#   run-unlistable.sh TEST_PROGRAM.exe
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/qf-unlistable.XXXXXX)
trap 'chmod -R u+rwx "$work"; rm -rf "$work"' EXIT
mkdir -p "$work/parent/secret" "$work/parent/open"
chmod 0711 "$work" "$work/parent"
chmod 0444 "$work/parent/secret"
export QF_UNLISTABLE=$work/parent/secret
drop=()
if [ "$(id -u)" -eq 0 ]; then
  drop=(setpriv --inh-caps=-all --bounding-set=-dac_override,-dac_read_search)
fi
"${drop[@]}" "$here/../../tools/wine-run.sh" "$1" --gtest_filter=ScanWorker.RootThatCannotBeListed
