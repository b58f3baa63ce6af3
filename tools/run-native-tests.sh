#!/usr/bin/env bash
# Runs the native tests; as root without the rights that bypass file permissions, so that an
# unreadable folder really is unreadable.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$1"
exec "$here/without-dac.sh" ctest --output-on-failure -j "$(nproc)"
