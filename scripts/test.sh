#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build (with memcheck), the
# same tests under AddressSanitizer and UndefinedBehaviorSanitizer, bounded
# libFuzzer runs, the shipped PowerShell scripts in PowerShell 7 (where the
# .NET SDK installs it, else skipped, saying why), then the Windows builds and
# their tests under Wine, the fleet scripts among them in PowerShell for
# Windows where the .NET SDK builds it: the
# 32-bit Quarvane.exe in a 32-bit prefix and under WoW64 in a 64-bit one, with
# the release checks, and a 64-bit build in a 64-bit prefix (all skipped only
# with QUARVANE_SKIP_WINDOWS_TESTS=1). Where 32-bit Wine cannot run here (the
# kernel runs no 32-bit program, or wine32:i386 is not installed), the 32-bit
# build's tests that run a Windows program are skipped, and the end says why.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-debian.sh
if why_no_powershell=$(bash scripts/setup-powershell.sh 2>&1 >/dev/null); then
  powershell_result="ran: the shipped scripts and the guide's PowerShell, in PowerShell 7 (powershell.*)"
else
  why_no_powershell=$(tail -1 <<<"$why_no_powershell")
  echo "PowerShell tests will show as skipped: $why_no_powershell"
  powershell_result="SKIPPED (powershell.*): $why_no_powershell"
fi
jobs=$(nproc)

run_preset() {
  cmake --preset "$1"
  cmake --build --preset "$1" -j "$jobs"
  ctest --preset "$1" -j "$jobs"
}

run_preset linux
run_preset linux-sanitize
run_preset linux-fuzz
echo
echo "PowerShell: $powershell_result"
if [ "${QUARVANE_SKIP_WINDOWS_TESTS:-0}" = 1 ]; then
  echo
  echo "Windows tests SKIPPED (QUARVANE_SKIP_WINDOWS_TESTS=1): Quarvane.exe was neither built nor tested."
  exit 0
fi

if why_no_wine_powershell=$(bash scripts/setup-wine-powershell.sh 2>&1 >/dev/null); then
  wine_powershell_result="ran: the fleet scripts in PowerShell for Windows under Wine (*.fleet.*, *.detection_agrees)"
else
  why_no_wine_powershell=$(tail -1 <<<"$why_no_wine_powershell")
  echo "The fleet scripts' Wine tests will show as skipped: $why_no_wine_powershell"
  wine_powershell_result="SKIPPED (*.fleet.*, *.detection_agrees): $why_no_wine_powershell"
fi
if why_no_32bit=$(bash scripts/runs-32bit-wine.sh); then
  i686_result="ran: unit, resource and whole-run tests in a 32-bit prefix (wine.*) and under WoW64
  in a 64-bit prefix (wow64.*), the executable checks, the release and its signing (release.*)"
else
  echo "windows-i686: $why_no_32bit; its tests that run a Windows program will show as skipped."
  i686_result="ran: the executable checks, the release and its signing (release.*);
  SKIPPED: the tests that run a Windows program (wine.*, wow64.*): $why_no_32bit"
fi
run_preset windows-i686
run_preset windows-x86_64

echo
echo "Windows test sets:"
echo "windows-i686 (the released Quarvane.exe) $i686_result"
echo "PowerShell: $powershell_result"
echo "PowerShell for Windows: $wine_powershell_result"
echo "windows-x86_64 ran: unit, resource and whole-run tests in a 64-bit prefix, the guide's Command Prompt steps (wine.*), the executable checks"
