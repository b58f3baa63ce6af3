#!/usr/bin/env bash
# Prints the Windows architecture whose build the Windows tests run: i686 (the program as it
# ships) when this machine runs 32-bit x86 code natively, x86_64 otherwise. Some kernels are
# built with 32-bit emulation switched off; Wine's 32-bit loader cannot start there, and running
# it through a user-mode CPU emulator is orders of magnitude too slow for a test run.
if [ -n "${QF_TEST_ARCH:-}" ]; then echo "$QF_TEST_ARCH"; exit 0; fi
if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386; then
  echo x86_64; exit 0    # 32-bit programs would run, but only under emulation
fi
if [ -x /usr/lib/wine/wine ] && timeout 20 /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo i686
else
  echo x86_64
fi
