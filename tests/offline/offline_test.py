#!/usr/bin/python3
"""qfscan --offline on a test volume laid out as a real Windows system (mixed-case folders, a
64-bit system with its 32-bit view, two users), with hives built by hivex: the hives and files
after a run and after a dry run, and the faults: a hive not closed cleanly, a write cut short
between commit and rename, and bad input.

  offline_test.py QFSCAN [unittest options]"""
import json
import os
import fcntl
import pathlib
import pty
import re
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import termios
import unittest

sys.path[:0] = [os.path.dirname(os.path.abspath(__file__)),
                os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support")]
from hive_fixture import (REG_BINARY, REG_EXPAND_SZ, REG_SZ, build_hive, make_dirty, read_values,  # noqa: E402
                          repeat_first_value, security_descriptor, sid)
from fixtures import attributes, caller, compact, fingerprint, infected, paused_run, plant, read, sample  # noqa: E402

QFSCAN = None
RUN = r"Microsoft\Windows\CurrentVersion\Run"
WOW_RUN = "Wow6432Node\\" + RUN
WINLOGON = r"Microsoft\Windows NT\CurrentVersion\Winlogon"
PROFILE_LIST = r"Microsoft\Windows NT\CurrentVersion\ProfileList"
SOFTWARE = "WINDOWS/System32/config/SOFTWARE"
ALICE, BOB = "Users/Alice/NTUSER.DAT", "Documents and Settings/Bob/ntuser.dat"
HIVES = (SOFTWARE, ALICE, BOB)
DEEP = "Program Files/Vendor/App/" + "/".join("level%d" % i for i in range(10)) + "/sick.exe"
# What a repair takes from the test system: the infected programs that its Run values start or the
# scan finds, and the files the worm drops (in other letter cases than its own names).
TAKEN = {DEEP, "Program Files/Vendor/App/tool.exe", "Program Files/Other/x.exe", "WINDOWS/SysWOW64/sick32.exe",
         "WINDOWS/System32/worm.exe", "Users/Alice/AppData/evil.exe", "WINDOWS/system32.exe", "WINDOWS/services.EXE",
         "WINDOWS/System32/RUND1132.exe", "MSVBVM60.DLL"}


def sz(text):
    return (text + "\0").encode("utf-16-le")


class Layout(unittest.TestCase):
    """The test system, planted at self.root (made by make_root)."""
    links = True  # the volume holds symbolic links (FAT holds none)

    def make_root(self):
        pass

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="qf-offline.")
        self.root = os.path.join(self.work, "mnt")
        self.make_root()
        sick, clean = infected(sample("sample32.exe")), sample("sample32.exe")
        plant(self.root, {
            DEEP: sick, "Program Files/Vendor/App/tool.exe": infected(clean, 0), "Program Files/Other/x.exe": sick,
            "WINDOWS/notepad.exe": clean, "WINDOWS/SysWOW64/sick32.exe": sick, "WINDOWS/System32/worm.exe": sick,
            "Users/Alice/AppData/evil.exe": sick, "Documents and Settings/Bob/readme.txt": b"hi",
            # What the worm drops, in other letter cases than its own names.
            "WINDOWS/system32.exe": b"MZ", "WINDOWS/services.EXE": b"MZ", "WINDOWS/System32/RUND1132.exe": b"MZ",
            "MSVBVM60.DLL": b"MZ"})
        if self.links:
            os.symlink("../Users", self.path("Documents and Settings/All Users"))
        self.software = {
            r"Microsoft\Windows NT\CurrentVersion": [("SystemRoot", REG_SZ, "C:\\WINDOWS")],
            r"Microsoft\Windows\CurrentVersion": [("ProgramFilesDir", REG_SZ, "C:\\Program Files")],
            WINLOGON: [("Shell", REG_SZ, "explorer.exe"),
                       ("Userinit", REG_SZ, "C:\\WINDOWS\\system32\\userinit.exe,C:\\WINDOWS\\system32.exe")],
            RUN: [("Deep", REG_SZ, '"C:\\PROGRAM FILES\\vendor\\' + DEEP.split("/", 2)[2].replace("/", "\\") + '" /s'),
                  ("Tool", REG_EXPAND_SZ, '"%ProgramFiles%\\Vendor\\App\\tool.exe" -x'),
                  ("Clean", REG_SZ, "C:\\windows\\NOTEPAD.exe"), ("Gone", REG_SZ, "C:\\WINDOWS\\missing.exe")],
            WOW_RUN: [("Wow", REG_SZ, "C:\\WINDOWS\\system32\\sick32.exe")]}
        self.users = {ALICE: [("Ali", REG_EXPAND_SZ, "%USERPROFILE%\\AppData\\evil.exe"),
                              ("Keep", REG_SZ, "C:\\WINDOWS\\notepad.exe")],
                      BOB: [("bob", REG_SZ, "worm /q")]}
        self.build_hives()

    def tearDown(self):
        shutil.rmtree(self.work)

    def path(self, relative):
        return os.path.join(self.root, relative)

    def read(self, relative):
        return read(self.path(relative))

    def build_hives(self):
        for hive, layout in [(SOFTWARE, self.software)] + [(h, {"Software\\" + RUN: v}) for h, v in self.users.items()]:
            os.makedirs(os.path.dirname(self.path(hive)), exist_ok=True)
            self.build_hive(self.path(hive), layout)

    def build_hive(self, path, layout):
        build_hive(path, layout)

    def qfscan(self, *args, strace=None, env=None):
        command = [QFSCAN, "--offline", self.root] + list(args)
        if strace:
            command = ["strace", "-f", "-o", "/dev/null", "-e", "trace=rename,renameat,renameat2",
                       "-e", "inject=rename,renameat,renameat2:signal=KILL:when=%d" % strace] + command
        done = subprocess.run(command, capture_output=True, text=True, timeout=300, env=env and dict(os.environ, **env))
        return done.returncode, done.stdout, done.stderr

    def names(self, hive, key):
        return [v[0] for v in read_values(self.path(hive), key) or []]


