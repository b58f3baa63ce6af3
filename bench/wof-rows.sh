#!/usr/bin/env bash
# make bench's rows for files that Windows compressed in place (CompactOS), read through the
# build's ntfs-3g plugin, against the same programs stored plain beside them on one NTFS volume.
# run-bench.sh runs it in a mount namespace of its own, in which the build's plugin folder is laid
# over the system's library folder for ntfs-3g to find; nothing outside it changes.
#   wof-rows.sh BENCH_TREE CORPUS
set -euo pipefail
bench=$1 corpus=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench-lib.sh
. "$here/bench-lib.sh"
measure=$bench/bench/qf_measure
work=$(mktemp -d "$bench/wof.XXXXXX")
trap 'umount "$work/mnt" 2>/dev/null; rm -rf "$work"' EXIT
mount -t overlay qf-plugins -o lowerdir="$bench/plugins":/usr/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu

# The corpus's first 600 programs (by name), each plain, in XPRESS4K (CompactOS's default) and in
# LZX, on an image mounted with ntfs-3g as the rescue mounts it.
find "$corpus" -type f \( -name '*.exe' -o -name '*.dll' \) -size +0 | sort | sed -n '1,600p' >"$work/programs"
files=$(wc -l <"$work/programs")
truncate -s "$(( $(xargs -d '\n' du -cm <"$work/programs" | tail -n 1 | cut -f1) * 3 + 64 ))M" "$work/ntfs.img"
mkntfs -F -Q -q "$work/ntfs.img" >/dev/null 2>&1
mkdir "$work/mnt"
ntfs-3g -o streams_interface=windows "$work/ntfs.img" "$work/mnt"
/usr/bin/python3 - "$work/programs" "$work/mnt" <<EOF
import os, shutil, sys
sys.path.insert(0, "$here/../tests/support")
from fixtures import compact
programs, root = open(sys.argv[1]).read().splitlines(), sys.argv[2]
for kind in ("plain", "xpress4k", "lzx"):
    os.mkdir(os.path.join(root, kind))
    for n, program in enumerate(programs):
        target = os.path.join(root, kind, "%03d.exe" % n)
        if kind == "plain":
            shutil.copyfile(program, target)
        else:
            compact(target, open(program, "rb").read(), kind)
EOF
umount "$work/mnt"
ntfs-3g -o ro "$work/ntfs.img" "$work/mnt"

# Each run from the files' pages dropped (the image's own stay cached): what ntfs-3g and the
# plugin cost, not the disk.
echo "== files that Windows compressed, through ntfs-3g and its plugin ($files programs each)"
for kind in xpress4k lzx; do
  out=$(alternate_ms "$measure" --drop "$work/mnt/plain" "$bench/qfscan" --quiet --jobs 1 "$work/mnt/plain" -- \
                     "$measure" --drop "$work/mnt/$kind" "$bench/qfscan" --quiet --jobs 1 "$work/mnt/$kind")
  row "qfscan --jobs 1, $kind against the same plain, ms" \
      "$(awk -v o="$out" -v n="$files" 'BEGIN { split(o, f, /[ =]/)
         printf "%s (plain %s), ratio %s; %.0f us more a file", f[4], f[2], f[6], (f[4] - f[2]) * 1000 / n }')"
done
