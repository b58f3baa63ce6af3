#!/bin/sh
# Quenfold Rescue: the first and only program of the rescue image (busybox sh). It finds every
# volume of every disk of the PC, opens BitLocker, mounts what the kernel's drivers and ntfs-3g
# read, and writes a record of each (docs/rescue.md); qfscan scans each volume and writes the
# screen, the serial line and the report itself, then the summary. This script decides nothing
# about what a volume holds and shows nothing that a volume holds: what it says itself is fixed
# text, numbers and the kernel's device names.
PATH=/bin:/sbin
export PATH
umask 022

/bin/busybox mkdir -p /proc /sys /dev /tmp /mnt /run
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t sysfs sys /sys
/bin/busybox mount -t devtmpfs dev /dev
/bin/busybox --install -s /bin
mount -t tmpfs tmp /tmp
mount -t tmpfs run /run
# What no line below sends anywhere on purpose stays off the screen.
exec </dev/null >>/tmp/stray 2>&1

VERSION=$(cat /etc/quenfold-version)
RUN=/tmp/run
VOL=$RUN/vol
mkdir -p $VOL
TRANSCRIPT=$RUN/report.txt
: >"$TRANSCRIPT"

# The screen is tty0 (the kernel's /dev/console); the serial line gets a copy when it answers.
SERIAL=/dev/null
stty -F /dev/ttyS0 115200 >/dev/null 2>&1 && SERIAL=/dev/ttyS0
SCREEN=/dev/tty0
[ -c $SCREEN ] || SCREEN=/dev/console

# One line to the screen, the serial line and the report. Only this script's own words.
say() {
    printf '%s\n' "$*" >>"$TRANSCRIPT"
    printf '%s\n' "$*" >$SCREEN
    printf '%s\n' "$*" >$SERIAL
}

# Both stay open, so that a key typed between two reads is kept, not dropped with the last reader.
exec 3<$SCREEN 4<$SERIAL

# Reads a line typed on the screen's keyboard or the serial line into $answer, within $1 seconds.
read_line() {
    local left=$1
    answer=
    while [ "$left" -gt 0 ]; do
        read -r -t 1 answer <&3 2>/dev/null && return 0
        [ $SERIAL != /dev/null ] && read -r -t 1 answer <&4 2>/dev/null && return 0
        left=$((left - 1))
    done
    return 1
}

finish() {
    cd /
    for m in /mnt/*; do mountpoint -q "$m" && umount "$m"; done
    for m in /run/dl/*; do mountpoint -q "$m" && umount "$m"; done
    for m in /dev/mapper/qf*; do [ -b "$m" ] && cryptsetup close "${m##*/}"; done
    mountpoint -q /qfrescue && umount /qfrescue
    sync
    case "$1" in
        reboot) say "Restarting."; reboot -f ;;
        *) say "Powering off."; poweroff -f ;;
    esac
    sleep 30
}

cmdline=$(cat /proc/cmdline)
arg() { # the value of quenfold.$1= on the kernel command line
    for word in $cmdline; do
        case "$word" in "quenfold.$1="*) printf '%s' "${word#*=}"; return ;; esac
    done
}

