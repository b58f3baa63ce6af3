#!/usr/bin/env bash
# make bench's rows for a spinning disk: every block request of a cold scan, recorded from the
# kernel's block:block_rq_issue tracepoint, replayed on a model of a 7200 rpm disk of 80 GB
# (disk_model.py says how). The model's seconds depend on the order and size of the requests
# only, not on this machine's disk or its other loads, so one run per figure is enough: a walk in
# one thread asks for the same blocks in the same order every time, a threaded scan's figure
# varies by about 2%.
#   disk-order-rows.sh BENCH_TREE [CORPUS]
# BENCH_TREE: an optimised native build tree with qfscan and bench/qf_native_floor, as make bench
#   makes it (cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DQF_SANITIZE= -DQF_TEST_SEAMS=OFF;
#   cmake --build build/bench --target qfscan qf_native_floor qf_measure qf_corpus_plant).
# CORPUS: the bench tree; BENCH_TREE/corpus (made by make-corpus.sh if missing) unless given.
# QF_DISK_MODEL_RUNS: cold runs per figure (medians; 1 unless set). QF_DISK_ROWS: which rows, of
#   "ext4 ntfs aged memory" (all unless set).
# Needs root, loop devices, FUSE, mkntfs, ntfs-3g and tracefs (mounted on /sys/kernel/tracing if
# it is not); without them it says why and prints no rows. It runs in a mount namespace of its
# own; the images live in BENCH_TREE while it runs, and every image, loop device and mount goes at
# its exit.
#
# The volumes, each a copy of the tree on an image on a loop device, built once per run:
#   ext4   copied in name order, depth first, as a copy tool goes;
#   ntfs   the same onto NTFS (mkntfs), read through ntfs-3g as the rescue reads Windows volumes
#          (-o ro,noatime);
#   aged   NTFS whose files were written in no particular order, between filler files written and
#          deleted, so that neither the MFT records nor the data follow the folders.
# For each, the requests of a cold run (the volume mounted afresh, so that nothing comes from a
# cache) of: the walk-order floor (qf_native_floor --random: open each file in walk order and read
# its first 4 KB, no read-ahead), qfscan --jobs 1 and qfscan at its default jobs; each against its
# own requests sorted by address (what the same blocks cost read in the disk's order: the limit).
# The rows give the modelled seconds and the ratios a scan in the disk's order aims at: qfscan
# within 2x of its own requests sorted, and the walk order at least 5 times qfscan's seconds; and
# the reads each issued per file. Then, warm (the memory is the figure):
#   memory qfscan's peak memory on the bench tree and on a tree of over 300,000 files (hard-linked
#          copies of it).
set -euo pipefail
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: disk-order-rows.sh BENCH_TREE [CORPUS]" >&2; exit 2; }
bench=$(cd "$1" && pwd)
corpus=${2:-}
here=$(cd "$(dirname "$0")" && pwd)

why=
if [ "$(id -u)" != 0 ]; then why="needs root"
elif [ ! -e /dev/loop-control ]; then why="needs loop devices"
elif [ ! -e /dev/fuse ]; then why="needs FUSE"
elif ! command -v mkntfs >/dev/null || ! command -v ntfs-3g >/dev/null; then why="needs mkntfs and ntfs-3g"
elif [ ! -e /sys/kernel/tracing/events ] && ! mount -t tracefs nodev /sys/kernel/tracing 2>/dev/null; then
  why="needs tracefs"
elif [ ! -e /sys/kernel/tracing/events/block/block_rq_issue ]; then why="needs the block:block_rq_issue tracepoint"
fi
[ -z "$why" ] || { echo "no disk-model rows: $why"; exit 0; }
if [ -z "${QF_DISK_ORDER_NS:-}" ]; then
  QF_DISK_ORDER_NS=1 exec unshare -m --propagation private bash "$0" "$@"
fi

