#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build (with memcheck), the
# same tests under AddressSanitizer and UndefinedBehaviorSanitizer, bounded
# libFuzzer runs, then Quarvane.exe and its tests under Wine (skipped only
# with QUARVANE_SKIP_WINDOWS_TESTS=1).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-debian.sh
jobs=$(nproc)

run_preset() {
  cmake --preset "$1"
  cmake --build --preset "$1" -j "$jobs"
  ctest --preset "$1" -j "$jobs"
}

run_preset linux
run_preset linux-sanitize
run_preset linux-fuzz
if [ "${QUARVANE_SKIP_WINDOWS_TESTS:-0}" = 1 ]; then
  echo
  echo "Windows tests SKIPPED (QUARVANE_SKIP_WINDOWS_TESTS=1): Quarvane.exe was neither built nor tested."
else
  run_preset windows-i686
fi
