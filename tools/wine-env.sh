# Shell functions shared by the Wine test scripts. Source it, then call qf_wine_throwaway_prefix:
# it copies the template prefix into a new folder, exports WINEPREFIX and the loader, and arranges
# for the prefix and its wineserver to go away when the calling shell exits (before the caller's
# own EXIT trap, which still runs).
QF_WINE_ARCH=${QF_WINE_ARCH:-x86_64}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ "$QF_WINE_ARCH" = i686 ]; then
  QF_WINE_LOADER=/usr/lib/wine/wine
  export WINEARCH=win32
else
  QF_WINE_LOADER=/usr/lib/wine/wine64
  export WINEARCH=win64
  export WINELOADER=$QF_WINE_LOADER
fi

qf_wine_cleanup() {
  if [ -n "${QF_PREFIX_MADE:-}" ] && [ -d "$QF_PREFIX_MADE" ]; then
    WINEPREFIX=$QF_PREFIX_MADE wineserver -k >/dev/null 2>&1
    WINEPREFIX=$QF_PREFIX_MADE wineserver -w >/dev/null 2>&1
    [ "${QF_KEEP_PREFIX:-0}" = 1 ] || rm -rf "$QF_PREFIX_MADE"
  fi
  # The display goes last, once no Wine process is left to lose its connection.
  if [ -n "${QF_XVFB_PID:-}" ]; then
    kill "$QF_XVFB_PID" 2>/dev/null
    wait "$QF_XVFB_PID" 2>/dev/null
  fi
}

# The EXIT trap: the prefix and the display, then whatever EXIT trap the caller had set.
qf_wine_exit() {
  qf_wine_cleanup
  eval "${QF_CALLER_EXIT_TRAP:-}"
}

qf_wine_throwaway_prefix() {
  local template=${QF_WINE_TEMPLATE:-}
  if [ -z "$template" ] || [ ! -f "$template/system.reg" ]; then
    echo "wine-env: no template prefix at '${template}' (run tools/wine-prefix.sh first)" >&2
    return 1
  fi
  QF_PREFIX_MADE=$(mktemp -d "${TMPDIR:-/tmp}/qf-prefix.XXXXXX") || return 1
  cp -a "$template/." "$QF_PREFIX_MADE/" || return 1
  # Q: is an empty drive: its root lists no entries at all.
  mkdir -p "$QF_PREFIX_MADE/empty-drive"
  ln -sfn ../empty-drive "$QF_PREFIX_MADE/dosdevices/q:"
  export WINEPREFIX=$QF_PREFIX_MADE
  local caller
  caller=$(trap -p EXIT)    # "trap -- 'COMMAND' EXIT", quoted for the shell
  if [ -n "$caller" ] && [ "$caller" != "trap -- 'qf_wine_exit' EXIT" ]; then
    eval "set -- $caller"
    QF_CALLER_EXIT_TRAP=$3
  fi
  trap qf_wine_exit EXIT
  trap 'exit 130' INT TERM
}

# Starts Xvfb on a free display number and exports DISPLAY; the cleanup stops it. Xvfb picks the
# number itself (-displayfd), so scripts started at the same moment never share a display.
qf_private_display() {
  local numberFile n i
  numberFile=$(mktemp "${TMPDIR:-/tmp}/qf-display.XXXXXX") || return 1
  # Xvfb ends with this shell even when it is killed before its cleanup runs (a test's timeout).
  setpriv --pdeathsig TERM Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$numberFile" >/dev/null 2>&1 &
  QF_XVFB_PID=$!
  for i in $(seq 1 200); do
    n=$(head -n 1 "$numberFile")
    if [ -n "$n" ]; then
      rm -f "$numberFile"
      export DISPLAY=":$n"
      return 0
    fi
    kill -0 "$QF_XVFB_PID" 2>/dev/null || break
    sleep 0.05
  done
  rm -f "$numberFile"
  kill "$QF_XVFB_PID" 2>/dev/null
  QF_XVFB_PID=
  echo "wine-env: no display could be started" >&2
  return 1
}
