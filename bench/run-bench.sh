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
qfscan=("$bench/qfscan" --quiet "$corpus")
floor=("$bench/bench/qf_native_floor" "$corpus")

QF_PLANT=$bench/bench/qf_corpus_plant "$here/make-corpus.sh" "$corpus"
files=$(QF_BENCH_KEY=files qf_run_figure "${floor[@]}")
echo "machine: $(nproc) cores,$(sed -n 's/^model name\s*://p' /proc/cpuinfo | head -n 1), $(uname -r)," \
     "$(free -g | awk '/^Mem/ { print $2 }') GiB"
echo "runs per figure: $QF_BENCH_RUNS (medians)"
echo

row() { printf '%-58s %s\n' "$1" "$2"; }
pair() {  # pair LABEL KEY A... -- B...: B's median, and B against A
  local label=$1
  shift
  local out
  out=$(QF_BENCH_KEY=$1 alternate_ms "${@:2}")
  row "$label" "$(awk -v o="$out" 'BEGIN { split(o, f, /[ =]/); printf "%s (floor %s), ratio %s", f[4], f[2], f[6] }')"
}

echo "== native (Linux), warm cache"
pair "qfscan against the floor (open, read 4 KB), ms" ms "$measure" "${floor[@]}" -- "$measure" "${qfscan[@]}"
pair "find | wc -l against the floor, ms" ms "$measure" "${floor[@]}" -- "$measure" sh -c "find '$corpus' | wc -l"
pair "reading whole files (the obvious test) against the floor, ms" ms \
     "$measure" "${floor[@]}" -- "$measure" "$bench/bench/qf_whole_file" "$corpus"
pair "qfscan bytes read against the floor's" bytes_read "$measure" "${floor[@]}" -- "$measure" "${qfscan[@]}"
scanned=$(QF_BENCH_KEY=bytes_read median_ms "$measure" "${qfscan[@]}")
row "qfscan bytes read per file ($files files)" "$(awk -v b="$scanned" -v f="$files" 'BEGIN { printf "%.0f", b / f }')"
small=$(QF_BENCH_KEY=peak_rss_kb median_ms "$measure" "${qfscan[@]}")
QF_PLANT=$bench/bench/qf_corpus_plant "$here/make-corpus.sh" --big "$corpus" >/dev/null
big=$(QF_BENCH_KEY=peak_rss_kb median_ms "$measure" "${qfscan[@]}")
QF_PLANT=$bench/bench/qf_corpus_plant "$here/make-corpus.sh" "$corpus" >/dev/null
row "qfscan peak memory, largest program 24 KB / 3 GiB (sparse)" "$small KiB / $big KiB"
echo
echo "== native (Linux), cold: the tree's pages dropped before each run"
pair "qfscan against the floor, ms" ms "$measure" --drop "$corpus" "${floor[@]}" -- \
     "$measure" --drop "$corpus" "${qfscan[@]}"
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
     "$measure" "$QF_WINE_LOADER" "$win/qfscan.exe" --quiet "Z:${corpus//\//\\}"
progress=$(QF_BENCH_KEY=progress_ms median_ms wine_run "$win/bench/qf_progress_cost.exe" "$corpus")
sends=$(QF_BENCH_KEY=sends qf_run_figure wine_run "$win/bench/qf_progress_cost.exe" "$corpus")
row "time the scan spends showing progress and its box, ms" "$progress ($sends texts sent)"
