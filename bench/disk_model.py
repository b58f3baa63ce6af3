#!/usr/bin/env python3
"""The time a 7200 rpm disk of 80 GB would take to serve a trace of block requests.

    disk_model.py [--sorted] TRACE

TRACE has one request a line, "SECTOR BYTES" (512-byte sectors, as the block layer counts them),
in the order they were issued; the disk serves them in that order, or with --sorted in the order
of their addresses (the best any scanner could ask for the same blocks). Prints
"seconds=... requests=... bytes=... seeks=...".

The model: a request's position is its byte offset, on a disk of D = 80 GB. Moving the head d
bytes costs the seek time of Ruemmler and Wilkes ("An introduction to disk drive modeling", IEEE
Computer 27(3), 1994), fitted through track to track 1 ms, a third of the stroke 8.5 ms and the
full stroke 18 ms, then half a revolution; the data passes at 100 MB/s. A request that starts less
than a track (512 KiB) ahead of the end of the one before costs no seek: only the time for the gap
to pass under the head, and its own transfer.
"""
import math
import sys

DISK = 80e9
TRACK = 512 * 1024
RATE = 100e6             # bytes a second
HALF_TURN = 4.17e-3      # seconds, at 7200 rpm


def seek_seconds(d):
    third = DISK / 3
    if d < third:
        return (1 + 7.5 * math.sqrt(d / third)) / 1000
    return (8.5 + 9.5 * (d - third) / (2 * DISK / 3)) / 1000


def replay(requests):
    """requests: (offset, bytes) pairs in the order served; returns (seconds, seeks)."""
    seconds, seeks, end = 0.0, 0, 0
    for offset, size in requests:
        if 0 <= offset - end < TRACK:
            seconds += (offset - end + size) / RATE
        else:
            seconds += seek_seconds(abs(offset - end)) + HALF_TURN + size / RATE
            seeks += 1
        end = offset + size
    return seconds, seeks


def main(argv):
    args = argv[1:]
    by_address = bool(args) and args[0] == "--sorted"
    if by_address:
        args = args[1:]
    if len(args) != 1:
        sys.stderr.write("usage: disk_model.py [--sorted] TRACE\n")
        return 2
    with open(args[0]) as trace:
        requests = [(int(sector) * 512, int(size)) for sector, size in (line.split() for line in trace if line.strip())]
    if by_address:
        requests.sort(key=lambda r: r[0])
    seconds, seeks = replay(requests)
    print("seconds=%.3f requests=%d bytes=%d seeks=%d" % (seconds, len(requests), sum(r[1] for r in requests), seeks))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
