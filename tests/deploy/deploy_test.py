#!/usr/bin/python3
"""The Group Policy start-up script under Wine's cmd, with a local folder standing in for the
share: one log per computer that every run appends to, and qfscan's exit code passed on.
Runs inside the throwaway prefix that tests/console/run-under-wine.sh makes.

  deploy_test.py QFSCAN.exe SCRIPT.cmd"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path[:0] = [os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support")]
from fixtures import infected, plant, sample  # noqa: E402

QFSCAN = SCRIPT = PROBE = None


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class StartupScript(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="qf-deploy.")
        self.tools, self.share = os.path.join(self.work, "netlogon"), os.path.join(self.work, "share")
        os.makedirs(self.tools)
        os.makedirs(self.share)
        shutil.copy(QFSCAN, os.path.join(self.tools, "qfscan.exe"))
        shutil.copy(SCRIPT, os.path.join(self.tools, "qfscan-startup.cmd"))
        self.computer = subprocess.run([os.environ["QF_WINE_LOADER"], "cmd", "/c", "echo %COMPUTERNAME%"],
                                       capture_output=True, text=True).stdout.strip()

    def tearDown(self):
        shutil.rmtree(self.work)

    def run_script(self, *args):  # the whole exit code, as the probe reads it: Wine gives Linux its low byte
        command = [os.environ["QF_WINE_LOADER"], PROBE, "exit-code", "cmd", "/c",
                   windows_path(os.path.join(self.tools, "qfscan-startup.cmd"))]
        out = subprocess.run(command + list(args), capture_output=True, timeout=300).stdout.decode()
        return int(out.split("exit code ")[-1])

    def test_log_per_computer_and_exit_codes(self):
        self.assertTrue(self.computer)
        sick = infected(sample("sample32.exe"))
        plant(os.path.join(self.work, "clean"), {"a/tool.exe": sample("sample32.exe")})
        plant(os.path.join(self.work, "sick"), {"b/worm.exe": sick})
        cases = [("clean", 0, []), ("sick", 1, []), ("missing", 2, []), ("missing", 1603, ["--exit-codes", "installer"])]
        for folder, code, more in cases:
            with self.subTest(folder, more=more):
                self.assertEqual(self.run_script(windows_path(self.share), windows_path(os.path.join(self.work, folder)),
                                                 *more), code)
        self.assertFalse(os.path.exists(os.path.join(self.work, "sick/b/worm.exe")))
        self.assertEqual(self.run_script(), 2, "no share given")
        self.assertEqual(os.listdir(self.share), [self.computer + ".log"])
        with open(os.path.join(self.share, self.computer + ".log"), newline="") as log:
            lines = log.read().split("\r\n")
        self.assertEqual(lines[-1], "")
        records = [json.loads(line) for line in lines[:-1]]
        summaries = [r for r in records if r["type"] == "summary"]
        # The run on a missing folder stops before it writes anything.
        self.assertEqual([s["exit_code"] for s in summaries], [0, 1])
        self.assertEqual({(s["host"], s["version"]) for s in summaries},
                         {(self.computer, subprocess.run([os.environ["QF_WINE_LOADER"], QFSCAN, "--version"],
                                                         capture_output=True, text=True).stdout.split()[1])})
        # Wine's prefix holds no Userinit: the first run writes it, and says so.
        self.assertEqual([r["type"] for r in records], ["change", "verdict", "summary", "verdict", "infected", "summary"])


if __name__ == "__main__":
    QFSCAN, SCRIPT, PROBE = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:])
