#!/usr/bin/env bash
# Exits 0 when this machine's kernel runs 32-bit x86 programs, 1 (saying why)
# when it does not. Some kernels run none at all: every i386 program then
# fails at exec with "Exec format error". Found out by running a tiny i386
# program written here, so that no i386 package need be installed first.
# QUARVANE_I386_PROBE names another program to run in its place (for tests).
set -uo pipefail

probe=${QUARVANE_I386_PROBE:-}
if [ -z "$probe" ]; then
  dir=$(mktemp -d)
  trap 'rm -rf "$dir"' EXIT
  probe=$dir/exit42
  # An ELF header, one loadable segment, and: mov ebx,42; mov eax,1 (exit); int 0x80.
  elf='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  elf+='\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'
  elf+='\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00'
  elf+='\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00'
  elf+='\x00\x10\x00\x00\xbb\x2a\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80'
  printf '%b' "$elf" >"$probe"
  chmod +x "$probe"
fi

error=$("$probe" 2>&1 >/dev/null)
status=$?
if [ "$status" -eq 126 ] && [[ "$error" == *"Exec format error"* ]]; then
  echo "this machine's kernel runs no 32-bit program (a 32-bit x86 program fails with \"Exec format error\")"
  exit 1
fi
[ "$status" -eq 42 ] ||
  echo "could not tell whether this kernel runs 32-bit programs (the probe exited $status: $error); assuming it does" >&2
exit 0
