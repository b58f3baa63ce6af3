#!/usr/bin/python3
"""qfscan run as a user runs it, on real files: exit codes, the text, quiet and JSON forms, the
progress line, and the same answers from the Linux and the Windows build.

  qfscan_test.py [--linux QFSCAN] [--wine QFSCAN.EXE --probe PROBE.EXE [--compare QFSCAN]]

The Windows build runs under the Wine prefix that run-under-wine.sh made. With --compare, one
tree is also scanned by both builds and the outputs must agree line by line."""
import argparse
import json
import os
import pty
import re
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

SAMPLES = os.environ.get("QF_SAMPLES", "samples")
ARGS = None


def sample(name):
    with open(os.path.join(SAMPLES, name), "rb") as f:
        return f.read()


def infected(image, form=0x10):
    """A copy of a PE32 program with the worm's marker just past its code section."""
    b = bytearray(image)
    nt = struct.unpack_from("<I", b, 0x3C)[0]
    count, optional = struct.unpack_from("<H", b, nt + 6)[0], struct.unpack_from("<H", b, nt + 20)[0]
    base_of_code = struct.unpack_from("<I", b, nt + 44)[0]
    for entry in range(nt + 24 + optional, nt + 24 + optional + 40 * count, 40):
        address, size, offset = struct.unpack_from("<III", b, entry + 12)
        if address == base_of_code:
            probe = offset + size
    if form == 0x10:
        b[probe] = 0x10
        for at, text in ((3969, b"*\0"), (3973, b"@\0"), (3981, b"P\0")):
            b[probe + at:probe + at + 2] = text
    else:
        b[probe] = 0
        b[probe + 4:probe + 9] = b"\x83uBE\0"
    return bytes(b)