# shellcheck source=bench-lib.sh
. "$here/bench-lib.sh"
if [ -z "$corpus" ]; then
  corpus=$bench/corpus
  QF_PLANT=$bench/bench/qf_corpus_plant "$here/make-corpus.sh" "$corpus" >/dev/null
fi
corpus=$(cd "$corpus" && pwd)
rows=${QF_DISK_ROWS:-ext4 ntfs aged memory}
for name in $rows; do
  case $name in
    ext4 | ntfs | aged | memory) ;;
    *) echo "disk-order-rows: no rows '$name' (ext4, ntfs, aged, memory)" >&2; exit 2 ;;
  esac
done
runs=${QF_DISK_MODEL_RUNS:-1}
jobs_default=$("$bench/qfscan" --help | sed -n 's/.*(1 to [0-9]*, default \([0-9]*\)).*/\1/p')

work=$(mktemp -d "$bench/disk-order.XXXXXX")
mnt=$work/mnt
tracing=/sys/kernel/tracing/instances/qf-disk-order-$$  # a trace buffer of our own
devices=()
ntfs_pid=
cleanup() {
  set +e
  if mountpoint -q "$mnt"; then umount "$mnt"; fi
  [ -z "$ntfs_pid" ] || wait "$ntfs_pid"
  for dev in "${devices[@]}"; do losetup -d "$dev"; done
  [ ! -d "$tracing" ] || rmdir "$tracing"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
mkdir "$mnt"
mkdir "$tracing"
echo 16384 >"$tracing/buffer_size_kb"  # per CPU: room for ten times the 25,000 reads of a cold scan

# new_volume NAME: an image twice the tree's size on a loop device; prints the device.
new_volume() {
  truncate -s "$(( $(du -sm "$corpus" | cut -f1) * 2 + 512 ))M" "$work/$1.img"
  losetup -f --show "$work/$1.img"
}

# mount_volume KIND DEV [OPTIONS]: mounts DEV on $mnt (read-only unless OPTIONS say otherwise).
mount_volume() {
  local kind=$1 dev=$2 options=${3:-ro,noatime}
  if [ "$kind" = ext4 ]; then
    mount -o "$options" "$dev" "$mnt"
    return
  fi
  # ntfs-3g stays our child (no_detach), so that after the unmount we can wait until it lets go of DEV.
  ntfs-3g -o "$options,no_detach" "$dev" "$mnt" >/dev/null 2>&1 &
  ntfs_pid=$!
  until mountpoint -q "$mnt"; do
    kill -0 "$ntfs_pid" 2>/dev/null || { echo "disk-order-rows: ntfs-3g could not mount $dev" >&2; return 1; }
    sleep 0.1
  done
}
unmount_volume() {
  umount "$mnt"
  if [ -n "$ntfs_pid" ]; then wait "$ntfs_pid" || true; ntfs_pid=; fi
  blockdev --flushbufs "$1"
}

# copy_tree ORDER: copies the tree onto $mnt. "names": in name order, depth first, as a copy tool
# goes (and the same in every checkout, whatever order the tree's own file system lists it in).
# "aged": every folder, file and link in a shuffled order (a fixed seed), with filler files of 4
# to 256 KB written between them and a random half of those deleted every 500 entries, so that
# later files land in the holes; the last fillers go at the end.
copy_tree() {
  /usr/bin/python3 - "$1" "$corpus" "$mnt" <<'EOF'
import os, random, shutil, sys
order, source, target = sys.argv[1:]

def entries(rel=""):
    for name in sorted(os.listdir(os.path.join(source, rel))):
        path = os.path.join(rel, name)
        yield path
        if os.path.isdir(os.path.join(source, path)) and not os.path.islink(os.path.join(source, path)):
            yield from entries(path)

def copy(rel):
    src, dst = os.path.join(source, rel), os.path.join(target, rel)
    os.makedirs(os.path.dirname(dst), exist_ok=True)  # an aged copy may meet a file before its folder
    if os.path.islink(src):
        os.symlink(os.readlink(src), dst)
    elif os.path.isdir(src):
        os.makedirs(dst, exist_ok=True)
    else:
        shutil.copy2(src, dst)

listed = list(entries())
if order == "names":
    for rel in listed:
        copy(rel)
else:
    rng = random.Random(1994)
    rng.shuffle(listed)
    filler_dir = os.path.join(target, "filler")
    os.mkdir(filler_dir)
    fillers = []
    for n, rel in enumerate(listed, 1):
        copy(rel)
        if rng.random() < 0.5:
            fillers.append(os.path.join(filler_dir, "f%06d" % n))
            with open(fillers[-1], "wb") as out:
                out.write(b"\x07" * rng.randint(4, 256) * 1024)
        if n % 500 == 0:
            rng.shuffle(fillers)
            for path in fillers[len(fillers) // 2:]:
                os.unlink(path)
            del fillers[len(fillers) // 2:]
    shutil.rmtree(filler_dir)
for rel in reversed(listed):  # the folders' times, once nothing more is written in them
    if os.path.isdir(os.path.join(source, rel)) and not os.path.islink(os.path.join(source, rel)):
        shutil.copystat(os.path.join(source, rel), os.path.join(target, rel))
EOF
}

# build_volume NAME: sets dev to a loop device holding a fresh copy of the tree as NAME says.
build_volume() {
  local name=$1
  dev=$(new_volume "$name")
  devices+=("$dev")
  if [ "$name" = ext4 ]; then
    # A fixed directory hash seed: the same folder order, so the same walk, in every run.
    mkfs.ext4 -q -F -U 6f1d7a52-3c3e-4b8e-9d55-0c2f6a1e7b90 -E hash_seed=6f1d7a52-3c3e-4b8e-9d55-0c2f6a1e7b90 "$dev"
    mount_volume ext4 "$dev" rw
    copy_tree names
  else
    mkntfs -F -Q -q "$dev" >/dev/null 2>&1  # it warns that Windows could not boot from it
    mount_volume ntfs "$dev" rw
    if [ "$name" = ntfs ]; then copy_tree names; else copy_tree aged; fi
  fi
  sync
  unmount_volume "$dev"
}

# traced_run KIND DEV TRACE CMD...: mounts DEV afresh, runs CMD with the tracepoint on for DEV
# alone, and writes the reads it issued as "SECTOR BYTES" lines to TRACE.
traced_run() {
  local kind=$1 dev=$2 trace=$3
  shift 3
  mount_volume "$kind" "$dev"
  echo "dev == $(( ($(( 0x$(stat -c %t "$dev") )) << 20) | 0x$(stat -c %T "$dev") ))" \
      >"$tracing/events/block/block_rq_issue/filter"
  echo >"$tracing/trace"
  echo 1 >"$tracing/events/block/block_rq_issue/enable"
  "$@" >/dev/null || [ $? = 1 ]  # qfscan's 1: it found the tree's infected files
  echo 0 >"$tracing/events/block/block_rq_issue/enable"
  unmount_volume "$dev"
  if grep -q '^overrun: [1-9]' "$tracing"/per_cpu/cpu*/stats; then
    echo "disk-order-rows: the trace buffer overflowed" >&2
    return 1
  fi
  # "... block_rq_issue: 7,0 RA 4096 () 71152 + 8 ...": the reads, their sector and length.
  awk '{ for (i = 1; i < NF; i++)
           if ($i == "block_rq_issue:") { if ($(i + 2) ~ /R/) print $(i + 5), $(i + 7) * 512; break } }' \
      "$tracing/trace" >"$trace"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

# model_figure KIND DEV CMD...: sets issued and sorted to the medians over $runs cold runs of
# CMD's modelled seconds, its requests in the order issued and sorted by address, and per_file to
# the reads it issued per file.
model_figure() {
  local kind=$1 dev=$2 i out all_issued=() all_sorted=() all_requests=()
  shift 2
  for ((i = 0; i < runs; i++)); do
    traced_run "$kind" "$dev" "$work/trace" "$@"
    out=$(/usr/bin/python3 "$here/disk_model.py" "$work/trace")
    all_issued+=("$(QF_BENCH_KEY=seconds qf_figure <<<"$out")")
    all_requests+=("$(QF_BENCH_KEY=requests qf_figure <<<"$out")")
    all_sorted+=("$(/usr/bin/python3 "$here/disk_model.py" --sorted "$work/trace" | QF_BENCH_KEY=seconds qf_figure)")
  done
  issued=$(printf '%s\n' "${all_issued[@]}" | qf_median | xargs printf %.1f)
  sorted=$(printf '%s\n' "${all_sorted[@]}" | qf_median | xargs printf %.1f)
  per_file=$(ratio "$(printf '%s\n' "${all_requests[@]}" | qf_median)" "$files")
}

files=$(find "$corpus" -type f | wc -l)
volumes=$(printf '%s\n' $rows | grep -vx memory || true)
[ -z "$volumes" ] ||
  echo "== a cold scan's block requests on a model of a 7200 rpm disk of 80 GB, seconds (NTFS through ntfs-3g;" \
       "$files files, $runs cold run(s) a figure)"
for name in $volumes; do
  case $name in
    ext4) kind=ext4 label=ext4 ;;
    ntfs) kind=ntfs label=NTFS ;;
    aged) kind=ntfs label="aged NTFS" ;;
  esac
  build_volume "$name"
  model_figure "$kind" "$dev" "$bench/bench/qf_native_floor" --random "$mnt"
  walk=$issued walk_sorted=$sorted walk_reads=$per_file
  model_figure "$kind" "$dev" "$bench/qfscan" --quiet --jobs 1 "$mnt"
  one=$issued one_sorted=$sorted one_reads=$per_file
  model_figure "$kind" "$dev" "$bench/qfscan" --quiet "$mnt"
  many=$issued many_sorted=$sorted many_reads=$per_file
  row "$label: walk order (the floor, 4 KB a file)" "$walk (sorted by address $walk_sorted)"
  row "$label: qfscan --jobs 1 against its requests sorted" \
      "$one (sorted $one_sorted), ratio $(ratio "$one" "$one_sorted") (goal 2 or less)"
  row "$label: qfscan (--jobs $jobs_default) against its requests sorted" \
      "$many (sorted $many_sorted), ratio $(ratio "$many" "$many_sorted") (goal 2 or less)"
  row "$label: walk order against qfscan --jobs 1 / $jobs_default" \
      "ratio $(ratio "$walk" "$one") / $(ratio "$walk" "$many") (goal 5 or more)"
  row "$label: reads per file, walk order / qfscan 1 / $jobs_default" "$walk_reads / $one_reads / $many_reads"
