#!/usr/bin/env bash
# End-to-end tests of quenfold.exe: the real program under Wine on a private X display, used as a
# person would use it (keys with xdotool, mouse clicks on the controls) and watched from outside
# by probe.exe. Each scenario starts the program once and checks many things on the way.
#   program-test.sh SCENARIO QUENFOLD.exe PROBE.exe SCREENSHOT_DIR
# SCENARIO: startup_and_keys, stop_and_close or worm_found. Screenshots are written to
# SCREENSHOT_DIR/SCENARIO-*.png.
set -u
scenario=$1 program=$2 probe_exe=$3 shots=$4
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/wine-env.sh
. "$here/../support/wine-env.sh"
qf_wine_throwaway_prefix || exit 1
qf_private_display || exit 1
mkdir -p "$shots"
drive_c=$WINEPREFIX/drive_c
app_pid=
xid=

# fail MESSAGE: ends the test, with what the window showed and a screenshot.
fail() {
  echo "FAIL ($scenario): $*"
  [ -n "$app_pid" ] && probe state
  import -window root "$shots/$scenario-failure.png" 2>/dev/null
  exit 1
}

# Runs probe.exe; the console's carriage returns are dropped.
probe() {
  local rc
  "$QF_WINE_LOADER" "$probe_exe" "$@" | tr -d '\r'
  rc=${PIPESTATUS[0]}
  return "$rc"
}

# expect NAME=VALUE [ms]: waits until the window shows it.
expect() {
  local out
  out=$(probe wait "$@") || { echo "$out"; app_pid= fail "expected $1"; }
}

# close_box TEXT: waits for the program's "QFold" box, checks its text and presses OK on it.
close_box() {
  local text
  text=$(probe close-box QFold 60000) || { echo "$text"; fail "no box"; }
  [ "$text" = "$1" ] || fail "the box said '$text', not '$1'"
}

key() { xdotool windowfocus --sync "$xid" key --delay 30 "$@"; }

# click CONTROL: a left click on the middle of a control (or "close", the caption's close box).
click() {
  local at
  at=$(probe state | sed -n "s/^at\.$1=//p")
  [ -n "$at" ] && [ "$at" != none ] || fail "no position for $1"
  xdotool mousemove --sync "${at%,*}" "${at#*,}" click 1
}

shot() { import -window root "$shots/$scenario-$1.png" || fail "no screenshot $1"; }

start_program() {
  "$QF_WINE_LOADER" "$program" &
  app_pid=$!
  local i
  for i in $(seq 1 600); do
    xid=$(xdotool search --name '^QuenfoldApp$' 2>/dev/null | head -n 1)
    [ -n "$xid" ] && return 0
    kill -0 "$app_pid" 2>/dev/null || fail "the program ended at start-up"
    sleep 0.1
  done
  fail "no window appeared"
}

# expect_exit CODE: waits for the program to end and checks its exit code.
expect_exit() {
  local i
  for i in $(seq 1 600); do
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$app_pid" 2>/dev/null && fail "the program did not end"
  wait "$app_pid"
  local rc=$?
  [ "$rc" -eq "$1" ] || fail "exit code $rc, expected $1"
}

# The drive roots the prefix maps, in letter order: what the drive list must hold.
drive_roots() {
  local d out=
  for d in "$WINEPREFIX"/dosdevices/?:; do
    d=$(basename "$d")
    out+="${out:+|}${d^^}\\"
  done
  echo "$out"
}

idle_state() {
  expect start.enabled=1
  expect stop.enabled=0
  expect check.enabled=1
}

