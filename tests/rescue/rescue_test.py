#!/usr/bin/python3
"""Quenfold Rescue booted in QEMU (TCG, no KVM), as a PC boots it: from CD, USB stick or the
network, on BIOS, UEFI and UEFI with Secure Boot, against disks made here: GPT and MBR; Windows
on NTFS with real hives, and XP on FAT32; data volumes on NTFS, FAT and exFAT, sticks with and
without a partition table; a hibernated volume and a dirty one; BitLocker volumes that Windows
made; every kind of volume the rescue names without scanning. One table of boots; afterwards
the serial console, the stick's QFRESCUE partition and the disks are read.

  rescue_test.py ISO PXE_DIR QFSCAN [unittest options]

QF_SAMPLES names the sample programs' folder; QF_RESCUE_SCREENS, when set, a folder for
screenshots (each boot's summary, its key prompts, and one taken during a long scan);
QF_RESCUE_ROWS, a regular expression, boots only the rows whose names it matches; QF_KEEP keeps
the work folder."""
import collections
import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "offline"), os.path.join(HERE, "..", "support")]
from hive_fixture import read_values  # noqa: E402
import offline_test  # noqa: E402  (as a module: its test cases are not this file's)
from offline_test import FORGED, HIVES, MOUNTED, RUN, SOFTWARE, SYSTEM_HIVE, WINLOGON, WOW_RUN  # noqa: E402
from hive_fixture import REG_SZ  # noqa: E402
from fixtures import caller, compact, infected, plant, read, sample  # noqa: E402

ISO = PXE = QFSCAN = None
MiB = 1 << 20
OVMF = "/usr/share/OVMF/"
SUMMARY_END = ("Press Enter to power off.", "Done.")
KEYS = [(h, k) for h in HIVES for k in ((RUN, WOW_RUN, WINLOGON) if h == SOFTWARE else ("Software\\" + RUN,))]


def run(*command, **kw):
    return subprocess.run(command, check=True, capture_output=True, **kw)


def new_ntfs(path, size, label):
    with open(path, "wb") as f:
        f.truncate(size)
    run("mkntfs", "-F", "-Q", "-q", "-L", label, path)


def mounted(image, action, *options):
    """action(root) on the NTFS image mounted with ntfs-3g."""
    root = tempfile.mkdtemp(prefix="qf-rescue-mnt.")
    run("ntfs-3g", *options, image, root)
    try:
        return action(root)
    finally:
        run("umount", root)
        os.rmdir(root)


def contents(root):
    """{path: sha256} of every file below root, and the Run and Winlogon values of its hives."""
    seen = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            if not os.path.islink(path):
                seen[os.path.relpath(path, root)] = hashlib.sha256(read(path)).hexdigest()
    hives = {(h, k): read_values(os.path.join(root, h), k) for h, k in KEYS if os.path.exists(os.path.join(root, h))}
    return seen, hives


NTFS_TYPE, FAT_TYPE = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "7"


