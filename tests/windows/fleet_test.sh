#!/usr/bin/env bash
# The run script, Invoke-Quarvane.ps1, run by PowerShell for Windows under
# Wine (tests/windows/powershell_host), so that its Windows side runs for
# real: cmd.exe with its quoting, chcp and the console's code page, the
# Global\ lock between processes, Get-Service, Stop-Service and starts through
# Wine's service manager, and Quarvane.exe with the stand-in cryptsvc service.
# Wine reports no dependent services, so no dependent is stopped here.
# Usage: fleet_test.sh CASE QUARVANE_EXE DEPLOY_DIR POWERSHELL_DIR (in the
# prefix wine.sh set up); the cases are the functions case_*, CMake registers
# each.
set -euo pipefail
source "$(dirname "$0")/wine.sh"
case_name=$1
exe=$2
deploy=$3
use_powershell "$4"
# Where the guide puts it: a path with a space, as cmd's quoting must carry.
folder="$drive_c/Program Files/Quarvane"
windows_folder='C:\Program Files\Quarvane'
catroot=$drive_c/windows/system32/catroot
logs=$drive_c/windows/logs/Quarvane
stray='{1A2B3C4D-0000-4000-8000-00000000000A}'

fail() {
  echo "FAIL ($case_name): $*" >&2
  for file in "$wine_logs"/fleet-*; do echo "--- $file" >&2; cat "$file" >&2; done
  exit 1
}

service_state() {
  wine_run sc-query sc query cryptsvc || true
  awk '/STATE/ {print $NF}' "$wine_logs/sc-query.out" | tr -d '\r'
}

# The three scripts and the program in one folder, a clean catroot and no
# log.
prepare() {
  rm -rf "$folder" "$catroot" "$logs" "$service_folder/fail-start" "$wine_logs"/fleet-*
  mkdir -p "$folder" "$catroot"
  cp "$exe" "$folder/Quarvane.exe"
  cp "$deploy"/*.ps1 "$folder/"
  [ "$(service_state)" = RUNNING ] || wine_run net-start net start cryptsvc || fail "cannot start cryptsvc"
}

# Runs the run script as the management tools do; its status is in $status,
# its output in $wine_logs/fleet-NAME.out.
run_script() {
  local name=$1
  shift
  status=0
  wine_run "fleet-$name" "$powershell" "$windows_folder\\Invoke-Quarvane.ps1" -ServiceTimeoutSeconds 10 "$@" ||
    status=$?
}

newest_log() { find "$logs" -name 'quarvane-*.log' -printf '%T@ %p\n' | sort -n | tail -1 | cut -d' ' -f2-; }

expect_status() { [ "$status" = "$1" ] || fail "exit code $status, not $1"; }
expect_in_log() {
  local text
  for text in "$@"; do grep -qF -- "$text" "$(newest_log)" || fail "no \"$text\" in $(newest_log)"; done
}

# Each exit code of a run, and the log holding what cmd and net wrote.
case_runs_and_exit_codes() {
  mkdir "$catroot/$stray"
  run_script repair
  expect_status 0
  [ -d "$catroot/$stray.old" ] || fail "the stray was not renamed"
  expect_in_log "Quarvane successfully!" "The cryptsvc service was stopped successfully." \
    "Renamed by this run (the list for the way back):"$'\r\n'"  $stray.old"$'\r'
  [ "$(service_state)" = RUNNING ] || fail "cryptsvc is not running again"

  run_script nothing-to-do
  expect_status 0
  [ "$(tail -1 "$wine_logs/fleet-nothing-to-do.out" | tr -d '\r')" = "Outcome: nothing to do." ] ||
    fail "a run with nothing to do does not end with its outcome"

  mkdir "$catroot/$stray"
  run_script old-name-taken
  expect_status 2
  expect_in_log "a person must clear them by hand"

  # A second stray, so that the program runs: cmd reports the rename of the
  # first, whose name is taken, on its error output, which the log keeps.
  local other='{1A2B3C4D-0000-4000-8000-00000000000B}'
  mkdir "$catroot/$other"
  touch "$service_folder/fail-start"
  run_script start-fails
  rm "$service_folder/fail-start"
  expect_status 1
  expect_in_log "File already exists." "Service request timeout." "Command: net start cryptsvc failed!"
}

# net writes in the console's code page, which follows the system's locale:
# each LANG's lines are in the log as net wrote them, decoded in its code
# page, whatever PowerShell's own format culture (another locale's).
case_code_page() {
  local lang code_page culture expected
  for lang in ru_RU.UTF-8:866:en-US de_DE.UTF-8:850:ru-RU; do
    culture=${lang##*:}
    lang=${lang%:*}
    code_page=${lang#*:}
    lang=${lang%:*}
    rm -rf "$catroot" && mkdir -p "$catroot/$stray"
    LC_ALL=$lang wine_run "fleet-net-$code_page" cmd /d /c \
      'net stop cryptsvc >C:\net.txt 2>&1 & net start cryptsvc >>C:\net.txt 2>&1'
    expected=$(iconv -f "CP$code_page" -t UTF-8 "$drive_c/net.txt" | tr -d '\r')
    if [ "$code_page" = 866 ] && [ -z "$(LC_ALL=C tr -d '\000-\177' <<<"$expected")" ]; then
      fail "net's lines under $lang are all ASCII, so they test no code page: $expected"
    fi
    LC_ALL=$lang QUARVANE_TEST_CULTURE=$culture run_script "lang-$code_page"
    expect_status 0
    while IFS= read -r line; do
      grep -qF -- "$line" <(tr -d '\r' <"$(newest_log)") || fail "($lang) no \"$line\" in $(newest_log)"
    done <<<"$expected"
  done
}

# A run holding the lock stops another; one that died holding it, while
# another process kept the lock in being, does not.
case_lock() {
  mkdir "$catroot/$stray"
  touch "$folder/hold" "$folder/keep"
  cat >"$folder/lock.ps1" <<'LOCK'
param([string]$Name)
$lock = New-Object System.Threading.Mutex($false, 'Global\Quarvane-run')
if ($Name -eq 'hold') { [void]$lock.WaitOne() }
New-Item -ItemType File (Join-Path $PSScriptRoot "$Name.ready") | Out-Null
while (Test-Path (Join-Path $PSScriptRoot $Name)) { Start-Sleep -Milliseconds 100 }
exit 0
LOCK
  local keeper holder
  start_lock_process keep
  keeper=$lock_process
  start_lock_process hold
  holder=$lock_process
  run_script held
  expect_status 2
  grep -q "Another Quarvane run holds the lock" "$wine_logs/fleet-held.out" || fail "the held lock is not named"
  rm "$folder/hold"
  wait "$holder"
  run_script abandoned
  rm "$folder/keep"
  wait "$keeper"
  expect_status 0
  expect_in_log "An earlier run ended without letting go of the lock"
}

# Starts lock.ps1 NAME in the background and waits until it is ready; its
# process id is in $lock_process.
start_lock_process() {
  wine_program "$powershell" "$windows_folder\\lock.ps1" "$1" </dev/null >"$wine_logs/fleet-$1.out" 2>&1 &
  lock_process=$!
  local waited=0
  until [ -e "$folder/$1.ready" ]; do
    sleep 0.2
    waited=$((waited + 1))
    [ "$waited" -lt 300 ] || fail "lock.ps1 $1 did not get ready"
  done
}

prepare
"case_$case_name"
echo "PASS: $case_name"
