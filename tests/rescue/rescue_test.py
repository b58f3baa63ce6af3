#!/usr/bin/python3
"""Quenfold Rescue booted in QEMU (TCG, no KVM), as a PC boots it: from CD, USB stick or the
network, on BIOS, UEFI and UEFI with Secure Boot, against disks made here (GPT and MBR; a
Windows system volume with real hives, a data volume, a hibernated volume, a BitLocker one).
One table of boots; afterwards the serial console, the stick's QFRESCUE partition and the disks
are read.

  rescue_test.py ISO PXE_DIR QFSCAN [unittest options]

QF_SAMPLES names the sample programs' folder; QF_RESCUE_SCREENS, when set, a folder for a
screenshot of each boot's summary."""
import concurrent.futures
import hashlib
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "offline"), os.path.join(HERE, "..", "support")]
from hive_fixture import read_values  # noqa: E402
import offline_test  # noqa: E402  (as a module: its test cases are not this file's)
from offline_test import HIVES, RUN, SOFTWARE, WINLOGON, WOW_RUN  # noqa: E402
from fixtures import infected, plant, read, sample  # noqa: E402

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


def make_disk(path, table, parts):
    """A disk of the partition images parts (1 MiB apart), with an MBR or GPT table."""
    at, layout = MiB, []
    for image in parts:
        size = os.path.getsize(image)
        layout.append("start=%d, size=%d, type=%s" % (at // 512, size // 512, "7" if table == "dos" else
                                                       "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"))
        at += size + MiB
    with open(path, "wb") as f:
        f.truncate(at + MiB)
    run("sfdisk", "-q", path, input=("label: %s\n" % table + "\n".join(layout) + "\n").encode())
    at = MiB
    for image in parts:
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