class Offline(Layout):
    def test_repair(self):
        originals = {h: self.read(h) for h in HIVES}
        runs = read_values(self.path(SOFTWARE), RUN)
        code, out, err = self.qfscan("--delete")
        self.assertEqual((code, err), (1, ""), out)
        self.assertIn("Zaverin found on this system, and has been disabled.\nscanning ", out)
        self.assertNotIn("STATUS: idle", out, "the window's texts are the window's")
        self.assertIn(self.path("Program Files/Other/x.exe") + ": infected, deleted", out)
        self.assertEqual(read_values(self.path(SOFTWARE), RUN), runs[2:], "the clean values, byte for byte")
        self.assertEqual(self.names(SOFTWARE, WOW_RUN), [])
        self.assertEqual(read_values(self.path(SOFTWARE), WINLOGON),
                         [("Shell", REG_SZ, sz("explorer.exe")), ("Userinit", REG_SZ, sz("C:\\WINDOWS\\system32\\userinit.exe"))])
        self.assertEqual(self.names(ALICE, "Software\\" + RUN), ["Keep"])
        self.assertEqual(self.names(BOB, "Software\\" + RUN), [])
        self.assertEqual({h: self.read(h + ".qfbak") for h in HIVES}, originals)
        left = set(fingerprint(self.root))
        self.assertEqual(TAKEN & left, set())
        self.assertIn("WINDOWS/notepad.exe", left)

        # Again: nothing left to change, and the older backups stay as they are.
        code, out, _ = self.qfscan("--delete")
        self.assertEqual((code, "changed:" in out), (0, False), out)

    def test_a_write_cut_short_leaves_old_or_new_hives(self):
        originals = {h: self.read(h) for h in HIVES}
        code, _, _ = self.qfscan("--delete", strace=1)  # killed at the first rename: between commit and rename
        self.assertEqual(code, -9)
        self.assertEqual({h: self.read(h) for h in HIVES}, originals)
        self.qfscan("--delete", strace=2)  # killed at the second: one hive new, the others old
        self.assertEqual(self.names(SOFTWARE, RUN), ["Clean", "Gone"])
        self.assertEqual(self.read(BOB), originals[BOB])
        code, out, err = self.qfscan("--delete")
        self.assertEqual((code, err), (1, ""), out)
        self.assertEqual(self.names(BOB, "Software\\" + RUN), [])
        self.assertFalse(any(name.endswith(".qfnew") for name in os.listdir(self.path("WINDOWS/System32/config"))))

    def test_odd_values_and_paths_that_leave_the_volume_are_left(self):
        outside = os.path.join(self.work, "outside")
        plant(outside, {"x.exe": infected(sample("sample32.exe"))})
        os.symlink(outside, self.path("WINDOWS/linked"))
        self.software[RUN] = [("Bin", REG_BINARY, b"C:\\WINDOWS\\System32\\worm.exe"), ("Odd", REG_SZ, b"C\0:\0\\"),
                              ("Up", REG_SZ, "C:\\WINDOWS\\..\\..\\outside\\x.exe"),
                              ("Link", REG_SZ, "C:\\WINDOWS\\linked\\x.exe"), ("Other", REG_SZ, "D:\\x.exe")]
        self.build_hives()
        code, out, err = self.qfscan()
        self.assertEqual(code, 2)
        self.assertEqual(self.names(SOFTWARE, RUN), ["Bin", "Odd", "Up", "Link", "Other"])
        for reason in ("names no program", "leaves the volume", "goes through a link", "not on this volume"):
            self.assertIn(reason, err)
        self.assertTrue(os.path.exists(os.path.join(outside, "x.exe")))
        self.assertIn('would change: %s:%s: value "bob" deleted' % (BOB, "Software\\" + RUN), out)

    def test_nothing_changes_unless_asked(self):
        before = fingerprint(self.root)
        for args in ([], ["--dry-run"], ["--dry-run", "--delete"]):
            code, out, err = self.qfscan(*args)
            self.assertEqual((code, err), (1, ""), args)
            self.assertIn('would change: %s:%s: value "Deep" deleted' % (SOFTWARE, RUN), out)
            self.assertIn("Zaverin found on this system; nothing was changed.", out)
            self.assertEqual(fingerprint(self.root), before, args)

        aside = os.path.join(self.work, "aside")
        os.mkdir(aside)
        code, out, err = self.qfscan("--move", aside)
        self.assertEqual((code, err), (1, ""), out)
        after = fingerprint(self.root)
        self.assertEqual(set(before) - set(after), TAKEN)
        self.assertEqual(set(after) - set(before), {h + ".qfbak" for h in HIVES})
        self.assertEqual({p for p in after if p in before and after[p] != before[p]},
                         set(HIVES) | {os.path.dirname(p) for p in TAKEN | set(HIVES) if os.path.dirname(p)})
        for place in ("C:\\msvbvm60.dll: file the worm drops, moved to ", "worm.exe: infected program of a Run value, moved to "):
            self.assertIn(place, out)
        # The quarantine's index holds the files taken and the hive changes; --restore gives the
        # files back as they were.
        index = [json.loads(line) for line in read(os.path.join(aside, "index.jsonl")).splitlines()]
        files = [line for line in index if line["type"] == "file"]
        self.assertEqual(sorted(os.listdir(aside)), sorted(["index.jsonl"] + [line["stored"] for line in files]))
        self.assertEqual(sorted(line["path"] for line in files), sorted(os.path.join(self.root, p) for p in TAKEN))
        self.assertIn("file the worm drops", {line["why"] for line in files})
        self.assertIn('value "Deep" deleted', " ".join(line["change"] for line in index if line["type"] == "change"))
        done = subprocess.run([QFSCAN, "--restore", aside], capture_output=True, text=True, timeout=600)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        restored = fingerprint(self.root)
        self.assertEqual({p: restored[p] for p in TAKEN}, {p: before[p] for p in TAKEN})

    def test_hives_that_cannot_be_used_are_reported_and_left(self):
        """A hive that its system did not close cleanly, or that is none, and a volume without
        Windows stop the run before anything changes. A hive that is no file, goes through a link,
        is too large or that libhivex gives up on is reported, and left as it is."""
        def instead(make):  # something else under the hive's name
            return lambda path: (os.remove(path), make(path))

        log = b"regf" + bytes(0x1FC) + b"HvLE" + bytes(8) + (99).to_bytes(4, "little") + bytes(496)  # past the hive
        alice, libhivex = ALICE + ": %s; the Run key of user Alice was not checked", "damaged: libhivex gave up on it"
        cases = [  # (hive, what becomes of it, how, args, what stderr says, whether the whole run is refused)
            (ALICE, "dirty", make_dirty, ["--delete"], ALICE + ": its system did not close it cleanly", True),
            (SOFTWARE, "log ahead", lambda p: pathlib.Path(p + ".LOG1").write_bytes(log), ["--delete"],
             SOFTWARE + ": its system did not close it cleanly", True),
            (SOFTWARE, "cut", lambda p: os.truncate(p, os.path.getsize(p) - 4096), ["--delete"], SOFTWARE + ": cut short", True),
            (SOFTWARE, "zeros", lambda p: pathlib.Path(p).write_bytes(bytes(8192)), ["--delete"], SOFTWARE + ": not a registry hive", True),
            (SOFTWARE, "no Windows", lambda p: (shutil.rmtree(self.root), os.mkdir(self.root)), ["--delete"],
             "not a Windows system volume", True),
            (ALICE, "folder", instead(os.mkdir), ["--delete"], alice % "not a file", False),
            (ALICE, "link", instead(lambda p: os.symlink("../Bob/ntuser.dat", p)), ["--delete"],
             alice % "goes through a link", False),
            (ALICE, "fifo", instead(os.mkfifo), ["--delete"], alice % "not a file", False),
            (SOFTWARE, "damaged", lambda p: repeat_first_value(p, RUN), ["--delete"], libhivex + " (signal 6: ", False),
            (SOFTWARE, "damaged", lambda p: repeat_first_value(p, RUN), ["--dry-run"], libhivex + " (signal 6: ", False),
            (SOFTWARE, "sparse", lambda p: os.truncate(p, 2 << 30), ["--delete"],
             SOFTWARE + ": larger (2048 MiB) than any real hive", False),
        ]
        for hive, spoilt, spoil, args, said, refused in cases:
            with self.subTest(spoilt, args=args):
                self.tearDown()  # a fresh system for each case
                self.setUp()
                path = self.path(hive)
                spoil(path)
                folder, name = os.path.split(path)
                state = lambda: fingerprint(self.root) if refused else (fingerprint(folder)[name], sorted(os.listdir(folder)))
                before = state()
                code, out, err = self.qfscan(*args)
                self.assertEqual(code, 2, out + err)
                self.assertIn(said, err)
                if refused:
                    self.assertEqual(out, "", "refused before anything starts")
                self.assertNotIn("has been disabled", out)
                self.assertEqual(state(), before)


