#!/usr/bin/env bash
# Quarvane.exe is a 32-bit console program that needs no DLL Windows does not ship.
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
i686-w64-mingw32-nm "$exe" | grep -qw '_wmain' || fail "no wide-character entry point wmain"
echo "PE32 console, Intel 80386, wmain; DLLs: $(echo $dlls)"
