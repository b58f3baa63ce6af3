# Shell functions for the benchmark driver; source this file. Commands print key=value figures.
#   median_ms CMD...                   runs CMD QF_BENCH_RUNS times (default 5), prints the median
#                                      of its ms= figure
#   alternate_ms CMD_A... -- CMD_B...  runs A,B,A,B,... as many times each, prints
#                                      "a_ms=... b_ms=... b_over_a=..." from the two medians
#   row LABEL TEXT                     one line of the table
#   pair LABEL KEY CMD_A... -- CMD_B...  a row of B's median of KEY, and B against A
# QF_BENCH_KEY picks another figure than ms (files, bytes_read, peak_rss_kb, ...).
QF_BENCH_RUNS=${QF_BENCH_RUNS:-5}

# The figure named QF_BENCH_KEY in a command's output (the last one, Windows line ends allowed).
qf_figure() { tr -d '\r' | tr ' \t' '\n\n' | sed -n "s/^${QF_BENCH_KEY:-ms}=//p" | tail -n 1; }

qf_median() {
  sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) exit 1
                   printf "%.15g\n", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# One run of CMD...: prints its figure, or fails loudly.
qf_run_figure() {
  local out value
  out=$("$@") || { echo "bench: '$*' failed" >&2; return 1; }
  value=$(printf '%s\n' "$out" | qf_figure)
  [ -n "$value" ] || { echo "bench: '$*' printed no ${QF_BENCH_KEY:-ms}=" >&2; return 1; }
  echo "$value"
}

median_ms() {
  local i value values=()
  for ((i = 0; i < QF_BENCH_RUNS; i++)); do
    value=$(qf_run_figure "$@") || return 1
    values+=("$value")
  done
  printf '%s\n' "${values[@]}" | qf_median
}

# Alternating runs spread a shared machine's slow spells over both commands alike.
alternate_ms() {
  local a=() b=() as=() bs=() i value ma mb
  while [ $# -gt 0 ] && [ "$1" != -- ]; do a+=("$1"); shift; done
  [ $# -gt 1 ] && [ ${#a[@]} -gt 0 ] || { echo "usage: alternate_ms CMD_A... -- CMD_B..." >&2; return 2; }
  shift
  b=("$@")
  for ((i = 0; i < QF_BENCH_RUNS; i++)); do
    value=$(qf_run_figure "${a[@]}") || return 1
    as+=("$value")
    value=$(qf_run_figure "${b[@]}") || return 1
    bs+=("$value")
  done
  ma=$(printf '%s\n' "${as[@]}" | qf_median)
  mb=$(printf '%s\n' "${bs[@]}" | qf_median)
  awk -v k="${QF_BENCH_KEY:-ms}" -v a="$ma" -v b="$mb" \
      'BEGIN { printf "a_%s=%s b_%s=%s b_over_a=%.2f\n", k, a, k, b, (a > 0 ? b / a : 0) }'
}

row() { printf '%-58s %s\n' "$1" "$2"; }
pair() {
  local label=$1
  shift
  local out
  out=$(QF_BENCH_KEY=$1 alternate_ms "${@:2}")
  row "$label" "$(awk -v o="$out" 'BEGIN { split(o, f, /[ =]/); printf "%s (floor %s), ratio %s", f[4], f[2], f[6] }')"
}