# What no screen or report may hold raw: C0 controls but the line feed, DEL, C1 controls (as
# UTF-8), bidi controls.
RAW_CONTROL = re.compile(rb"[\x00-\x09\x0b-\x1f\x7f]|\xc2[\x80-\x9f]|\xe2\x80[\x8e\x8f\xaa-\xae]|\xe2\x81[\xa6-\xa9]")
# The worm's own Userinit, with a line feed, the six characters \u000a, a CSI and a bidi control.
FORGED = "C:\\WINDOWS\\system32\\userinit.exe,C:\\WINDOWS\\system32.exe\nNo Zaverin found on this system.\\u000a\u009b2J\u202e"
SYSTEM_HIVE = "WINDOWS/System32/config/SYSTEM"
GUID = "00112233-4455-6677-8899-aabbccddeeff"
MOUNTED = {"MountedDevices": [("\\DosDevices\\C:", REG_BINARY, struct.pack("<IQ", 0x1A2B3C4D, 1 << 20)),
                              ("\\DosDevices\\D:", REG_BINARY, b"DMIO:ID:" + bytes.fromhex("33221100554477668899aabbccddeeff")),
                              ("\\DosDevices\\E:", REG_BINARY, "_??_USBSTOR#Disk".encode("utf-16-le"))]}


