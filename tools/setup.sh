#!/usr/bin/env bash
# Installs what the build, the tests and `make run` need on a Debian machine. Idempotent: it calls
# apt-get only when something is missing.
set -euo pipefail

need=()
have() { command -v "$1" >/dev/null 2>&1; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
want() { installed "$1" || need+=("$1"); }

want cmake
want make
want g++
want g++-mingw-w64-i686-posix
want g++-mingw-w64-x86-64-posix
want binutils-mingw-w64-i686
want binutils-mingw-w64-x86-64
want googletest
want wine
want wine64
# Wine's own fonts (Marlett draws the caption buttons); this Wine does not find them where
# the package puts them, so every prefix gets a copy (tools/wine-prefix.sh).
want fonts-wine
want xvfb
want xdotool
want xauth
want imagemagick
want x11-utils
want procps
# The offline repair reads and writes registry hives with libhivex; its tests build hives with
# the Python binding and cut a write short with strace. The console scanner's tests are Python.
want pkg-config
want libhivex-dev
# The quarantine's SHA-256 on Linux, linked statically (its static library comes with -dev).
want nettle-dev
want python3
want python3-hivex
want strace
# The release: Authenticode signing, and a throwaway certificate for testing it; its tests read
# the programs' manifests and version resources with pefile.
want osslsigncode
want openssl
want python3-pefile
# The rescue tests make a real NTFS volume (mkntfs), mount it as rescue systems do (ntfs-3g)
# and read and set its security attributes (getfattr, setfattr).
want ntfs-3g
want attr
# Files that Windows compressed in place are read by an ntfs-3g plugin (its headers in ntfs-3g-dev)
# with wimlib's decompressors (libwim-dev); the tests compress them with wimlib too.
want ntfs-3g-dev
want libwim-dev
# qfscan's rescue screens are tested on a FAT32 volume too, mounted with FUSE (no kernel vfat here).
want fusefat
# The rescue's boots hold every kind of volume a PC has: exFAT (planted through FUSE), ext4, and
# BitLocker volumes whose inner file system is made anew through dislocker's FUSE mount.
want exfatprogs
want exfat-fuse
want e2fsprogs
want dislocker
want util-linux
want clang
want libclang-rt-14-dev
# The rescue image is built from Debian's own packages (fetched with apt-get download, never
# installed): these pack it. Its tests boot it in QEMU on BIOS and UEFI firmware, partition test
# disks, and sign a changed kernel to show that Secure Boot refuses it.
want xorriso
want mtools
want dosfstools
want cpio
want kmod
want xz-utils
want grub-common
want qemu-system-x86
want ipxe-qemu
want qemu-utils
want ovmf
want seabios
want fdisk
want gdisk
want sbsigntool
# The 32-bit Wine loader; it needs the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386 || ! installed wine32:i386; then
  need+=(wine32:i386)
fi

[ ${#need[@]} -eq 0 ] && exit 0

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
echo "setup: installing ${need[*]}" >&2
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
