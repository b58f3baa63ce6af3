#!/usr/bin/env bash
# Runs a command without the rights that let root read, enter and write anything whatever its
# permissions, so that a folder the tests close really is closed. Others run it as it is.
#   without-dac.sh CMD...
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  exec setpriv --inh-caps=-all --bounding-set=-dac_override,-dac_read_search "$@"
fi
exec "$@"
