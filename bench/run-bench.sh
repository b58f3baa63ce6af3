#!/usr/bin/env bash
# make bench: the scan's speed, reads and memory against floors measured in the same run, on the
# tree make-corpus.sh builds. Prints medians and ratios; asserts nothing.
#   run-bench.sh BENCH_TREE WINDOWS_TREE ARCH
# BENCH_TREE is the optimised native build (qfscan and the native floors), WINDOWS_TREE the build
# whose quenfold.exe and Wine floor run under Wine. QF_BENCH_RUNS sets the runs per figure.
set -euo pipefail
bench=$(cd "$1" && pwd) win=$(cd "$2" && pwd) arch=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench-lib.sh
. "$here/bench-lib.sh"
corpus=$bench/corpus
measure=$bench/bench/qf_measure
qfscan=("$bench/qfscan" --quiet "$corpus")  # the default jobs
qfscan1=("$bench/qfscan" --quiet --jobs 1 "$corpus")
floor=("$bench/bench/qf_native_floor" "$corpus")
pf=$bench/bench/qf_parallel_floor
jobs_default=$("$bench/qfscan" --help | sed -n 's/.*(1 to [0-9]*, default \([0-9]*\)).*/\1/p')

QF_PLANT=$bench/bench/qf_corpus_plant "$here/make-corpus.sh" "$corpus"
files=$(QF_BENCH_KEY=files qf_run_figure "${floor[@]}")
echo "machine: $(nproc) cores,$(sed -n 's/^model name\s*://p' /proc/cpuinfo | head -n 1), $(uname -r)," \
     "$(free -g | awk '/^Mem/ { print $2 }') GiB"
echo "runs per figure: $QF_BENCH_RUNS (medians)"
echo

echo "== native (Linux), warm cache"
pair "qfscan --jobs 1 against the floor (open, read 4 KB), ms" ms "$measure" "${floor[@]}" -- "$measure" "${qfscan1[@]}"
pair "parallel floor, 1 thread against the one-thread floor, ms" ms "$measure" "${floor[@]}" -- "$measure" "$pf" 1 "$corpus"
pair "parallel floor, 16 threads against 1 (its speed-up), ms" ms "$measure" "$pf" 1 "$corpus" -- "$measure" "$pf" 16 "$corpus"
pair "qfscan (default, --jobs $jobs_default) against --jobs 1, ms" ms "$measure" "${qfscan1[@]}" -- "$measure" "${qfscan[@]}"
pair "qfscan --jobs 2 against the parallel floor, 2 threads, ms" ms "$measure" "$pf" 2 "$corpus" -- \
     "$measure" "$bench/qfscan" --quiet --jobs 2 "$corpus"
pair "find | wc -l against the floor, ms" ms "$measure" "${floor[@]}" -- "$measure" sh -c "find '$corpus' | wc -l"
pair "reading whole files (the obvious test) against the floor, ms" ms \
     "$measure" "${floor[@]}" -- "$measure" "$bench/bench/qf_whole_file" "$corpus"
pair "qfscan bytes read against the floor's" bytes_read "$measure" "${floor[@]}" -- "$measure" "${qfscan[@]}"
scanned=$(QF_BENCH_KEY=bytes_read median_ms "$measure" "${qfscan[@]}")
row "qfscan bytes read per file ($files files)" "$(awk -v b="$scanned" -v f="$files" 'BEGIN { printf "%.0f", b / f }')"
small1=$(QF_BENCH_KEY=peak_rss_kb median_ms "$measure" "${qfscan1[@]}")
small=$(QF_BENCH_KEY=peak_rss_kb median_ms "$measure" "${qfscan[@]}")
QF_PLANT=$bench/bench/qf_corpus_plant "$here/make-corpus.sh" --big "$corpus" >/dev/null
big=$(QF_BENCH_KEY=peak_rss_kb median_ms "$measure" "${qfscan[@]}")
QF_PLANT=$bench/bench/qf_corpus_plant "$here/make-corpus.sh" "$corpus" >/dev/null
row "qfscan peak memory, largest program 24 KB / 3 GiB (sparse)" "$small KiB / $big KiB"
row "qfscan peak memory on the bench tree, --jobs 1 / --jobs $jobs_default" "$small1 KiB / $small KiB"
echo
echo "== native (Linux), cold: the tree's pages dropped before each run"
pair "qfscan --jobs 1 against the one-thread floor, ms" ms "$measure" --drop "$corpus" "${floor[@]}" -- \
     "$measure" --drop "$corpus" "${qfscan1[@]}"
