#!/usr/bin/env bash
# Builds dist/ from two fresh clones of HEAD in folders of different names and depths, and fails
# unless both give the same bytes.
#   dist-check.sh [JOBS]
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
jobs=${1:-2}
work=$(mktemp -d "${TMPDIR:-/tmp}/qf-dist-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
clones=("$work/a" "$work/b/somewhere/else")
# Both cloned first, so that a commit made while the first one builds cannot make them differ.
commit=$(git -C "$top" rev-parse HEAD)
for clone in "${clones[@]}"; do
  git clone -q --no-local "$top" "$clone"
  git -C "$clone" checkout -q "$commit"
done
for clone in "${clones[@]}"; do
  make -C "$clone" --no-print-directory dist JOBS="$jobs" >"$work/$(basename "$clone").log" 2>&1 ||
    { tail -n 30 "$work/$(basename "$clone").log"; exit 1; }
done
if diff -r "$work/a/dist" "$work/b/somewhere/else/dist"; then
  echo "dist-check: two clones give the same bytes:"
  cat "$work/a/dist/SHA256SUMS"
else
  echo "dist-check: the two builds differ" >&2
  exit 1
fi
