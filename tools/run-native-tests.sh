#!/usr/bin/env bash
# Runs the native unit tests. As root, file permissions do not stop anything, so the tests run
# without the capabilities that bypass them; then an unreadable folder really is unreadable.
set -euo pipefail
dir=$1
cd "$dir"
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  exec setpriv --inh-caps=-all --bounding-set=-dac_override,-dac_read_search \
    ctest --output-on-failure -j "$(nproc)"
fi
exec ctest --output-on-failure -j "$(nproc)"
