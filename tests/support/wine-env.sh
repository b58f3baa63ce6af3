# Shell functions shared by the Wine test scripts. Source it, then call qf_wine_throwaway_prefix:
# it copies the template prefix into a new folder, exports WINEPREFIX and the loader, and arranges
# for the prefix and its wineserver to go away when the calling shell exits.
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
  trap qf_wine_cleanup EXIT
  trap 'exit 130' INT TERM
}

# Starts Xvfb on a free display number and exports DISPLAY; the cleanup stops it.
qf_private_display() {
  local n
  for n in $(seq 90 189); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    QF_XVFB_PID=$!
    local i
    for i in $(seq 1 100); do
      if [ -e "/tmp/.X11-unix/X$n" ]; then
        export DISPLAY=":$n"
        return 0
      fi
      kill -0 "$QF_XVFB_PID" 2>/dev/null || break
      sleep 0.05
    done
    kill "$QF_XVFB_PID" 2>/dev/null
    QF_XVFB_PID=
  done
  echo "wine-env: no display could be started" >&2
  return 1
}