# A larger font where the firmware's console is big enough for 80x25 of it (UEFI's is often
# 1920x1080: 240x67 tiny characters).
if read -r fb </sys/class/graphics/fb0/virtual_size 2>/dev/null; then
    width=${fb%,*} height=${fb#*,}
    [ "$width" -ge 1280 ] && [ "$height" -ge 800 ] && kbd-setfont -C $SCREEN /usr/share/consolefonts/Lat15-Terminus32x16.psf
fi

say "Quenfold Rescue $VERSION"
mount -t securityfs security /sys/kernel/security 2>/dev/null
grep -q '\[integrity\]\|\[confidentiality\]' /sys/kernel/security/lockdown 2>/dev/null &&
    say "Secure Boot: on, the kernel is locked down."
say "Starting: loading drivers..."
while read -r module args; do
    insmod "/lib/modules/$module" $args 2>/dev/null
done </lib/modules/load-order

# No udev: disks appear when their drivers have probed them. Wait until the list of block
# devices has stood still for a second (USB and NVMe come late), at most 15 seconds.
say "Waiting for disks..."
last= still=0 waited=0
while [ $waited -lt 30 ]; do
    now=$(ls /sys/class/block | tr '\n' ' ')
    if [ "$now" = "$last" ]; then still=$((still + 1)); else still=0; last=$now; fi
    [ $still -ge 2 ] && [ $waited -ge 3 ] && break
    sleep 0.5
    waited=$((waited + 1))
done

# The disk this image booted from: its ISO 9660 volume name and time stamp are this image's. The
# stick's own writable partition, for settings and reports, is taken from that disk only, never
# from a partition of the PC's disks that calls itself QFRESCUE. A CD and PXE have none.
IMAGE_ID=$(cat /etc/quenfold-image-id)
BOOTDISK=
for sys in /sys/block/*; do
    disk=${sys##*/}
    case "$disk" in loop*|ram*|dm-*|zram*) continue ;; esac
    name=$(dd if=/dev/$disk bs=1 skip=32808 count=15 2>/dev/null)
    stamp=$(dd if=/dev/$disk bs=1 skip=33598 count=16 2>/dev/null)
    [ "$name" = QUENFOLD_RESCUE ] && [ "$stamp" = "$IMAGE_ID" ] && { BOOTDISK=$disk; break; }
done
STICK=
case "$BOOTDISK" in
    sr*|"") ;;
    *) for part in /sys/block/$BOOTDISK/$BOOTDISK*; do
           [ -e "$part/partition" ] || continue
           [ "$(blkid -p -s LABEL -o value /dev/${part##*/} 2>/dev/null)" = QFRESCUE ] && STICK=/dev/${part##*/}
       done ;;
esac
if [ -n "$STICK" ]; then
    mkdir -p /qfrescue
    mount -t vfat -o rw,noatime,shortname=mixed,utf8 "$STICK" /qfrescue || STICK=
fi

# quenfold.cfg: mode = check | clean, after = wait | poweroff | reboot, bitlocker-key = KEY
# (any number); # starts a comment. A line that cannot be read makes the run check and wait.
MODE=$(arg mode)
AFTER=$(arg after)
cfg_error=
KEYS=$RUN/keys
: >$KEYS
chmod 600 $KEYS
if [ -n "$STICK" ] && [ -f /qfrescue/quenfold.cfg ]; then
    n=0
    cfg_mode= cfg_after=
    while IFS= read -r line || [ -n "$line" ]; do
        n=$((n + 1))
        clean=$(printf '%s' "$line" | tr -d '\r' | sed 's/#.*//; s/^[ \t]*//; s/[ \t]*$//')
        [ -z "$clean" ] && continue
        key=$(printf '%s' "$clean" | sed -n 's/^\([a-z-]*\)[ \t]*=[ \t]*\([0-9a-z -]*\)$/\1/p')
        value=$(printf '%s' "$clean" | sed -n 's/^\([a-z-]*\)[ \t]*=[ \t]*\([0-9a-z -]*\)$/\2/p')
        case "$key=$value" in
            mode=check|mode=clean) cfg_mode=$value ;;
            after=wait|after=poweroff|after=reboot) cfg_after=$value ;;
            bitlocker-key=*) printf '%s\n' "$value" >>$KEYS ;;
            # The line is shown cut and without anything but printable ASCII: the stick may have
            # been in the infected PC. A key line is never shown.
            *) case "$clean" in bitlocker-key*) clean="bitlocker-key = ..." ;; esac
               cfg_error="${cfg_error}quenfold.cfg line $n cannot be read: $(printf '%s' "$clean" | tr -cd ' -~' | cut -c1-40)
" ;;
        esac
    done </qfrescue/quenfold.cfg
    if [ "$MODE" = auto ]; then
        if [ -n "$cfg_error" ]; then
            MODE=check AFTER=wait
        else
            MODE=${cfg_mode:-check}
            [ -z "$AFTER" ] && AFTER=$cfg_after
        fi
    fi
fi
# A menu entry chose the mode: the settings file does not, so its faults change nothing.
[ "$(arg mode)" = auto ] || [ -z "$(arg mode)" ] || cfg_error=
[ "$MODE" = auto ] || [ -z "$MODE" ] && MODE=check
case "$MODE" in check|clean|shell) ;; *) cfg_error="${cfg_error}Unknown mode: checking instead.
"; MODE=check AFTER=wait ;; esac
case "$AFTER" in wait|poweroff|reboot) ;; *) AFTER=wait ;; esac