def plant(root, files):
    """files: {relative path: bytes}; folders are made on the way."""
    for relative, data in files.items():
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


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

    def run(self, *args):
        done = subprocess.run(self.command(args), capture_output=True, timeout=600)
        text = lambda b: b.decode("utf-8", "surrogateescape").replace("\r\n", "\n")
        return done.returncode, text(done.stdout), text(done.stderr)

    def run_on_terminal(self, *args):
        """Runs with standard error on a pseudo-terminal; what the terminal showed."""
        master, slave = pty.openpty()
        process = subprocess.Popen(self.command(args), stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        shown = b""
        while True:
            if select.select([master], [], [], 60)[0]:
                try:
                    chunk = os.read(master, 65536)
                except OSError:
                    chunk = b""
                if chunk:
                    shown += chunk
                    continue
            break
        process.wait(60)
        os.close(master)
        return shown.decode("utf-8", "replace")


class Scans(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="qf-scan.")
        self.clean, self.sick = sample("sample32.exe"), infected(sample("sample32.exe"))

    def tearDown(self):
        subprocess.run(["chmod", "-R", "u+rwx", self.root])
        shutil.rmtree(self.root)

    def builds(self):
        return [b for b in (ARGS.linux, ARGS.wine) if b]

    def tree(self, name, files):
        folder = os.path.join(self.root, name)
        plant(folder, files)
        return folder

    def test_exit_codes_and_what_becomes_of_infected_files(self):
        for build in self.builds():
            with self.subTest(wine=build.wine):
                clean = self.tree("clean" + str(build.wine), {"a/clean.exe": self.clean, "notes.txt": b"text"})
                self.assertEqual(build.run(clean)[0], 0)
                files = {"sick.exe": self.sick, "deep/er/sick.exe": infected(self.clean, 0), "ok.exe": self.clean}
                sick = self.tree("sick" + str(build.wine), files)
                code, out, _ = build.run(sick)
                self.assertEqual(code, 1)
                self.assertIn(build.path(sick + "/deep/er/sick.exe") + ": infected\n", out)
                self.assertTrue(os.path.exists(sick + "/sick.exe"))

                quarantine = self.tree("quarantine" + str(build.wine), {"sick.exe": b"an older one"})
                code, out, _ = build.run("--move", quarantine, sick)
                self.assertEqual(code, 1)
                self.assertIn(": infected, moved to " + build.path(quarantine + "/sick.exe.1") + "\n", out)
                self.assertIn("  Moved 2\n", out)
                self.assertEqual(sorted(os.listdir(quarantine)), ["sick.exe", "sick.exe.1", "sick.exe.2"])
                self.assertFalse(os.path.exists(sick + "/sick.exe"))

                plant(sick, files)
                code, out, _ = build.run("--delete", sick)
                self.assertEqual((code, out.count(": infected, deleted\n")), (1, 2))
                self.assertEqual(sorted(os.listdir(sick)), ["deep", "ok.exe"])

    def test_a_file_that_cannot_be_deleted_is_an_error(self):
        for build in self.builds():
            with self.subTest(wine=build.wine):
                sick = self.tree("held" + str(build.wine), {"in/sick.exe": self.sick})
                if build.wine:  # held open by another program
                    holder = subprocess.Popen([os.environ["QF_WINE_LOADER"], ARGS.probe, "hold",
                                               build.path(sick + "/in/sick.exe")],
                                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
                    self.assertEqual(holder.stdout.readline().strip(), b"held")
                else:  # in a folder that may not be written
                    os.chmod(sick + "/in", 0o555)
                code, out, _ = build.run("--delete", sick)
                if build.wine:
                    holder.communicate(timeout=60)
                self.assertEqual(code, 2)
                self.assertIn(build.path(sick + "/in/sick.exe") + ": infected, not deleted: ", out)
                self.assertIn("  Deleted 0\n", out)

    def test_bad_options_and_paths_change_nothing(self):
        for build in self.builds():
            with self.subTest(wine=build.wine):
                sick = self.tree("bad" + str(build.wine), {"sick.exe": self.sick})
                for args, problem in ((["--delete", "--bogus", sick], "--bogus"),
                                      (["--delete", sick, sick + "/missing"], "missing"),
                                      (["--delete", "--move", sick, sick], "--move"),
                                      (["--delete"], "PATH")):
                    code, out, err = build.run(*args)
                    self.assertEqual((code, out), (2, ""), args)
                    self.assertEqual(err.count("\n"), 1, err)
                    self.assertIn(problem, err)
                self.assertTrue(os.path.exists(sick + "/sick.exe"))

    def test_quiet_and_json(self):
        for build in self.builds():
            # Any bytes make a Linux name; JSON takes a byte that is no UTF-8 as Latin-1.
            name = "odd name.exe" if build.wine else "it's \"odd\"\\ \x01\udce9.exe"
            with self.subTest(wine=build.wine):
                sick = self.tree("forms" + str(build.wine), {"a/" + name: self.sick, "b.exe": self.clean})
                code, out, _ = build.run("--quiet", sick)
                self.assertEqual(code, 1)
                self.assertEqual(out.split("\n")[0], build.path(sick + "/a/" + name) + ": infected")
                self.assertEqual(out.split("\n")[1:], ["STATUS: Done", "  Directories: 1", "  Files: 2",
                                                       "  Infected 1", "  Deleted 0", "  Skipped 0", ""])
                code, out, _ = build.run("--json", "--delete", sick)
                lines = [json.loads(line) for line in out.splitlines()]
                self.assertEqual(lines[0], {"type": "infected", "path": build.path(sick + "/a/" + name.replace("\udce9", "\xe9")),
                                            "action": "deleted"})
                self.assertEqual(lines[1], {"type": "summary", "directories": 1, "files": 2, "infected": 1,
                                            "deleted": 1, "moved": 0, "skipped": 0, "exit_code": 1})

    def test_progress_only_on_a_terminal(self):
        for build in self.builds():
            with self.subTest(wine=build.wine):
                folder = self.tree("progress" + str(build.wine), {"d%d/f.txt" % i: b"x" for i in range(50)})
                self.assertEqual(build.run(folder)[2], "", "nothing on standard error in a pipe")
                # Wine draws its console with escape sequences (spaces become cursor moves).
                shown = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", build.run_on_terminal(folder))
                self.assertRegex(shown, r"\r\d+ folders, \d+ files, \d+s: " if not build.wine else r"\d+ ?folders,")

    def test_skips_links_deep_paths_and_cleanup_on_linux(self):
        build = ARGS.linux or self.skipTest("Linux only")
        folder = self.tree("linux", {"open/sick.exe": self.sick, "shut/x.txt": b"x", "locked.exe": self.sick})
        deep = os.path.join(folder, *["level%02d-%s" % (i, "p" * 40) for i in range(8)])
        plant(deep, {"sick.exe": self.sick})
        os.symlink(folder + "/open", folder + "/link")
        os.chmod(folder + "/shut", 0)
        os.chmod(folder + "/locked.exe", 0)
        code, out, err = build.run(folder)
        self.assertEqual(code, 2)
        self.assertIn(deep + "/sick.exe: infected\n", out)
        self.assertEqual(out.count(": infected\n"), 2, "the link is not followed")
        self.assertEqual(sorted(err.splitlines()), ["skipped: %s/locked.exe: cannot be read: Permission denied" % folder,
                                                    "skipped: %s/shut: cannot be entered: Permission denied" % folder])
        self.assertEqual(build.run("--cleanup", folder)[0], 2)

    def test_both_builds_agree(self):
        if not (ARGS.compare and ARGS.wine):
            self.skipTest("needs both builds")
        files = {"a/b/c/sick.exe": self.sick, "a/x.exe": infected(self.clean, 0), "a/clean.exe": self.clean,
                 "64.exe": sample("sample64.exe"), "lib.dll": sample("sample32.dll"), "t.txt": b"t", "a/.d/s.exe": self.sick}
        folder = self.tree("both", files)
        outputs = [sorted(b.unix(b.run(folder)[1]).splitlines()) for b in (ARGS.compare, ARGS.wine)]
        self.assertEqual(outputs[0], outputs[1])


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
