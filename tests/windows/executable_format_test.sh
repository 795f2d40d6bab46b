#!/usr/bin/env bash
# Quarvane.exe is a 32-bit console program with the wide entry point, no link time
# stamp, and no need of a DLL that Windows does not ship.
set -euo pipefail
exe=$1
headers=$(i686-w64-mingw32-objdump -p "$exe")
fail() { echo "FAIL: $*" >&2; exit 1; }

file "$exe" | grep -q 'PE32 executable (console) Intel 80386' || fail "not a PE32 i386 console program: $(file "$exe")"
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
echo "PE32 console, Intel 80386, wide entry point, no time stamp; DLLs: $(echo $dlls)"
