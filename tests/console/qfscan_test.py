#!/usr/bin/python3
"""qfscan run as a user runs it, on real files: exit codes, the text, quiet and JSON forms, the
progress line, and the same answers from the Linux and the Windows build.

  qfscan_test.py [--linux QFSCAN] [--wine QFSCAN.EXE --probe PROBE.EXE [--compare QFSCAN]]

The Windows build runs under the Wine prefix that run-under-wine.sh made. With --compare, one
tree is also scanned by both builds and the outputs must agree line by line."""
import argparse
import collections
import hashlib
import itertools
import json
import os
import pty
import re
import select
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import unittest
from unittest import mock

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from fixtures import NAMES_CLEAN, NAMES_SICK, caller, code_end, fingerprint, infected, paused_run, plant, read, sample  # noqa: E402

ARGS = None


def stored_name(data, n=1):
    """The name the quarantine stores a file of these bytes under."""
    return "q-%s-%d.quarantined" % (hashlib.sha256(data).hexdigest()[:16], n)


# Where Debian's packages put Windows programs nobody here wrote: Wine's builtins, mingw-w64's runtimes.
INSTALLED_PROGRAMS = ["/usr/lib/i386-linux-gnu/wine", "/usr/lib/x86_64-linux-gnu/wine", "/usr/lib/gcc/i686-w64-mingw32",
                      "/usr/lib/gcc/x86_64-w64-mingw32", "/usr/i686-w64-mingw32/lib", "/usr/x86_64-w64-mingw32/lib"]


def strict_json(line):
    """A JSON line as a strict reader takes it: Python's reader lets a lone surrogate escape through
    into the text, which then cannot be UTF-8, and fails here."""
    value = json.loads(line)
    json.dumps(value, ensure_ascii=False).encode("utf-8")
    return value


RUN_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"


def message_table(program):
    """The message table in a program's resources: {message ID: text}."""
    pe = pefile.PE(program)
    kind = next(e for e in pe.DIRECTORY_ENTRY_RESOURCE.entries if e.id == pefile.RESOURCE_TYPE["RT_MESSAGETABLE"])
    where = kind.directory.entries[0].directory.entries[0].data.struct
    data = pe.get_data(where.OffsetToData, where.Size)
    table = {}
    for block in range(struct.unpack_from("<I", data)[0]):
        low, high, at = struct.unpack_from("<III", data, 4 + 12 * block)
        for message in range(low, high + 1):
            length, flags = struct.unpack_from("<HH", data, at)
            table[message], at = data[at + 4:at + length].decode("utf-16-le" if flags & 1 else "cp1252").rstrip("\0"), at + length
    return table


# Deeper than Linux takes in one path (and than Windows' 260): reached only folder by folder.
DEEPER = "/".join(["e" * 100] * 100)


def plant_deep(root, relative, data):
    """A file at a path too long to name in one call, made a folder at a time."""
    where = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    for name in relative.split("/")[:-1]:
        try:
            os.mkdir(name, dir_fd=where)
        except FileExistsError:
            pass
        inner = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=where)
        os.close(where)
        where = inner
    with open(os.open(relative.split("/")[-1], os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=where), "wb") as f:
        f.write(data)
    os.close(where)


