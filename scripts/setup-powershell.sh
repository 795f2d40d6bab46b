#!/usr/bin/env bash
# Installs what the PowerShell tests run on, where the .NET SDK is present:
# PowerShell 7.6.10 as the .NET tool, and the Pester 5 module from NuGet, both
# into .tools/ of the repository. Prints the path of pwsh on success; without
# dotnet (a fresh Debian has none) it names the user's own pwsh, if any, or
# else prints why on stderr and exits 1.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tools=$root/.tools
powershell_version=7.6.10
pester_version=5.7.1
pwsh=$tools/powershell/pwsh
pester=$tools/pester/pester/$pester_version/tools/Pester.psd1

if [ ! -x "$pwsh" ] && ! command -v dotnet >/dev/null; then
  if command -v pwsh >/dev/null; then
    command -v pwsh  # one of the user's own, with the user's Pester
    exit 0
  fi
  echo "neither pwsh nor the .NET SDK (dotnet) that installs PowerShell $powershell_version is here" >&2
  exit 1
fi
if [ ! -x "$pwsh" ]; then
  dotnet tool install --tool-path "$tools/powershell" PowerShell --version "$powershell_version" >&2 ||
    { echo "dotnet could not install PowerShell $powershell_version" >&2; exit 1; }
fi
if [ ! -f "$pester" ]; then
  mkdir -p "$tools/pester"
  cat >"$tools/pester/fetch.csproj" <<PROJECT
<Project Sdk="Microsoft.NET.Sdk">
  <PropertyGroup><TargetFramework>net10.0</TargetFramework></PropertyGroup>
  <ItemGroup><PackageDownload Include="Pester" Version="[$pester_version]" /></ItemGroup>
</Project>
PROJECT
  dotnet restore "$tools/pester/fetch.csproj" --packages "$tools/pester" >&2 ||
    { echo "dotnet could not fetch Pester $pester_version" >&2; exit 1; }
fi
echo "$pwsh"
