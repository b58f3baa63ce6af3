#!/usr/bin/env bash
# Authenticode-signs Windows programs in place with SHA-256 (osslsigncode).
#   sign.sh CERT KEY [TIMESTAMP_URL] -- PROGRAM.exe...
# CERT and KEY are PEM files (the certificate may carry its chain); without a timestamp URL the
# signature holds only as long as the certificate does.
set -euo pipefail
cert=$1 key=$2; shift 2
url=
if [ "${1:-}" != -- ]; then url=$1; shift; fi
shift
for program in "$@"; do
  args=(sign -certs "$cert" -key "$key" -h sha256 -n Quenfold -in "$program" -out "$program.signed")
  [ -z "$url" ] || args+=(-t "$url")
  osslsigncode "${args[@]}" >/dev/null
  mv "$program.signed" "$program"
done
