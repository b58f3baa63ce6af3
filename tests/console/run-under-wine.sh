#!/usr/bin/env bash
# Runs a test command with a throwaway Wine prefix (a copy of the template) exported in WINEPREFIX
# and the loader in QF_WINE_LOADER, for test scripts that start Windows programs themselves.
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../tools/wine-env.sh
. "$here/../../tools/wine-env.sh"
qf_wine_throwaway_prefix || exit 125
export QF_WINE_LOADER
# The first program of a Wine session starts Wine's own services, which inherit its standard
# error and may write there (a crash of one of them under load, once); the tests judge what
# qfscan.exe writes, so the session is started first, its output discarded.
"$QF_WINE_LOADER" cmd.exe /c exit >/dev/null 2>&1
"$@"