class Build:
    """One build of qfscan and how to hand it paths."""

    def __init__(self, program, wine):
        self.program, self.wine = program, wine

    def path(self, unix):
        return "Z:" + unix.replace("/", "\\") if self.wine else unix

    def unix(self, text):
        """A line of output with this build's paths written as Linux paths."""
        return text.replace("Z:\\", "/").replace("\\", "/") if self.wine else text

    def command(self, args):
        loader = [os.environ["QF_WINE_LOADER"]] if self.wine else []
        return loader + [self.program] + [self.path(a) if a.startswith("/") else a for a in args]

    def run(self, *args, env=None):
        done = subprocess.run(self.command(args), capture_output=True, timeout=600, env=env and dict(os.environ, **env))
        text = lambda b: b.decode("utf-8", "surrogateescape").replace("\r\n", "\n")
        err = text(done.stderr)
        if self.wine:  # a crash of one of Wine's own services under load, not the program's words
            err = "".join(line for line in err.splitlines(True) if not line.startswith("wine: Unhandled"))
        return done.returncode, text(done.stdout), err

    def exit_code(self, *args):  # the whole exit code: Wine gives Linux only its low byte
        out = subprocess.run([os.environ["QF_WINE_LOADER"], ARGS.probe, "exit-code"] + self.command(args)[1:],
                             capture_output=True, timeout=600).stdout.decode().replace("\r\n", "\n")
        return int(re.search(r"exit code (\d+)\n$", out).group(1)), out[:out.rindex("exit code ")]

    def run_on_terminal(self, *args):
        """Runs with standard error on a pseudo-terminal; what the terminal showed."""
        master, slave = pty.openpty()
        process = subprocess.Popen(self.command(args), stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        shown = b""
        try:
            while select.select([master], [], [], 60)[0] and (chunk := os.read(master, 65536)):
                shown += chunk
        except OSError:  # the program's end of the terminal is closed
            pass
        process.wait(60)
        os.close(master)
        return shown.decode("utf-8", "replace")


class Scans(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="qf-scan.")
        self.clean, self.sick = sample("sample32.exe"), infected(sample("sample32.exe"))
        self.mounted = []  # what a test mounted in its folder

    def tearDown(self):
        for mount in reversed(self.mounted):
            subprocess.run(["umount", mount])
        subprocess.run(["chmod", "-R", "u+rwx", self.root])
        shutil.rmtree(self.root)

    def builds(self):
        return [b for b in (ARGS.linux, ARGS.wine) if b]

    def tree(self, name, files):
        folder = os.path.join(self.root, name)
        plant(folder, files)
        return folder

    def reg_add(self, key, name, data, *more):
        subprocess.run([os.environ["QF_WINE_LOADER"], "reg", "add", key, "/v", name, "/d", data, "/f"] + list(more),
                       capture_output=True, check=True)

    def hold(self, build, path, *mode):
        """Another program holds path open: for reading, it can be tested but not deleted; for
        writing, not even tested."""
        holder = subprocess.Popen([os.environ["QF_WINE_LOADER"], ARGS.probe, "hold", build.path(path)] + list(mode),
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.assertEqual(holder.stdout.readline().strip(), b"held", caller())
        return holder

    def test_what_cannot_be_read_or_deleted_is_an_error(self):
        """Nothing that failed counts as clean: a file held open or without read permission, one
        whose read fails midway, an infected file that cannot be deleted (on Windows: not before
        the next restart, which then deletes it)."""
        for build in self.builds():
            with self.subTest(wine=build.wine):
                sick = self.tree("held" + str(build.wine), {"in/sick.exe": self.sick, "busy.exe": self.sick, "broken.exe": self.sick})
                if build.wine:
                    os.chmod(sick + "/in/sick.exe", 0o444)  # read-only, as Wine shows it
                    holders = [self.hold(build, sick + "/in/sick.exe"), self.hold(build, sick + "/busy.exe", "write")]
                else:  # in a folder that may not be written, and without read permission
                    for path, mode in (("in", 0o555), ("busy.exe", 0)):
                        os.chmod(os.path.join(sick, path), mode)
                code, out, err = build.run("--delete", sick, env={"QF_TEST_UNREADABLE": "broken.exe"})
                for holder in holders if build.wine else []:
                    holder.communicate(timeout=60)
                self.assertEqual(code, 2)
                # Windows lets the file that another program holds go at the next restart, its
                # read-only mark lifted (which would stop that), nothing else of it changed.
                held = ": infected, deleted at restart\n" if build.wine else ": infected, not deleted: "
                self.assertIn(build.path(sick + "/in/sick.exe") + held, out)
                if build.wine:
                    self.assertEqual(os.stat(sick + "/in/sick.exe").st_mode & 0o222, 0o200)
                    self.assertIn("  Deleted 1\n  Deleted at restart 1\n", out)
                    subprocess.run([os.environ["QF_WINE_LOADER"], "wineboot", "-r"], capture_output=True, timeout=300)
                    subprocess.run(["wineserver", "-w"], timeout=300)
                    self.assertFalse(os.path.exists(sick + "/in/sick.exe"))
                subprocess.run(["chmod", "-R", "u+rwx", sick])
                skips = {os.path.relpath(build.unix(line).split(": ")[1], sick): line.split(": ")[2]
                         for line in err.splitlines()}
                self.assertEqual(skips, {"busy.exe": "cannot be read", "broken.exe": "cannot be read"}, err)
                self.assertIn("  Infected 1\n  Deleted %d\n" % build.wine, out)
                self.assertIn("  Skipped %d\n" % len(skips), out)
                self.assertEqual(build.run("--delete", sick)[1].count(": infected, deleted"), 3 - build.wine,
                                 "once let go, all are tested and deleted")

    def test_refused_arguments_change_nothing_and_each_file_is_scanned_once(self):
        sick = self.tree("paths", {"sub/sick.exe": self.sick, "sick.exe": self.sick})
        os.symlink(sick + "/sub", self.root + "/into-tree")
        not_quarantine = self.tree("not-quarantine", {"notes.txt": b"mine"})
        # (arguments, what the one error line names or None when accepted, Linux only)
        for args, problem, linux in ((["--delete", "--bogus", sick], "--bogus", False),
                                     (["--delete", sick, sick + "/missing"], "missing", False),
                                     (["--delete", "--move", sick, sick], "--move", False),
                                     (["--delete"], "PATH", False),
                                     (["--move", sick, sick], "inside", False),
                                     (["--move", sick + "/sub", sick], "inside", False),
                                     (["--move", self.root + "/into-tree", sick], "inside", True),
                                     (["--move", "", sick], '""', True),
                                     (["--move", not_quarantine, sick], "no index.jsonl", False),
                                     (["--list", not_quarantine], "no index.jsonl", False),
                                     (["--list", "--json", not_quarantine], "no index.jsonl", False),  # the folder, not --json
                                     (["--restore", not_quarantine, "--json"], "no index.jsonl", False),
                                     ([sick, ""], "empty PATH", True),
                                     (["--cleanup", sick], "needs Windows", True),
                                     ([sick, "--move", sick], "inside", False),  # options after the paths
                                     ([sick, "--", "--delete"], "--delete: no such file or folder", False),
                                     (["/proc"], "kernel file system", True),
                                     ([sick, sick], None, False),
                                     ([sick, sick + "/sub"], None, False),
                                     ([sick + "/sub", sick, sick + "/sub"], None, False),
                                     ([sick + "/sick.exe", sick + "/sub/sick.exe", sick + "/sick.exe"], None, False),
                                     ([sick + "/sub/sick.exe", sick], None, False)):
            for build in self.builds():
                if linux and build.wine:
                    continue
                with self.subTest(args=args, wine=build.wine):
                    code, out, err = build.run(*args)
                    if problem:
                        self.assertEqual((code, out, err.count("\n")), (2, "", 1), err)
                        self.assertIn(problem, err)
                    else:
                        self.assertEqual(code, 1, err)
                        self.assertIn("  Infected 2\n", out, "each file once")
                    self.assertTrue(os.path.exists(sick + "/sub/sick.exe") and os.path.exists(sick + "/sick.exe"))
        manual = read(os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../src/console/qfscan.h2m")).decode()
        jobs = re.search(r"1 to 64, default (\d+)\)", manual).group(1)
        for build in self.builds():
            with self.subTest("a file as PATH", wine=build.wine):
                self.assertIn("(1 to 64, default %s)" % jobs, build.run("--help")[1], "one default for --jobs")
                code, out, err = build.run(sick + "/sub/sick.exe", "--delete")
                self.assertEqual((code, err), (1, ""))
                self.assertIn(build.path(sick + "/sub/sick.exe") + ": infected, deleted\n", out)
                self.assertIn("  Directories: 0\n  Files: 1\n  Infected 1\n  Deleted 1\n", out)
                self.assertFalse(os.path.exists(sick + "/sub/sick.exe"))
                plant(sick, {"sub/sick.exe": self.sick})

    def test_quiet_and_json(self):
        for build in self.builds():
            # Any bytes make a Linux name (an encoded surrogate, an overlong form): JSON takes a byte
            # that is no UTF-8 as Latin-1, the plain output escapes it. A name that reads reversed
            # or with invisible parts shows its bidi and format characters escaped.
            names = {"photo\u202egnp.exe": "photo\\u202egnp.exe", "\u200bzero\ufeff\u2066.exe": "\\u200bzero\\ufeff\\u2066.exe",
                     **({"odd name.exe": "odd name.exe"} if build.wine else
                        {"it's \"odd\"\\ \x01\udce9.exe": "it's \"odd\"\\ \\x01\\xe9.exe",
                         "s\udced\udca0\udc80\udcc0\udcaf.exe": "s\\xed\\xa0\\x80\\xc0\\xaf.exe"})}
            with self.subTest(wine=build.wine):
                sick = self.tree("forms" + str(build.wine), {**{"a/" + n: self.sick for n in names}, "b.exe": self.clean})
                code, out, err = build.run("--quiet", sick)
                self.assertEqual((code, err), (1, ""))
                lines = out.split("\n")
                self.assertEqual(sorted(lines[:len(names)]),
                                 sorted(build.path(sick + "/a/" + shown) + ": infected" for shown in names.values()))
                verdict = ("Verdict: infected files found (exit code %%d): %d infected, 0 deleted, 0 moved, 0 deleted at "
                           "restart, %d left, 0 not handled, 0 skipped, %d files, 1 folders" % (len(names), len(names), len(names) + 1))
                self.assertEqual(lines[len(names):], ["STATUS: Done", "  Directories: 1", "  Files: %d" % (len(names) + 1),
                                                      "  Infected %d" % len(names), "  Deleted 0", "  Skipped 0",
                                                      verdict % 1, ""])
                if build.wine:  # what Intune and Configuration Manager read
                    self.assertEqual(build.exit_code("--quiet", "--exit-codes", "installer", sick), (1603, out.replace("exit code 1", "exit code 1603")))
                else:
                    self.assertEqual(build.run("--exit-codes", "installer", sick)[0], 2, "Windows only")
                # The log gets what standard output gets, appended run after run.
                log = os.path.join(self.root, "runs%d.log" % build.wine)
                plant(self.root, {os.path.basename(log): b"earlier\n"})
                code, out, _ = build.run("--json", "--delete", "--log", build.path(log), sick)
                lines = [strict_json(line) for line in out.splitlines()]
                # Every record stands alone: when (UTC) and where; a finding, what the file was.
                stamps = [(line.pop("time"), line.pop("host")) for line in lines]
                self.assertTrue(len({h for _, h in stamps}) == 1 and all(re.match(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$", t)
                                                                          for t, _ in stamps), stamps)
                # Each byte that is no UTF-8 (a surrogateescape here) as the Latin-1 letter.
                latin1 = lambda name: re.sub("[\udc80-\udcff]", lambda m: chr(ord(m.group()) - 0xdc00), name)
                self.assertEqual(sorted(lines[:len(names)], key=lambda line: line["path"]),
                                 sorted(({"type": "infected", "path": build.path(sick + "/a/" + latin1(n)), "action": "deleted",
                                          "size": len(self.sick), "sha256": hashlib.sha256(self.sick).hexdigest()}
                                         for n in names), key=lambda line: line["path"]))
                summary = lines[len(names)]
                run = {key: summary.pop(key) for key in ("version", "started", "finished", "elapsed_ms")}
                run["host"] = stamps[-1][1]
                self.assertEqual(summary, {"type": "summary", "directories": 1, "files": len(names) + 1,
                                           "infected": len(names), "deleted": len(names), "moved": 0,
                                           "deleted_at_restart": 0, "skipped": 0, "stopped": False, "exit_code": 1})
                self.assertEqual(run["version"], build.run("--version")[1].split()[1])
                for stamp in (run["started"], run["finished"]):
                    self.assertRegex(stamp, r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
                self.assertTrue(run["host"] and run["started"] <= run["finished"] and run["elapsed_ms"] >= 0, run)
                if build.wine:
                    self.assertEqual(build.exit_code("--exit-codes", "installer", "--delete", sick)[0], 0)
                code, again, _ = build.run("--quiet", "--log", build.path(log), sick)
                self.assertEqual(read(log).decode().replace("\r\n", "\n"), "earlier\n" + out + again)

    def test_the_log_is_the_operators_and_complete_or_loudly_broken(self):
        """Run as root: a log that another user could point elsewhere, or that is no file, is
        refused before anything is scanned; a log that fills up stops every change, as a full
        standard output does; a line that an earlier run left torn gets no record glued onto it."""
        if os.geteuid() != 0:
            self.skipTest("needs root: files of another user, a mount")
        nobody, torn = 65534, '{"type":"infected","path"'
        mine = os.path.join(self.root, "root's own")
        shared = os.path.join(self.root, "shared")  # a folder everyone may write
        os.mkdir(shared)
        os.chmod(shared, 0o1777)
        full = os.path.join(self.root, "full")
        os.mkdir(full)

        def planted_link(log):
            os.symlink(mine, log)
            os.lchown(log, nobody, nobody)

        def owned_by_nobody(log):
            plant(shared, {"nobody.log": b""})
            os.chown(log, nobody, nobody)

        # (what --log names, how it is made, Linux only, what becomes of the run)
        cases = (("link", planted_link, True, "refused"), ("hard", lambda log: os.link(mine, log), False, "refused"),
                 ("nobody.log", owned_by_nobody, True, "refused"), ("fifo", os.mkfifo, False, "refused"),
                 ("/dev/full", None, False, "refused"), ("folder", os.mkdir, False, "refused"),
                 # one page, five bytes of it free: the first line does not fit
                 (full + "/log", lambda log: plant(full, {"log": b"x" * 4090 + b"\n"}), True, "broken"),
                 ("torn.log", lambda log: plant(shared, {"torn.log": torn.encode()}), False, "kept"))
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4k", "tmpfs", full], check=True)
        try:
            for build in self.builds():
                for name, make, linux, outcome in cases:
                    if linux and build.wine:
                        continue
                    with self.subTest(log=name, wine=build.wine):
                        plant(self.root, {"root's own": b"root's own\n"})
                        log = os.path.join(shared, name)
                        make and make(log)
                        sick = self.tree("logged", {"d%d/sick.exe" % i: self.sick for i in range(20)})
                        code, out, err = build.run("--delete", "--log", build.path(log), sick)
                        left = sum(os.path.exists("%s/d%d/sick.exe" % (sick, i)) for i in range(20))
                        self.assertEqual(read(mine), b"root's own\n")
                        if outcome == "refused":
                            self.assertEqual((code, out, left), (2, "", 20), "nothing scanned")
                            self.assertRegex(err, r"^qfscan: --log .*; nothing was scanned\n$")
                        elif outcome == "broken":
                            self.assertEqual((code, left), (2, 20), "the first line broke the log: nothing deleted")
                            self.assertIn(log + ": the log could not be written: ", err)
                        else:
                            self.assertEqual((code, left), (1, 0), err)
                            self.assertEqual(read(log).decode().replace("\r\n", "\n"), torn + "\n" + out)
                        subprocess.run(["rm", "-rf", sick] + ([log] if log.startswith(shared) else []))
        finally:
            subprocess.run(["umount", full])

    def test_progress_only_on_a_terminal(self):
        for build in self.builds():
            with self.subTest(wine=build.wine):
                folder = self.tree("progress" + str(build.wine), {"d%d/f.txt" % i: b"x" for i in range(50)})
                self.assertEqual(build.run(folder)[2], "", "nothing on standard error in a pipe")
                # Wine draws its console with escape sequences (spaces become cursor moves).
                shown = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", build.run_on_terminal(folder))
                self.assertRegex(shown, r"\r\d+ folders, \d+ files, \d+s: " if not build.wine else r"\d+ ?folders,")

    def test_races_between_test_and_disposal(self):
        """A hostile owner of the tree, paused by the test build: between the test of each infected
        file and its removal, it swaps the name for a link to a file outside or renames a clean file
        over it; before a folder is entered, it turns that folder, or one on the way to it, into a
        link out of the tree (into a tmpfs of root's). Nothing outside changes, no clean file is
        lost, and the line says why."""
        build = ARGS.linux or self.skipTest("Linux only: the pause works through a FIFO")
        cases = [("link", "--delete", "1"), ("folder", "--delete", "1")]
        cases += [(swap, disposal, jobs) for swap in ("clean", "on the way") for disposal in ("--delete", "--move")
                  for jobs in ("1", "8")]
        for n, (swap, disposal, jobs) in enumerate(cases):
            with self.subTest(swap=swap, disposal=disposal, jobs=jobs):
                quarantine = os.path.join(self.root, "quarantine%d" % n)
                os.makedirs(quarantine)
                outside = os.path.join(self.root, "outside%d" % n)
                os.mkdir(outside)
                if swap == "on the way":
                    if subprocess.run(["mount", "-t", "tmpfs", "qf-test", outside], capture_output=True).returncode:
                        self.skipTest("needs to mount a tmpfs")
                    self.mounted.append(outside)
                    plant(outside, {"b4/sick.exe": self.sick})
                    os.chmod(outside + "/b4/sick.exe", 0o444)
                plant(outside, {"secret": b"root's own", "sub/sick.exe": self.sick})
                os.chmod(outside + "/secret", 0o600)
                folder = self.tree("race%d" % n, {"a.exe": self.sick, "sub/sick.exe": self.sick, "a/b4/sick.exe": self.sick})
                swapped = []

                def hostile_owner(path):
                        entering = path == folder + "/a/b4"
                        if swap == "folder" and not swapped and not entering:
                            shutil.rmtree(folder + "/sub")
                            os.symlink(outside + "/sub", folder + "/sub")
                            swapped.append(path)
                        elif swap == "on the way" and entering:
                            os.rename(folder + "/a", folder + "/a.away")
                            os.symlink(outside, folder + "/a")
                        elif swap in ("link", "clean") and not entering:
                            os.rename(path, path + ".away") if swap == "link" else None
                            if swap == "link":
                                os.symlink(outside + "/secret", path)
                            else:
                                plant(self.root, {"clean%d" % n: self.clean})
                                os.rename(self.root + "/clean%d" % n, path)
                            swapped.append(path)

                code, out, err = paused_run(build.command(["--jobs", jobs, disposal] + [quarantine] * (disposal == "--move")
                                                          + [folder]), os.path.join(self.root, "pause%d" % n),
                                            hostile_owner, dict(os.environ, QF_TEST_ENTER_PAUSE="b4"))
                self.assertEqual(read(outside + "/secret"), b"root's own")
                self.assertTrue(os.path.exists(outside + "/sub/sick.exe"), "nothing outside the tree is deleted")
                if swap == "on the way":
                    self.assertEqual(os.stat(outside + "/b4/sick.exe").st_mode & 0o777, 0o444)
                    self.assertEqual(read(outside + "/b4/sick.exe"), self.sick, "nor moved")
                for path in swapped if swap != "folder" else []:
                    self.assertTrue(os.path.lexists(path), "what was put in its place stays: " + path)
                    if swap == "clean":
                        self.assertEqual(read(path), self.clean)
                    self.assertIn(path + ": infected, not %s: changed since it was tested"
                                  % ("moved" if disposal == "--move" else "deleted"), out.decode())
                if swap != "on the way":  # there the folder is either scanned through its own handle or left
                    self.assertEqual(code, 2, err)
                self.assertEqual([n for n in os.listdir(folder) if n.startswith(".qfscan-")], [], "no name left taken")

    def paused(self, build, args, fifo):
        """Runs build until its first pause (QF_TEST_DISPOSE_PAUSE) and kills it there."""
        os.mkfifo(fifo)
        os.mkfifo(fifo + ".go")
        scan = subprocess.Popen(build.command(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=dict(os.environ, QF_TEST_DISPOSE_PAUSE=fifo))
        with open(fifo) as pause:
            pause.readline()
        scan.kill()
        scan.communicate(timeout=60)

    def volume(self):
        """A tmpfs mounted for this test: another volume."""
        volume = tempfile.mkdtemp(prefix="qf-volume.")
        self.addCleanup(os.rmdir, volume)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16m", "qf-quarantine", volume], check=True)
        self.addCleanup(subprocess.run, ["umount", volume])
        return volume

    def test_a_quarantine_gives_back_what_it_took_under_wine(self):
        """qfscan.exe: a file comes back with its bytes, attributes, times and security descriptor.
        With --cleanup, what the cleanup removes (a dropped file, the infected program of a Run
        value, whose value goes as without --move) is stored first and given back too."""
        build = ARGS.wine or self.skipTest("Windows build only")
        folder = self.tree("wine-quarantine", {"sub/sick.exe": self.sick})  # the probe takes ANSI paths
        path = os.path.join(folder, "sub/sick.exe")
        started = os.path.join(self.tree("wine-run", {"run.exe": self.sick}), "run.exe")
        dropped = os.path.join(os.environ["WINEPREFIX"], "drive_c/windows/system32.exe")  # a throwaway prefix
        plant(os.path.dirname(dropped), {"system32.exe": b"MZ dropped"})
        reg = lambda *more: subprocess.run([os.environ["QF_WINE_LOADER"], "reg", more[0], "HKCU\\Software\\Microsoft\\Windows"
                                            "\\CurrentVersion\\Run", "/v", "qf"] + list(more[1:]), capture_output=True).returncode
        self.assertEqual(reg("add", "/d", build.path(started), "/f"), 0)
        quarantine = self.volume()  # another volume: both ways a copy, which has only what qfscan gives it
        probe = lambda *more: subprocess.run([os.environ["QF_WINE_LOADER"], ARGS.probe, "security", build.path(path)] +
                                             list(more), capture_output=True, text=True, check=True).stdout
        before = probe("7")  # read-only, hidden, system
        os.utime(path, ns=(1_500_000_000_000_000_000, 1_400_000_000_000_000_000))
        code, out, err = build.run("--cleanup", "--move", quarantine, folder)
        stored = os.path.join(quarantine, stored_name(self.sick, 2))
        self.assertEqual((code, err, read(stored)), (1, "", self.sick), out)
        self.assertEqual((os.path.exists(started), os.path.exists(dropped), reg("query")), (False, False, 1))
        lines = [json.loads(l) for l in read(os.path.join(quarantine, "index.jsonl")).splitlines()]
        self.assertEqual([(l["path"], l["why"]) for l in lines],
                         [(build.path(started), "infected program of a Run value"),
                          ("C:\\windows\\system32.exe", "file the worm drops"), (build.path(path), "Zaverin marker, form 0x10")])
        self.assertEqual(lines[2]["attributes"] & 7, 7)
        self.assertEqual(build.run("--restore", quarantine),
                         (0, "".join(l["path"] + ": restored\n" for l in lines),
                          "qfscan: a restored file is as infected as it was: scan it again before it runs\n"))
        self.assertEqual((read(path), probe(), os.stat(path).st_mtime_ns), (self.sick, before, 1_400_000_000_000_000_000))
        self.assertEqual((read(started), read(dropped)), (self.sick, b"MZ dropped"))

    def test_cleanup_under_wow64_names_each_view(self):
        """qfscan.exe in a 64-bit prefix, as on 64-bit Windows: each view's Run program is stored in
        the quarantine (the 64-bit one through Sysnative) and given back there; each change names
        its key and view."""
        build = ARGS.wine or self.skipTest("Windows build only")
        if os.environ.get("QF_WINE_ARCH") != "x86_64":
            self.skipTest("needs a 64-bit prefix")
        windows = os.path.join(os.environ["WINEPREFIX"], "drive_c/windows")
        plant(windows, {"system32/qfw64.exe": self.sick, "syswow64/qfw64.exe": self.clean, "syswow64/qfw32.exe": self.sick})
        for view in ("64", "32"):
            self.reg_add(RUN_KEY, "w" + view, "C:\\windows\\system32\\qfw%s.exe" % view, "/reg:" + view)
        quarantine = self.tree("wow64-quarantine", {"index.jsonl": b""})
        code, out, err = build.run("--cleanup", "--move", quarantine, self.tree("wow64", {"clean.exe": self.clean}))
        for view, path in (("64", "C:\\windows\\Sysnative\\qfw64.exe"), ("32", "C:\\windows\\system32\\qfw32.exe")):
            self.assertIn("changed: %s (%s-bit view): value \"w%s\" deleted: it starts %s, which is infected\n"
                          % (RUN_KEY.replace("Software", "SOFTWARE"), view, view, path), out)
        self.assertEqual((code, err, build.run("--restore", quarantine)[0]), (1, "", 0), out)
        self.assertEqual((read(windows + "/system32/qfw64.exe"), read(windows + "/syswow64/qfw64.exe")), (self.sick, self.clean))

    def test_event_log_under_wine(self):
        """--event-log: an event per finding, change, restore and summary, an ID per meaning (as the
        manual and the message table have them); Wine's debug channels show each ReportEventW."""
        build = ARGS.wine or self.skipTest("Windows build only")
        table = message_table(build.program)
        manual = read(os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../docs/manual.md")).decode()
        self.assertEqual(sorted(table), [int(i) for i in re.findall(r"^\| (1\d\d\d) \| (?:information|warning|error) \|", manual, re.M)])
        folder = self.tree("events", {"a/sick.exe": self.sick, "b/held.exe": self.sick, "c/clean.exe": self.clean})
        quarantine = self.tree("events-quarantine", {"index.jsonl": b""})
        self.reg_add("HKCU" + RUN_KEY[4:], "qf", build.path(self.tree("events-run", {"run.exe": self.sick}) + "/run.exe"))
        self.reg_add("HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", "Userinit", "C:\\worm.exe")
        plant(os.path.join(os.environ["WINEPREFIX"], "drive_c/windows"), {"system32.exe": b"MZ dropped"})
        held = self.hold(build, folder + "/b/held.exe")
        # (options, the events: (type, ID) -> how many); 2 warning, 1 error, 4 information
        runs = ((["--cleanup"], {(2, 1007): 4, (2, 1001): 2, (4, 1000): 1}),
                (["--move", quarantine], {(2, 1003): 1, (1, 1004): 1, (4, 1000): 1}),
                (["--restore", quarantine], {(2, 1006): 1}),
                (["--delete"], {(2, 1002): 1, (2, 1005): 1, (4, 1000): 1}))
        for options, events in runs:
            with self.subTest(options=options[0]):
                code, out, err = build.run("--event-log", *options, *([] if options[0] == "--restore" else [folder]),
                                           env={"WINEDEBUG": "-all,+eventlog,fixme+advapi"})
                calls = re.findall(r"ReportEventW \(\w+,0x([0-9a-f]{4}),0x0000,0x([0-9a-f]{8}),", err)
                self.assertEqual(collections.Counter((int(t, 16), int(i, 16)) for t, i in calls), events, err)
        held.communicate(timeout=60)
        strings = [s.encode().decode("unicode_escape") for s in re.findall(r'eventlog:ReportEventW L"(.*)"\n', err)]
        text, record = next((t, json.loads(r)) for t, r in zip(strings[::2], strings[1::2]) if t.endswith("k.exe: infected, deleted"))
        self.assertEqual((text, record["sha256"]), (build.path(folder + "/a/sick.exe") + ": infected, deleted",
                                                    hashlib.sha256(self.sick).hexdigest()))

    def test_syslog_gets_the_json_records(self):
        """--syslog (Linux): each record as --json writes it, to syslog(3) at LOG_USER; the program
        gets a /dev/log of the test's own, in a mount namespace."""
        build = ARGS.linux or self.skipTest("Linux only")
        folder = self.tree("syslog", {"a/sick.exe": self.sick, "ro/sick.exe": self.sick})
        os.chmod(folder + "/ro", 0o555)  # not deleted there: a failure
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        listener.bind(os.path.join(self.root, "log"))
        done = subprocess.run(["unshare", "-m", "sh", "-c", 'mount -t tmpfs qf-log /dev && ln -s "$0" /dev/log && exec "$@"',
                               self.root + "/log", build.program, "--syslog", "--delete", "--json", folder], capture_output=True)
        got = [listener.recv(65536).decode() for _ in iter(lambda: select.select([listener], [], [], 1)[0], [])]
        listener.close()
        self.assertEqual([json.loads(m[m.index("{"):]) for m in got], [json.loads(l) for l in done.stdout.splitlines()])
        # LOG_USER (8) with LOG_ERR (3), LOG_WARNING (4), LOG_NOTICE (5)
        self.assertEqual(sorted(m[:m.index(">") + 1] for m in got), ["<11>", "<12>", "<13>"], done.stderr)

    def test_a_quarantine_gives_back_what_it_took(self):
        """--move, --list and --restore: a file comes back with its bytes, mode, times and extended
        attributes, or is refused and stays stored; a killed move or restore loses nothing and
        leaves no half-written file under a final name."""
        build = ARGS.linux or self.skipTest("Linux only")
        volume = self.volume()
        name = "Пользователи/程序 😀 مثال.exe"
        # (case, quarantine on another volume, what happens between the move and the restore, exit code)
        for case, across, meanwhile, restored in (("same volume", False, None, 0), ("across volumes", True, None, 0),
                                                  ("name taken", True, "taken", 2), ("stored file changed", False, "changed", 2),
                                                  ("killed move", False, "kill move", 0),
                                                  ("killed restore", True, "kill restore", 0)):
            with self.subTest(case=case):
                data = self.sick + case.encode()
                folder = self.tree(case, {name: data})
                path = os.path.join(folder, name)
                os.chmod(path, 0o751)
                os.setxattr(path, "user.qf", "値".encode())
                os.utime(path, ns=(1_500_000_000_123_456_789, 1_400_000_000_987_654_321))
                quarantine = os.path.join(volume if across else self.root, "q-" + case)
                os.mkdir(quarantine)
                if meanwhile == "kill move":
                    self.paused(build, ["--move", quarantine, folder], os.path.join(self.root, "pause-move"))
                    # Killed once its line was written, before its name was taken: the file stays where it
                    # was, and the index says the line's stored file is missing.
                    self.assertEqual(read(path), data)
                    self.assertEqual([json.loads(l)["state"] for l in build.run("--json", "--list", quarantine)[1].splitlines()],
                                     ["missing"])
                code, out, err = build.run("--move", quarantine, folder)
                stored = os.path.join(quarantine, stored_name(data, 2 if meanwhile == "kill move" else 1))
                self.assertEqual((code, err), (1, ""))
                self.assertIn("%s: infected, moved to %s\n" % (path, stored), out)
                self.assertFalse(os.path.lexists(path))
                self.assertEqual((read(stored), os.stat(stored).st_mode & 0o111), (data, 0), "stored, not runnable")
                line = json.loads(read(os.path.join(quarantine, "index.jsonl")).splitlines()[-1])
                self.assertEqual({k: line[k] for k in ("path", "size", "sha256", "mode", "mtime_ns", "xattrs")},
                                 {"path": path, "size": len(data), "sha256": hashlib.sha256(data).hexdigest(),
                                  "mode": 0o751, "mtime_ns": 1_400_000_000_987_654_321,
                                  "xattrs": {"user.qf": "値".encode().hex()}})
                self.assertEqual(line["why"], "Zaverin marker, form 0x10")
                listed = [json.loads(l) for l in build.run("--list", "--json", quarantine)[1].splitlines()]
                self.assertEqual([(l["path"], l["state"]) for l in listed if l["state"] != "missing"], [(path, "held")])
                if meanwhile == "taken":
                    plant(folder, {name: self.clean})
                elif meanwhile == "changed":
                    with open(stored, "ab") as f:
                        f.write(b"!")
                elif meanwhile == "kill restore":
                    self.paused(build, ["--restore", quarantine], os.path.join(self.root, "pause-restore"))
                    self.assertEqual((os.path.lexists(path), read(stored)), (False, data))
                    self.assertEqual(build.run("--list", quarantine)[1].count(": held as "), 1)
                code, out, err = build.run("--restore", quarantine, path)
                self.assertEqual(code, restored, out + err)
                self.assertEqual(sorted(os.listdir(os.path.dirname(path))), [os.path.basename(path)] if meanwhile != "changed" else [])
                if restored:
                    reason = "a file is in its place" if meanwhile == "taken" else "changed since it was moved"
                    self.assertIn("%s: not restored: " % path, out)
                    self.assertIn(reason, out)
                    self.assertTrue(os.path.exists(stored))
                    if meanwhile == "taken":
                        self.assertEqual(read(path), self.clean, "never replaced")
                    continue
                self.assertEqual(out, path + ": restored\n")
                self.assertIn("as infected as it was", err)
                info = os.stat(path)
                self.assertEqual((read(path), info.st_mode & 0o7777, info.st_mtime_ns, os.getxattr(path, "user.qf")),
                                 (data, 0o751, 1_400_000_000_987_654_321, "値".encode()))
                self.assertFalse(os.path.lexists(stored))
                listed = [json.loads(l) for l in build.run("--json", "--list", quarantine)[1].splitlines()]
                self.assertEqual([l["state"] for l in listed if l["state"] != "missing"], ["restored"], "marked, not removed")
                self.assertEqual(build.run("--restore", quarantine, path)[0], 2, "restored once")

    def own(self, path, uid, mode):
        os.chown(path, uid, uid)
        os.chmod(path, mode)
        return path

    def users_program(self, folder, uid, name="run.sh"):
        """A program of user uid in folders of uid (writable by all: root runs the tests without the
        right to write anywhere)."""
        os.makedirs(folder)
        for at in (os.path.dirname(folder), folder):
            self.own(at, uid, 0o777)
        plant(folder, {name: self.sick})
        return self.own(os.path.join(folder, name), uid, 0o755)

    def run_pausing(self, build, args, at_first_pause):
        """Runs build with the disposal pause, doing at_first_pause() at the first one."""
        paused = []

        def first_only(path):
            paused or at_first_pause()
            paused.append(path)
        code, out, err = paused_run(build.command(args), os.path.join(self.root, "pause-%d" % len(os.listdir(self.root))),
                                    first_only)
        return code, out.decode(), err.decode()

    def test_the_quarantine_as_root_over_folders_others_write(self):
        """Run as root over folders that other users write: the store must be the operator's and is
        held for the run, its index is data, a restore goes only where it may, and runs at once, a
        torn line or a FIFO in the index's place lose nothing and hold nothing."""
        build = ARGS.linux or self.skipTest("Linux only")
        if os.geteuid() != 0:
            self.skipTest("needs root: files of other users, mounts")
        nobody, victim = 65534, 1001
        volume = self.volume()
        n = iter(range(1000))

        def store(where=None, mode=0o700):
            q = os.path.join(where or self.root, "q%d" % next(n))
            os.mkdir(q)
            os.chmod(q, mode)
            return q

        def held(q):
            return [json.loads(l)["state"] for l in build.run("--list", "--json", q)[1].splitlines()].count("held")

        def swapped_for_link(across):
            program = self.users_program(os.path.join(self.root, "home%d/app" % next(n)), nobody)
            etc = os.path.join(self.root, "etc%d" % next(n))  # root's, as /etc/profile.d is
            os.mkdir(etc)
            q = store(volume if across else None)
            self.assertEqual(build.run("--move", q, os.path.dirname(program))[0], 1)
            os.rename(os.path.dirname(program), os.path.dirname(program) + ".old")
            os.symlink(etc, os.path.dirname(program))
            os.lchown(os.path.dirname(program), nobody, nobody)
            code, out, err = build.run("--restore", q)
            self.assertEqual((code, os.listdir(etc), held(q)), (2, [], 1), out + err)
            self.assertIn(program + ": not restored: %s is a link (not followed)" % os.path.dirname(program), out)

        def remade_by_another():
            program = self.users_program(os.path.join(self.root, "shared%d/victim" % next(n)), victim)
            q = store()
            self.assertEqual(build.run("--move", q, os.path.dirname(program))[0], 1)
            os.rename(os.path.dirname(program), os.path.dirname(program) + ".old")
            os.mkdir(os.path.dirname(program))
            self.own(os.path.dirname(program), nobody, 0o777)
            code, out, err = build.run("--restore", q)
            self.assertEqual((code, os.listdir(os.path.dirname(program))), (2, []), out + err)
            self.assertIn("belongs to user %d, neither to root nor to the file's owner (%d)" % (nobody, victim), out)

        def refused_store(make, why):
            program = self.users_program(os.path.join(self.root, "t%d/app" % next(n)), nobody)
            q = make()
            for args in (["--move", q, os.path.dirname(program)], ["--list", q], ["--restore", q]):
                code, out, err = build.run(*args)
                self.assertEqual((code, out, read(program)), (2, "", self.sick), args)
                self.assertRegex(err, r"^qfscan: .*refused: .*" + re.escape(why), args)
            self.assertFalse(os.path.exists(os.path.join(q, "index.jsonl")))

        def link_to(q):
            os.symlink(q, q + ".link")
            return q + ".link"

        def re_pointed():
            tree = self.tree("re-pointed%d" % next(n), {"d%d/sick.exe" % i: self.sick + bytes([i]) for i in range(3)})
            above = os.path.join(self.root, "above%d" % next(n))
            os.mkdir(above)
            q = store(above)

            def swap():
                os.rename(above, above + ".away")
                os.makedirs(q)
            code, out, err = self.run_pausing(build, ["--move", q, tree], swap)
            self.assertEqual((code, os.listdir(q)), (1, []), out + err)
            self.assertEqual(held(above + ".away/" + os.path.basename(q)), 3)

        def two_at_once():
            trees = [self.tree("at-once%d" % next(n), {"d%d/sick.exe" % i: self.sick for i in range(40)}) for _ in range(2)]
            q = store()
            runs = [subprocess.Popen(build.command(["--move", q, t]), stdout=subprocess.DEVNULL) for t in trees]
            self.assertEqual([r.wait(120) for r in runs], [1, 1])
            lines = [json.loads(l) for l in read(os.path.join(q, "index.jsonl")).splitlines()]
            self.assertEqual(len({l["stored"] for l in lines if l["type"] == "file"}), 80)
            self.assertEqual((held(q), len([f for f in os.listdir(q) if f.endswith(".quarantined")])), (80, 80))

        def forged_index():
            plant(self.root, {"rootonly%d/secret" % next(n): b"root's own"})
            secret = os.path.join(self.root, "rootonly%d/secret" % (next(n) - 1))
            os.chmod(secret, 0o600)
            os.chmod(os.path.dirname(secret), 0o700)
            program = os.path.join(self.tree("setid%d" % next(n), {"su": self.sick}), "su")
            os.chmod(program, 0o6755)
            q = store()
            self.assertEqual(build.run("--move", q, os.path.dirname(program))[0], 1)
            real = json.loads(read(os.path.join(q, "index.jsonl")).splitlines()[0])
            stolen = os.path.join(self.root, "stolen")
            forged = [dict(real, stored="../" + os.path.relpath(secret, q), path=stolen, mode=0o666),
                      dict(real, sha256='0" ,"path":"/forged'),
                      dict(real, stored=stored_name(self.sick, 7), why="\x1b]52;c;ZXZpbA==\x07\x1b[2J")]
            with open(os.path.join(q, "index.jsonl"), "a") as f:
                f.write("".join(json.dumps(l) + "\n" for l in forged))
            code, out, err = build.run("--list", q)
            self.assertEqual((code, out.count(": held as "), "\x1b" in out + err), (2, 1, False), out + err)
            for problem in ("line 2: its stored name is none this quarantine gives", "line 3: its sha256 is no 64 hex digits"):
                self.assertIn(problem + "; passed over", err)
            pairs = [json.loads(l, object_pairs_hook=lambda p: self.assertEqual(len(p), len(dict(p))) or dict(p))
                     for l in build.run("--list", "--json", q)[1].splitlines()]
            self.assertEqual([(p["path"], p["state"]) for p in pairs], [(program, "held"), (program, "missing")])
            code, out, err = build.run("--restore", q)
            self.assertEqual((code, read(program), os.stat(program).st_mode & 0o7777), (2, self.sick, 0o755), out + err)
            self.assertEqual((read(secret), os.stat(secret).st_mode & 0o777, os.path.exists(stolen)), (b"root's own", 0o600, False))

        def torn_line():
            q = store()
            trees = [self.tree("torn%d" % next(n), {"sick.exe": self.sick + bytes([i])}) for i in range(2)]
            self.assertEqual(build.run("--move", q, trees[0])[0], 1)
            with open(os.path.join(q, "index.jsonl"), "a") as f:
                f.write('{"type":"file","pa')
            code, out, err = build.run("--list", q)
            self.assertEqual((code, out.splitlines()[-1]), (0, "1 file(s), 1 held"), err)
            self.assertIn("line 2 was cut short", err)
            self.assertEqual(build.run("--move", q, trees[1])[0], 1)
            self.assertEqual((build.run("--list", q)[1].splitlines()[-1], build.run("--restore", q)[0]), ("2 file(s), 2 held", 0))

        def index_in_its_place(make, why):
            q = store()
            make(os.path.join(q, "index.jsonl"))
            program = os.path.join(self.tree("fifo%d" % next(n), {"sick.exe": self.sick}), "sick.exe")
            for args in (["--list", q], ["--restore", q], ["--move", q, program]):
                code, out, err = build.run(*args)
                self.assertEqual((code, out, os.path.exists(program)), (2, "", True), args)
                self.assertIn("index.jsonl " + why, err)

        def from_a_bind_mount():
            real = store()
            os.mkdir(real + "/q")
            bound = os.path.join(self.root, "bound%d" % next(n))
            os.mkdir(bound)
            subprocess.run(["mount", "--bind", real, bound], check=True)
            self.mounted.append(bound)
            program = os.path.join(self.tree("bind%d" % next(n), {"sick.exe": self.sick}), "sick.exe")
            self.assertEqual(build.run("--move", bound + "/q", program)[0], 1)
            self.assertEqual(build.run("--restore", bound + "/q", program), (0, program + ": restored\n", mock.ANY))
            self.assertEqual(read(program), self.sick)

        def killed_at_each_step(op, across):
            """Killed at each call of these kinds in turn (strace's fault injection), a move or a
            restore leaves the program at its path, or stored, listed and given back; never is a
            stored file runnable."""
            for call in ("renameat2", "linkat", "unlinkat", "fchmod", "fsync", "write", "flock"):
                for when in range(1, 50):
                    data = self.sick + b"%s %d" % (call.encode(), when)
                    path = os.path.join(self.tree("kill%d" % next(n), {"sick.exe": data}), "sick.exe")
                    os.chmod(path, 0o755)
                    q = store(volume if across else None)
                    if op == "restore":
                        self.assertEqual(build.run("--move", q, path)[0], 1)
                    killed = subprocess.run(["strace", "-f", "-o", "/dev/null", "-e", "trace=" + call, "-e",
                                             "inject=%s:signal=KILL:when=%d" % (call, when)] +
                                            build.command(["--" + op, q, path]), capture_output=True, timeout=120)
                    for name in os.listdir(q):
                        self.assertEqual(os.lstat(os.path.join(q, name)).st_mode & 0o111, 0, (call, when, name))
                    if not os.path.exists(path):
                        self.assertEqual(held(q), 1, (call, when))
                        self.assertEqual(build.run("--restore", q, path)[0], 0, (call, when))
                    self.assertEqual(read(path), data, (call, when))
                    if killed.returncode != -signal.SIGKILL:
                        break

        cases = {"an ancestor swapped for a link": lambda: swapped_for_link(False),
                 "an ancestor swapped for a link, across volumes": lambda: swapped_for_link(True),
                 "a folder re-made by another user": remade_by_another,
                 "a store of another user": lambda: refused_store(lambda: self.own(store(), nobody, 0o755),
                                                                  "belongs to user %d, neither to this user" % nobody),
                 "a store all may write": lambda: refused_store(lambda: store(mode=0o1777), "may be written by others"),
                 "a folder above all may write": lambda: refused_store(
                     lambda: store(self.own(store(), 0, 0o777)), "may be written by others than its owner (mode 0777)"),
                 "a store reached through a link": lambda: refused_store(lambda: link_to(store()), "is a link (not followed)"),
                 "a store re-pointed during a run": re_pointed,
                 "two runs at once": two_at_once,
                 "a forged index": forged_index,
                 "a torn last line": torn_line,
                 "a FIFO for the index": lambda: index_in_its_place(os.mkfifo, "is no regular file"),
                 "a device for the index": lambda: index_in_its_place(
                     lambda p: os.mknod(p, 0o600 | stat.S_IFCHR, os.makedev(1, 5)), "is no regular file"),
                 "a link for the index": lambda: index_in_its_place(lambda p: os.symlink("/dev/zero", p), "is a link"),
                 "a restore from a bind mount": from_a_bind_mount}
        cases.update({"killed at each step of a %s%s" % (op, ", across volumes" * across):
                      (lambda op=op, across=across: killed_at_each_step(op, across))
                      for op in ("move", "restore") for across in (False, True)})
        for case, check in cases.items():
            with self.subTest(case=case):
                check()

    def test_kernel_file_systems_are_passed_over(self):
        """A kernel file system mounted below a scanned folder is passed over like a dot folder,
        with one note and nothing inside it opened; naming one to scan is refused."""
        build = ARGS.linux or self.skipTest("Linux only")
        folder = self.tree("kernel", {"clean.exe": self.clean, "proc/x.txt": b"covered"})
        if subprocess.run(["mount", "-t", "proc", "proc", folder + "/proc"], capture_output=True).returncode:
            self.skipTest("needs to mount a proc")
        self.mounted.append(folder + "/proc")
        trace = os.path.join(self.root, "trace")
        done = subprocess.run(["strace", "-f", "-o", trace, "-e", "trace=openat,getdents64", build.program, folder],
                              capture_output=True, text=True, timeout=120,
                              env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))  # no leak check under ptrace
        self.assertEqual((done.returncode, done.stderr), (0, "passed over: %s/proc: a kernel file system (proc), "
                                                             "not scanned\n" % folder))
        self.assertIn("  Directories: 0\n  Files: 1\n", done.stdout)
        with open(trace) as f:
            calls = f.read()
        self.assertNotIn('"kmsg"', calls, "nothing inside it is listed or opened")
        code, out, err = build.run("--quiet", folder)
        self.assertEqual((code, err, out.splitlines()[-1][:16]), (0, "", "Verdict: clean ("), "passed over is no error")

    def test_a_report_that_cannot_be_written_stops_every_change(self):
        build = ARGS.linux or self.skipTest("Linux only")
        full = lambda: open("/dev/full", "wb")
        def broken_pipe():
            read, write = os.pipe()
            os.close(read)
            return os.fdopen(write, "wb")
        # (how standard output is given, options, files deleted: only before the first failed line)
        for out, options, deleted in ((full, [], 0), (full, ["--quiet"], 1), (broken_pipe, ["--quiet"], 1),
                                      (broken_pipe, ["--json"], 1), (None, [], 0)):
            with self.subTest(out=out and out.__name__, options=options):
                sick = self.tree("broken%d%d" % (len(options), deleted), {"d%d/sick.exe" % i: self.sick for i in range(20)})
                stream = out() if out else None
                done = subprocess.run(build.command(options + ["--delete", sick]), stdout=stream or subprocess.DEVNULL,
                                      stderr=subprocess.PIPE, timeout=600,
                                      preexec_fn=None if stream else lambda: os.close(1))
                stream and stream.close()
                left = sum(os.path.exists("%s/d%d/sick.exe" % (sick, i)) for i in range(20))
                self.assertEqual((done.returncode, 20 - left), (2, deleted), done.stderr)

    def jobs_tree(self, folder):
        """A tree to scan with any number of jobs: infected (in a dot folder too), clean, unreadable,
        passed over."""
        if os.path.exists(folder):
            subprocess.run(["chmod", "-R", "u+rwx", folder])
            shutil.rmtree(folder)
        files = {".dot/sick.exe": self.sick, "top.txt": b"x"}
        for i in range(48):
            where = "d%d/e%d/" % (i % 6, i)
            files.update({where + "sick.exe": self.sick + b"%d" % i, where + "ok.exe": self.clean, where + "n.txt": b"x"})
        plant(folder, files)
        os.symlink(folder + "/d1", folder + "/link")
        os.chmod(folder + "/d2/e2/ok.exe", 0)
        os.chmod(folder + "/d3/e3", 0)
        os.chmod(folder + "/d4/e4", 0o111)  # can be entered, not listed
        return not os.access(folder + "/d3/e3", os.R_OK)  # whether permissions bind this user

    def test_any_number_of_jobs_gives_the_answer_of_one(self):
        """Whatever the jobs, the same lines, skips, files left and files moved, in the listing's
        order and (on Linux) in a cold disk's; a move never replaces a file of the folder it moves
        into, nor another move's, and names where each went."""
        folder, moved = os.path.join(self.root, "jobs"), os.path.join(self.root, "jobs-moved")
        for build in self.builds():
            for mode in ([], ["--delete"], ["--move", moved]):
                moving = mode[:1] == ["--move"]
                answers = {}
                for jobs, disk in itertools.product(("1", "2", "8"), ("warm",) if build.wine else ("warm", "cold")):
                    binds = self.jobs_tree(folder)
                    shutil.rmtree(moved, ignore_errors=True)
                    os.mkdir(moved)
                    code, out, err = build.run("--jobs", jobs, *mode, folder, env={"QF_TEST_DISK": disk})
                    jobs += "" if disk == "warm" else " cold"
                    lines = [re.sub(r", moved to .*", ", moved", line) for line in out.splitlines()]
                    left = sorted(os.path.relpath(os.path.join(d, f), folder) for d, _, fs in os.walk(folder) for f in fs)
                    kept = {name: read(os.path.join(moved, name)) for name in os.listdir(moved) if name != "index.jsonl"}
                    named = {os.path.basename(build.unix(t)) for t in re.findall(r"moved to (.*)\n", out)}
                    self.assertEqual(named, set(kept) if moving else set())
                    answers[jobs] = (code, sorted(lines), sorted(err.splitlines()), left, sorted(kept), sorted(kept.values()))
                with self.subTest(wine=build.wine, mode=mode):
                    self.assertEqual(answers["1"][0], 2 if binds else 1, "the unreadable ones are skips")
                    if binds:
                        self.assertEqual([line.split(": ")[2] for line in map(build.unix, answers["1"][2])],
                                         ["cannot be read", "cannot be entered", "cannot be listed"])
                    for jobs in answers:
                        self.assertEqual(answers[jobs], answers["1"], jobs)
                    sick = {self.sick + b"%d" % i for i in range(48) if i not in (3, 4) or not binds} | {self.sick} if moving else set()
                    self.assertEqual(set(answers["1"][5]), sick)
                    self.assertEqual(set(answers["1"][4]), {stored_name(data) for data in sick})

    def test_a_stop_with_many_jobs_ends_every_thread_and_halves_no_move(self):
        build = ARGS.linux or self.skipTest("Linux only")
        for disk in ("warm", "cold"):  # in the listing's order, and a batch at a time in the disk's
            with self.subTest(disk=disk):
                folder = self.tree("stop-" + disk, {"f%d/g%d/sick.exe" % (i % 20, i): self.sick for i in range(400)})
                moved = os.path.join(self.root, "stop-moved-" + disk)
                os.mkdir(moved)
                # Every walk that reaches a disposal waits on the fifo: the stop comes while they wait.
                pause = os.path.join(self.root, "pause-" + disk)
                os.mkfifo(pause + ".go")
                scan = subprocess.Popen(build.command(["--jobs", "8", "--move", moved, folder]),
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=dict(os.environ, QF_TEST_DISPOSE_PAUSE=pause, QF_TEST_DISK=disk))
                while not os.path.exists(pause) or os.path.getsize(pause) == 0:
                    self.assertIsNone(scan.poll())
                    select.select([], [], [], 0.01)
                scan.send_signal(__import__("signal").SIGINT)
                go = os.open(pause + ".go", os.O_RDWR)  # held open, and fed: no walk waits on it for ever
                feeding = threading.Event()
                def feed():
                    while not feeding.wait(0.01):
                        os.write(go, b"g")
                feeder = threading.Thread(target=feed)
                feeder.start()
                out, err = scan.communicate(timeout=120)
                feeding.set()
                feeder.join()
                os.close(go)
                self.assertEqual(scan.returncode, 2, err)
                self.assertIn(b"STATUS: Stopped\n", out)
                count = int(re.search(rb"  Moved (\d+)\n", out).group(1))
                # Every file counted is named: those a walk held when the stop came are left, and say so.
                named = re.findall(rb": infected, (moved to|not moved: stopped)", out)
                self.assertEqual(len(named), int(re.search(rb"  Infected (\d+)\n", out).group(1)), out)
                self.assertEqual(named.count(b"moved to"), count)
                left = sum(len(fs) for _, _, fs in os.walk(folder))
                self.assertGreater(left, 0)
                # The index names every file moved, and no other.
                index = [json.loads(line) for line in read(os.path.join(moved, "index.jsonl")).splitlines()]
                self.assertEqual((sorted(os.listdir(moved)), left + count),
                                 (sorted(["index.jsonl"] + [line["stored"] for line in index]), 400))
                for line in index:
                    self.assertEqual(read(os.path.join(moved, line["stored"])), self.sick)

    def test_both_builds_agree_on_every_edge_case(self):
        if not (ARGS.compare and ARGS.wine):
            self.skipTest("needs both builds")
        sick, sick_end, probe = self.sick, infected(self.clean, 0), code_end(self.clean)
        folder = self.tree("both", {
            "a/b/c/sick.exe": sick, "a/clean.exe": self.clean, ".hidden.exe": sick, "a/.dot/sick.exe": sick,
            "cut-headers.exe": sick[:0x100], "lfanew-past-end.exe": sick[:0x3C] + b"\xff\xff\0\0" + sick[0x40:],
            "marker-at-last-byte.exe": sick_end[:probe + 9], "marker-past-end.exe": sick_end[:probe + 8], "readonly.exe": sick})
        os.chmod(folder + "/readonly.exe", 0o444)
        os.symlink(folder + "/a", folder + "/dir-link")
        os.symlink(folder + "/a/b/c/sick.exe", folder + "/file-link.exe")
        outputs = [b.unix(b.run(folder)[1]).splitlines() for b in (ARGS.compare, ARGS.wine)]
        # Wine shows a Unix link to a file as the file itself, so only there is it tested.
        link = folder + "/file-link.exe: infected"
        self.assertIn(link, outputs[1])
        found = [sorted(line for line in out if line.endswith(": infected") and line != link) for out in outputs]
        self.assertEqual(found[0], found[1], "one verdict from both builds")
        self.assertIn("  Infected %d" % len(found[0]), outputs[0])
        for name in ("marker-at-last-byte.exe", "readonly.exe", "a/b/c/sick.exe"):
            self.assertIn(folder + "/" + name + ": infected", outputs[1])
        self.assertNotIn(folder + "/file-link.exe: infected", outputs[0], "a link is never followed")

    def test_every_name_windows_allows(self):
        """Infected and clean files under names that the code page cannot hold, DOS device names,
        trailing dots and spaces, look-alikes and long paths (one past 10,000 characters): each build
        reports exactly the infected ones, deletes exactly them when asked, leaves a clean tree
        (exit code 0), and both count alike."""
        sick, clean = NAMES_SICK | {DEEPER + "/sick.exe"}, NAMES_CLEAN
        counts = []
        for build in self.builds() + [b for b in [ARGS.compare] if b]:
            with self.subTest(wine=build.wine):
                folder = self.tree("names-%d" % build.wine, {**{n: self.sick for n in NAMES_SICK},
                                                             **{n: self.clean for n in clean}})
                plant_deep(folder, DEEPER + "/sick.exe", self.sick)
                code, out, err = build.run(folder)
                found = sorted(build.unix(line)[len(folder) + 1:-len(": infected")] for line in out.splitlines()
                               if line.endswith(": infected"))
                self.assertEqual((code, found, err), (1, sorted(sick), ""))
                counts.append([line for line in out.splitlines() if line.startswith("  ")])
                # Wine's server deletes a file by its Unix path, which Linux refuses past 4,096 bytes.
                kept = {DEEPER + "/sick.exe"} if build.wine else set()
                code, out, err = build.run("--delete", folder)
                self.assertEqual((code, out.count(": infected, deleted\n"), err), (2 if kept else 1, len(sick - kept), ""))
                for name in sick - kept | clean:
                    self.assertEqual(os.path.exists(os.path.join(folder, name)), name in clean, name)
                self.assertEqual(build.run(folder)[0], 1 if kept else 0, "what is left is clean")
        self.assertEqual(len(set(map(tuple, counts))), 1, counts)

    def test_no_false_positives_on_installed_programs(self):
        if not (ARGS.compare and ARGS.wine):
            self.skipTest("needs both builds")
        folders = [f for f in INSTALLED_PROGRAMS if os.path.isdir(f)]
        before = {f: fingerprint(f) for f in folders}
        self.assertGreater(sum(map(len, before.values())), 2000, "too few programs installed to tell")
        outputs = [[b.unix(line) for line in b.run(*folders)[1].splitlines()] for b in (ARGS.compare, ARGS.wine)]
        self.assertEqual(outputs[0], outputs[1])
        self.assertIn("  Infected 0", outputs[0])
        self.assertEqual({f: fingerprint(f) for f in folders}, before, "no file changed")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--linux")
    parser.add_argument("--wine")
    parser.add_argument("--probe")
    parser.add_argument("--compare", help="a Linux build to hold the Windows one against")
    ARGS, rest = parser.parse_known_args()
    ARGS.compare = ARGS.compare and Build(ARGS.compare, False)
    ARGS.linux = ARGS.linux and Build(ARGS.linux, False)
    ARGS.wine = ARGS.wine and Build(ARGS.wine, True)
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
