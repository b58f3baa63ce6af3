#!/usr/bin/env python3
"""Writes the release archives from the built programs, and SHA256SUMS of all in OUT, byte for byte the same
on every run: fixed member order, times from SOURCE_DATE_EPOCH (the manual page's date too), no owners.

  make-dist.py VERSION WINDOWS_BUILD LINUX_BUILD OUT"""
import gzip
import hashlib
import io
import os
import subprocess
import sys
import tarfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
DOC = "/usr/share/doc"
LICENSES = "/usr/share/common-licenses"
# The packages whose code the static programs hold, and the license texts they refer to.
WINDOWS_PARTS = [("mingw-w64", DOC + "/mingw-w64-common/copyright"),
                 ("GCC (libstdc++, libgcc)", DOC + "/gcc-mingw-w64-base/copyright"),
                 ("GNU General Public License version 3", LICENSES + "/GPL-3")]
LINUX_PARTS = [("hivex", DOC + "/libhivex0/copyright"), ("GNU C Library", DOC + "/libc6/copyright"),
               ("GCC (libstdc++, libgcc)", DOC + "/gcc-12-base/copyright"),
               ("GNU Lesser General Public License version 2.1", LICENSES + "/LGPL-2.1"),
               ("GNU General Public License version 3", LICENSES + "/GPL-3")]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def notices(parts):
    text = read(os.path.join(HERE, "notices-head.txt"))
    for title, path in parts:
        text += b"\n" + b"=" * 78 + b"\n" + title.encode() + b"\n" + b"=" * 78 + b"\n\n" + read(path)
    return text


def crlf(data):
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def write_zip(path, folder, members, epoch):
    stamp = max(epoch, 315532800 + 86400)  # zip cannot hold times before 1980
    import time
    when = time.gmtime(stamp)[:6]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
        for name, data, mode in members:
            info = zipfile.ZipInfo(folder + "/" + name, date_time=when)
            info.external_attr = (0o100000 | mode) << 16
            info.create_system = 3
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)


def write_tar_gz(path, folder, members, epoch):
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.GNU_FORMAT) as archive:
        for name, data, mode in members:
            info = tarfile.TarInfo(folder + "/" + name)
            info.size, info.mode, info.mtime = len(data), mode, epoch
            info.uid = info.gid = 0
            info.uname = info.gname = "root"
            archive.addfile(info, io.BytesIO(data))
    with open(path, "wb") as out, gzip.GzipFile(filename="", mode="wb", fileobj=out, mtime=epoch, compresslevel=9) as z:
        z.write(raw.getvalue())


def manual_page(qfscan, epoch):
    """qfscan.1: help2man's reading of qfscan --help and --version, with src/console/qfscan.h2m."""
    env = dict(os.environ, SOURCE_DATE_EPOCH=str(epoch), TZ="UTC")
    # The locale is help2man's own (its default, C, writes a name in Cyrillic as question marks).
    return subprocess.run(["help2man", "--no-info", "--locale=C.UTF-8", "--include", os.path.join(TOP, "src", "console", "qfscan.h2m"),
                           qfscan], capture_output=True, check=True, env=env).stdout


def main():
    version, windows, linux, out = sys.argv[1:5]
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH") or
                subprocess.run(["git", "-C", TOP, "log", "-1", "--format=%ct"], capture_output=True,
                               text=True, check=True).stdout)
    os.makedirs(out, exist_ok=True)
    # The user's part of the documents: the manual, not the README's build and test notes.
    readme, license_text = read(os.path.join(TOP, "docs", "manual.md")), read(os.path.join(TOP, "LICENSE"))
    man = manual_page(os.path.join(linux, "qfscan"), epoch)
    win_name = "quenfold-%s-windows-x86" % version
    linux_name = "qfscan-%s-linux-x86_64" % version
    write_zip(os.path.join(out, win_name + ".zip"), win_name, [
        ("quenfold.exe", read(os.path.join(windows, "quenfold.exe")), 0o755),
        ("qfscan.exe", read(os.path.join(windows, "qfscan.exe")), 0o755),
        ("qfscan-startup.cmd", crlf(read(os.path.join(TOP, "deploy", "qfscan-startup.cmd"))), 0o644),
        ("intune-detect.ps1", crlf(read(os.path.join(TOP, "deploy", "intune-detect.ps1"))), 0o644),
        ("intune-remediate.ps1", crlf(read(os.path.join(TOP, "deploy", "intune-remediate.ps1"))), 0o644),
        ("README.txt", crlf(readme), 0o644), ("qfscan.1", man, 0o644), ("LICENSE", crlf(license_text), 0o644),
        ("THIRD-PARTY-NOTICES.txt", crlf(notices(WINDOWS_PARTS)), 0o644)], epoch)
    write_tar_gz(os.path.join(out, linux_name + ".tar.gz"), linux_name, [
        ("qfscan", read(os.path.join(linux, "qfscan")), 0o755), ("qfscan.1", man, 0o644), ("README.md", readme, 0o644),
        ("LICENSE", license_text, 0o644), ("THIRD-PARTY-NOTICES.txt", notices(LINUX_PARTS), 0o644)], epoch)
    # Everything in OUT: the rescue image and its PXE files are written there before.
    sums = ""
    for name in sorted(n for n in os.listdir(out) if n != "SHA256SUMS" and os.path.isfile(os.path.join(out, n))):
        sums += "%s  %s\n" % (hashlib.sha256(read(os.path.join(out, name))).hexdigest(), name)
    with open(os.path.join(out, "SHA256SUMS"), "w") as f:
        f.write(sums)


if __name__ == "__main__":
    main()
