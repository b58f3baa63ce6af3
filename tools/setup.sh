#!/usr/bin/env bash
# Installs what a part of the work needs on a Debian machine; each make target names the parts it
# needs, so that `make build` installs no emulator and `make run` no QEMU. Idempotent: it calls
# apt-get only when something is missing.
#   setup.sh [PART...]      (no PART: all of them)
#   build        the native tree and the Windows trees: compilers, CMake, GoogleTest, the libraries
#   test         the native tests: qfscan run as a user runs it, the offline repair on real volumes
#   wine         anything run under Wine: the Windows tests, `make run`, the Windows benchmarks
#   fuzz         libFuzzer
#   release      the shipped programs: signing, their tests, the manual page
#   rescue       the rescue image, packed from Debian's packages
#   rescue-test  the rescue booted in QEMU on BIOS and UEFI firmware, against test disks
#   bench        the benchmarks' volumes
#   all          every part
# A fresh Debian 12 machine needs nothing else: every make target runs this for its parts first.
set -euo pipefail

need=()
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
want() { local p; for p; do installed "$p" || need+=("$p"); done; }

part_build() {
  want cmake make g++ pkg-config
  want g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  want googletest
  # The offline repair reads and writes registry hives with libhivex; the quarantine's SHA-256 on
  # Linux comes from nettle, linked statically (its static library comes with -dev). Files that
  # Windows compressed in place are read by an ntfs-3g plugin (its headers in ntfs-3g-dev) with
  # wimlib's decompressors (libwim-dev).
  want libhivex-dev nettle-dev ntfs-3g-dev libwim-dev
  want python3
}

part_test() {
  # The console scanner's tests are Python; they read the samples with pefile, build hives with
  # the hivex binding, cut a write short with strace and run in namespaces of their own (unshare).
  want python3 python3-pefile python3-hivex strace util-linux procps
  # The offline repair on a real NTFS volume (mkntfs, mounted with ntfs-3g as rescue systems do)
  # and on FAT32, mounted with FUSE (no kernel vfat here); its extended attributes with attr.
  want ntfs-3g attr dosfstools fusefat
}

part_wine() {
  want wine wine64
  # Wine's own fonts (Marlett draws the caption buttons); this Wine does not find them where
  # the package puts them, so every prefix gets a copy (tools/wine-prefix.sh).
  want fonts-wine
  # A private display for every program run, driven with real keystrokes and photographed.
  want xvfb xdotool xauth imagemagick x11-utils procps
  # The 32-bit Wine loader; it needs the i386 architecture.
  if ! dpkg --print-foreign-architectures | grep -qx i386 || ! installed wine32:i386; then
    need+=(wine32:i386)
  fi
}

part_fuzz() {
  want clang libclang-rt-14-dev
}

part_release() {
  # Authenticode signing, and a throwaway certificate for testing it; the tests read the
  # programs' manifests and version resources with pefile. qfscan.1 is made from qfscan --help.
  want osslsigncode openssl python3-pefile help2man
}

part_rescue() {
  # The rescue image is built from Debian's own packages (fetched with apt-get download, never
  # installed): these pack it.
  want xorriso mtools dosfstools cpio kmod xz-utils grub-common
}

part_rescue_test() {
  # Boots in QEMU on BIOS and UEFI firmware, over the network too; test disks partitioned and
  # filled with every kind of volume a PC has: NTFS, FAT, exFAT (planted through FUSE), ext4, and
  # BitLocker volumes whose inner file system is made anew through dislocker's FUSE mount; a
  # changed kernel signed to show that Secure Boot refuses it.
  want qemu-system-x86 ipxe-qemu qemu-utils ovmf seabios fdisk gdisk sbsigntool
  want ntfs-3g dosfstools exfatprogs exfat-fuse e2fsprogs dislocker util-linux python3
}

part_bench() {
  # A loop device whose reads are throttled (ext4), and compressed files on an NTFS image.
  want e2fsprogs ntfs-3g util-linux
}

[ $# -gt 0 ] || set -- all
for part; do
  case $part in
    all) part_build; part_test; part_wine; part_fuzz; part_release; part_rescue; part_rescue_test; part_bench ;;
    build|test|wine|fuzz|release|rescue|bench) "part_$part" ;;
    rescue-test) part_rescue_test ;;
    *) echo "setup: no part '$part'" >&2; exit 2 ;;
  esac
done

[ ${#need[@]} -eq 0 ] && exit 0
mapfile -t need < <(printf '%s\n' "${need[@]}" | sort -u)

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
echo "setup: installing ${need[*]}" >&2
if printf '%s\n' "${need[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
