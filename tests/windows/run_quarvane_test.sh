#!/usr/bin/env bash
# Quarvane.exe end to end under Wine, against Wine's own command interpreter,
# "net" and service manager, with a stand-in cryptsvc service.
# Usage: run_quarvane_test.sh CASE QUARVANE_EXE PLANTED_EXE (in the prefix wine.sh
# set up); PLANTED_EXE is a program that leaves a marker when it runs. The
# cases are the functions case_*, CMake registers each; those marked "also
# under WoW64" run in the 64-bit prefix too.
set -euo pipefail
source "$(dirname "$0")/wine.sh"

case_name=$1
exe=$2
planted_exe=$3
planted_folder=$drive_c/quarvane-planted
windows_planted_folder='C:\quarvane-planted'
catroot=$drive_c/windows/system32/catroot
# A 32-bit program's System32 on 64-bit Windows, all but its catroot folders.
wow64_catroot=$drive_c/windows/syswow64/catroot
windows_system='C:\windows\system32'
windows_catroot="$windows_system\\catroot"

banner="Quarvane.exe will fix an installation error of Vantesquill.
Related issue : BUG-76393 and BUG-76439."
stopped="The cryptsvc service is stopping.
The cryptsvc service was stopped successfully."
started="The cryptsvc service is starting.
The cryptsvc service was started successfully."

reserved=(
  '{F750E6C3-38EE-11D1-85E5-00C04FC295EE}' '{573E31F8-AABA-11D0-8CCB-00C04FC295EE}'
  '{5555C2CD-17FB-11D1-85C4-00C04FC295EE}' '{189A3842-3041-11D1-85E1-00C04FC295EE}'
  '{FC451C16-AC75-11D1-B4B8-00C04FB66EA0}' '{00aac56b-cd44-11d0-8cc2-00c04fc295ee}'
  '{573E31F8-DDBA-11D0-8CCB-00C04FC295EE}' '{127D0A1D-4EF2-11D1-8608-00C04FC295EE}'
)
stray_upper='{1A2B3C4D-0000-4000-8000-00000000000A}'
stray_lower='{5e6f7a8b-1111-4111-8111-11111111111b}'
stray_other='{9C8B7A6F-5555-4555-8555-55555555555F}'

fail() {
  echo "FAIL ($case_name): $*" >&2
  exit 1
}

service_state() {
  wine_run sc-query sc query cryptsvc || true
  awk '/STATE/ {print $NF}' "$wine_logs/sc-query.out" | tr -d '\r'
}

# A clean catalog folder and a running service that starts normally.
reset() {
  rm -rf "$catroot" "$wow64_catroot" "$service_folder/fail-start" "$planted_folder"
  mkdir -p "$catroot"
  [ "$(service_state)" = RUNNING ] || wine_run net-start net start cryptsvc ||
    fail "cannot start the stand-in service: $(cat "$wine_logs/net-start.out")"
}

listing() { (cd "$catroot" && find . -mindepth 1 | sort); }

# Every entry under FOLDER with its type, mode and modification time.
snapshot() { (cd "$1" && find . -printf '%p %y %m %T@\n' | sort); }