class Boot:
    """One QEMU run: firmware bios/uefi/secure, media cd/usb/pxe; keys are (text on the serial
    console, keys to send) pairs, sent in order as each text shows."""
    def __init__(self, work, name, firmware, media, image, disks, keys=(), stop_at=None):
        self.work, self.name, self.serial = work, name, os.path.join(work, name + ".serial")
        monitor = os.path.join(work, name + ".mon")
        # The memory the README promises. On UEFI, GRUB 2.06 keeps a quarter of it as its heap and
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
        # The system disk on SATA (AHCI), the other on NVMe.
        command += ["-drive", "if=none,id=d0,format=raw,file=" + disks[0], "-device", "ide-hd,drive=d0,bus=sata.1",
                    "-drive", "if=none,id=d1,format=raw,file=" + disks[1], "-device", "nvme,drive=d1,serial=qf1"]
        self.command, self.monitor, self.keys, self.stop_at = command, monitor, list(keys), stop_at
        self.summary_at = None
        self.screenshot = None
        self.sock = None

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

    def run(self, timeout=300):
        """Boots; returns the serial console's text when QEMU has ended."""
        started = time.monotonic()
        qemu = subprocess.Popen(self.command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            while qemu.poll() is None and time.monotonic() - started < timeout:
                time.sleep(0.5)
                text = self.text()
                if self.stop_at and self.stop_at in text:
                    break
                if self.summary_at is None and any(end in text for end in SUMMARY_END):
                    self.summary_at = time.monotonic() - started
                    screens = os.environ.get("QF_RESCUE_SCREENS")
                    if screens:
                        time.sleep(1)
                        os.makedirs(screens, exist_ok=True)
                        self.screenshot = os.path.join(screens, self.name + ".ppm")
                        self.hmp("screendump " + self.screenshot)
                if self.keys and self.keys[0][0] in text:
                    for key in self.keys.pop(0)[1]:
                        self.hmp("sendkey " + key)
        finally:
            if self.sock:
                self.sock.close()
            if qemu.poll() is None:
                qemu.kill()
            err = qemu.communicate()[1].decode()
        self.ended = qemu.returncode
        return self.text() + ("\n[qemu: %s]" % err.strip() if err.strip() else "")


class Rescue(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="qf-rescue.")
        w = lambda name: os.path.join(cls.work, name)
        # The Windows system of the offline tests, on its own NTFS volume.
        system = offline_test.NtfsVolume("make_root")
        system.setUp()
        system.unmount()
        shutil.move(system.image, w("system.img"))
        system.tearDown()
        sick, clean = infected(sample("sample32.exe")), sample("sample32.exe")
        new_ntfs(w("data.img"), 32 * MiB, "DATA")
        mounted(w("data.img"), lambda r: plant(r, {"Games/setup.exe": sick, "Games/ok.exe": clean}))
        # Windows' Fast Startup leaves hiberfil.sys with its signature; the volume holds the worm too.
        new_ntfs(w("hiber.img"), 32 * MiB, "HIBER")
        mounted(w("hiber.img"), lambda r: plant(r, {"hiberfil.sys": b"HIBR" + bytes(8188), "Tools/sick.exe": sick}))
        with open(w("bitlocker.img"), "wb") as f:
            f.write(b"\xeb\x58\x90-FVE-FS-" + bytes(range(256)) * 64)
            f.truncate(16 * MiB)
        make_disk(w("disk0"), "gpt", [w("system.img"), w("data.img")])
        make_disk(w("disk1"), "dos", [w("hiber.img"), w("bitlocker.img")])
        # What qfscan --offline --delete (--delete on data volumes) makes of the same volumes.
        cls.repaired = {}
        for image, offline in (("system.img", True), ("data.img", False)):
            shutil.copy(w(image), w("expected-" + image))
            cls.repaired[image] = mounted(w("expected-" + image), lambda r: (
                subprocess.run([QFSCAN] + (["--offline", r] if offline else []) + ["--delete"] + ([] if offline else [r]),
                               capture_output=True), contents(r))[1])
        cls.originals = {d: hashlib.sha256(read(w(d))).hexdigest() for d in ("disk0", "disk1")}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def test_image_names_its_packages_and_licences(self):
        listing = run("xorriso", "-indev", ISO, "-find", "/LICENSES", "-type", "f").stdout.decode()
        run("xorriso", "-osirrox", "on", "-indev", ISO, "-extract", "/LICENSES/PACKAGES.txt",
                       os.path.join(self.work, "PACKAGES.txt"))
        names = read(os.path.join(self.work, "PACKAGES.txt")).decode()
        for package in ("linux-image-", "shim-signed ", "grub-efi-amd64-signed ", "grub-pc-bin ", "busybox-static ",
                        "ntfs-3g ", "libc6 "):
            self.assertRegex(names, r"(?m)^%s\S* \S+ \(source: " % package.strip())
            self.assertIn("/LICENSES/" + package.strip(), listing)

    def boot_table(self):
        """(name, firmware, media, quenfold.cfg on the stick, keys, expected) where expected is
        check (every disk byte for byte), clean, or refused (Secure Boot stops a changed kernel)."""
        down_enter = ("GNU GRUB", ["down", "ret"])
        enter = ("Press Enter to power off.", ["ret"])
        return [
            ("bios-cd-check", "bios", "cd", None, [enter], "check"),
            ("uefi-usb-check", "uefi", "usb", None, [enter], "check"),
            ("secure-usb-clean-cfg", "secure", "usb", "mode = clean\r\nafter = poweroff\r\n", [], "clean"),
            ("uefi-cd-clean-menu", "uefi", "cd", None, [down_enter, enter], "clean"),
            ("bios-usb-bad-cfg", "bios", "usb", "mode = clean\nmode: clean\n", [enter], "check"),
            ("secure-changed-kernel", "secure", "usb", None, [], "refused"),
            ("pxe-check", "bios", "pxe", None, [enter], "check"),
        ]

    def media(self, name, media, cfg, changed_kernel):
        w = lambda n: os.path.join(self.work, n)
        if media == "pxe":
            return PXE
        image = w(name + ".iso")
        shutil.copy(ISO, image)
        if changed_kernel:
            # One byte of the kernel's code changed: its signature no longer matches.
            lba = run("xorriso", "-indev", image, "-find", "/boot/vmlinuz", "-exec", "report_lba", "--").stdout
            start = int(next(l for l in lba.decode().splitlines() if "/boot/vmlinuz" in l).split(",")[1]) * 2048
            with open(image, "r+b") as f:
                f.seek(start + 0x100000)
                byte = f.read(1)
                f.seek(start + 0x100000)
                f.write(bytes([byte[0] ^ 0xFF]))
        if cfg:
            with open(w(name + ".cfg"), "w", newline="") as f:
                f.write(cfg)
            run("mcopy", "-i", "%s@@%d" % (image, partitions(image)[2][0]), w(name + ".cfg"), "::/quenfold.cfg")
        return image

    def boot(self, row):
        name, firmware, media, cfg, keys, _ = row
        disks = [os.path.join(self.work, name + "." + d) for d in ("disk0", "disk1")]
        for d, copy in zip(("disk0", "disk1"), disks):
            run("cp", "--sparse=always", os.path.join(self.work, d), copy)
        refused = row[-1] == "refused"
        boot = Boot(self.work, name, firmware, media, self.media(name, media, cfg, refused), disks, keys,
                    stop_at="bad shim signature" if refused else None)
        return boot, boot.run(), disks

    def test_boots(self):
        table = self.boot_table()
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            results = list(pool.map(self.boot, table))
        for row, (boot, serial, disks) in zip(table, results):
            name, firmware, media, cfg, keys, expected = row
            with self.subTest(name):
                print("%s: summary after %s s" % (name, "%.1f" % boot.summary_at if boot.summary_at else "-"),
                      file=sys.stderr)
                self.check_boot(row, boot, serial, disks)

    def check_boot(self, row, boot, serial, disks):
        name, firmware, media, cfg, keys, expected = row
        w = lambda n: os.path.join(self.work, n)
        if expected == "refused":
            self.assertIn("bad shim signature", serial)
            self.assertNotIn("Quenfold Rescue 1", serial.split("GNU GRUB")[-1])
            return
        self.assertEqual(boot.ended, 0, serial)
        self.assertIn("Powering off.", serial)
        self.assertIn("hibernated", serial)
        self.assertIn("locked with BitLocker; not touched.", serial)
        self.assertEqual("Secure Boot: on, the kernel is locked down" in serial, firmware == "secure")
        # The hibernated and BitLocker volumes stay as they were in every mode.
        self.assertEqual(self.sha(disks[1]), self.originals["disk1"])
        if expected == "check":
            self.assertIn("Mode: check. Nothing on this PC is changed.", serial)
            self.assertIn("Zaverin found on this system; nothing was changed.", serial)
            self.assertEqual(self.sha(disks[0]), self.originals["disk0"], "check changes no byte")
            if cfg:
                self.assertIn("quenfold.cfg line 2 cannot be read: mode: clean", serial)
        else:
            self.assertIn("Zaverin found on this system, and has been disabled.", serial)
            for number, image in ((1, "system.img"), (2, "data.img")):
                part = cut(disks[0], number, w(name + "." + image))
                found, hives = mounted(part, contents)
                want, want_hives = self.repaired[image]
                report = {p for p in found if p.startswith("quenfold-rescue-")}
                self.assertEqual(set(found) - report, set(want), image)
                self.assertEqual(hives, want_hives, image)
                if media == "cd":
                    self.assertEqual(len(report), 2, "the volume's own report, text and JSON lines")
        if media == "usb":
            self.stick(name, boot, expected)

    def stick(self, name, boot, expected):
        """The reports that the boot left on the stick's QFRESCUE partition."""
        image = os.path.join(self.work, name + ".iso")
        at = "%s@@%d" % (image, partitions(image)[2][0])
        listing = run("mdir", "-b", "-i", at, "::/reports").stdout.decode().split()
        texts = [p for p in listing if p.endswith(".txt") and not p.endswith("README.txt")]
        self.assertEqual(len(texts), 1, listing)
        report = run("mtype", "-i", at, texts[0]).stdout.decode()
        self.assertIn("Quenfold Rescue", report)
        verdict = "has been disabled." if expected == "clean" else "nothing was changed."
        self.assertIn(verdict, report)
        self.assertEqual(len([p for p in listing if p.endswith(".jsonl")]), 3, "the system, data and hibernated volumes")
        if os.environ.get("QF_RESCUE_SCREENS"):
            shutil.copy(image, os.path.join(os.environ["QF_RESCUE_SCREENS"], name + ".stick"))

    def sha(self, path):
        return hashlib.sha256(read(path)).hexdigest()


if __name__ == "__main__":
    ISO, PXE, QFSCAN = (os.path.abspath(a) for a in sys.argv[1:4])
    del sys.argv[1:4]
    unittest.main()
