#!/usr/bin/python3
"""make bench: the quarantine's costs. Moving N identical copies of one infected program against
N different ones (the index is read once, not once a file), and --list of an index of many
records. Prints medians and a ratio; asserts nothing.

  quarantine_bench.py QFSCAN WORK [RUNS]    (QF_SAMPLES: the sample programs)"""
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from fixtures import infected, plant, sample  # noqa: E402

COPIES, RECORDS = 500, 100_000


def timed(command):
    start = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, check=False)
    return (time.perf_counter() - start) * 1000


def main():
    qfscan, work, runs = sys.argv[1], sys.argv[2], int(sys.argv[3]) if len(sys.argv) > 3 else 5
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work, mode=0o700)
    sick = infected(sample("sample32.exe"))
    times = {"identical": [], "different": []}
    for run in range(runs):
        for kind in times:  # alternating, so that a slow spell of the machine falls on both alike
            tree, store = os.path.join(work, "tree"), os.path.join(work, "store")
            shutil.rmtree(tree, ignore_errors=True)
            shutil.rmtree(store, ignore_errors=True)
            os.mkdir(store, 0o700)
            plant(tree, {"d%d/sick.exe" % i: sick + (b"" if kind == "identical" else i.to_bytes(2, "little"))
                         for i in range(COPIES)})
            times[kind].append(timed([qfscan, "--quiet", "--jobs", "1", "--move", store, tree]))
    identical, different = (statistics.median(times[k]) for k in ("identical", "different"))
    row = "%-58s %s"
    print(row % ("--move of %d identical copies against %d different, ms" % (COPIES, COPIES),
                 "%.0f (different %.0f), ratio %.2f" % (identical, different, identical / different)))
    store = os.path.join(work, "listed")
    os.mkdir(store, 0o700)
    with open(os.path.join(store, "index.jsonl"), "w") as index:
        for i in range(RECORDS):
            sha = hashlib.sha256(b"%d" % i).hexdigest()
            index.write(json.dumps({"type": "file", "path": "/srv/share/d%d/sick.exe" % i,
                                    "stored": "q-%s-1.quarantined" % sha[:16], "size": len(sick), "sha256": sha,
                                    "moved": "2026-12-08T10:00:00Z", "host": "bench", "why": "Zaverin marker, form 0x10",
                                    "mode": 0o755, "uid": 0, "gid": 0, "atime_ns": 0, "mtime_ns": 0},
                                   separators=(",", ":")) + "\n")
    listed = statistics.median(timed([qfscan, "--list", store]) for _ in range(runs))
    print(row % ("--list of %d records, ms" % RECORDS, "%.0f" % listed))
    shutil.rmtree(work)


if __name__ == "__main__":
    main()