if [ -n "$cfg_error" ]; then
    printf '%s' "$cfg_error" | while IFS= read -r line; do say "$line"; done
    say "Checking only (nothing is changed), and waiting at the end."
fi

# after = reboot must not clean, restart and clean again for ever: the boot that follows a clean
# run of this stick that restarted checks only and waits.
MARK=/qfrescue/reports/.last-run-restarted
if [ -n "$STICK" ] && [ -f $MARK ]; then
    rm -f $MARK
    sync
    if [ "$(arg mode)" = auto ] && [ "$MODE" = clean ]; then
        MODE=check AFTER=wait
        say "The last run of this stick cleaned this PC and restarted it: this run checks only, and waits."
    fi
fi

if [ "$MODE" = shell ]; then
    say "Expert shell. The PC's volumes are not mounted; ntfs-3g, cryptsetup and qfscan are here."
    say "Type exit to power off."
    setsid cttyhack sh -l <$SCREEN >$SCREEN 2>&1
    finish poweroff
fi

if [ "$MODE" = clean ]; then
    say "Mode: clean. Infected programs are deleted and the registry is repaired."
else
    say "Mode: check. Nothing on this PC is changed."
fi
# The recovery key is asked for only when someone waits at the end to read the answer.
ASK=no
[ "$AFTER" = wait ] && ASK=yes

# Reports: on the stick; from a CD in clean mode, on each cleaned volume's root.
STAMP=$(date -u +%Y%m%d-%H%M%S)
REPORTS=
if [ -n "$STICK" ]; then
    REPORTS=/qfrescue/reports
    mkdir -p $REPORTS
fi

# --- Records ----------------------------------------------------------------------------------

nn=000
REC=
new_record() { # DEVICE DISK
    nn=$(printf '%03d' $((1${nn} - 1000 + 1)))
    REC=$VOL/$nn
    : >$REC
    rec device "$1"
    rec disk "$2"
}
rec() { # KEY VALUE: one line of the record; a value keeps no line feed
    printf '%s=%s\n' "$1" "$(printf '%s' "$2" | tr -d '\n\r')" >>$REC
}
probe() { # DEVICE FIELD: what blkid reads of the device itself
    blkid -p -s "$2" -o value "$1" 2>/dev/null | head -n 1
}
byte() { # DEVICE OFFSET: one byte as a number
    dd if="$1" bs=1 skip="$2" count=1 2>/dev/null | od -An -tu1 | tr -d ' \n'
}
zeros() { # DEVICE: true when its first 64 KiB are all zero
    [ "$(dd if="$1" bs=65536 count=1 2>/dev/null | tr -d '\000' | wc -c)" -eq 0 ]
}

# Whether Windows left the FAT or exFAT volume $1 in use (dirty): the boot sector's flag, and for
# FAT16/32 the "cleanly shut down" bit of the second FAT entry.
fat_dirty() { # DEVICE fs VERSION
    case "$2" in
        exfat) [ $(( $(byte "$1" 106) & 2 )) -ne 0 ]; return ;;
    esac
    local bps res fat
    bps=$(( $(byte "$1" 11) + 256 * $(byte "$1" 12) ))
    res=$(( $(byte "$1" 14) + 256 * $(byte "$1" 15) ))
    fat=$((bps * res))
    case "$3" in
        FAT32) [ $(( $(byte "$1" 65) & 1 )) -ne 0 ] || [ $(( $(byte "$1" $((fat + 7))) & 8 )) -eq 0 ] ;;
        FAT16) [ $(( $(byte "$1" 37) & 1 )) -ne 0 ] || [ $(( $(byte "$1" $((fat + 3))) & 128 )) -eq 0 ] ;;
        *) return 1 ;;
    esac
}

