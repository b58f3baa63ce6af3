"""Fixtures that several suites share: samples, the worm's marker, planted trees and what shows a
change of any of them."""
import ctypes
import hashlib
import itertools
import os
import stat
import struct
import subprocess
import sys
import threading

import pefile


def read(path):
    with open(path, "rb") as f:
        return f.read()


def caller():
    """Where the test case called the helper that asks ("file.py:LINE"): a shared helper's
    assertions name it, so that a failure points at the case."""
    frame = sys._getframe(2)
    return "%s:%d" % (os.path.basename(frame.f_code.co_filename), frame.f_lineno)


def sample(name):
    return read(os.path.join(os.environ.get("QF_SAMPLES", "samples"), name))


def code_end(image):
    """Where the code section's raw data ends: the marker's place."""
    pe = pefile.PE(data=image, fast_load=True)
    return next(s.PointerToRawData + s.SizeOfRawData for s in pe.sections
                if s.VirtualAddress == pe.OPTIONAL_HEADER.BaseOfCode)


def infected(image, form=0x10, probe=None):
    """A copy of a PE program with the worm's marker just past its code section."""
    b = bytearray(image)
    probe = code_end(image) if probe is None else probe
    if form == 0x10:
        b[probe] = 0x10
        for at, text in ((3969, b"*\0"), (3973, b"@\0"), (3981, b"P\0")):
            b[probe + at:probe + at + 2] = text
    else:
        b[probe] = 0
        b[probe + 4:probe + 9] = b"\x83uBE\0"
    return bytes(b)


# ntfs-3g lists none of its own attributes; they are asked for by name.
NTFS_ATTRIBUTES = ("system.ntfs_acl", "system.ntfs_attrib_be", "system.ntfs_times",
                   "system.ntfs_security", "system.dos_attrib")


def attributes(path):
    """Every extended attribute of path that its mount shows: {name: bytes}."""
    found = {}
    try:
        listed = set(os.listxattr(path, follow_symlinks=False))
    except OSError:  # a volume that keeps none (FAT)
        listed = set()
    for name in listed | set(NTFS_ATTRIBUTES):
        try:
            found[name] = os.getxattr(path, name, follow_symlinks=False)
        except OSError:
            pass
    return found


def fingerprint(root):
    """Every file, folder and link below root with its bytes (their hash), mode, times and
    extended attributes: any change of any of them shows."""
    seen = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            info = os.lstat(path)
            if stat.S_ISREG(info.st_mode) and info.st_size < 1 << 26:
                content = hashlib.sha256(read(path)).hexdigest()
            else:
                content = os.readlink(path) if stat.S_ISLNK(info.st_mode) else info.st_size
            seen[os.path.relpath(path, root)] = (content, info.st_mode, info.st_mtime_ns,
                                                 sorted(attributes(path).items()))
    return seen


def plant(root, files):
    """files: {relative path: bytes}; folders are made on the way."""
    for relative, data in files.items():
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


# Names Windows allows that its ANSI calls cannot reach, beside their look-alikes.
DEEP = "/".join(["d" * 60] * 6)
NAMES_SICK = {"Пользователи/Документы/sick.exe", "Ελληνικά/α.exe", "漢字/程序.exe", "emoji 😀/sick.exe",
              "con.exe", "aux.exe", "nul.exe", "com1.exe", "CON/sick.exe", "names/twin.exe.", "names/space.exe ",
              "trailing dot./sick.exe", DEEP + "/sick.exe", "n" * 240 + "/sick.exe"}
NAMES_CLEAN = {"Ελληνικά/a.exe", "names/twin.exe", "names/space.exe", "Пользователи/clean.exe", DEEP + "/clean.exe"}


# Windows's in-place compression (CompactOS): the algorithms' numbers in the reparse data, their
# chunk sizes, and wimlib's compression type for each.
WOF_FORMATS = {"xpress4k": (0, 4096, 1), "lzx": (1, 32768, 2), "xpress8k": (2, 8192, 1), "xpress16k": (3, 16384, 1)}


def compact(path, data, algorithm, broken=False):
    """Makes path a file that Windows compressed in place: its chunks made by wimlib's compressor
    into the WofCompressedData stream (written through ntfs-3g's streams_interface=windows; when
    broken, its table has the first chunk end past the stream), the unnamed stream empty but of
    the data's size, and then the reparse point."""
    wim = ctypes.CDLL("libwim.so.15")
    wim.wimlib_compress.restype = ctypes.c_size_t
    number, size, kind = WOF_FORMATS[algorithm]
    compressor, out = ctypes.c_void_p(), ctypes.create_string_buffer(size)
    assert wim.wimlib_create_compressor(kind, ctypes.c_size_t(size), 0, ctypes.byref(compressor)) == 0
    chunks = []
    for at in range(0, len(data), size):
        piece = data[at:at + size]
        packed = wim.wimlib_compress(piece, ctypes.c_size_t(len(piece)), out, ctypes.c_size_t(len(piece) - 1), compressor)
        chunks.append(out.raw[:packed] if packed else piece)
    wim.wimlib_free_compressor(compressor)
    ends = list(itertools.accumulate(map(len, chunks)))[:-1]
    if broken:
        ends[0] = 0xFFFFFFFF
    with open(path + ":WofCompressedData", "wb") as f:
        f.write(b"".join(struct.pack("<I", end) for end in ends) + b"".join(chunks))
    os.truncate(path, len(data))
    os.setxattr(path, "system.ntfs_reparse_data", struct.pack("<IHHIIII", 0x80000017, 16, 0, 1, 2, 1, number))


def paused_run(command, fifo, at_pause, env=None, timeout=120):
    """Runs command with the test hook that stops before each disposal (QF_TEST_DISPOSE_PAUSE, a
    FIFO at fifo and fifo.go): at each stop at_pause(path) runs while the program waits. Returns
    the exit code and the bytes of standard output and standard error."""
    os.mkfifo(fifo)
    os.mkfifo(fifo + ".go")
    scan = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=dict(env or os.environ, QF_TEST_DISPOSE_PAUSE=fifo))

    def owner():
        while True:
            with open(fifo) as pause:
                path = pause.readline().strip()
            if not path:
                return
            at_pause(path)
            with open(fifo + ".go", "w") as go:
                go.write("g")
    thread = threading.Thread(target=owner)
    thread.start()
    out, err = scan.communicate(timeout=timeout)
    with open(fifo, "w"):
        pass  # an empty line ends the owner's wait
    thread.join()
    return scan.returncode, out, err
