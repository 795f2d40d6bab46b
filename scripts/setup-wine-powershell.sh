#!/usr/bin/env bash
# Builds PowerShell 7.6.10 for Windows, 32-bit and 64-bit, into
# .tools/wine-powershell/, where the .NET SDK is present, so that the fleet
# scripts' tests run them under Wine (tests/windows/powershell_host). Without
# dotnet, or where the build fails, it prints why on stderr and exits 1; those
# tests then show as skipped, saying so.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
project=$root/tests/windows/powershell_host/WinePowerShell.csproj
tools=$root/.tools/wine-powershell

if ! command -v dotnet >/dev/null; then
  echo "no .NET SDK (dotnet) here to build PowerShell for Windows" >&2
  exit 1
fi
for runtime in win-x86 win-x64; do
  # Built again only when its project changed.
  if [ ! -x "$tools/$runtime/pwsh.exe" ] || [ "$project" -nt "$tools/$runtime/pwsh.exe" ] ||
    [ "${project%/*}/Program.cs" -nt "$tools/$runtime/pwsh.exe" ]; then
    rm -rf "${tools:?}/$runtime"
    dotnet publish "$project" -c Release -r "$runtime" -o "$tools/$runtime" \
      -p:BaseIntermediateOutputPath="$tools/obj/$runtime/" -p:BaseOutputPath="$tools/bin/$runtime/" \
      >"$tools.$runtime.log" 2>&1 ||
      { echo "dotnet could not build PowerShell for Windows ($runtime): see $tools.$runtime.log" >&2; exit 1; }
  fi
done
echo "$tools"
