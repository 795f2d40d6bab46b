# shellcheck shell=bash
# Sourced: sets pwsh to the PowerShell 7 the tests run on, and pester to its
# Pester 5 module: the ones scripts/setup-powershell.sh installed into .tools/,
# or else pwsh on PATH with the Pester among its modules. Where there is none,
# it says why and exits 77 (skipped).
tools=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)/.tools
pwsh=$tools/powershell/pwsh
pester=$(compgen -G "$tools/pester/pester/5.*/tools/Pester.psd1" | tail -1 || true)
if [ ! -x "$pwsh" ]; then
  pwsh=$(command -v pwsh || true)
  pester=Pester
fi
if [ -z "$pwsh" ] || [ -z "$pester" ]; then
  echo "skipped: no PowerShell here (neither pwsh nor the .NET SDK that installs it)"
  exit 77
fi