# Names the file system on DEVICE in the record, or the reason it is not scanned; true when it
# is one to scan (ntfs, vfat, exfat). PART_TYPE is the partition's type (MBR byte or GPT GUID).
classify() { # DEVICE PART_TYPE
    local type version
    type=$(probe "$1" TYPE)
    case "$2" in
        0x42|5808c8aa-7e8f-42e0-85d2-e1e90434cfb3|af9b60a0-1431-4f62-bc68-3311714a69ad)
            rec fs ldm; rec state skip; rec why dynamic; return 1 ;;
        e75caf8f-f680-4cee-afa3-b001e56efc2d)
            rec fs storage-spaces; rec state skip; rec why storage-spaces; return 1 ;;
        e3c9e316-0b5c-4db8-817d-f92df00215ae)
            rec fs empty; rec fs_detail "Microsoft reserved"; rec state skip; rec why empty; return 1 ;;
    esac
    [ "$(dd if="$1" bs=1 skip=3 count=4 2>/dev/null)" = ReFS ] && type=refs
    case "$type" in
        ntfs) rec fs ntfs ;;
        vfat) version=$(probe "$1" VERSION); rec fs vfat; rec fs_detail "${version:-FAT}" ;;
        exfat) rec fs exfat ;;
        BitLocker) rec fs bitlocker; return 2 ;;
        refs|ReFS) rec fs refs; rec state skip; rec why refs; return 1 ;;
        swap) rec fs swap; rec state skip; rec why swap; return 1 ;;
        ext2|ext3|ext4|xfs|btrfs|f2fs|jfs|reiserfs|crypto_LUKS|LVM2_member|zfs_member|linux_raid_member)
            rec fs linux; rec fs_detail "$type"; rec state skip; rec why linux; return 1 ;;
        "") if zeros "$1"; then rec fs empty; rec state skip; rec why empty
            else rec fs unknown; rec state skip; rec why unknown-fs; fi
            return 1 ;;
        *) rec fs unknown; rec fs_detail "$type"; rec state skip; rec why unknown-fs; return 1 ;;
    esac
    rec label "$(probe "$1" LABEL)"
    return 0
}

# --- BitLocker --------------------------------------------------------------------------------

