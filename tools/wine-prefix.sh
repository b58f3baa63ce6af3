#!/usr/bin/env bash
# Boots the template Wine prefix that every Windows test copies.
#   wine-prefix.sh create DIR ARCH   (ARCH: i686 or x86_64)
#   wine-prefix.sh remove DIR
set -euo pipefail
action=$1 dir=$2
case "$action" in
  remove)
    [ -d "$dir" ] && WINEPREFIX=$dir wineserver -k >/dev/null 2>&1 || true
    rm -rf "$dir"
    ;;
  create)
    export QF_WINE_ARCH=$3
    here=$(cd "$(dirname "$0")" && pwd)
    # shellcheck source=wine-env.sh
    . "$here/wine-env.sh"
    rm -rf "$dir"
    mkdir -p "$(dirname "$dir")"
    export WINEPREFIX=$dir
    "$QF_WINE_LOADER" wineboot -i >/dev/null 2>&1 || true
    mkdir -p "$dir/drive_c/windows/Fonts"
    cp /usr/share/wine/fonts/*.ttf "$dir/drive_c/windows/Fonts/"
    # Windows draw their own frames, so captions show without a window manager.
    "$QF_WINE_LOADER" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    wineserver -w
    [ -f "$dir/system.reg" ] || { echo "wine-prefix: booting $dir failed" >&2; exit 1; }
    ;;
  *) echo "usage: wine-prefix.sh create DIR ARCH | remove DIR" >&2; exit 2 ;;
esac