best=
for n in 1 4 16; do
  out=$(alternate_ms "$measure" --drop "$corpus" "$pf" "$n" "$corpus" -- \
        "$measure" --drop "$corpus" "$bench/qfscan" --quiet --jobs "$n" "$corpus")
  row "qfscan --jobs $n against the parallel floor at $n, ms" \
      "$(awk -v o="$out" 'BEGIN { split(o, f, /[ =]/); printf "%s (floor %s), ratio %s", f[4], f[2], f[6] }')"
  floor_ms=$(awk -v o="$out" 'BEGIN { split(o, f, /[ =]/); print f[2] }')
  [ "$n" = 1 ] && one=$floor_ms
  best=$(awk -v a="${best:-$floor_ms}" -v b="$floor_ms" 'BEGIN { print (b < a ? b : a) }')
done
row "parallel floor's speed-up, 16 threads against 1" "$(awk -v a="$one" -v b="$floor_ms" 'BEGIN { printf "%.2f", a / b }')"
cold=$(median_ms "$measure" --drop "$corpus" "${qfscan[@]}")
row "qfscan (default, --jobs $jobs_default) against the best of those floors, ms" \
    "$cold (floor $best), ratio $(awk -v a="$best" -v b="$cold" 'BEGIN { printf "%.2f", b / a }')"
echo

# cold_pair LABEL A... -- B...: from cold cache, A and B alternating, each in qf_measure: what the
# disk read for B (read-ahead included) against A, and B's time against A's.
cold_pair() {
  local label=$1 a=() b=() i out ad=() bd=() am=() bm=()
  shift
  while [ "$1" != -- ]; do a+=("$1"); shift; done
  shift
  b=("$@")
  for ((i = 0; i < QF_BENCH_RUNS; i++)); do
    out=$("${a[@]}") || return 1
    ad+=("$(QF_BENCH_KEY=disk_bytes qf_figure <<<"$out")") am+=("$(qf_figure <<<"$out")")
    out=$("${b[@]}") || return 1
    bd+=("$(QF_BENCH_KEY=disk_bytes qf_figure <<<"$out")") bm+=("$(qf_figure <<<"$out")")
  done
  row "$label" "$(awk -v ad="$(printf '%s\n' "${ad[@]}" | qf_median)" -v bd="$(printf '%s\n' "${bd[@]}" | qf_median)" \
      -v am="$(printf '%s\n' "${am[@]}" | qf_median)" -v bm="$(printf '%s\n' "${bm[@]}" | qf_median)" \
      'BEGIN { printf "%.1f MB (floor %.1f MB), ratio %.2f; %s ms (floor %s ms), ratio %.2f",
               bd / 1e6, ad / 1e6, (ad > 0 ? bd / ad : 0), bm, am, (am > 0 ? bm / am : 0) }')"
}
cold=("$measure" --drop "$corpus")
echo "== native (Linux), cold: bytes the disk read, read-ahead included, against floors that ask for none"
cold_pair "the one-thread floor, kernel's read-ahead, against with none" "${cold[@]}" "$bench/bench/qf_native_floor" \
    --random "$corpus" -- "${cold[@]}" "${floor[@]}"
cold_pair "qfscan --jobs 1 against the one-thread floor" "${cold[@]}" "$bench/bench/qf_native_floor" --random "$corpus" -- \
    "${cold[@]}" "${qfscan1[@]}"
cold_pair "qfscan (default) against the parallel floor at $jobs_default" "${cold[@]}" "$pf" --random "$jobs_default" \
    "$corpus" -- "${cold[@]}" "${qfscan[@]}"
