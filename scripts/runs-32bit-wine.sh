#!/usr/bin/env bash
# Exits 0 when 32-bit Windows programs can run under Wine here, 1 (saying why)
# when they cannot: the kernel runs no 32-bit program, or 32-bit Wine
# (wine32:i386, whose loader this looks for) is not installed.
# QUARVANE_WINE32_LOADER names another loader (for tests).
set -uo pipefail
loader=${QUARVANE_WINE32_LOADER:-/usr/lib/wine/wine}

why=$(bash "$(dirname "$0")/runs-32bit-programs.sh") || { echo "$why"; exit 1; }
if [ ! -e "$loader" ]; then
  echo "32-bit Wine is not installed (no $loader: install wine32:i386)"
  exit 1
fi
