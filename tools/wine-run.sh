#!/usr/bin/env bash
# Runs a Windows program under Wine in a throwaway prefix: a copy of the booted template prefix
# that tools/wine-prefix.sh made, removed again when the program ends.
#   wine-run.sh PROGRAM.exe [ARGS...]
# Environment: QF_WINE_TEMPLATE (the template prefix), QF_WINE_ARCH (i686 or x86_64).
# With QF_KEEP_PREFIX=1 the prefix is left for inspection.
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=wine-env.sh
. "$here/wine-env.sh"
qf_wine_throwaway_prefix || exit 125
# Windows need a display: each run gets a private virtual one, so tests never draw on the
# developer's screen and never depend on it.
qf_private_display || exit 125
"$QF_WINE_LOADER" "$@"
status=$?
exit $status