def make_disk(path, table, parts, label_id=None):
    """A disk of the partition images parts (1 MiB apart), with an MBR or GPT table; a part is an
    image or (image, type); a table None makes the one image the whole disk."""
    if table is None:
        run("cp", "--sparse=always", parts[0], path)
        return
    at, layout = MiB, []
    for part in parts:
        image, kind = part if isinstance(part, tuple) else (part, "7" if table == "dos" else NTFS_TYPE)
        size = os.path.getsize(image)
        layout.append("start=%d, size=%d, type=%s" % (at // 512, size // 512, kind))
        at += size + MiB
    with open(path, "wb") as f:
        f.truncate(at + MiB)
    head = "label: %s\n" % table + ("label-id: %s\n" % label_id if label_id else "")
    run("sfdisk", "-q", path, input=(head + "\n".join(layout) + "\n").encode())
    at = MiB
    for part in parts:
        image = part[0] if isinstance(part, tuple) else part
        run("dd", "if=" + image, "of=" + path, "bs=1M", "seek=%d" % (at // MiB), "conv=notrunc,sparse", "status=none")
        at += os.path.getsize(image) + MiB


def partitions(disk):
    table = json.loads(run("sfdisk", "--json", disk).stdout)["partitiontable"]
    return [(p["start"] * 512, p["size"] * 512) for p in table["partitions"]]


def cut(disk, number, out):
    start, size = partitions(disk)[number - 1]
    run("dd", "if=" + disk, "of=" + out, "bs=1M", "skip=%d" % (start // MiB), "count=%d" % (size // MiB),
        "conv=sparse", "status=none")
    return out


def new_fat(path, size, label, bits, files):
    """A FAT12/16/32 image holding files {path: bytes}, written with mtools."""
    with open(path, "wb") as f:
        f.truncate(size)
    run("mkfs.fat", "-F", str(bits), "-n", label, path)
    with tempfile.TemporaryDirectory() as tree:
        plant(tree, files)
        run("mcopy", "-s", "-Q", "-i", path, *[os.path.join(tree, n) for n in sorted(os.listdir(tree))], "::/")


def fuse_mounted(command, action):
    """action(root) with command + [root] mounted (a FUSE file system)."""
    root = tempfile.mkdtemp(prefix="qf-rescue-mnt.")
    run(*command, root)
    try:
        return action(root)
    finally:
        run("umount", root)
        os.rmdir(root)


def new_exfat(path, size, label, files, dirty=False):
    with open(path, "wb") as f:
        f.truncate(size)
    run("mkfs.exfat", "-L", label, path)
    loop = run("losetup", "-f", "--show", path).stdout.decode().strip()  # exfat-fuse as root takes devices only
    try:
        fuse_mounted(["mount.exfat-fuse", loop], lambda r: plant(r, files))
    finally:
        run("losetup", "-d", loop)
    if dirty:  # VolumeFlags' VolumeDirty, which the boot region's checksum leaves out
        with open(path, "r+b") as f:
            f.seek(106)
            flags = f.read(1)[0]
            f.seek(106)
            f.write(bytes([flags | 2]))


def bitlocker_volume(work, image, key, inner, files):
    """One of Windows' BitLocker images with a new inner file system (ntfs or vfat) holding files,
    made through dislocker; key is the recovery key, or None for the clear key."""
    with tarfile.open(os.path.join(HERE, "data", "bitlk-images.tar.xz")) as tar:
        member = tar.getmember("bitlk-images/" + image)
        member.name = image
        tar.extract(member, work)
    path = os.path.join(work, image)
    os.chmod(path, 0o644)
    opened = ["dislocker", "-V", path] + (["-p" + key] if key else ["-c"]) + ["--"]

    def fill(root):
        inside = os.path.join(root, "dislocker-file")
        if inner == "ntfs":
            run("mkntfs", "-F", "-Q", "-q", "-L", "LOCKED", inside)
            mounted(inside, lambda r: plant(r, files))
        else:
            run("mkfs.fat", "-F", "32", "-n", "TOGO", inside)
            with tempfile.TemporaryDirectory() as tree:
                plant(tree, files)
                run("mcopy", "-s", "-Q", "-i", inside, *[os.path.join(tree, n) for n in os.listdir(tree)], "::/")
    fuse_mounted(opened, fill)
    return path


def bitlocker_keys():
    """{image name: recovery key} from the test data's images.conf."""
    with tarfile.open(os.path.join(HERE, "data", "bitlk-images.tar.xz")) as tar:
        text = tar.extractfile("bitlk-images/images.conf").read().decode()
    return dict(re.findall(r"(?m)^\[(.*)\]\n(?:.*\n)*?RP=(.*)$", text))


def raw(path, size, head=b"", fill=b"\0"):
    with open(path, "wb") as f:
        f.write(head + (fill * ((size - len(head)) // len(fill) + 1))[:size - len(head)])
    return path


class Boot:
    """One QEMU run: firmware bios/uefi/secure, media cd/usb/pxe; keys are (text on the serial
    console, keys to send) pairs, sent in order, each when its text has shown once more than the
    pairs before it with the same text have used; a page of the summary always gets a space."""
    def __init__(self, work, name, firmware, media, image, disks, keys=(), stop_at=None):
        self.work, self.name, self.serial = work, name, os.path.join(work, name + ".serial")
        monitor = os.path.join(work, name + ".mon")
        # The memory the manual promises. On UEFI, GRUB 2.06 keeps a quarter of it as its heap and
        # reserves the kernel's init_size (64 MiB) for the compressed image, and the kernel's EFI
        # stub then allocates fresh memory to decompress into: 288 MiB fails, 304 MiB boots.
        command = ["qemu-system-x86_64", "-accel", "tcg", "-m", "256" if firmware == "bios" else "320", "-display", "none", "-no-reboot",
                   "-serial", "file:" + self.serial, "-monitor", "unix:%s,server,nowait" % monitor,
                   "-device", "ahci,id=sata", "-device", "qemu-xhci"]
        machine = "q35"
        if firmware != "bios":
            code, varstore = (("OVMF_CODE_4M.ms.fd", "OVMF_VARS_4M.ms.fd") if firmware == "secure"
                              else ("OVMF_CODE_4M.fd", "OVMF_VARS_4M.fd"))
            shutil.copy(OVMF + varstore, os.path.join(work, name + ".vars"))
            if firmware == "secure":
                machine += ",smm=on"
                command += ["-global", "driver=cfi.pflash01,property=secure,value=on"]
            command += ["-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + OVMF + code,
                        "-drive", "if=pflash,format=raw,unit=1,file=" + os.path.join(work, name + ".vars")]
        command += ["-machine", machine]
        if media == "cd":
            command += ["-drive", "if=none,id=boot,media=cdrom,readonly=on,file=" + image,
                        "-device", "ide-cd,drive=boot,bus=sata.0,bootindex=0"]
        elif media == "usb":
            command += ["-drive", "if=none,id=boot,format=raw,file=" + image,
                        "-device", "usb-storage,drive=boot,bootindex=0"]
        else:
            command += ["-netdev", "user,id=net,tftp=%s,bootfile=boot.ipxe" % image,
                        "-device", "e1000,netdev=net,bootindex=0"]
        # The system disk on SATA (AHCI), the second on NVMe, any more as USB sticks.
        command += ["-drive", "if=none,id=d0,format=raw,file=" + disks[0], "-device", "ide-hd,drive=d0,bus=sata.1",
                    "-drive", "if=none,id=d1,format=raw,file=" + disks[1], "-device", "nvme,drive=d1,serial=qf1"]
        for n, disk in enumerate(disks[2:], 2):
            command += ["-drive", "if=none,id=d%d,format=raw,file=%s" % (n, disk), "-device", "usb-storage,drive=d%d" % n]
        self.command, self.monitor, self.keys, self.stop_at = command, monitor, list(keys), stop_at
        self.summary_at = None
        self.sock = None
        self.screens = os.environ.get("QF_RESCUE_SCREENS")

    def text(self):
        try:
            with open(self.serial, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def hmp(self, command):
        """A command to QEMU's monitor, over the one connection the boot keeps open."""
        if self.sock is None:
            try:
                self.sock = socket.socket(socket.AF_UNIX)
                self.sock.connect(self.monitor)
                self.sock.setblocking(False)
            except OSError:  # QEMU has ended (a boot that powers off by itself)
                self.sock = None
                return
        try:
            self.sock.sendall(command.encode() + b"\n")
            time.sleep(0.3)
            while self.sock.recv(65536):  # what the monitor echoes
                pass
        except (BlockingIOError, OSError):
            pass

    def screendump(self, suffix):
        """The screen as a PNG in QF_RESCUE_SCREENS."""
        if not self.screens:
            return
        os.makedirs(self.screens, exist_ok=True)
        ppm = os.path.join(self.work, "%s%s.ppm" % (self.name, suffix))
        self.hmp("screendump " + ppm)
        time.sleep(0.5)
        if os.path.exists(ppm):
            subprocess.run(["convert", ppm, os.path.join(self.screens, "%s%s.png" % (self.name, suffix))])

    def run(self, timeout=600):
        """Boots; returns the serial console's text when QEMU has ended."""
        started = time.monotonic()
        qemu = subprocess.Popen(self.command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        used = collections.Counter()
        pages = during = 0
        try:
            while qemu.poll() is None and time.monotonic() - started < timeout:
                time.sleep(0.5)
                text = self.text()
                if self.stop_at and self.stop_at in text:
                    break
                if self.summary_at is None and any(end in text for end in SUMMARY_END):
                    self.summary_at = time.monotonic() - started
                    if SUMMARY_END[0] in text:  # a run that powers off by itself gives no time to wait
                        time.sleep(1)
                    self.screendump("")
                if not during and "progress:" in text:
                    during = 1
                    self.screendump("-during")
                if text.count("-- Page ") > pages:
                    pages += 1
                    self.screendump("-page%d" % pages)
                    self.hmp("sendkey spc")
                if self.keys and text.count(self.keys[0][0]) > used[self.keys[0][0]]:
                    wanted, keys = self.keys.pop(0)
                    used[wanted] += 1
                    self.screendump("-key%d" % sum(used.values()))
                    for key in keys:
                        self.hmp("sendkey " + key)
        finally:
            if self.sock:
                self.sock.close()
            if qemu.poll() is None:
                qemu.kill()
            err = qemu.communicate()[1].decode()
        self.ended = qemu.returncode
        return self.text() + ("\n[qemu: %s]" % err.strip() if err.strip() else "")


Row = collections.namedtuple("Row", "name firmware media cfg keys expected disks")
ENTER = ("Press Enter to power off.", ["ret"])


def digits(key):
    return ["minus" if c == "-" else c for c in key] + ["ret"]


class Rescue(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="qf-rescue.")
        cls.sick, cls.clean = infected(sample("sample32.exe")), sample("sample32.exe")
        cls.keys = bitlocker_keys()
        rows = os.environ.get("QF_RESCUE_ROWS")
        cls.table = [r for r in cls.boot_table() if not rows or re.search(rows, r.name)]
        cls.sets = {}
        for kind in sorted({r.disks for r in cls.table}):
            cls.sets[kind] = getattr(cls, "disks_" + kind)()
        cls.originals = {kind: [hashlib.sha256(read(d)).hexdigest() for d in disks] for kind, disks in cls.sets.items()}

    @classmethod
    def tearDownClass(cls):
        if os.environ.get("QF_KEEP"):
            print("kept:", cls.work, file=sys.stderr)
        else:
            shutil.rmtree(cls.work)

    @classmethod
    def w(cls, name):
        return os.path.join(cls.work, name)

    @classmethod
    def disks_standard(cls):
        """Windows on NTFS and a data volume (GPT); a hibernated volume and a BitLocker one that
        cannot be read (MBR)."""
        w = cls.w
        system = offline_test.NtfsVolume("make_root")
        system.setUp()
        system.unmount()
        shutil.move(system.image, w("system.img"))
        system.tearDown()
        new_ntfs(w("data.img"), 32 * MiB, "DATA")
        mounted(w("data.img"), lambda r: plant(r, {"Games/setup.exe": cls.sick, "Games/ok.exe": cls.clean}))
        # Windows' Fast Startup leaves hiberfil.sys with its signature; the volume holds the worm too.
        new_ntfs(w("hiber.img"), 32 * MiB, "HIBER")
        mounted(w("hiber.img"), lambda r: plant(r, {"hiberfil.sys": b"HIBR" + bytes(8188), "Tools/sick.exe": cls.sick}))
        raw(w("bitlocker.img"), 16 * MiB, b"\xeb\x58\x90-FVE-FS-", bytes(range(256)))
        make_disk(w("standard.0"), "gpt", [w("system.img"), w("data.img")])
        make_disk(w("standard.1"), "dos", [w("hiber.img"), w("bitlocker.img")])
        # What qfscan --offline --delete (--delete on data volumes) makes of the same volumes.
        cls.repaired = {}
        for image, offline in (("system.img", True), ("data.img", False)):
            shutil.copy(w(image), w("expected-" + image))
            cls.repaired[image] = mounted(w("expected-" + image), lambda r: (
                subprocess.run([QFSCAN] + (["--offline", r] if offline else []) + ["--delete"] + ([] if offline else [r]),
                               capture_output=True), contents(r))[1])
        return [w("standard.0"), w("standard.1")]

    @classmethod
    def disks_xp(cls):
        """Windows XP on FAT32 with the worm's Userinit (a line feed and a verdict of its own in
        it), an NTFS data volume whose names hold controls, and a partition of the PC's own that
        calls itself QFRESCUE; three sticks: FAT32 with autorun.inf, FAT16 without a partition
        table, exFAT left dirty."""
        w = cls.w
        xp = offline_test.FatVolume("make_root")
        xp.setUp()
        xp.software[WINLOGON] = [("Userinit", REG_SZ, FORGED)]
        xp.build_hives()
        xp.build_hive(xp.path(SYSTEM_HIVE), MOUNTED)
        run("umount", xp.root)
        shutil.move(os.path.join(xp.work, "fat.img"), w("xp.img"))
        shutil.rmtree(xp.work)
        new_ntfs(w("names.img"), 32 * MiB, "NAMES")
        mounted(w("names.img"), lambda r: plant(r, {"a\nNo Zaverin found.exe": cls.sick, "b\\u000a\u009b2J\u202e.exe": cls.sick,
                                                    "ok.exe": cls.clean}))
        new_fat(w("decoy.img"), 40 * MiB, "QFRESCUE", 32, {"quenfold.cfg": b"mode = check\nafter = wait\n",
                                                           "bait.exe": cls.sick})
        make_disk(w("xp.0"), "dos", [(w("xp.img"), "c"), w("names.img"), (w("decoy.img"), "c")], label_id="0x1a2b3c4d")
        new_fat(w("stick1.img"), 40 * MiB, "STICK", 32, {"autorun.inf": b"[autorun]\r\nopen=setup.exe\r\n",
                                                         "setup.exe": cls.sick})
        make_disk(w("xp.1"), "dos", [(w("stick1.img"), "c")])
        new_fat(w("xp.2"), 16 * MiB, "OLDSTICK", 16, {"GAMES/PLAY.EXE": cls.sick})
        new_exfat(w("stick3.img"), 16 * MiB, "EXSTICK", {"tools/run.exe": cls.sick}, dirty=True)
        make_disk(w("xp.3"), "gpt", [(w("stick3.img"), NTFS_TYPE)])
        return [w("xp.%d" % n) for n in range(4)]

    @classmethod
    def disks_ten(cls):
        """Ten volumes on one GPT disk, every kind the rescue names, and an empty disk."""
        w = cls.w
        new_ntfs(w("t-ntfs.img"), 8 * MiB, "PLAIN")
        new_ntfs(w("t-sick.img"), 8 * MiB, "SICK")
        # ... one of its programs compressed by Windows (CompactOS), as Windows 10 and 11 keep theirs.
        mounted(w("t-sick.img"), lambda r: (plant(r, {"x.exe": cls.sick}),
                                           compact(os.path.join(r, "lzx.exe"), cls.sick, "lzx")),
                "-o", "streams_interface=windows")
        new_fat(w("t-fat.img"), 40 * MiB, "FATDATA", 32, {"DOCS/y.exe": cls.sick})
        new_exfat(w("t-exfat.img"), 8 * MiB, "EXDATA", {"z.exe": cls.clean})
        raw(w("t-swap.img"), 8 * MiB)
        run("mkswap", w("t-swap.img"))
        raw(w("t-ext4.img"), 8 * MiB)
        run("mkfs.ext4", "-q", "-F", w("t-ext4.img"))
        parts = [w("t-ntfs.img"), w("t-sick.img"), (w("t-fat.img"), NTFS_TYPE), (w("t-exfat.img"), NTFS_TYPE),
                 (w("t-swap.img"), "0657FD6D-A4AB-43C4-84E5-0933C84B4F4F"),
                 (w("t-ext4.img"), "0FC63DAF-8483-4772-8E79-3D69D8477DE4"),
                 (raw(w("t-empty.img"), 2 * MiB), NTFS_TYPE),
                 (raw(w("t-refs.img"), 2 * MiB, b"\0\0\0ReFS\0", b"\x5a"), NTFS_TYPE),
                 (raw(w("t-ldm.img"), 2 * MiB, b"", b"\x11"), "AF9B60A0-1431-4F62-BC68-3311714A69AD"),
                 (raw(w("t-spaces.img"), 2 * MiB, b"", b"\x22"), "E75CAF8F-F680-4CEE-AFA3-B001E56EFC2D")]
        make_disk(w("ten.0"), "gpt", parts)
        raw(w("ten.1"), 8 * MiB)
        return [w("ten.0"), w("ten.1")]

    @classmethod
    def disks_bitlocker(cls):
        """BitLocker volumes that Windows made, each with the worm inside: suspended (clear key), a
        recovery key given in quenfold.cfg, To Go on FAT (typed), a startup key (.BEK on the
        stick), and one with a smart card and a recovery key (skipped)."""
        w, k = cls.w, cls.keys
        files = {"Apps/sick.exe": cls.sick, "Apps/ok.exe": cls.clean}
        parts = [bitlocker_volume(cls.work, "bitlk-aes-xts-128-clearkey-only.img", None, "ntfs", files),
                 bitlocker_volume(cls.work, "bitlk-aes-xts-128.img", k["bitlk-aes-xts-128"], "ntfs", files),
                 bitlocker_volume(cls.work, "bitlk-togo-aes-xts-128.img", k["bitlk-togo-aes-xts-128"], "vfat", files),
                 bitlocker_volume(cls.work, "bitlk-aes-xts-128-startup-key-win11.img",
                                  k["bitlk-aes-xts-128-startup-key-win11"], "ntfs", files),
                 bitlocker_volume(cls.work, "bitlk-aes-xts-128-smart-card.img", k["bitlk-aes-xts-128-smart-card"], "ntfs",
                                  files)]
        make_disk(w("bitlocker.0"), "gpt", parts)
        new_ntfs(w("bl-data.img"), 8 * MiB, "PLAIN")
        make_disk(w("bitlocker.1"), "gpt", [w("bl-data.img")])
        return [w("bitlocker.0"), w("bitlocker.1")]

    @classmethod
    def disks_long(cls):
        """One NTFS volume of twenty thousand files, for the screen during a long scan."""
        w = cls.w
        new_ntfs(w("long.img"), 160 * MiB, "MANY")

        def fill(root):
            for d in range(200):
                folder = os.path.join(root, "d%03d" % d)
                os.mkdir(folder)
                for f in range(100):
                    with open(os.path.join(folder, "f%03d.txt" % f), "wb") as out:
                        out.write(b"x")
            plant(root, {"d199/late.exe": cls.sick})
        mounted(w("long.img"), fill)
        make_disk(w("long.0"), "gpt", [w("long.img")])
        raw(w("long.1"), 8 * MiB)
        return [w("long.0"), w("long.1")]

    def test_image_names_its_packages_and_licences(self):
        listing = run("xorriso", "-indev", ISO, "-find", "/LICENSES", "-type", "f").stdout.decode()
        run("xorriso", "-osirrox", "on", "-indev", ISO, "-extract", "/LICENSES/PACKAGES.txt",
                       os.path.join(self.work, "PACKAGES.txt"))
        names = read(os.path.join(self.work, "PACKAGES.txt")).decode()
        for package in ("linux-image-", "shim-signed ", "grub-efi-amd64-signed ", "grub-pc-bin ", "busybox-static ",
                        "ntfs-3g ", "libc6 ", "cryptsetup-bin ", "dislocker ", "util-linux "):
            self.assertRegex(names, r"(?m)^%s\S* \S+ \(source: " % package.strip())
            self.assertIn("/LICENSES/" + package.strip(), listing)

    @staticmethod
    def boot_table():
        """The boots. expected: check (every disk byte for byte), clean, refused (Secure Boot stops
        a changed kernel), or a row's own name where it checks more."""
        down_enter = ("GNU GRUB", ["down", "ret"])
        bl = bitlocker_keys()
        wrong = bl["bitlk-aes-cbc-128"]  # a recovery key, of another volume
        return [
            Row("bios-cd-check", "bios", "cd", None, [ENTER], "check", "standard"),
            Row("uefi-usb-check", "uefi", "usb", None, [ENTER], "check", "standard"),
            Row("secure-usb-clean-cfg", "secure", "usb", "mode = clean\r\nafter = poweroff\r\n", [], "clean", "standard"),
            Row("uefi-cd-clean-menu", "uefi", "cd", None, [down_enter, ENTER], "clean", "standard"),
            Row("bios-usb-bad-cfg", "bios", "usb", "mode = clean\nmode: clean\n", [ENTER], "check", "standard"),
            Row("secure-changed-kernel", "secure", "usb", None, [], "refused", "standard"),
            Row("pxe-check", "bios", "pxe", None, [ENTER], "check", "standard"),
            Row("xp-fat32-and-sticks", "uefi", "usb", "mode = clean\nafter = poweroff\n", [], "xp", "xp"),
            Row("ten-volumes", "bios", "cd", None, [ENTER], "ten", "ten"),
            Row("bitlocker", "uefi", "usb", "mode = clean\nbitlocker-key = %s\n" % bl["bitlk-aes-xts-128"].replace("-", ""),
                [("Recovery key:", digits(wrong)), ("Recovery key:", digits(bl["bitlk-togo-aes-xts-128"])),
                 ("Recovery key:", ["ret"]), ENTER], "bitlocker", "bitlocker"),
            Row("long-scan", "bios", "usb", None, [ENTER], "long", "long"),
            Row("reboot-twice", "bios", "usb", "mode = clean\nafter = reboot\n", [ENTER], "reboot", "standard"),
        ]

    def media(self, row):
        w = self.w
        if row.media == "pxe":
            return PXE
        image = w(row.name + ".iso")
        shutil.copy(ISO, image)
        if row.expected == "refused":
            # One byte of the kernel's code changed: its signature no longer matches.
            lba = run("xorriso", "-indev", image, "-find", "/boot/vmlinuz", "-exec", "report_lba", "--").stdout
            start = int(next(l for l in lba.decode().splitlines() if "/boot/vmlinuz" in l).split(",")[1]) * 2048
            with open(image, "r+b") as f:
                f.seek(start + 0x100000)
                byte = f.read(1)
                f.seek(start + 0x100000)
                f.write(bytes([byte[0] ^ 0xFF]))
        at = "%s@@%d" % (image, partitions(image)[2][0])
        if row.cfg:
            with open(w(row.name + ".cfg"), "w", newline="") as f:
                f.write(row.cfg)
            run("mcopy", "-i", at, w(row.name + ".cfg"), "::/quenfold.cfg")
        if row.expected == "bitlocker":  # the startup key, as Windows saved it
            with tarfile.open(os.path.join(HERE, "data", "bitlk-images.tar.xz")) as tar:
                bek = tar.extractfile("bitlk-images/AA80A52B-9B66-47AE-B097-33F536FFBB07.BEK").read()
            with open(w("startup.BEK"), "wb") as f:
                f.write(bek)
            run("mcopy", "-i", at, w("startup.BEK"), "::/AA80A52B-9B66-47AE-B097-33F536FFBB07.BEK")
        return image

    def boot(self, row):
        disks = [self.w("%s.d%d" % (row.name, n)) for n in range(len(self.sets[row.disks]))]
        for original, copy in zip(self.sets[row.disks], disks):
            run("cp", "--sparse=always", original, copy)
        refused = row.expected == "refused"
        media = self.media(row)
        boot = Boot(self.work, row.name, row.firmware, row.media, media, disks, row.keys,
                    stop_at="bad shim signature" if refused else None)
        serial = boot.run()
        if row.expected == "reboot":  # the same stick and disks again, after the restart
            boot.serial_first = serial
            again = Boot(self.work, row.name + "-again", row.firmware, row.media, media, disks, row.keys)
            boot.again = again.run()
        return boot, serial, disks

    def test_boots(self):
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            results = list(pool.map(self.boot, self.table))
        for row, (boot, serial, disks) in zip(self.table, results):
            with self.subTest(row.name):
                print("%s: summary after %s s" % (row.name, "%.1f" % boot.summary_at if boot.summary_at else "-"),
                      file=sys.stderr)
                getattr(self, "check_" + {"check": "standard", "clean": "standard"}.get(row.expected, row.expected))(
                    row, boot, serial, disks)

    def summary(self, serial):
        """The summary as the serial line got it: from the PC's verdict to the report's line."""
        return serial[serial.rindex("This PC: "):]

    def assert_unchanged(self, row, disks, which):
        for n in which:
            self.assertEqual(self.sha(disks[n]), self.originals[row.disks][n], "disk %d changed (%s)" % (n, caller()))

    def check_refused(self, row, boot, serial, disks):
        self.assertIn("bad shim signature", serial)
        self.assertNotIn("Quenfold Rescue 1", serial.split("GNU GRUB")[-1])

    def check_standard(self, row, boot, serial, disks):
        w = self.w
        self.assertEqual(boot.ended, 0, serial)
        self.assertIn("Powering off.", serial)
        summary = self.summary(serial)
        self.assertIn("hold Shift while you click Shut down", summary, "the hibernated volume's next step")
        self.assertIn("NOT SCANNED", summary, "the BitLocker volume that cannot be read")
        self.assertIn("1 volume was not fully scanned", summary.splitlines()[0])
        self.assertEqual("Secure Boot: on, the kernel is locked down" in serial, row.firmware == "secure")
        # The hibernated and BitLocker volumes stay as they were in every mode.
        self.assert_unchanged(row, disks, [1])
        if row.expected == "check":
            self.assertIn("Mode: check. Nothing on this PC is changed.", serial)
            self.assertIn("Zaverin found on this system; nothing was changed.", serial)
            self.assert_unchanged(row, disks, [0])
            if row.cfg:
                self.assertIn("quenfold.cfg line 2 cannot be read: mode: clean", serial)
        else:
            self.assertIn("Zaverin found on this system, and has been disabled.", serial)
            for number, image in ((1, "system.img"), (2, "data.img")):
                part = cut(disks[0], number, w(row.name + "." + image))
                found, hives = mounted(part, contents)
                want, want_hives = self.repaired[image]
                report = {p for p in found if p.startswith("quenfold-rescue-")}
                self.assertEqual(set(found) - report, set(want), image)
                self.assertEqual(hives, want_hives, image)
                if row.media == "cd":
                    self.assertEqual(len(report), 1, "the cleaned volume's own report")
        if row.media == "usb":
            report = self.stick(row)
            self.assertIn("has been disabled." if row.expected == "clean" else "nothing was changed.", report)

    def check_xp(self, row, boot, serial, disks):
        self.assertEqual(boot.ended, 0, serial)
        self.assertIn("Mode: clean.", serial, "the PC's own QFRESCUE partition is no settings file")
        summary = self.summary(serial)
        for volume in ('C: (no label), 64.0 MB, FAT32 (sda1): Windows system', '"NAMES"', '"QFRESCUE"', '"STICK"', '"OLDSTICK"', '"EXSTICK"'):
            self.assertIn(volume, summary)
        # XP's registry and its infected programs are repaired as on NTFS.
        part = cut(disks[0], 1, self.w("xp-after.img"))
        listing = run("mdir", "-/", "-b", "-i", part, "::/").stdout.decode()
        self.assertNotIn("system32.exe", listing.lower())
        self.assertEqual(read_values_fat(part, self.work), [("Userinit", REG_SZ, "C:\\WINDOWS\\system32\\userinit.exe\0".encode("utf-16-le"))])
        for disk, number, name in ((1, 1, "SETUP.EXE"), (2, None, "PLAY.EXE")):
            image = cut(disks[disk], number, self.w("stick-after.img")) if number else disks[disk]
            self.assertNotIn(name, run("mdir", "-/", "-b", "-i", image, "::/").stdout.decode().upper())
        # The dirty exFAT stick is read, never written; the decoy partition is scanned as any other.
        self.assert_unchanged(row, disks, [3])
        self.assertRegex(summary, r'"EXSTICK".*\n.*INFECTED')
        self.assertIn("let the check finish", summary)
        report = self.stick(row)
        self.assert_one_verdict_each(report, 6)

    def check_ten(self, row, boot, serial, disks):
        self.assertEqual(boot.ended, 0, serial)
        self.assert_unchanged(row, disks, [0, 1])
        summary = self.summary(serial)
        self.assertIn("-- Page 1 of ", serial, "the summary is paged, never cut")
        for said in ("ReFS", "dynamic disk", "Storage Spaces", "swap space", "empty", "Linux"):
            self.assertIn(said, summary)
        self.assertEqual(len(re.findall(r"(?m)^ *INFECTED", summary)), 2, summary)
        self.assertIn("lzx.exe: infected", serial, "a program that Windows compressed is read")
        self.assertIn("INFECTED: 2 infected files", summary)
        self.assertEqual(len(re.findall(r"(?m)^ ?\d+\. ", summary)), 11, summary)

    def check_bitlocker(self, row, boot, serial, disks):
        self.assertEqual(boot.ended, 0, serial)
        summary = self.summary(serial)
        report = self.stick(row)
        for key in filter(None, self.keys.values()):
            for text in (serial, report):
                self.assertNotIn(key, text)
                self.assertNotIn(key.replace("-", ""), text)
        self.assertIn("That key does not open this volume.", serial)
        self.assertEqual(serial.count("The key opens this volume."), 1)
        volumes = re.split(r"(?m)^ ?\d+\. ", summary)[1:]
        self.assertEqual(len(volumes), 6, summary)
        # The NVMe disk's plain volume comes first; then the suspended one, read only; the three
        # opened by a key (in quenfold.cfg, typed after a wrong one, a .BEK file) are cleaned.
        self.assertIn("BitLocker is suspended", volumes[1])
        self.assertIn("INFECTED", volumes[1])
        for n in (2, 3, 4):
            self.assertIn("CLEANED", volumes[n], volumes[n])
        self.assertIn("FAT32, BitLocker", volumes[3])
        self.assertIn("no recovery key was typed", volumes[5])

    def check_long(self, row, boot, serial, disks):
        self.assertEqual(boot.ended, 0, serial)
        self.assert_unchanged(row, disks, [0, 1])
        lines = [l for l in serial.splitlines() if l.startswith("progress:")]
        self.assertTrue(lines, "progress on the serial line while it scans")
        self.assertIn("late.exe: infected", serial)

    def check_reboot(self, row, boot, serial, disks):
        self.assertIn("Restarting.", serial)
        self.assertIn("has been disabled.", serial)
        self.assertIn("The last run of this stick cleaned this PC and restarted it", boot.again)
        self.assertIn("Mode: check.", boot.again)
        self.assertIn("Powering off.", boot.again)

    def assert_one_verdict_each(self, report, volumes):
        """Exactly one verdict line per volume in the report, and no raw control character."""
        where = caller()
        self.assertIsNone(re.search("[\x00-\x08\x0b-\x1f\x7f\u0080-\u009f\u200e\u200f\u202a-\u202e\u2066-\u2069]", report))
        self.assertEqual(len(re.findall(r"(?m)^    (No Zaverin|INFECTED|CLEANED|NOT )", report)), volumes, (where, report))
        self.assertIsNone(re.search(r"(?m)^No Zaverin found", report), "the worm's own sentence never starts a line (%s)" % where)

    def stick(self, row):
        """The report that the boot left on the stick's QFRESCUE partition."""
        image = self.w(row.name + ".iso")
        at = "%s@@%d" % (image, partitions(image)[2][0])
        listing = run("mdir", "-b", "-i", at, "::/reports").stdout.decode().split()
        texts = [p for p in listing if p.endswith(".txt") and not p.endswith("README.txt")]
        self.assertEqual(len(texts), 1, (caller(), listing))
        if os.environ.get("QF_RESCUE_SCREENS"):
            shutil.copy(image, os.path.join(os.environ["QF_RESCUE_SCREENS"], row.name + ".stick"))
        return run("mtype", "-i", at, texts[0]).stdout.decode("utf-8", "replace")

    def sha(self, path):
        return hashlib.sha256(read(path)).hexdigest()


def read_values_fat(image, work):
    """XP's Winlogon values, from the SOFTWARE hive on the FAT image."""
    hive = os.path.join(work, "xp-software")
    run("mcopy", "-o", "-i", image, "::/" + SOFTWARE, hive)
    return [v for v in read_values(hive, WINLOGON) if v[0] == "Userinit"]


if __name__ == "__main__":
    ISO, PXE, QFSCAN = (os.path.abspath(a) for a in sys.argv[1:4])
    del sys.argv[1:4]
    unittest.main()
