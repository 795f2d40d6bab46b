#!/usr/bin/env bash
# Quarvane.exe is a console program of the expected machine with the wide
# entry point, no link time stamp, no need of a DLL that Windows does not
# ship, and a manifest that asks for an administrator. Read from the file
# alone, so it needs no Windows program to run.
# Usage: executable_format_test.sh EXE OBJDUMP OBJCOPY FORMAT
#   FORMAT is what file(1) must say, e.g. "PE32 executable (console) Intel 80386".
set -euo pipefail
exe=$1
objdump=$2
objcopy=$3
format=$4
headers=$("$objdump" -p "$exe")
fail() { echo "FAIL: $*" >&2; exit 1; }

file "$exe" | grep -qF "$format" || fail "not a $format: $(file "$exe")"
grep -q 'Subsystem[[:space:]]*00000003' <<<"$headers" || fail "not the console subsystem"
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
echo "$format, wide entry point, no time stamp, requireAdministrator; DLLs: $(echo $dlls)"
