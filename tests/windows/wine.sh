#!/usr/bin/env bash
# Windows test programs under Wine, in one prefix for a whole set of tests.
#
#   wine.sh setup SERVICE_EXE   make a fresh prefix, keep its server up and
#                               register SERVICE_EXE as the service cryptsvc
#   wine.sh cleanup             stop the server and remove the prefix
#   wine.sh run EXE [ARGS...]   run a Windows program; its exit status is the result
#
# QUARVANE_WINE_ARCH is the prefix's kind: win32 (the default) or win64, where
# 32-bit programs run under WoW64 as on 64-bit Windows. When
# QUARVANE_WINE_NEEDS_32BIT=1 (the tests run a 32-bit program) and 32-bit Wine
# cannot run here (the kernel runs no 32-bit program, or it is not installed),
# each command says why and exits 77, which the tests report as skipped.
#
# Sourced, it only sets up the environment and the helpers below.
set -euo pipefail

: "${QUARVANE_WINE_PREFIX:?QUARVANE_WINE_PREFIX names the Wine prefix}"
export WINEPREFIX=$QUARVANE_WINE_PREFIX WINEARCH=${QUARVANE_WINE_ARCH:-win32} WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installers
export LC_ALL=C.UTF-8

if ! why=$(bash "$(dirname "${BASH_SOURCE[0]}")/../../scripts/runs-32bit-wine.sh"); then
  if [ "${QUARVANE_WINE_NEEDS_32BIT:-0}" = 1 ]; then
    echo "skipped: $why"
    exit 77
  fi
  # Debian's wine prefers the 32-bit loader whenever it is installed, even
  # where it cannot run; a 64-bit prefix needs only the 64-bit one.
  export WINELOADER=/usr/lib/wine/wine64
fi
wine_loader=${WINELOADER:-wine}

# Now and then, about once in 4,000 starts, Wine fails to start a process
# whose address space the kernel laid out at random: the process dies before
# it runs, saying nothing; CreateProcess fails with ERROR_INTERNAL_ERROR, and a
# program run from here is handed to start.exe, which fails the same way. With
# the layout fixed it was never seen to fail, so Wine's programs run that way
# where the kernel allows it.
fixed_layout=(setarch "$(uname -m)" -R)
"${fixed_layout[@]}" true 2>/dev/null || fixed_layout=()
wine_program() {
  "${fixed_layout[@]}" "$wine_loader" "$@"
}

wine_logs=${QUARVANE_WINE_LOGS:-$WINEPREFIX/../wine-logs}
mkdir -p "$wine_logs"
drive_c=$WINEPREFIX/drive_c
service_folder=$drive_c/quarvane-test

# Runs a Windows program with its output in files rather than a pipe (Wine's
# helper processes can hold a pipe open), then shows that output. It gets no
# input: in a terminal, Wine would make the terminal each program's console,
# with a console host of its own reading it, which no test wants; so a test
# runs alike in a terminal and without one.
# Usage: wine_run NAME EXE [ARGS...]; the output is in $wine_logs/NAME.{out,err}.
wine_run() {
  local name=$1 status=0
  shift
  wine_program "$@" </dev/null >"$wine_logs/$name.out" 2>"$wine_logs/$name.err" || status=$?
  return "$status"
}

# Sets powershell to PowerShell for Windows in FOLDER, as
# scripts/setup-wine-powershell.sh builds it, or says why there is none and
# exits 77 (skipped). .NET loads its own assemblies through mscoree, which
# the prefix otherwise goes without, and needs Windows 10, which a new
# prefix does not report.
# Usage: use_powershell FOLDER
use_powershell() {
  powershell=$1/pwsh.exe
  if [ ! -f "$powershell" ]; then
    echo "skipped: no PowerShell for Windows here (scripts/setup-wine-powershell.sh builds it where the .NET SDK is)"
    exit 77
  fi
  export WINEDLLOVERRIDES=mshtml=
  wine_run app-version reg add 'HKCU\Software\Wine\AppDefaults\pwsh.exe' /v Version /d win10 /f
}

setup() {
  local service_exe=$1
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  [ ${#fixed_layout[@]} -gt 0 ] ||
    echo "note: setarch -R is refused here; Wine's programs run with a random layout"
  wine_program wineboot -i </dev/null >"$wine_logs/wineboot.log" 2>&1
  wineserver -w
  # Wine stops services when its server exits: keep one up until cleanup.
  wineserver -p </dev/null >/dev/null 2>&1
  mkdir -p "$service_folder"
  cp "$service_exe" "$service_folder/stand_in_service.exe"
  wine_run sc-create sc create cryptsvc binPath= 'C:\quarvane-test\stand_in_service.exe'
  wine_run net-start net start cryptsvc
  cat "$wine_logs/net-start.out"
}

cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}

run() {
  local status=0
  wine_run test "$@" || status=$?
  cat "$wine_logs/test.out"
  cat "$wine_logs/test.err" >&2
  return "$status"
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  command=$1
  shift
  "$command" "$@"
fi
