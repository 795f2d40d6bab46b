#!/usr/bin/env bash
# Runs Pester test files in PowerShell 7 (see find_pwsh.sh), or exits 77
# (skipped) with the reason where there is none.
#   run_pester.sh TEST_FILE... (further settings in the environment)
set -euo pipefail
source "$(dirname "$0")/find_pwsh.sh"
export QUARVANE_PESTER=$pester QUARVANE_PWSH=$pwsh
exec "$pwsh" -NoProfile -NonInteractive -File "$(dirname "$0")/invoke_pester.ps1" "$@"
