#!/usr/bin/env bash
# Starts quenfold.exe under Wine, in a throwaway copy of a prefix kept for `make run`.
#   run.sh BUILD_DIR ARCH     (ARCH: i686 or x86_64)
# With a display (DISPLAY set) the window opens there, and this returns when it is closed, with
# the program's exit code. Without one the program runs on a private Xvfb display: this waits
# for the start-up cleanup's verdict, saves a screenshot in BUILD_DIR/screenshots/run.png,
# closes the window and prints where the screenshot is.
set -u
build=$(cd "$1" && pwd) arch=$2
here=$(cd "$(dirname "$0")" && pwd)
program=$build/quenfold.exe
probe_exe=$build/tests/win32/probe.exe
[ -f "$program" ] || { echo "run: $program is not built (make windows)" >&2; exit 1; }

# The booted prefix every run copies; booting takes several seconds, so it is kept.
export QF_WINE_TEMPLATE=$build/run-template QF_WINE_ARCH=$arch
if [ ! -f "$QF_WINE_TEMPLATE/system.reg" ]; then
  echo "run: preparing a Wine prefix in $QF_WINE_TEMPLATE" >&2
  "$here/wine-prefix.sh" create "$QF_WINE_TEMPLATE" "$arch" || exit 1
fi
# shellcheck source=wine-env.sh
. "$here/wine-env.sh"
qf_wine_throwaway_prefix || exit 1

if [ -n "${DISPLAY:-}" ]; then
  "$QF_WINE_LOADER" "$program"
  exit $?
fi

[ -f "$probe_exe" ] || { echo "run: $probe_exe is not built (make windows)" >&2; exit 1; }
qf_private_display || exit 1
"$QF_WINE_LOADER" "$program" &
app=$!
probe() { "$QF_WINE_LOADER" "$probe_exe" "$@" | tr -d '\r'; return "${PIPESTATUS[0]}"; }
if ! probe wait 'status^=STATUS: idle' 120000; then
  echo "run: the cleanup verdict did not appear" >&2
  exit 1
fi
xid=$(xdotool search --name '^QuenfoldApp$' | head -n 1)
mkdir -p "$build/screenshots"
shot=$build/screenshots/run.png
import -window "$xid" "$shot" || { echo "run: no screenshot" >&2; exit 1; }
xdotool windowfocus --sync "$xid" key alt+F4
wait "$app"
status=$?
echo "run: the window showed: $shot (exit code $status)"
exit "$status"
