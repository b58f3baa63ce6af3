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
}

qf_wine_throwaway_prefix() {
  local template=${QF_WINE_TEMPLATE:-}
  if [ -z "$template" ] || [ ! -f "$template/system.reg" ]; then
    echo "wine-env: no template prefix at '${template}' (run tools/wine-prefix.sh first)" >&2
    return 1
  fi
  QF_PREFIX_MADE=$(mktemp -d "${TMPDIR:-/tmp}/qf-prefix.XXXXXX") || return 1
  cp -a "$template/." "$QF_PREFIX_MADE/" || return 1
  export WINEPREFIX=$QF_PREFIX_MADE
  trap qf_wine_cleanup EXIT
  trap 'exit 130' INT TERM
}
