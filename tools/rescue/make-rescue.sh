#!/usr/bin/env bash
# Builds Quenfold Rescue from Debian 12's own packages, fetched with apt-get download and unpacked
# with dpkg-deb (nothing is installed): a hybrid ISO for CD and USB stick (BIOS, UEFI, Secure Boot
# through Debian's signed shim, GRUB and kernel, used unchanged), and the same kernel and
# initramfs for PXE. The same inputs give the same bytes (SOURCE_DATE_EPOCH, sorted archives).
#
#   make-rescue.sh VERSION QFSCAN WINDOWS_DIR OUT WORK
#
# QFSCAN the static Linux qfscan, with the ntfs-3g plugin for files that Windows compressed in
# place beside it (plugins/ntfs-3g/ntfs-plugin-80000017.so of the same build); WINDOWS_DIR holds
# quenfold.exe and qfscan.exe for the stick's QFRESCUE partition. Writes
# OUT/quenfold-rescue-VERSION-x86_64.iso and OUT/quenfold-rescue-VERSION-pxe.tar.gz; WORK keeps
# the unpacked PXE files for the tests.
# The .deb files are kept in QF_RESCUE_CACHE (~/.cache/quenfold-rescue), checked against apt's
# hashes before each use.
set -euo pipefail
umask 022
export LC_ALL=C TZ=UTC
version=$1 qfscan=$(realpath "$2") windows=$(realpath "$3") out=$4 work=$5
wof_plugin=$(dirname "$qfscan")/plugins/ntfs-3g/ntfs-plugin-80000017.so
[ -f "$wof_plugin" ] || { echo "make-rescue: no $wof_plugin (build the target qf_wof_plugin)" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$top" log -1 --format=%ct)}
export SOURCE_DATE_EPOCH=$epoch
cache=${QF_RESCUE_CACHE:-$HOME/.cache/quenfold-rescue}/debs
mkdir -p "$cache" "$out"
rm -rf "$work" && mkdir -p "$work"
out=$(realpath "$out") work=$(realpath "$work")

# The kernel package that linux-image-amd64 names now, and what the image is made of.
show() { apt-cache show --no-all-versions "$1" 2>/dev/null; }
show linux-image-amd64 >/dev/null || apt-get update -qq
kernel_pkg=$(show linux-image-amd64 | sed -n 's/^Depends: .*\(linux-image-[0-9][^ ,]*\).*/\1/p')
kver=${kernel_pkg#linux-image-}
# Besides the boot chain: ntfs-3g; blkid, which names every file system and partition type;
# cryptsetup for BitLocker, and dislocker for a suspended BitLocker volume (its key in the clear,
# which cryptsetup 2.6 does not open); kbd's setfont and a large font for big UEFI consoles (its
# package's licence is keyboard-configuration's, of the same source). The
# libraries the programs need come from their packages (checked below: none may be missing).
packages=("$kernel_pkg" shim-signed shim-helpers-amd64-signed grub-efi-amd64-signed grub-pc-bin busybox-static
          ntfs-3g libntfs-3g89 libc6 util-linux libblkid1 libuuid1
          cryptsetup-bin libcryptsetup12 libargon2-1 libdevmapper1.02.1 libjson-c5 libssl3 libpopt0 libselinux1
          libpcre2-8-0 libudev1 dislocker libdislocker0.7 libmbedcrypto7 libfuse2 libruby3.1 libgmp10 libcrypt1
          zlib1g kbd console-setup-linux keyboard-configuration libwim-dev)
root=$work/debs
mkdir -p "$root"
: >"$work/packages.txt"
: >"$work/sources.txt"
for pkg in "${packages[@]}"; do
  meta=$(show "$pkg")
  ver=$(sed -n 's/^Version: //p' <<<"$meta")
  file=$(basename "$(sed -n 's/^Filename: //p' <<<"$meta")")
  sum=$(sed -n 's/^SHA256: //p' <<<"$meta")
  if ! [ -f "$cache/$file" ] || ! echo "$sum  $cache/$file" | sha256sum -c --status; then
    fetch=$(mktemp -d "$cache/fetch.XXXXXX")
    (cd "$fetch" && apt-get download -q -o APT::Sandbox::User=root "$pkg=$ver" >&2 || true)
    mv "$fetch"/*.deb "$cache/$file" 2>/dev/null || true
    rm -rf "$fetch"
    echo "$sum  $cache/$file" | sha256sum -c --status || { echo "make-rescue: $pkg $ver: bad or missing $file" >&2; exit 1; }
  fi
  # Unpacked once per .deb into the cache (the kernel's is 400 MB); the kernel is used from there.
  unpacked=$cache/unpacked/${file%.deb}
  if ! [ -d "$unpacked" ]; then
    rm -rf "$unpacked.new" && mkdir -p "$unpacked.new"
    dpkg-deb -x "$cache/$file" "$unpacked.new"
    mv "$unpacked.new" "$unpacked"
  fi
  if [ "$pkg" = "$kernel_pkg" ]; then kroot=$unpacked; else cp -a "$unpacked/." "$root/"; fi
  # The plugin holds wimlib's decompressors from the libwim-dev installed here: the one named.
  if [ "$pkg" = libwim-dev ] && [ "$(dpkg-query -W -f='${Version}' libwim-dev 2>/dev/null)" != "$ver" ]; then
    echo "make-rescue: the plugin was linked with another libwim-dev than $ver: run apt-get update and upgrade" >&2
    exit 1
  fi
  src=$(sed -n 's/^Source: //p' <<<"$meta")
  printf '%s %s (source: %s)\n' "$pkg" "$ver" "${src:-$pkg}" >>"$work/packages.txt"
  # The source packages, for make rescue-source: a signed package's own, and the one whose
  # build it signs (Built-Using).
  name=${src%% *} srcver=$(sed -n 's/.*(\(.*\))$/\1/p' <<<"$src")
  echo "${name:-$pkg}=${srcver:-$ver}" >>"$work/sources.txt"
  sed -n 's/^Built-Using: //p' <<<"$meta" | tr ',' '\n' | sed -n 's/^ *\([^ ]*\) (= \(.*\))$/\1=\2/p' >>"$work/sources.txt"
done

# Licences and exact versions, on the ISO and in the initramfs (a PXE boot has no ISO).
lic=$work/licenses
mkdir -p "$lic"
{
  echo "Quenfold Rescue $version is made of these Debian 12 packages, used unchanged, and of Quenfold"
  echo "(MIT License, LICENSE). Their sources: \`make rescue-source\`, or Debian's archive by"
  echo "source name and version. Quenfold's ntfs-3g plugin for files that Windows compressed"
  echo "(usr/lib/x86_64-linux-gnu/ntfs-3g/ntfs-plugin-80000017.so in the initramfs) holds wimlib's"
  echo "decompressors, linked from libwim-dev's static library (LGPL-3.0-or-later)."
  echo
  cat "$work/packages.txt"
} >"$lic/PACKAGES.txt"
for pkg in "${packages[@]}"; do
  # grub-pc-bin's documentation is grub-common's, of the same source and version, installed here.
  text=$root/usr/share/doc/$pkg/copyright
  [ "$pkg" = "$kernel_pkg" ] && text=$kroot/usr/share/doc/$pkg/copyright
  [ -e "$text" ] || [ "$pkg" != grub-pc-bin ] || text=/usr/share/doc/grub-common/copyright
  cp -L "$text" "$lic/$pkg.copyright.txt"
done
for text in GPL-2 GPL-3 LGPL-2.1 LGPL-3 Apache-2.0 CC0-1.0; do cp "/usr/share/common-licenses/$text" "$lic/$text.txt"; done
cp "$top/LICENSE" "$lic/QUENFOLD-LICENSE.txt"

# The initramfs: busybox, the programs above and the libraries they need, ntfs-3g's plugin,
# qfscan, the drivers (copied untouched: a changed module loses its signature and is refused
# under Secure Boot), the init.
ird=$work/initrd
mkdir -p "$ird"/{bin,lib/x86_64-linux-gnu,lib64,etc,proc,sys,dev,tmp,mnt,run,usr/share/doc,usr/share/consolefonts}
cp "$here/init.sh" "$ird/init" && chmod 755 "$ird/init"
cp "$root/bin/busybox" "$root/bin/ntfs-3g" "$root/bin/ntfs-3g.probe" "$root/bin/ntfsinfo" "$root/sbin/blkid" \
   "$root/sbin/cryptsetup" "$ird/bin/"
cp "$root/usr/bin/dislocker-fuse" "$ird/bin/dislocker"
# busybox has a setfont of its own, which does not load a font on a framebuffer console.
cp "$root/bin/setfont" "$ird/bin/kbd-setfont"
gzip -dc "$root/usr/share/consolefonts/Lat15-Terminus32x16.psf.gz" >"$ird/usr/share/consolefonts/Lat15-Terminus32x16.psf"
cp "$qfscan" "$ird/bin/qfscan"
# ntfs-3g looks for the plugin of a reparse tag in the folder it was built with.
mkdir -p "$ird/usr/lib/x86_64-linux-gnu/ntfs-3g"
cp "$wof_plugin" "$ird/usr/lib/x86_64-linux-gnu/ntfs-3g/"
plugin_libs=$(readelf -d "$wof_plugin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
[ "$plugin_libs" = "libc.so.6 libntfs-3g.so.89 " ] || { echo "make-rescue: the plugin needs $plugin_libs" >&2; exit 1; }
ln -s busybox "$ird/bin/sh"
cp -L "$root/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2" "$ird/lib/x86_64-linux-gnu/"
ln -s ../lib/x86_64-linux-gnu/ld-linux-x86-64.so.2 "$ird/lib64/ld-linux-x86-64.so.2"
# Every library a program or library needs, from the packages unpacked.
needed=("$ird"/bin/*)
while [ ${#needed[@]} -gt 0 ]; do
  file=${needed[0]} needed=("${needed[@]:1}")
  [ -L "$file" ] && continue
  for lib in $(readelf -d "$file" 2>/dev/null | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [ -e "$ird/lib/x86_64-linux-gnu/$lib" ] && continue
    from=
    for dir in "$root/lib/x86_64-linux-gnu" "$root/usr/lib/x86_64-linux-gnu" "$root/usr/lib"; do
      [ -e "$dir/$lib" ] && from=$dir/$lib && break
    done
    [ -n "$from" ] || { echo "make-rescue: $lib, needed by $(basename "$file"), is in none of the packages" >&2; exit 1; }
    cp -L "$from" "$ird/lib/x86_64-linux-gnu/$lib"
    needed+=("$ird/lib/x86_64-linux-gnu/$lib")
  done
done
echo "$version" >"$ird/etc/quenfold-version"
# The init knows the disk it booted from by the ISO's volume time stamp (written below).
date -u -d "@$epoch" +%Y%m%d%H%M%S00 >"$ird/etc/quenfold-image-id"
cp -r "$lic" "$ird/usr/share/doc/quenfold-rescue"

# Disk, USB, CD, file-system and keyboard drivers, each after what it needs (modprobe's order).
modules=(fuse nls_utf8 nls_cp437 nls_iso8859-1 nls_ascii vfat exfat loop dm_mod dm_crypt dm_zero xts ecb cbc
         algif_skcipher algif_hash ahci ata_piix sd_mod sr_mod virtio_pci virtio_blk
         virtio_scsi nvme vmd xhci_pci ehci_pci ohci_pci uhci_hcd usb_storage uas mmc_block sdhci_pci sdhci_acpi
         hid_generic usbhid)
depmod -b "$kroot" "$kver"
for m in "${modules[@]}"; do modprobe -d "$kroot" -S "$kver" --show-depends "$m"; done |
  awk '$1 == "insmod" { print $2 }' | awk '!seen[$0]++' >"$work/modules.list"
mkdir -p "$ird/lib/modules"
: >"$ird/lib/modules/load-order"
while read -r path; do
  rel=${path#"$kroot"/lib/modules/}
  mkdir -p "$ird/lib/modules/$(dirname "$rel")"
  cp "$path" "$ird/lib/modules/$rel"
  args=
  # No wait before a stick's disk is offered: the init waits for the disks itself.
  [ "$(basename "$rel")" = usb-storage.ko ] && args=delay_use=0
  echo "$rel $args" >>"$ird/lib/modules/load-order"
done <"$work/modules.list"

# Same bytes every time: one time stamp, owner root, modes without the umask, sorted entries.
normalise() {
  chmod -R u+rwX,go+rX,go-w "$1"
  find "$1" -exec touch -h -d "@$epoch" {} +
}
normalise "$ird"
(cd "$ird" && find . -mindepth 1 -print0 | sort -z |
   cpio --null -o -H newc --reproducible -R 0:0 --quiet) | xz -T1 -6 --check=crc32 >"$work/initrd.img"

# The ISO 9660 tree: kernel, initramfs, GRUB's menu, licences.
iso=$work/iso
mkdir -p "$iso/boot/grub" "$iso/.disk"
cp "$kroot/boot/vmlinuz-$kver" "$iso/boot/vmlinuz"
cp "$work/initrd.img" "$iso/boot/initrd.img"
# Debian's signed CD GRUB finds its disc by this file.
echo "Quenfold Rescue $version" >"$iso/.disk/info"
sed "s/@VERSION@/$version/g" "$here/grub.cfg" >"$iso/boot/grub/grub.cfg"
cp -r "$lic" "$iso/LICENSES"

# BIOS: GRUB's CD core, booted by El Torito from a CD or by the hybrid MBR from a stick.
grub_pc=$root/usr/lib/grub/i386-pc
cat >"$work/bios-early.cfg" <<'EOF'
search --no-floppy --file --set=root /.disk/info
set prefix=($root)/boot/grub
EOF
grub-mkimage -d "$grub_pc" -O i386-pc-eltorito -p /boot/grub -c "$work/bios-early.cfg" -o "$iso/boot/grub/bios.img" \
  biosdisk iso9660 part_msdos part_gpt fat search search_fs_file search_label normal configfile linux echo test \
  serial terminal terminfo sleep regexp
cp "$grub_pc/boot_hybrid.img" "$work/boot_hybrid.img"

# UEFI: the EFI system partition with Debian's signed shim and signed CD GRUB (no fallback
# fbx64.efi beside shim: it would look for boot entries instead of starting GRUB).
efi=$work/esp-tree
mkdir -p "$efi/EFI/BOOT"
cp "$root/usr/lib/shim/shimx64.efi.signed" "$efi/EFI/BOOT/BOOTX64.EFI"
cp "$root/usr/lib/shim/mmx64.efi.signed" "$efi/EFI/BOOT/mmx64.efi"
cp "$root/usr/lib/grub/x86_64-efi-signed/gcdx64.efi.signed" "$efi/EFI/BOOT/grubx64.efi"
normalise "$efi"
fat_image() { # IMAGE SIZE_KIB LABEL TREE
  rm -f "$1"
  mkfs.fat -C "$1" "$2" -F 16 -s 1 -n "$3" --invariant >/dev/null
  MTOOLS_SKIP_CHECK=1 mcopy -s -m -Q -i "$1" "$4"/* ::/
}
fat_image "$work/esp.img" 8192 QFBOOT "$efi"

# The stick's own partition: settings, reports, and the Windows programs with the user's manual.
stick=$work/qfrescue-tree
mkdir -p "$stick/reports"
cp "$windows/quenfold.exe" "$windows/qfscan.exe" "$stick/"
sed 's/$/\r/' "$top/docs/manual.md" >"$stick/README.txt"
sed 's/$/\r/' "$here/quenfold.cfg.example" >"$stick/quenfold.cfg.example"
sed 's/$/\r/' "$here/reports-readme.txt" >"$stick/reports/README.txt"
normalise "$stick"
fat_image "$work/qfrescue.img" 8192 QFRESCUE "$stick"

normalise "$iso"
iso_out=$out/quenfold-rescue-$version-x86_64.iso
rm -f "$iso_out"
xorriso -report_about WARNING -as mkisofs -o "$iso_out" -R -J -V QUENFOLD_RESCUE \
  --modification-date="$(date -u -d "@$epoch" +%Y%m%d%H%M%S00)" \
  --grub2-mbr "$work/boot_hybrid.img" -partition_offset 16 --mbr-force-bootable \
  -b boot/grub/bios.img -no-emul-boot -boot-load-size 4 -boot-info-table --grub2-boot-info \
  -c boot/boot.cat \
  -append_partition 2 0xef "$work/esp.img" \
  -append_partition 3 0x0e "$work/qfrescue.img" \
  -eltorito-alt-boot -e --interval:appended_partition_2:all:: -no-emul-boot \
  "$iso"

# PXE: the same kernel and initramfs, with an iPXE script.
pxe=$work/pxe
mkdir -p "$pxe"
cp "$iso/boot/vmlinuz" "$work/initrd.img" "$pxe/"
cp "$here/boot.ipxe" "$pxe/boot.ipxe"
cp "$here/pxe-readme.txt" "$pxe/README.txt"
normalise "$pxe"
pxe_out=$out/quenfold-rescue-$version-pxe.tar.gz
tar -C "$work" --sort=name --mtime="@$epoch" --owner=0 --group=0 --numeric-owner --format=gnu \
  --transform "s,^pxe,quenfold-rescue-$version-pxe," -cf - pxe | gzip -9n >"$pxe_out"
ls -l "$iso_out" "$pxe_out"