class RescueRuns:
    """qfscan --rescue-volume and --rescue-summary on the volume at self.root, with the init's
    records in self.work/vol and the outputs in files."""
    def record(self, number, **fields):
        os.makedirs(self.vol, exist_ok=True)
        lines = b"".join(k.encode() + b"=" + (v if isinstance(v, bytes) else v.encode()) + b"\n" for k, v in fields.items())
        pathlib.Path(self.vol, "%02d" % number).write_bytes(lines)

    def system_record(self, number=1, **more):
        self.record(number, device="/dev/sda%d" % number, size_bytes=str(8 << 30), mbr_signature="1A2B3C4D",
                    offset_bytes=str(1 << 20), state="scan", mount=self.root, **more)

    @property
    def vol(self):
        return os.path.join(self.work, "vol")

    def out(self, name):
        return os.path.join(self.work, name)

    def rescue(self, *args, env=None):
        outputs = ["--screen", self.out("screen"), "--serial", self.out("serial"), "--report", self.out("report")]
        done = subprocess.run([QFSCAN] + list(args) + outputs, capture_output=True, timeout=300,
                              env=env and dict(os.environ, **env))
        return done.returncode

    def summary_on_terminal(self, columns, rows):
        """The summary on a terminal of that size, which also gives the keys: a space (taken
        only once the terminal gives each key as it is typed) at each prompt. The exit code and
        what the terminal showed, without its own clearing and carriage returns."""
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
        terminal = os.ttyname(slave)
        summary = subprocess.Popen([QFSCAN, "--rescue-summary", self.vol, "--screen", terminal, "--keys", terminal,
                                    "--serial", self.out("serial"), "--report", self.out("report")])
        shown, prompts = b"", 0
        while summary.poll() is None or select.select([master], [], [], 0)[0]:
            if select.select([master], [], [], 0.1)[0]:
                shown += os.read(master, 65536)
            if shown.count(b"press Enter or space") > prompts:
                prompts += 1
                os.write(master, b"x ")  # a key that is none, then one that is
        os.close(master)
        os.close(slave)
        self.assertIsNone(RAW_CONTROL.search(shown.replace(b"\x1b[2J\x1b[H", b"").replace(b"\r", b"")), caller())
        return summary.returncode, shown.replace(b"\r\n", b"\n").decode()

    def result(self, number=1):
        return read(os.path.join(self.vol, "%02d.result" % number)).decode().splitlines()

    def assert_plain(self):
        """No raw control in any output (the screen's progress rewrites its line with CR), and the
        summary's verdicts one line each."""
        where = caller()
        for name in ("screen", "serial", "report"):
            data = read(self.out(name))
            self.assertIsNone(RAW_CONTROL.search(data.replace(b"\r", b"") if name == "screen" else data), (name, where))
        lines = read(self.out("report")).decode().split("\nQuenfold Rescue summary")[-1].splitlines()
        self.assertNotIn("No Zaverin found on this system.", [line.strip() for line in lines], where)
        return [line for line in lines if re.match(r"    \S", line) and not line.startswith("    Next: ")]


# SYSTEM and Administrators have full control, nobody else anything.
CLOSED = security_descriptor([(sid(5, 18), 0x1F01FF), (sid(5, 32, 544), 0x1F01FF)])
HIDDEN_SYSTEM_ARCHIVE = struct.pack(">I", 0x26)


def junction(path, target):
    """Makes the empty folder path a junction to target ("\\??\\C:\\Profiles"), through the reparse
    data that ntfs-3g takes as an extended attribute."""
    name, shown = target.encode("utf-16-le"), target[4:].encode("utf-16-le")
    body = struct.pack("<4H", 0, len(name), len(name) + 2, len(shown)) + name + b"\0\0" + shown + b"\0\0"
    os.setxattr(path, "system.ntfs_reparse_data", struct.pack("<IHH", 0xA0000003, len(body), 0) + body)