# The recovery key in cryptsetup's form (eight groups of six digits), from any text holding its
# 48 digits; false when there are not 48, or a group is not one a recovery key can hold (each is
# a multiple of 11 below 720896, so most mistyped digits show).
recovery_key() {
    local digits group
    digits=$(printf '%s' "$1" | tr -cd '0-9')
    [ ${#digits} -eq 48 ] || return 1
    for group in $(printf '%s' "$digits" | sed 's/\(......\)/\1 /g'); do
        group=$(printf '%s' "$group" | sed 's/^0*//')
        [ $((${group:-0} % 11)) -eq 0 ] && [ $((${group:-0} / 11)) -lt 65536 ] || return 1
    done
    printf '%s' "$digits" | sed 's/\(......\)/\1-/g; s/-$//'
}

# Tries the key (on standard input; never an argument, never shown) on the BitLocker volume $1:
# 0 opens it, 1 a wrong key, 2 cryptsetup failed otherwise (its message in $RUN/$nn.try).
try_key() { # DEVICE [--key-file FILE]
    cryptsetup open --test-passphrase --type bitlk --disable-locks "$@" >$RUN/$nn.try 2>&1 && return 0
    # A key that fits none of the volume's protectors is refused without a word, or with this one.
    [ -s $RUN/$nn.try ] && ! grep -q 'No key available' $RUN/$nn.try && return 2
    return 1
}

# Opens the BitLocker volume DEVICE if any key given opens it: sets $inner to the opened device
# and $bl_ro to why it is read-only, or records why not. True when opened.
bitlocker_open() { # DEVICE
    local dev=$1 protectors key file id tried=no status
    inner= bl_ro=
    cryptsetup bitlkDump "$dev" >$RUN/$nn.dump 2>&1 || {
        rec state skip; rec why unreadable; rec detail "$(head -n 1 $RUN/$nn.dump)"; return 1; }
    protectors=$(sed -n 's/^[[:space:]]*Protection:[[:space:]]*VMK protected with //p' $RUN/$nn.dump)
    # Suspended: the key is in the clear. Read through dislocker, read-only: a write through it
    # goes to the BitLocker volume by dislocker's own remapping of the sectors that BitLocker
    # moved (its manual: "any write to this volume is put on the BitLocker volume as well", and
    # for no write at all, its read-only mode or a copy), and a fault there costs the owner the
    # volume. To clean it, a recovery key opens it through cryptsetup (dm-crypt) instead.
    suspended() {
        mkdir -p /run/dl/$nn
        if dislocker -r -c -V "$dev" -- /run/dl/$nn >$RUN/$nn.dl 2>&1 && [ -f /run/dl/$nn/dislocker-file ]; then
            inner=/run/dl/$nn/dislocker-file bl_ro=bitlocker-suspended
            return 0
        fi
        rec state skip; rec why unreadable; rec detail "$(grep -m 1 . $RUN/$nn.dl)"; return 1
    }
    local clear=no
    printf '%s\n' "$protectors" | grep -q '^clear key' && clear=yes
    if [ $clear = yes ] && { [ "$MODE" = check ] || ! printf '%s\n' "$protectors" | grep -q '^recovery passphrase'; }; then
        suspended
        return
    fi
    map=qfbl$nn
    open_with() { # the key on standard input, or --key-file FILE
        if [ "$MODE" = clean ]; then
            cryptsetup open --type bitlk --disable-locks "$@" "$dev" $map >$RUN/$nn.try 2>&1
        else
            cryptsetup open --type bitlk --disable-locks --readonly "$@" "$dev" $map >$RUN/$nn.try 2>&1
        fi
    }
    opened() {
        if [ -b /dev/mapper/$map ]; then inner=/dev/mapper/$map; return 0; fi
        rec state skip; rec why unreadable; rec detail "$(grep -m 1 . $RUN/$nn.try)"; return 1
    }
    # A startup key (.BEK) on the stick, then each recovery key the technician gave.
    if printf '%s\n' "$protectors" | grep -q '^startup key' && [ -n "$STICK" ]; then
        for file in /qfrescue/*; do
            case "$file" in *.[Bb][Ee][Kk]) ;; *) continue ;; esac
            try_key "$dev" --key-file "$file" </dev/null && { open_with --key-file "$file" </dev/null; opened; return; }
        done
    fi
    if printf '%s\n' "$protectors" | grep -q '^recovery passphrase'; then
        {
            cat $KEYS
            # Windows saves "BitLocker Recovery Key ....TXT" in UTF-16.
            [ -n "$STICK" ] && for file in /qfrescue/*; do
                case "$file" in *.[Tt][Xx][Tt]) tr -d '\000\r' <"$file" | grep -oE '[0-9]{6}(-[0-9]{6}){7}' ;; esac
            done
        } >$RUN/$nn.keys 2>/dev/null
        while IFS= read -r key; do
            key=$(recovery_key "$key") || continue
            printf '%s' "$key" | try_key "$dev" --key-file - && { printf '%s' "$key" | open_with --key-file -; rm -f $RUN/$nn.keys; opened; return; }
        done <$RUN/$nn.keys
        rm -f $RUN/$nn.keys
        if [ $ASK = yes ]; then
            id=$(sed -n '/recovery passphrase/{x;p;};h' $RUN/$nn.dump | sed -n 's/^[[:space:]]*GUID:[[:space:]]*\([0-9a-fA-F]\{8\}\).*/\1/p' | head -n 1 | tr a-f A-F)
            say ""
            say "$shown is locked with BitLocker."
            say "Type its 48-digit recovery key (dashes optional; the digits are not shown), then Enter."
            say "Recovery key ID: ${id:-unknown} (the owner's Microsoft account lists the key under it)."
            if [ $clear = yes ]; then say "Just Enter reads it without changing it (its BitLocker is suspended)."
            else say "Just Enter skips this volume."; fi
            stty -F $SCREEN -echo 2>/dev/null
            [ $SERIAL != /dev/null ] && stty -F $SERIAL -echo 2>/dev/null
            while :; do
                printf 'Recovery key: ' >$SCREEN
                printf 'Recovery key: \n' >$SERIAL
                read_line 600 || answer=
                printf '\n' >$SCREEN
                [ -z "$(printf '%s' "$answer" | tr -cd '0-9')" ] && { tried=skipped; break; }
                if ! key=$(recovery_key "$answer"); then
                    say "That is not a recovery key (48 digits; one may be mistyped). Type it again, or just Enter to skip."
                    continue
                fi
                printf '%s' "$key" | try_key "$dev" --key-file -
                status=$?
                if [ $status -eq 0 ]; then
                    printf '%s' "$key" | open_with --key-file -
                    say "The key opens this volume."
                    break
                fi
                [ $status -eq 1 ] && say "That key does not open this volume. Type it again, or just Enter to skip."
                [ $status -eq 2 ] && { tried=failed; break; }
            done
            key= answer=
            stty -F $SCREEN echo 2>/dev/null
            [ $SERIAL != /dev/null ] && stty -F $SERIAL echo 2>/dev/null
            [ $tried = no ] && { opened; return; }
        fi
    fi
    [ $clear = yes ] && { suspended; return; }
    rec state skip
    if [ $tried = failed ]; then
        rec why unreadable; rec detail "$(grep -m 1 . $RUN/$nn.try)"
    elif [ $tried = skipped ]; then
        rec why key-skipped
    elif ! printf '%s\n' "$protectors" | grep -q '^recovery passphrase\|^startup key\|^passphrase'; then
        if printf '%s\n' "$protectors" | grep -q '^smart card'; then rec why smartcard-only; else rec why tpm-only; fi
    else
        rec why locked-no-key
    fi
    return 1
}

# --- Every volume -----------------------------------------------------------------------------

# Mounts the record's volume $1 at $2, read-only or read-write; true when mounted.
mount_volume() { # DEVICE FS DIR ro|rw
    mkdir -p "$3"
    case "$2" in
        ntfs) ntfs-3g -o "$4,noatime" "$1" "$3" >$RUN/$nn.mount 2>&1 ;;
        vfat) mount -t vfat -o "$4,noatime,shortname=mixed,utf8" "$1" "$3" >$RUN/$nn.mount 2>&1 ;;
        exfat) mount -t exfat -o "$4,noatime,iocharset=utf8" "$1" "$3" >$RUN/$nn.mount 2>&1 ;;
    esac
}