# The same on a slow device, where the bytes are the time (a disk in a USB dock, an old disk): a
# copy of the tree on a loop device over an image, with direct I/O so that no cache of the image
# serves it, whose reads the block cgroup limits to QF_BENCH_THROTTLE_MBS MB/s (40 unless set).
throttled_rows() (
  set -e
  local mbs=${QF_BENCH_THROTTLE_MBS:-40} group=/sys/fs/cgroup/blkio/qf-bench-$$ work dev=
  [ "$(id -u)" = 0 ] && [ -w /sys/fs/cgroup/blkio ] || { echo "no throttled rows: needs root and cgroup v1 blkio"; return 1; }
  work=$(mktemp -d "$bench/throttled.XXXXXX")
  trap 'umount "$work/mnt" 2>/dev/null; [ -z "$dev" ] || losetup -d "$dev"; rmdir "$group" 2>/dev/null; rm -rf "$work"' EXIT
  truncate -s "$(( $(du -sm "$corpus" | cut -f1) * 2 + 64 ))M" "$work/image"
  mkfs.ext4 -q -F "$work/image"
  dev=$(losetup --direct-io=on -f --show "$work/image")
  mkdir "$work/mnt"
  mount "$dev" "$work/mnt"
  cp -a "$corpus/." "$work/mnt/"
  sync
  mkdir "$group"
  echo "$(( 0x$(stat -c %t "$dev") )):$(( 0x$(stat -c %T "$dev") )) $(( mbs * 1000000 ))" \
      >"$group/blkio.throttle.read_bps_device"
  local in=(bash -c 'echo $$ >"$0/cgroup.procs" && exec "$@"' "$group" "$measure" --drop "$work/mnt")
  cold_pair "at $mbs MB/s, qfscan --jobs 1 against the one-thread floor" "${in[@]}" \
      "$bench/bench/qf_native_floor" --random "$work/mnt" -- "${in[@]}" "$bench/qfscan" --quiet --jobs 1 "$work/mnt"
  cold_pair "at $mbs MB/s, qfscan (default) against the parallel floor at $jobs_default" "${in[@]}" "$pf" --random \
      "$jobs_default" "$work/mnt" -- "${in[@]}" "$bench/qfscan" --quiet "$work/mnt"
)
throttled_rows || true
echo

# Files that Windows compressed, read through the rescue's ntfs-3g plugin.
if [ "$(id -u)" = 0 ] && [ -e /dev/fuse ] && command -v mkntfs >/dev/null; then
  unshare -m --propagation private bash "$here/wof-rows.sh" "$bench" "$corpus" || true
else
  echo "no compressed-file rows: needs root, FUSE and mkntfs"
fi
echo

# A spinning disk's seconds for a cold scan: its block requests replayed on a model of the disk.
"$here/disk-order-rows.sh" "$bench" "$corpus" || true
echo

echo "== the quarantine (native): identical copies against different files, a long index listed"
QF_SAMPLES=$bench/samples /usr/bin/python3 "$here/quarantine_bench.py" "$bench/qfscan" "$bench/quarantine-bench" \
    "$QF_BENCH_RUNS"
echo

echo "== the window's scan under Wine ($arch), warm, Enter to the \"Scan completed.\" box"
export QF_WINE_TEMPLATE=$win/run-template QF_WINE_ARCH=$arch
[ -f "$QF_WINE_TEMPLATE/system.reg" ] || "$here/../tools/wine-prefix.sh" create "$QF_WINE_TEMPLATE" "$arch" >&2
# shellcheck source=../tools/wine-env.sh
. "$here/../tools/wine-env.sh"
qf_wine_throwaway_prefix && qf_private_display
"$QF_WINE_LOADER" "$win/quenfold.exe" &
wine_run() { "$QF_WINE_LOADER" "$@"; }
pair "the window's scan against the Wine floor, ms" ms wine_run "$win/bench/qf_wine_floor.exe" "$corpus" -- \
     wine_run "$win/bench/qf_window_timer.exe" "$corpus"
pair "qfscan.exe against the Wine floor (the same wide calls), whole runs, ms" ms \
     "$measure" "$QF_WINE_LOADER" "$win/bench/qf_wine_floor.exe" "$corpus" -- \
     "$measure" "$QF_WINE_LOADER" "$win/qfscan.exe" --quiet --jobs 1 "Z:${corpus//\//\\}"
pair "qfscan.exe (default, --jobs $jobs_default) against its --jobs 1, whole runs, ms" ms \
     "$measure" "$QF_WINE_LOADER" "$win/qfscan.exe" --quiet --jobs 1 "Z:${corpus//\//\\}" -- \
     "$measure" "$QF_WINE_LOADER" "$win/qfscan.exe" --quiet "Z:${corpus//\//\\}"
