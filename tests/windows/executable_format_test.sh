#!/usr/bin/env bash
# Quarvane.exe is a console program of the expected machine with the wide
# entry point, no link time stamp, no need of a DLL that Windows does not
# ship, and a manifest that asks for an administrator. Read from the file's
# own headers with the toolchain's objdump, so it needs no Windows program.
# Usage: executable_format_test.sh EXE OBJDUMP OBJCOPY MACHINE MAGIC
#   MACHINE is objdump's name for the machine ("i386", "i386:x86-64"), MAGIC
#   the optional header's kind ("PE32", "PE32+").
set -euo pipefail
exe=$1
objdump=$2
objcopy=$3
machine=$4
magic=$5
headers=$("$objdump" -p "$exe")
fail() { echo "FAIL: $*" >&2; exit 1; }

"$objdump" -f "$exe" | grep -qx "architecture: $machine, .*" ||
  fail "not for $machine: $("$objdump" -f "$exe" | grep architecture)"
[ "$(awk '$1 == "Magic" {print $3}' <<<"$headers")" = "($magic)" ] ||
  fail "not $magic: $(grep '^Magic' <<<"$headers")"
grep -qE '^Subsystem[[:space:]]+00000003[[:space:]]' <<<"$headers" || fail "not the console subsystem"
dlls=$(grep 'DLL Name:' <<<"$headers" | awk '{print tolower($3)}' | sort -u)
for dll in $dlls; do
  case "$dll" in
    kernel32.dll | msvcrt.dll | advapi32.dll | user32.dll) ;;
    *) fail "needs $dll" ;;
  esac
done
# The wide start-up code, which calls wmain, takes its arguments as wide text.
grep -qw '__wgetmainargs' <<<"$headers" || fail "not the wide-character entry point"
grep -qw '__getmainargs' <<<"$headers" && fail "the narrow entry point is linked in"
grep -qE 'Time/Date[[:space:]]+(Thu Jan  1 00:00:00 1970|00000000)' <<<"$headers" ||
  fail "the link time is stamped in: $(grep Time/Date <<<"$headers")"
# The manifest is kept as plain UTF-8 text among the resources.
resources=$(mktemp)
trap 'rm -f "$resources"' EXIT
"$objcopy" -O binary --only-section=.rsrc "$exe" "$resources"
level=$(grep -ao '<requestedExecutionLevel [^>]*>' "$resources") || fail "no execution level in the manifest"
[[ "$level" == *'level="requireAdministrator"'* ]] || fail "does not require an administrator: $level"
echo "$machine $magic console program, wide entry point, no time stamp, requireAdministrator; DLLs: $(paste -sd" " <<<"$dlls")"