# Looks at the volume on DEVICE (a partition, or a whole disk without partitions) and writes its
# record; scans it.
volume() { # DEVICE DISK PART_TYPE
    local dev=$1 fs ro= mnt
    new_record "$dev" "$2"
    shown=${dev#/dev/}
    rec size_bytes $(( $(cat /sys/class/block/$shown/size) * 512 ))
    [ -r /sys/class/block/$shown/start ] && rec offset_bytes $(( $(cat /sys/class/block/$shown/start) * 512 ))
    [ -n "$disk_sig" ] && rec mbr_signature "$disk_sig"
    [ -n "$4" ] && rec gpt_guid "$4"
    classify "$dev" "$3"
    case $? in
        1) return ;;
        2) bitlocker_open "$dev" || return
           rec bitlocker yes
           ro=$bl_ro
           classify "$inner" "" || { [ $? -eq 2 ] && rec why unknown-fs; return; }
           dev=$inner ;;
    esac
    fs=$(sed -n 's/^fs=//p' $REC | tail -n 1)
    # Never written: hibernated, not shut down cleanly, or marked for a disk check.
    if [ -z "$ro" ]; then
        case $fs in
            ntfs) ntfs-3g.probe --readwrite "$dev" >/dev/null 2>&1
                  case $? in
                      0) flags=$(ntfsinfo -f -m "$dev" 2>/dev/null | sed -n 's/.*Volume Flags: 0x\([0-9a-fA-F]*\).*/\1/p')
                         [ -n "$flags" ] && [ $((0x$flags & 1)) -ne 0 ] && ro=dirty ;;
                      14) ro=hibernated ;;
                      15) ro=not-clean ;;
                  esac ;;
            vfat|exfat) fat_dirty "$dev" $fs "$(sed -n 's/^fs_detail=//p' $REC)" && ro=dirty ;;
        esac
    fi
    if [ -n "$ro" ]; then rec writable no; rec readonly_why $ro
    elif [ "$MODE" = clean ]; then rec writable yes
    else rec writable no; rec readonly_why check-mode
    fi
    mnt=/mnt/$nn
    if ! mount_volume "$dev" $fs $mnt ro; then
        rec state skip; rec why not-mounted; rec detail "$(grep -m 1 . $RUN/$nn.mount)"
        return
    fi
    rec state scan
    rec mount $mnt
    echo "$dev $fs" >$RUN/$nn.dev
    qfscan --rescue-volume $REC --pass check --screen $SCREEN --serial $SERIAL --report "$TRANSCRIPT"
}

