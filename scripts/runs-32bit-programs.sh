#!/usr/bin/env bash
# Exits 0 when this machine runs 32-bit x86 programs, 1 (saying why) when it
# does not. Some kernels run none at all: every i386 program then fails at
# exec with "Exec format error". That is found out by running one, 32-bit
# Wine's own loader, which is the one the Windows tests need.
set -uo pipefail
loader=${QUARVANE_WINE32_LOADER:-/usr/lib/wine/wine}

error=$("$loader" --version 2>&1 >/dev/null)
status=$?
if [ "$status" -eq 126 ] && [[ "$error" == *"Exec format error"* ]]; then
  echo "this machine runs no 32-bit program ($loader: Exec format error)"
  exit 1
fi
exit 0