done

# The memory a scan of many files takes: qfscan on the bench tree and on copies of it linked into
# one tree, 300,000 files or more.
if [[ " $rows " == *" memory "* ]]; then
  echo "== qfscan's memory on many files (warm)"
  measure=$bench/bench/qf_measure
  [ -x "$measure" ] || { echo "no memory rows: needs $measure"; exit 0; }
  copies=$(( (300000 + files - 1) / files ))
  mkdir "$work/many"
  for ((i = 1; i <= copies; i++)); do
    cp -al "$corpus" "$work/many/copy$i" 2>/dev/null || break
  done
  if [ "$i" -le "$copies" ]; then
    echo "no memory rows: the copies are hard links, and the tree is not on the build tree's file system"
    exit 0
  fi
  for jobs in 1 "$jobs_default"; do
    small=$(QF_BENCH_KEY=peak_rss_kb qf_run_figure "$measure" "$bench/qfscan" --quiet --jobs "$jobs" "$corpus")
    big=$(QF_BENCH_KEY=peak_rss_kb qf_run_figure "$measure" "$bench/qfscan" --quiet --jobs "$jobs" "$work/many")
    row "qfscan --jobs $jobs peak memory, $files / $(( files * copies )) files" "$small KiB / $big KiB"
  done
fi