startup_and_keys() {
  mkdir -p "$drive_c/e2e"
  probe plant 'C:\e2e\mixed' || fail "planting the sample files"
  local mixed=$drive_c/e2e/mixed
  start_program
  expect caption=QuenfoldApp
  expect size=400x450
  expect group.text=Scan
  expect check.text='&Delete files known as Zaverin.'
  expect start.text='&Start'
  expect stop.text='S&top'
  expect combo.text='Drive letter'
  expect combo.items="$(drive_roots)"
  expect status='STATUS: idle\nNo Zaverin found in memory.' 60000
  idle_state
  expect check.checked=0
  expect focus=combo
  shot startup

  # Tab walks combo box, delete box, Start, and round again; Stop is skipped while disabled.
  key Tab; expect focus=check
  key Tab; expect focus=start
  key Tab; expect focus=combo

  # Alt+D and a click on the box flip the tick, and keep the window's copy in step.
  key alt+d; expect check.checked=1
  click check; expect check.checked=0
  key alt+shift+d; expect check.checked=1
  click check; expect check.checked=0
  # Alt+Numpad 4 carries the code of "d", but is not Alt+D. Tab after it shows it has been
  # handled; after the clicks, Tab still goes on from where the last Tab was (the combo box).
  key alt+KP_4
  key Tab; expect focus=check
  expect check.checked=0

  # A typed path, scanned with Enter from the edit field, delete box clear.
  key Tab Tab; expect focus=combo
  xdotool type --delay 20 'C:\e2e\mixed'
  expect combo.text='C:\e2e\mixed'
  key Return
  close_box 'Scan completed.'
  expect status='STATUS: Done\n  Directories: 0\n  Files: 4\n  Infected 1\n  Deleted 0\n'
  expect combo.text='C:\e2e\mixed'  # the Enter never reached the field
  idle_state
  shot summary
  [ -f "$mixed/infected.exe" ] || fail "infected.exe went although delete was not ticked"

  # Alt+D ticks the box (the click left the window's copy clear); Alt+S scans and deletes.
  key alt+d; expect check.checked=1
  key alt+s
  close_box 'Scan completed.'
  expect status='STATUS: Done\n  Directories: 0\n  Files: 4\n  Infected 1\n  Deleted 1\n'
  idle_state
  [ -f "$mixed/infected.exe" ] && fail "infected.exe is still there"
  [ -f "$mixed/clean.exe" ] && [ -f "$mixed/notes.txt" ] && [ -f "$mixed/only64.exe" ] ||
    fail "a clean file was deleted"

  # Enter twice at once starts one scan: one box, then the next Start works as usual and
  # finds nothing left to delete.
  probe infected 'C:\e2e\mixed\infected.exe' || fail "planting infected.exe again"
  key Return Return
  close_box 'Scan completed.'
  expect status='STATUS: Done\n  Directories: 0\n  Files: 4\n  Infected 1\n  Deleted 1\n'
  idle_state
  expect box=none
  # Two Start commands queued together: the second comes before the first scan has switched
  # the window to working, and must not start a second scan beside it.
  probe infected 'C:\e2e\mixed\infected.exe' || fail "planting infected.exe again"
  probe start-twice || fail "posting two Start commands"
  close_box 'Scan completed.'
  expect status='STATUS: Done\n  Directories: 0\n  Files: 4\n  Infected 1\n  Deleted 1\n'
  idle_state
  expect box=none
  key alt+shift+s
  close_box 'Scan completed.'
  expect status='STATUS: Done\n  Directories: 0\n  Files: 3\n  Infected 0\n  Deleted 0\n'
  idle_state
  expect box=none

  # Alt+F4 closes the window (the idle table's "s" has the same code as F4).
  key alt+F4
  expect_exit 0
}

# A tree that takes a while to scan: many small files, an infected program in every folder.
plant_long_tree() {
  mkdir -p "$drive_c/e2e"
  probe infected 'C:\e2e\infected.exe' || fail "planting an infected program"
  local i
  for i in $(seq 1 40); do
    mkdir -p "$drive_c/e2e/long/d$i"
    (cd "$drive_c/e2e/long/d$i" && touch f{1..2500}.txt && cp ../../infected.exe .)
  done
  rm -f "$drive_c/e2e/infected.exe"
}

infected_left() { find "$drive_c/e2e/long" -name infected.exe | wc -l; }

stop_and_close() {
  plant_long_tree
  start_program
  expect status='STATUS: idle\nNo Zaverin found in memory.' 60000
  key alt+d; expect check.checked=1
  expect focus=combo
  xdotool type --delay 20 'C:\e2e\long'
  expect combo.text='C:\e2e\long'
  key alt+s
  expect stop.enabled=1
  expect start.enabled=0
  expect check.enabled=0
  expect 'status^=STATUS: Scanning\nDirectory: C:\e2e\long\d'
  shot scanning

  # While scanning, Tab alternates between Stop and the combo box.
  key Tab; expect focus=stop
  key Tab; expect focus=combo
  # Alt+F5 carries the code of "t" but is not Alt+T: the scan goes on.
  key alt+F5
  key Tab; expect focus=stop
  expect stop.enabled=1
  expect 'status^=STATUS: Scanning'

  # Alt+T stops: the stop text, no summary, no box, the tick kept, idle at once.
  key alt+t
  expect status='STATUS: Stopped\n'
  idle_state
  expect check.checked=1
  expect box=none
  local left
  left=$(infected_left)
  [ "$left" -gt 0 ] || fail "the scan was not stopped before its end"
  # The idle keys work at once, and nothing more is deleted or shown.
  key alt+d; expect check.checked=0
  key alt+d; expect check.checked=1
  expect status='STATUS: Stopped\n'
  expect box=none
  [ "$(infected_left)" -eq "$left" ] || fail "files were deleted after Stop"
  shot stopped

  # A new scan; closing the window in the middle of it ends the program with exit code 0.
  key Return
  expect stop.enabled=1
  expect 'status^=STATUS: Scanning'
  click close
  expect_exit 0
}

worm_found() {
  # Two of the files the worm drops: the verdict says it was found, and they are gone.
  mkdir -p "$drive_c/windows"
  echo worm > "$drive_c/windows/system32.exe"
  echo worm > "$drive_c/msvbvm60.dll"
  start_program
  expect caption=QuenfoldApp
  expect status='STATUS: idle\nZaverin found in memory, and has been disabled.\nPlease proceed with scan.' 60000
  [ -e "$drive_c/windows/system32.exe" ] && fail "system32.exe is still there"
  [ -e "$drive_c/msvbvm60.dll" ] && fail "msvbvm60.dll is still there"
  shot worm-found
  key alt+F4
  expect_exit 0
}

case "$scenario" in
  startup_and_keys | stop_and_close | worm_found) "$scenario" ;;
  *) echo "unknown scenario $scenario" >&2; exit 2 ;;
esac
echo "PASS ($scenario)"