# Every partition of every disk but the one booted, and a disk with no partitions whole.
for sys in /sys/block/*; do
    disk=${sys##*/}
    case "$disk" in loop*|ram*|sr*|dm-*|zram*|md*|nbd*) continue ;; esac
    [ "$disk" = "$BOOTDISK" ] && continue
    [ -b /dev/$disk ] || continue
    table=$(probe /dev/$disk PTTYPE)
    disk_sig=
    [ "$table" = dos ] && disk_sig=$(probe /dev/$disk PTUUID)
    found=no
    # In the partitions' own order: sda2 before sda10.
    for part in $(for p in $sys/$disk*; do [ -e "$p/partition" ] && echo "$(cat "$p/partition") $p"; done |
                  sort -n | cut -d' ' -f2); do
        found=yes
        dev=/dev/${part##*/}
        ptype=$(probe $dev PART_ENTRY_TYPE)
        # An extended partition only holds the logical ones, which come as their own.
        case "$ptype" in 0x5|0xf|0x85) continue ;; esac
        guid=
        [ "$table" = gpt ] && guid=$(probe $dev PART_ENTRY_UUID)
        volume $dev $disk "$ptype" "$guid"
    done
    if [ $found = no ]; then
        disk_sig=
        volume /dev/$disk $disk ""
    fi
done

# Intel RST in RAID mode hides NVMe drives from every system but Windows with its driver.
if dmesg | grep -q 'remapped NVMe'; then
    new_record "(hidden)" ""
    rec fs unknown
    rec state skip
    rec why unreadable
    rec detail "NVMe drives are hidden behind Intel RST: set SATA mode to AHCI in the firmware setup to show them."
    say ""
    say "This PC's firmware hides NVMe drives (Intel RST, RAID mode): they are not scanned."
    say "To scan them, set SATA mode to AHCI in the firmware setup, boot this stick, then set it back."
fi

# The clean pass, where the check found work for it and the volume may be written.
if [ "$MODE" = clean ]; then
    for result in $VOL/*.result; do
        [ -f "$result" ] || continue
        REC=${result%.result}
        nn=${REC##*/}
        grep -qx 'to_do=yes' "$result" && grep -qx 'writable=yes' $REC || continue
        read -r dev fs <$RUN/$nn.dev
        umount /mnt/$nn
        if mount_volume "$dev" $fs /mnt/$nn rw; then
            qfscan --rescue-volume $REC --pass clean --screen $SCREEN --serial $SERIAL --report "$TRANSCRIPT"
            echo $nn >>$RUN/cleaned
        else
            rec clean_mount_failed yes
            mount_volume "$dev" $fs /mnt/$nn ro
        fi
    done
fi

if [ -n "$REPORTS" ]; then
    at="Report: QFRESCUE\\reports\\$STAMP.txt on this stick"
elif [ -s $RUN/cleaned ]; then
    at="Report: \\quenfold-rescue-$STAMP.txt on each volume that was cleaned"
else
    at="Report: none kept (no QFRESCUE stick, and a check writes nothing on the PC)"
fi
keys=$SCREEN
[ "$AFTER" = wait ] || keys=none
printf '\033[2J\033[H' >$SCREEN
qfscan --rescue-summary $VOL --mode $MODE --screen $SCREEN --serial $SERIAL --report "$TRANSCRIPT" \
    --keys $keys --reports-at "$at"

if [ -n "$REPORTS" ]; then
    cp "$TRANSCRIPT" "$REPORTS/$STAMP.txt"
    [ "$AFTER" = reboot ] && [ "$MODE" = clean ] && : >$MARK
elif [ -s $RUN/cleaned ]; then
    while read -r nn; do cp "$TRANSCRIPT" /mnt/$nn/quenfold-rescue-$STAMP.txt; done <$RUN/cleaned
fi
sync

case "$AFTER" in
    poweroff|reboot) say "Done."; finish $AFTER ;;
esac
say "Press Enter to power off."
while ! read_line 3600; do :; done
finish poweroff