def security(path):
    found = attributes(path)
    return {n: found.get(n) for n in ("system.ntfs_acl", "system.ntfs_attrib_be")}


@unittest.skipUnless(os.path.exists("/dev/fuse") and shutil.which("mkntfs") and shutil.which("ntfs-3g"),
                     "no /dev/fuse or no ntfs-3g here: the NTFS volume cannot be mounted")
class NtfsVolume(RescueRuns, Layout):
    """The system on a real NTFS volume, mounted with ntfs-3g as rescue systems mount it."""
    def make_root(self):
        self.image = os.path.join(self.work, "ntfs.img")
        with open(self.image, "wb") as f:
            f.truncate(300 << 20)
        subprocess.run(["mkntfs", "-F", "-Q", "-q", self.image], check=True, capture_output=True)
        os.mkdir(self.root)
        self.mount()

    def mount(self, *options):
        subprocess.run(["ntfs-3g", *options, self.image, self.root], check=True)
        self.mounted = True

    def unmount(self):
        subprocess.run(["umount", self.root], check=True)
        self.mounted = False

    def tearDown(self):
        try:
            if self.mounted:
                self.unmount()
        finally:
            super().tearDown()

    def close(self, hives):
        for hive in hives:
            os.setxattr(self.path(hive), "system.ntfs_acl", CLOSED)
            os.setxattr(self.path(hive), "system.ntfs_attrib_be", HIDDEN_SYSTEM_ARCHIVE)
        return {h: security(self.path(h)) for h in hives}

    def test_files_windows_compressed(self):
        """Files that Windows 10 and 11 compress in place (CompactOS), in each algorithm: ntfs-3g alone
        cannot read them, and each is named as not scanned; with the plugin each is read and tested,
        and the infected ones go. A damaged one is never taken for clean."""
        sick, clean = infected(sample("sample32.exe")), sample("sample32.exe")
        files = {"WINDOWS/System32/x4k.exe": (sick, "xpress4k"), "WINDOWS/System32/lzx.exe": (sick, "lzx"),
                 "WINDOWS/System32/x8k.exe": (clean, "xpress8k"), "WINDOWS/x16k.exe": (sick, "xpress16k"),
                 "WINDOWS/damaged.exe": (sick, "xpress4k")}
        self.unmount()
        self.mount("-o", "streams_interface=windows")
        for name, (data, algorithm) in files.items():
            compact(self.path(name), data, algorithm, broken=name == "WINDOWS/damaged.exe")
        self.unmount()
        self.mount()

        code, out, err = self.qfscan()
        self.assertEqual(code, 2, out + err)
        for name in files:
            self.assertIn("skipped: %s: cannot be read: compressed by Windows (CompactOS), which this system's NTFS "
                          "driver cannot read\n" % self.path(name), err)
        self.assertIn("  Skipped %d\n" % len(files), out)

        # Mounted by an ntfs-3g that finds the build's plugin: its folder laid over the system's
        # library folder, in a mount namespace of its own, so that nothing of this system changes.
        self.unmount()
        script = ('mount -t overlay qf -o lowerdir="$0":/usr/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu && '
                  'ntfs-3g "$1" "$2" || exit 99; root=$2; shift 2; "$@"; code=$?; umount "$root"; exit $code')
        done = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", script,
                               os.path.join(os.path.dirname(QFSCAN), "plugins"), self.image, self.root,
                               QFSCAN, "--offline", self.root, "--delete"], capture_output=True, text=True, timeout=300)
        self.mount()
        code, out, err = done.returncode, done.stdout, done.stderr
        self.assertEqual(code, 2, out + err)
        for name, (data, _) in files.items():
            gone = name != "WINDOWS/damaged.exe" and data == sick
            self.assertEqual(self.path(name) + ": infected, deleted" in out, gone, name)
            self.assertEqual(os.path.lexists(self.path(name)), not gone, name)
        self.assertEqual(err, "skipped: %s: cannot be read: Input/output error\n" % self.path("WINDOWS/damaged.exe"))

    def test_profiles_and_windows_folders(self):
        """Users are found as Windows finds them, through ProfileList and in every profiles folder,
        following a junction only within the volume; the system's Windows folder is the one its own
        SOFTWARE names, not a copy."""
        def users_to(target):  # Users moves to Profiles, and a junction to target takes its place
            def change():
                os.rename(self.path("Users"), self.path("Profiles"))
                os.mkdir(self.path("Users"))
                junction(self.path("Users"), target)
            return change

        def move_alice():
            os.mkdir(self.path("Srv"))
            os.rename(self.path("Users/Alice"), self.path("Srv/Alice"))

        def copy(names_itself):  # Windows.bak's SOFTWARE names WINDOWS, as a copy's does, or itself
            os.makedirs(self.path("Windows.bak/System32/config"))
            build_hive(self.path("Windows.bak/System32/config/SOFTWARE"), {
                r"Microsoft\Windows NT\CurrentVersion": [
                    ("SystemRoot", REG_SZ, "C:\\Windows.bak" if names_itself else "C:\\WINDOWS")],
                RUN: [("Deep", REG_SZ, "C:\\Windows.bak\\System32\\worm.exe")]})

        alice, sid = "%SystemDrive%\\Users\\Alice", "S-1-5-21-7-7-7-1001"
        kept = ["Ali", "Keep"]
        cases = [  # (case, change of the volume, ProfileList's one user, args, exit code, what the run says,
                   #  where Alice's hive then lies, and its Run key)
            ("Users a junction on the volume", users_to(r"\??\C:\Profiles"), alice, [], 1,
             "system: Windows folder WINDOWS (C:\\WINDOWS, 64-bit), 2 user hive(s)", "Profiles/Alice/NTUSER.DAT", ["Keep"]),
            ("Users a junction off the volume", users_to(r"\??\D:\Profiles"), alice, [], 2,
             "skipped: C:\\Users\\Alice: goes through a link to D:\\Profiles, on another drive; "
             "the Run key of user Alice was not checked", "Profiles/Alice/NTUSER.DAT", kept),
            ("a profile outside Users", move_alice, "%SystemDrive%\\Srv\\Alice", [], 1, "2 user hive(s)",
             "Srv/Alice/NTUSER.DAT", ["Keep"]),
            ("a profile ProfileList does not name", None, "C:\\Users\\Gone", [], 1, "2 user hive(s)", ALICE, ["Keep"]),
            ("Windows beside Windows.bak", lambda: copy(False), alice, [], 1, "system: Windows folder WINDOWS", ALICE,
             ["Keep"]),
            ("two that name themselves", lambda: copy(True), alice, [], 2,
             "more than one Windows folder (WINDOWS, Windows.bak) is the one its own SOFTWARE names as SystemRoot; "
             "pick the system with --windows DIR", ALICE, kept),
            ("one of them picked", lambda: copy(True), alice, ["--windows", "windows"], 1,
             "system: Windows folder WINDOWS", ALICE, ["Keep"]),
        ]
        for case, change, profile, args, exit_code, says, hive, run in cases:
            with self.subTest(case):
                self.tearDown()  # a fresh volume for each case
                self.setUp()
                self.software[PROFILE_LIST + "\\" + sid] = [("ProfileImagePath", REG_EXPAND_SZ, profile)]
                self.build_hives()
                if change:
                    change()
                self.unmount()  # ntfs-3g shows a new junction once mounted again
                self.mount()
                code, out, err = self.qfscan("--delete", *args)
                self.assertEqual(code, exit_code, out + err)
                self.assertIn(says, out + err)
                self.assertEqual(self.names(hive, "Software\\" + RUN), run)
                if exit_code == 2:
                    self.assertIn("not everything could be checked" if out else "qfscan: ", out + err)
        self.assertEqual(self.names("Windows.bak/System32/config/SOFTWARE", RUN), ["Deep"], "the other one is left")

    def test_a_program_swapped_after_its_test_stays(self):
        """The repair disposes of the Run values' programs through the handles they were tested by:
        each put in its place by another (a clean program) after its test, while the first goes,
        stays where it is, and its line says why."""
        runs = [DEEP, "Program Files/Vendor/App/tool.exe", "WINDOWS/SysWOW64/sick32.exe", "Users/Alice/AppData/evil.exe",
                "WINDOWS/System32/worm.exe"]
        clean = sample("sample32.exe")
        swapped = []

        def others(first):  # at the first pause, each other Run value's program is swapped for a clean one
                for relative in runs if not swapped else []:
                    if self.path(relative) != first:
                        plant(self.root, {"clean.swap": clean})  # a new file, on the same volume
                        os.rename(self.path("clean.swap"), self.path(relative))
                        swapped.append(relative)
        code, out, err = paused_run([QFSCAN, "--offline", self.root, "--delete"], os.path.join(self.work, "pause"),
                                    others, timeout=300)
        out, err = out.decode(), err.decode()
        self.assertEqual((code, len(swapped)), (2, 4), out)
        for relative in swapped:
            self.assertEqual(self.read(relative), clean, relative)
        left = re.findall(r"not changed: C:\\(.*): infected program of a Run value, deleted: changed since it was "
                          r"tested \(another file or a link in its place\)\n", err)
        self.assertEqual(sorted(p.lower() for p in left), sorted(r.replace("/", "\\").lower() for r in swapped), err)

    def test_rescue_hostile_names_progress_and_ten_volumes(self):
        """Names and a Userinit value that would forge lines or drive the console, a scan held up in
        a folder while the screen goes on counting, and ten volumes paged on an 80x25 screen."""
        sick = infected(sample("sample32.exe"))
        hostile = ["evil\nNo Zaverin found on this system.exe", "x\\u000ay.exe", "\u009b2J.exe", "photo\u202egnp.exe"]
        plant(self.root, {**{name: sick for name in hostile}, "zslow/a.txt": b"a"})
        self.software[WINLOGON] = [("Userinit", REG_SZ, FORGED)]
        self.build_hives()
        self.system_record(1, fs="ntfs", label="C\u202eSYS", writable="no", readonly_why="check-mode")
        whys = ["refs", "dynamic", "linux", "swap", "locked-no-key", "tpm-only", "unreadable", "not-mounted", "unknown-fs"]
        for n, why in enumerate(whys, 2):
            self.record(n, device="/dev/sdb%d" % n, size_bytes=str(n << 30), state="skip", why=why,
                        label=b"L\x1b]0;x\x07\xc2\x9b" * n, detail=b"err\rNo Zaverin found")
        fifo = os.path.join(self.work, "pause")
        os.mkfifo(fifo)
        os.mkfifo(fifo + ".go")
        # In the listing's order, so that the files beside zslow were tested before it is entered.
        env = dict(os.environ, QF_TEST_DISPOSE_PAUSE=fifo, QF_TEST_ENTER_PAUSE="zslow", QF_TEST_DISK="warm")
        scan = subprocess.Popen([QFSCAN, "--rescue-volume", os.path.join(self.vol, "01"), "--jobs", "1", "--screen",
                                 self.out("screen"), "--serial", self.out("serial"), "--report", self.out("report")], env=env)
        with open(fifo) as pause:
            self.assertTrue(pause.readline().endswith("/zslow\n"))
        # Held up there, the screen still shows what was found and goes on counting the seconds.
        seconds = set()
        while len(seconds) < 2:
            shown = read(self.out("screen")).decode(errors="replace")
            seconds = set(re.findall(r"\rsda1: \d+ folders, [1-9]\d* files, [1-9]\d* infected, (\d+) s", shown))
        self.assertIn("photo\\u202egnp.exe: infected\n", shown)
        with open(fifo + ".go", "w") as go:
            go.write("x")
        self.assertEqual(scan.wait(timeout=300), 1)
        self.assertIn("infected=10", self.result())

        code, screen = self.summary_on_terminal(100, 30)
        self.assertEqual(code, 2)
        first, second = screen.split("\x1b[2J\x1b[H")[1:]  # page 2 only once a space was typed
        self.assertTrue(first.endswith("\n-- Page 1 of 2: press Enter or space for the next --\n"), first)
        self.assertIn("\n10.", second)
        self.assertTrue(all(len(row) <= 100 for row in screen.splitlines()), screen)
        for n in range(1, 11):
            self.assertIn("\n%2d." % n, screen)
        verdicts = self.assert_plain()
        self.assertEqual(len(verdicts), 10, verdicts)
        self.assertTrue(verdicts[0].startswith("    INFECTED: 10 infected files, the worm's registry entries"), verdicts)
        self.assertIn("Next: Boot this stick again and choose Clean this PC.", screen)

        # A clean pass whose hive changes fail: each is on the screen and in the report with its reason.
        self.system_record(1, fs="ntfs", writable="yes")
        self.assertEqual(self.rescue("--rescue-volume", os.path.join(self.vol, "01"), "--pass", "clean",
                                     env={"QF_TEST_FAIL_XATTR": "system.ntfs_acl"}), 2)
        self.assertIn("changes_failed=6", self.result())
        said = "not changed: %s:%s: value \"Ali\" deleted: it starts C:\\Users\\Alice\\AppData\\evil.exe, which is " \
               "infected: not replaced, since the new hive could not get the old one's security: its attribute " \
               "system.ntfs_acl cannot be copied: Operation not permitted\n" % (ALICE, "Software\\" + RUN)
        for name in ("screen", "report"):
            self.assertIn(said, read(self.out(name)).decode())
        self.assertEqual(self.rescue("--rescue-summary", self.vol, "--mode", "clean"), 2)
        self.assertIn("6 changes failed", self.assert_plain()[0])

    def test_hives_and_backups_keep_their_security(self):
        closed = self.close((SOFTWARE, ALICE))
        self.assertEqual(closed[ALICE]["system.ntfs_acl"], CLOSED, "ntfs-3g keeps what it is given")
        contents = {h: self.read(h) for h in HIVES}

        # Read-only: nothing is reported done, and the verdict does not say disabled.
        self.unmount()
        self.mount("-o", "ro")
        code, out, err = self.qfscan("--delete")
        self.assertEqual(code, 2, out)
        self.assertNotIn("changed: ", out)
        self.assertIn("Read-only file system", err)
        self.assertIn("not everything could be checked or changed", out)
        self.unmount()
        self.mount()

        # A descriptor that cannot be copied: no hive is replaced, and the run says why, apart from the change.
        code, out, err = self.qfscan("--delete", "--json", env={"QF_TEST_FAIL_XATTR": "system.ntfs_acl"})
        self.assertEqual(code, 2, out)
        records = [json.loads(line) for line in out.splitlines()]
        ali = next(r for r in records if r["type"] == "change" and r["change"].startswith('value "Ali" deleted'))
        self.assertEqual((ali["place"], ali["done"], ali["error"]), (
            ALICE + ":Software\\" + RUN, False,
            "not replaced, since the new hive could not get the old one's security: "
            "its attribute system.ntfs_acl cannot be copied: Operation not permitted"))
        self.assertTrue(ali["change"].endswith("which is infected"), ali)
        self.assertIn("not everything could be checked or changed", out)
        self.assertEqual({h: self.read(h) for h in contents}, contents)
        self.assertEqual([n for n in os.listdir(self.path("WINDOWS/System32/config")) if n != "SOFTWARE"], [])

        # That run took the programs of the Run values; put them back for the real one.
        sick = infected(sample("sample32.exe"))
        plant(self.root, {p: sick for p in (DEEP, "WINDOWS/System32/worm.exe", "Users/Alice/AppData/evil.exe")})
        taken = self.close((DEEP, "WINDOWS/System32/worm.exe"))
        aside = os.path.join(self.work, "aside")
        os.mkdir(aside)
        code, out, err = self.qfscan("--move", aside)
        self.assertEqual((code, err), (1, ""), out)
        # What the quarantine took from the volume comes back with its descriptor and DOS attributes.
        done = subprocess.run([QFSCAN, "--restore", aside], capture_output=True, timeout=600)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertEqual({p: security(self.path(p)) for p in taken}, taken)
        for remounted in (False, True):
            if remounted:
                self.unmount()
                self.mount()
            for hive in (SOFTWARE, ALICE):
                self.assertEqual(security(self.path(hive)), closed[hive], hive)
                self.assertEqual(security(self.path(hive) + ".qfbak"), closed[hive], hive)
            self.assertEqual(self.names(ALICE, "Software\\" + RUN), ["Keep"])
            self.assertEqual(self.read(ALICE + ".qfbak"), contents[ALICE])
        self.unmount()
        check = subprocess.run(["ntfsfix", "-n", self.image], capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)