# Runs Quarvane.exe, or the Windows command given.
run_quarvane() {
  local status=0
  [ $# -gt 0 ] || set -- "$exe"
  wine_run quarvane "$@" || status=$?
  [ "$status" -eq 0 ] || fail "exit status $status"
  output=$(tr -d '\r' <"$wine_logs/quarvane.out")
  echo "$output"
}

expect_output() {
  [ "$output" = "$1" ] || fail "output differs:
$(diff <(echo "$1") <(echo "$output"))"
}

expect_listing() {
  local actual
  actual=$(listing)
  [ "$actual" = "$1" ] || fail "catalog folder differs:
$(diff <(echo "$1") <(echo "$actual"))"
}

# Quarvane.exe started cmd once for each command given (in any order), each
# time as the system's cmd.exe with AutoRun off, and started nothing else:
# the command lines come from Wine's process trace. Where its output is a
# terminal, Wine itself first starts a console host for it, before its own
# code runs; that one start is not Quarvane's.
expect_commands() {
  local trace=$wine_logs/quarvane.err command lines=() expected actual thread
  local console_host='^\\"C:\\windows\\system32\\conhost\.exe\\" --unix --width [0-9]* --height [0-9]* --server 0x[0-9a-f]*$'
  for command in "$@"; do lines+=("$windows_system\\cmd.exe /D /c $command"); done
  expected=$(printf "%s\n" "${lines[@]}" | sort)
  # Quarvane.exe's thread is the one that starts the first cmd.exe.
  thread=$(grep -m1 '^[0-9a-f]*:trace:process:CreateProcessInternalW app L"[^"]*cmd\.exe"' "$trace" |
    cut -d: -f1)
  actual=$(sed -n "s/^$thread:trace:process:CreateProcessInternalW app .* cmdline L\"\(.*\)\"\$/\1/p" \
    "$trace" | sed 's/\\\\/\\/g' | sed "1{/$console_host/d}" | sort)
  [ "$actual" = "$expected" ] || fail "commands started differ:
$(diff <(echo "$expected") <(echo "$actual"))"
}

expect_service() {
  local state
  state=$(service_state)
  [ "$state" = "$1" ] || fail "service is $state, not $1"
}

case_strays_renamed_and_the_rest_left_alone() { # also under WoW64
  local hidden='{2C3D4E5F-2222-4222-8222-22222222222C}'
  local nested='{3D4E5F60-3333-4333-8333-33333333333D}'
  local file='{4E5F6071-4444-4444-8444-44444444444E}'
  (cd "$catroot" &&
    mkdir "${reserved[@]}" "$stray_upper" "$stray_lower" "$hidden" "$nested" "$nested/empty" \
      "$stray_other.old" Catalogs not-a-guid &&
    touch "$hidden/secret.cat" "$file")
  wine_run attrib attrib +h "$windows_catroot\\$hidden\\secret.cat"
  wine_run attrib attrib "$windows_catroot\\$hidden\\secret.cat"
  grep -q '^A *H ' "$wine_logs/attrib.out" || fail "secret.cat is not hidden"
  local expected
  expected=$(listing | sed -e "s|^\./$stray_upper\$|./$stray_upper.old|" \
    -e "s|^\./$stray_lower\$|./$stray_lower.old|" | sort)
  # The redirected catalog folder a 64-bit prefix also has: never looked at.
  local wow64_before=
  if [ "$WINEARCH" = win64 ]; then
    mkdir -p "$wow64_catroot/$stray_upper"
    wow64_before=$(snapshot "$wow64_catroot")
  fi

  WINEDEBUG=+process run_quarvane

  expect_output "$banner
$stopped
$started
Quarvane successfully!"
  expect_commands "net stop cryptsvc" "ren $windows_catroot\\$stray_upper $stray_upper.old" \
    "ren $windows_catroot\\$stray_lower $stray_lower.old" "net start cryptsvc"
  expect_listing "$expected"
  expect_service RUNNING
  if [ "$WINEARCH" = win64 ]; then
    [ "$(snapshot "$wow64_catroot")" = "$wow64_before" ] || fail "syswow64\\catroot changed:
$(diff <(echo "$wow64_before") <(snapshot "$wow64_catroot"))"
  fi
}

case_existing_old_name_survives() {
  (cd "$catroot" &&
    mkdir "$stray_upper" "$stray_lower" "$stray_lower.old" "$stray_other" &&
    echo earlier >"$stray_lower.old/kept.txt")

  run_quarvane

  expect_output "$banner
$stopped
Command: ren $windows_catroot\\$stray_lower $stray_lower.old failed!
$started
Quarvane successfully!"
  expect_listing "$(printf '%s\n' "./$stray_lower" "./$stray_lower.old" "./$stray_lower.old/kept.txt" \
    "./$stray_upper.old" "./$stray_other.old" | sort)"
  [ "$(cat "$catroot/$stray_lower.old/kept.txt")" = earlier ] || fail "kept.txt changed"
  expect_service RUNNING
}

# A stray whose name holds a character the output cannot carry (a fullwidth
# digit, which Windows takes as hexadecimal) and whose ".old" name is taken:
# its failure line is whole, with "?" for that character.
case_unprintable_name_in_a_failure_line() {
  local stray='{１A2B3C4D-0000-4000-8000-00000000000A}'
  local shown='{?A2B3C4D-0000-4000-8000-00000000000A}'
  (cd "$catroot" && mkdir "$stray" "$stray.old")

  run_quarvane

  expect_output "$banner
$stopped
Command: ren $windows_catroot\\$shown $shown.old failed!
$started
Quarvane successfully!"
  expect_listing "$(printf '%s\n' "./$stray" "./$stray.old" | sort)"
}

case_service_already_stopped() {
  mkdir "$catroot/$stray_upper"
  wine_run net-stop net stop cryptsvc || fail "cannot stop the stand-in service"

  run_quarvane

  expect_output "$banner
The cryptsvc service is stopping.
Service not active.
Quarvane failed!"
  expect_listing "./$stray_upper"
  expect_service STOPPED
}

case_service_fails_to_start() {
  mkdir "$catroot/$stray_upper"
  touch "$service_folder/fail-start"

  run_quarvane

  expect_output "$banner
$stopped
The cryptsvc service is starting.
Service request timeout.
Command: net start cryptsvc failed!
Quarvane successfully!"
  expect_listing "./$stray_upper.old"
  expect_service STOPPED
}

case_no_stray_folder() {
  (cd "$catroot" && mkdir "${reserved[0]}" Catalogs)

  run_quarvane

  expect_output "$banner
$stopped
$started
Quarvane successfully!"
  expect_listing "$(printf '%s\n' ./Catalogs "./${reserved[0]}" | sort)"
  expect_service RUNNING
}

# A net.bat in the planted folder that notes each time it runs, and claims
# success.
plant_net_bat() {
  mkdir -p "$planted_folder"
  printf '@echo planted net %%*\r\n@echo %%* >> %s\\net.bat.ran\r\n@exit /b 0\r\n' \
    "$windows_planted_folder" >"$planted_folder/net.bat"
}

# Wine's net stopped and started the service, the stray was renamed, and no
# planted program left its marker.
expect_only_real_tools_ran() {
  expect_output "$banner
$stopped
$started
Quarvane successfully!"
  local ran
  ran=$(cd "$planted_folder" && cat ./*.ran 2>/dev/null) || true
  [ -z "$ran" ] || fail "a planted program ran: $ran"
  expect_listing "./$stray_upper.old"
  expect_service RUNNING
}

# Started from a folder that also holds a net.bat, as a download folder can.
case_planted_net_in_launch_folder() { # also under WoW64
  mkdir "$catroot/$stray_upper"
  plant_net_bat
  cp "$exe" "$planted_folder/Quarvane.exe"

  cd "$planted_folder"
  run_quarvane Quarvane.exe
  cd - >/dev/null

  expect_only_real_tools_ran
}

# Started by a Windows parent whose environment names a planted interpreter
# and sends cmd's search for "net" to a planted net.bat.
case_planted_environment() { # also under WoW64
  mkdir "$catroot/$stray_upper"
  plant_net_bat
  cp "$planted_exe" "$planted_folder/cmd.exe"
  cp "$exe" "$service_folder/Quarvane.exe"

  run_quarvane cmd /c "set COMSPEC=$windows_planted_folder\\cmd.exe&& set PATHEXT=.BAT&& \
set PATH=$windows_planted_folder;%PATH%&& C:\\quarvane-test\\Quarvane.exe"

  expect_only_real_tools_ran
}

reset
"case_$case_name"
rm -f "$service_folder/fail-start"
echo "PASS: $case_name"
