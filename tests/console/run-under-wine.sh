#!/usr/bin/env bash
# Runs a test command with a throwaway Wine prefix (a copy of the template) exported in WINEPREFIX
# and the loader in QF_WINE_LOADER, for test scripts that start Windows programs themselves.
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../tools/wine-env.sh
. "$here/../../tools/wine-env.sh"
qf_wine_throwaway_prefix || exit 125
export QF_WINE_LOADER
"$@"
