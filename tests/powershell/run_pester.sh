#!/usr/bin/env bash
# Runs Pester test files in PowerShell 7: the one scripts/setup-powershell.sh
# installed into .tools/, or else pwsh on PATH with Pester 5 among its modules.
# Exits 77 (skipped) with the reason where there is none.
#   run_pester.sh TEST_FILE... (further settings in the environment)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
pwsh=$root/.tools/powershell/pwsh
pester=$(compgen -G "$root/.tools/pester/pester/5.*/tools/Pester.psd1" | tail -1 || true)
if [ ! -x "$pwsh" ]; then
  pwsh=$(command -v pwsh || true)
  pester=Pester
fi
if [ -z "$pwsh" ] || [ -z "$pester" ]; then
  echo "skipped: no PowerShell here (neither pwsh nor the .NET SDK that installs it)"
  exit 77
fi
export QUARVANE_PESTER=$pester QUARVANE_PWSH=$pwsh
exec "$pwsh" -NoProfile -NonInteractive -File "$(dirname "$0")/invoke_pester.ps1" "$@"
