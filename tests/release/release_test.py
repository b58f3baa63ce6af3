#!/usr/bin/python3
"""The programs as they ship: each exe's manifest and version resource read back from its resource
section, no debug sections, Authenticode signing with a throwaway CA, the archives with the
manual page and the user's manual, and the static Linux qfscan in an empty root (--version, a
scan, an offline repair).

  release_test.py WINDOWS_BUILD LINUX_RELEASE_BUILD SAMPLES [unittest options]"""
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile
import xml.etree.ElementTree as ET

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "offline"), os.path.join(HERE, "..", "support")]
from fixtures import infected, plant, read, sample  # noqa: E402

WINDOWS = LINUX = None
ASM = "{urn:schemas-microsoft-com:asm.v1}"
ASM3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
VISTA_TO_11 = {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
               "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
               "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}


class Windows(unittest.TestCase):
    CASES = [("quenfold.exe", "requireAdministrator", True), ("qfscan.exe", "asInvoker", False)]

    def test_manifest_version_and_no_debug_info_nor_test_hooks(self):
        version = subprocess.run([os.path.join(LINUX, "qfscan"), "--version"], capture_output=True,
                                 text=True, check=True).stdout.split()[1]
        # A program run as SYSTEM or root takes no orders from its environment.
        self.assertFalse(b"QF_TEST_" in read(os.path.join(LINUX, "qfscan")), "qfscan holds a test hook's name")
        for program, level, common_controls in self.CASES:
            with self.subTest(program):
                data = read(os.path.join(WINDOWS, program))
                # Windows code names a variable in UTF-16 as often as in bytes.
                self.assertFalse(b"QF_TEST_" in data or "QF_TEST_".encode("utf-16-le") in data,
                                 program + " holds a test hook's name")
                image = pefile.PE(data=data)
                # Long section names (".debug_info") live in the symbol table's strings: none either.
                self.assertEqual(([s.Name for s in image.sections if s.Name.startswith((b".debug", b"/"))],
                                  image.FILE_HEADER.PointerToSymbolTable), ([], 0))
                kind = next(e for e in image.DIRECTORY_ENTRY_RESOURCE.entries if e.id == 24)  # the manifest, name 1
                at = next(e for e in kind.directory.entries if e.id == 1).directory.entries[0].data.struct
                found = ET.fromstring(image.get_data(at.OffsetToData, at.Size))
                levels = [e.get("level") for e in found.iter(ASM3 + "requestedExecutionLevel")]
                self.assertEqual(levels, [level])
                self.assertEqual({e.get("Id") for e in found.iter(COMPAT + "supportedOS")}, VISTA_TO_11)
                dependencies = [e.get("name") for e in found.iter(ASM + "assemblyIdentity")][1:]
                self.assertEqual(dependencies, ["Microsoft.Windows.Common-Controls"] if common_controls else [])
                strings = {k.decode(): v.decode() for info in image.FileInfo[0] if info.Key == b"StringFileInfo"
                           for table in info.StringTable for k, v in table.entries.items()}
                fixed = image.VS_FIXEDFILEINFO[0]
                self.assertEqual((strings["FileVersion"], strings["ProductVersion"]), (version, version))
                self.assertEqual("%d.%d.%d.%d" % (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
                                                  fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF), version + ".0")
                self.assertEqual((strings["ProductName"], strings["OriginalFilename"]), ("Quenfold", program))
                self.assertIn("Copyright", strings["LegalCopyright"])

    def test_signing(self):
        work = tempfile.mkdtemp(prefix="qf-sign.")
        try:
            def run(*command):
                return subprocess.run(command, cwd=work, capture_output=True, text=True)
            plant(work, {"ext": b"[ca]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=keyCertSign\n[sign]\n"
                                b"basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=codeSigning\n"})
            for step in (["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
                          "-days", "2", "-subj", "/CN=Quenfold test CA", "-extensions", "ca", "-config", "ext"],
                         ["req", "-newkey", "rsa:2048", "-nodes", "-keyout", "sign.key", "-out", "sign.csr",
                          "-subj", "/CN=Quenfold test signer"],
                         ["x509", "-req", "-in", "sign.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                          "-days", "1", "-extfile", "ext", "-extensions", "sign", "-out", "sign.pem"]):
                done = run("openssl", *step)
                self.assertEqual(done.returncode, 0, done.stderr)
            for program, _, _ in self.CASES:
                shutil.copy(os.path.join(WINDOWS, program), work)
            done = run(os.path.join(HERE, "..", "..", "tools", "release", "sign.sh"), "sign.pem", "sign.key", "--",
                       *[p for p, _, _ in self.CASES])
            self.assertEqual(done.returncode, 0, done.stderr)
            for program, _, _ in self.CASES:
                with self.subTest(program):
                    done = run("osslsigncode", "verify", "-CAfile", "ca.pem", "-in", program)
                    self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                    self.assertIn("sha256", done.stdout.lower())
        finally:
            shutil.rmtree(work)

    def test_archives_carry_the_manual_page_and_the_users_manual(self):
        """Both archives carry qfscan.1 with every option of --help and the date of SOURCE_DATE_EPOCH
        (not the day of the build: two builds of one commit on two days give the same bytes), and
        the user's manual as README, not the build notes."""
        qfscan = os.path.join(LINUX, "qfscan")
        version = subprocess.run([qfscan, "--version"], capture_output=True, text=True, check=True).stdout.split()[1]
        help_text = subprocess.run([qfscan, "--help"], capture_output=True, text=True, check=True).stdout
        out = tempfile.mkdtemp(prefix="qf-dist.")
        try:
            subprocess.run([os.path.join(HERE, "..", "..", "tools", "release", "make-dist.py"), version, WINDOWS, LINUX,
                            out], check=True, env=dict(os.environ, SOURCE_DATE_EPOCH="981158400"))  # 2001-02-03
            with zipfile.ZipFile(os.path.join(out, "quenfold-%s-windows-x86.zip" % version)) as z:
                folder = "quenfold-%s-windows-x86/" % version
                zipped = {name: z.read(folder + name) for name in ("qfscan.1", "README.txt")}
            with tarfile.open(os.path.join(out, "qfscan-%s-linux-x86_64.tar.gz" % version)) as t:
                folder = "qfscan-%s-linux-x86_64/" % version
                tarred = {name: t.extractfile(folder + name).read() for name in ("qfscan.1", "README.md")}
        finally:
            shutil.rmtree(out)
        man = tarred["qfscan.1"].decode()
        self.assertEqual(zipped["qfscan.1"], tarred["qfscan.1"])
        self.assertRegex(man, r'\.TH QFSCAN "1" "February 2001" "qfscan %s"' % re.escape(version))
        for option in sorted(set(re.findall(r"^  (?:-\w, )?(--[\w-]+)", help_text, re.M))):
            self.assertIn(option.replace("-", "\\-"), man, option + " is missing from the manual page")
        self.assertIn(".SH DETAILS", man)
        for readme in (zipped["README.txt"].decode(), tarred["README.md"].decode()):
            self.assertIn("## Download and run", readme)
            self.assertNotIn("make test", readme, "the shipped README holds the build notes")


class EmptyRoot(unittest.TestCase):
    """The Linux qfscan in a root that holds nothing but the binary and a test volume."""

    def test_version_scan_and_offline_repair(self):
        if os.geteuid() != 0:
            self.skipTest("chroot needs root")
        from hive_fixture import REG_SZ, build_hive, read_values
        root = tempfile.mkdtemp(prefix="qf-chroot.")
        try:
            shutil.copy(os.path.join(LINUX, "qfscan"), os.path.join(root, "qfscan"))
            sick = infected(sample("sample32.exe"))
            volume = os.path.join(root, "mnt")
            # Latin-1 names in the hive need iconv's Latin-1 conversion, which used to fail here; names
            # in another letter case than the volume's (SystemRoot, a Run value) need the program's
            # own case mapping, since there is no locale here.
            plant(volume, {"WINDOWS/System32/worm.exe": sick, "WINDOWS/system32.exe": b"MZ",
                           "Programme/Gr\u00fc\u00dfe/x.exe": sick})
            software = os.path.join(volume, "WINDOWS/System32/config/SOFTWARE")
            os.makedirs(os.path.dirname(software))
            winlogon = r"Microsoft\Windows NT\CurrentVersion\Winlogon"
            run_key = r"Microsoft\Windows\CurrentVersion\Run"
            build_hive(software, {r"Microsoft\Windows NT\CurrentVersion": [("SystemRoot", REG_SZ, "C:\\Windows")],
                                  winlogon: [("Userinit", REG_SZ, "C:\\WINDOWS\\system32.exe")],
                                  run_key: [("Gr\u00fc\u00dfe", REG_SZ, "C:\\WINDOWS\\System32\\worm.exe"),
                                            ("x", REG_SZ, "C:\\PROGRAMME\\GR\u00dc\u00dfE\\x.exe")]})

            def qfscan(*args):
                done = subprocess.run(["chroot", root, "/qfscan"] + list(args), capture_output=True, text=True,
                                      timeout=120)
                return done.returncode, done.stdout, done.stderr

            code, out, _ = qfscan("--version")
            self.assertEqual((code, bool(re.fullmatch(r"qfscan \d+\.\d+\.\d+\n", out))), (0, True), out)
            code, out, err = qfscan("--offline", "/mnt", "--delete")
            self.assertEqual((code, err), (1, ""), out)
            self.assertIn("changed: C:\\PROGRAMME\\GR\u00dc\u00dfE\\x.exe: infected program of a Run value", out)
            self.assertEqual([v[0] for v in read_values(software, run_key)], [])
            self.assertEqual(read_values(software, winlogon)[0][2],
                             "C:\\Windows\\system32\\userinit.exe\0".encode("utf-16-le"))
            for gone in ("WINDOWS/System32/worm.exe", "WINDOWS/system32.exe", "Programme/Gr\u00fc\u00dfe/x.exe"):
                self.assertFalse(os.path.exists(os.path.join(volume, gone)), gone)
            code, out, _ = qfscan("--json", "/mnt")
            self.assertEqual(code, 0, out)
        finally:
            shutil.rmtree(root)


if __name__ == "__main__":
    WINDOWS, LINUX = sys.argv[1], sys.argv[2]
    os.environ.setdefault("QF_SAMPLES", sys.argv[3])
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:])
