#!/usr/bin/env bash
# Fetches the Debian source packages of what Quenfold Rescue holds, at the versions it holds,
# into OUT/quenfold-rescue-source/, so that whoever hands out the image can hand out the source.
# SOURCES (written by make-rescue.sh) names each as name=version, the signed packages' own
# sources and the code they sign.
#
#   fetch-source.sh SOURCES OUT
#
# The machine's apt sources are read as deb-src through a private list folder; the system's own
# apt configuration is not changed.
set -euo pipefail
sources=$(realpath "$1") out=$2/quenfold-rescue-source
state=${QF_RESCUE_CACHE:-$HOME/.cache/quenfold-rescue}/apt-src
mkdir -p "$out" "$state/lists/partial" "$state/parts"
sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/*.sources >"$state/parts/quenfold-src.sources"
apt_opts=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$state/parts" -o "Dir::State::Lists=$state/lists"
          -o APT::Sandbox::User=root)
apt-get "${apt_opts[@]}" update -qq
cd "$out"
missing=()
for src in $(sort -u "$sources"); do
  apt-get "${apt_opts[@]}" source --download-only -qq "$src" || missing+=("$src")
done
ls -l "$out"
if [ ${#missing[@]} -gt 0 ]; then
  echo "fetch-source: not fetched: ${missing[*]}" >&2
  exit 1
fi
