#!/usr/bin/env bash
# The set-up and the Windows tests decide about 32-bit Wine from what this
# machine can do: wine32:i386 is asked for only where the kernel runs 32-bit
# programs, and the 32-bit Wine tests are skipped, saying why, exactly where
# the kernel runs none or 32-bit Wine is not installed.
# Usage: wine32_decision_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# What a kernel that runs no 32-bit program does with one: "Exec format error".
printf '\177ELF\0\0\0\0' >"$work/foreign"
# A 32-bit program that runs, as the probe's does (it exits 42).
printf '#!/bin/sh\nexit 42\n' >"$work/runs"
chmod +x "$work/foreign" "$work/runs"

# Prints the set-up's plan, then what the 32-bit Wine tests do: "ran", or
# their exit status and why they were skipped.
decide() {
  local status=0 why
  export QUARVANE_I386_PROBE=$1 QUARVANE_WINE32_LOADER=$2
  bash "$source_dir/scripts/setup-debian.sh" plan
  why=$(QUARVANE_WINE_PREFIX="$work/prefix" QUARVANE_WINE_NEEDS_32BIT=1 \
    bash -c 'source "$1" && echo ran' _ "$source_dir/tests/windows/wine.sh") || status=$?
  echo "$status $why"
}

outcome=$(decide "$work/foreign" /bin/true)
[[ "$outcome" != *i386* ]] || fail "an i386 package asked for where no 32-bit program runs: $outcome"
[[ "$outcome" == *"77 skipped: this machine's kernel runs no 32-bit program"* ]] ||
  fail "not skipped for the kernel: $outcome"

outcome=$(decide "$work/runs" "$work/missing")
[[ "$outcome" == *"optional: wine32:i386"* ]] || fail "wine32:i386 not asked for: $outcome"
[[ "$outcome" == *"77 skipped: 32-bit Wine is not installed"* ]] ||
  fail "not skipped for want of 32-bit Wine: $outcome"

outcome=$(decide "$work/runs" /bin/true)
[[ "$outcome" == *"0 ran" ]] || fail "skipped where 32-bit Wine runs: $outcome"
echo "PASS"