@unittest.skipUnless(os.path.exists("/dev/fuse") and shutil.which("mkfs.vfat") and shutil.which("fusefat"),
                     "no /dev/fuse, mkfs.vfat or fusefat here: the FAT volume cannot be mounted")
class FatVolume(RescueRuns, Layout):
    """Windows XP on FAT32, mounted with fusefat (the rescue mounts it with the kernel's vfat)."""
    links = False

    def make_root(self):
        image = os.path.join(self.work, "fat.img")
        with open(image, "wb") as f:
            f.truncate(64 << 20)
        subprocess.run(["mkfs.vfat", "-F", "32", image], check=True, capture_output=True)
        os.mkdir(self.root)
        subprocess.run(["fusefat", "-o", "rw+", image, self.root], check=True, capture_output=True)

    def tearDown(self):
        try:
            subprocess.run(["umount", self.root], check=True)
        finally:
            super().tearDown()

    def build_hive(self, path, layout):  # fusefat cannot write over a file: a new one each time
        scratch = os.path.join(self.work, "hive")
        build_hive(scratch, layout)
        if os.path.exists(path):
            os.remove(path)
        shutil.copyfile(scratch, path)

    def test_xp_on_fat32_checked_then_cleaned(self):
        self.software[WINLOGON] = [("Userinit", REG_SZ, FORGED)]
        self.build_hives()
        self.build_hive(self.path(SYSTEM_HIVE), MOUNTED)
        self.system_record(1, fs="vfat", fs_detail="FAT32", label=b"XP\x1b[2J\xc2\x9b\xe2\x80\xae", writable="yes")
        self.record(2, device="/dev/sdb", size_bytes="0", state="skip", why="refs", fs="refs")
        before = fingerprint(self.root)
        self.assertEqual(self.rescue("--rescue-volume", os.path.join(self.vol, "01"), "--pass", "check"), 1)
        self.assertEqual(fingerprint(self.root), before)
        result = self.result()
        for line in ("pass=check", "kind=system", "to_do=yes", "letter=C mbr=1a2b3c4d offset=1048576", "letter=D gpt=" + GUID):
            self.assertIn(line, result)
        self.assertIn("Userinit set to \"C:\\WINDOWS\\system32\\userinit.exe\" (was \"C:\\WINDOWS\\system32\\userinit.exe,"
                      "C:\\WINDOWS\\system32.exe\\x0aNo Zaverin found", read(self.out("screen")).decode())

        self.assertEqual(self.rescue("--rescue-volume", os.path.join(self.vol, "01"), "--pass", "clean"), 1)
        self.assertIn("pass=clean", self.result())
        self.assertEqual(set(fingerprint(self.root)) & TAKEN, set())
        self.assertEqual(read_values(self.path(SOFTWARE), WINLOGON), [("Userinit", REG_SZ, sz("C:\\WINDOWS\\system32\\userinit.exe"))])
        self.assertEqual(self.rescue("--rescue-summary", self.vol, "--mode", "clean"), 2, "the ReFS volume was not scanned")
        verdicts = self.assert_plain()
        self.assertEqual(len(verdicts), 2, verdicts)
        self.assertTrue(verdicts[0].startswith("    CLEANED: "), verdicts)
        self.assertIn(' 1. C: "XP\\x1b[2J\\xc2\\x9b\\u202e", 8.0 GB, FAT32 (sda1): Windows system\n', read(self.out("screen")).decode())


if __name__ == "__main__":
    QFSCAN = sys.argv.pop(1)
    unittest.main()
