#!/usr/bin/env bash
# The administrator's guide's Command Prompt steps, taken from the guide
# itself and run by Wine's cmd, so that they cannot drift from what they do.
# Usage: guide_test.sh CASE GUIDE PLANTED_EXE (in the prefix wine.sh set up);
# PLANTED_EXE writes its command line to a marker file when it runs. The
# cases are the functions case_*, CMake registers each.
set -euo pipefail
source "$(dirname "$0")/wine.sh"

# The 64-bit cmd, as 64-bit Windows opens it (Debian's wine prefers the
# 32-bit loader, whose Program Files is "Program Files (x86)").
# shellcheck disable=SC2034 # read by wine_program, in wine.sh
[ "$WINEARCH" = win64 ] && wine_loader=/usr/lib/wine/wine64

case_name=$1
guide=$2
planted_exe=$3
version=$(sed -n 's/^For Quarvane \([0-9.]*[0-9]\)\. .*/\1/p' "$guide")
profile=$drive_c/users/$(whoami)
# Wine links Downloads to the Linux home folder: a folder of the prefix instead.
downloads=$profile/Downloads
unpacked=$downloads/Quarvane-$version-win32
destination="$drive_c/Program Files/Quarvane"
work=$drive_c/quarvane-guide

fail() {
  echo "FAIL ($case_name): $*" >&2
  explain_last_block >&2
  exit 1
}

# What the last block left: its lines, cmd's exit status, output and error,
# and the prefix's processes still running, so that a failure says why.
explain_last_block() {
  [ "$blocks_run" -gt 0 ] || return 0
  local log=$wine_logs/$case_name-block-$blocks_run
  echo "-- block $blocks_run, cmd's exit status $(cat "$log.status"):"
  sed 's/^/   | /; s/\r$//' "$work/block.cmd"
  echo "-- its output:"; tr -d '\r' <"$log.out" | sed 's/^/   | /'
  echo "-- its error (and Wine's messages):"; tr -d '\r' <"$log.err" | sed 's/^/   | /'
  echo "-- the prefix's processes now:"; prefix_processes | sed 's/^/   | /'
}

# Wine's processes (the server's, and every Windows program's) of this prefix.
prefix_processes() {
  local environ pid
  for environ in /proc/[0-9]*/environ; do
    pid=${environ#/proc/}
    pid=${pid%/environ}
    [[ $(readlink "/proc/$pid/exe" 2>/dev/null) == */wine* ]] || continue
    { tr '\0' '\n' <"$environ" | grep -qxF "WINEPREFIX=$WINEPREFIX"; } 2>/dev/null || continue
    echo "$pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)"
  done
}

# The lines of the block labelled "In SHELL:" that first follows the line
# starting with HEADING, without their indent.
guide_block() {
  awk -v heading="$1" -v label="  In $2:" '
    { sub(/\r$/, "") }
    index($0, heading) == 1 { in_section = 1; next }
    in_section && $0 == label { in_block = 1; next }
    in_block && /^    / { started = 1; print substr($0, 5); next }
    started { exit }' "$guide"
}

# Runs the lines given as one batch file with Wine's cmd, then "echo CD=%CD%",
# which shows that the block ran to its end; the output is in $work/block.log.
# Each block's output, error and exit status are kept apart in
# $wine_logs/CASE-block-N.*. A block's commands may fail on purpose, so its
# status is kept rather than judged; a block that stopped short fails the case.
blocks_run=0
run_block() {
  local status=0
  mkdir -p "$work"
  { cat; echo 'echo CD=%CD%'; } | sed 's/$/\r/' >"$work/block.cmd"
  blocks_run=$((blocks_run + 1))
  wine_run "$case_name-block-$blocks_run" cmd /c 'C:\quarvane-guide\block.cmd' || status=$?
  echo "$status" >"$wine_logs/$case_name-block-$blocks_run.status"
  tr -d '\r' <"$wine_logs/$case_name-block-$blocks_run.out" >"$work/block.log"
  grep -q '^CD=' "$work/block.log" || fail "block $blocks_run did not run to its end: $(why_block_stopped "$status")"
}

# Wine runs start.exe in place of a program it fails to load, and says so only
# in start.exe's own message, on standard output.
why_block_stopped() {
  if grep -q 'ShellExecuteEx failed' "$work/block.log"; then
    echo "Wine did not start cmd (it ran start.exe in its place, which failed too)"
  else
    echo "cmd's exit status $1"
  fi
}

block_of() {
  local block
  block=$(guide_block "$@")
  [ -n "$block" ] || fail "no $2 block under \"$1\" in $guide"
  echo "$block"
}

unpack_release() {
  rm -rf "$downloads" "$destination"
  mkdir -p "$unpacked"
  echo "the release" >"$unpacked/Quarvane.exe"
}

# 4.1 copies into a new folder and goes there; over a folder that exists it
# copies nothing and stays where it was.
case_copy() {
  local copy_block
  copy_block=$(block_of "4.1 " "Command Prompt")
  unpack_release
  run_block <<<"$copy_block"
  cmp -s "$unpacked/Quarvane.exe" "$destination/Quarvane.exe" ||
    fail "not copied: $(cat "$work/block.log")"
  grep -qx 'CD=C:\\Program Files\\Quarvane' "$work/block.log" ||
    fail "not in the new folder: $(cat "$work/block.log")"

  echo "someone else's" >"$destination/Quarvane.exe"
  run_block <<<"$copy_block"
  [ "$(cat "$destination/Quarvane.exe")" = "someone else's" ] || fail "copied into a folder that existed"
  ! grep -q 'CD=C:\\Program Files\\Quarvane' "$work/block.log" ||
    fail "went on into a folder that existed: $(cat "$work/block.log")"
  echo "copied into a new folder; nothing copied into one that existed"
}

# 5.3 removes the copy, and the folder only when nothing else is in it.
case_clean_up() {
  local copy_block clean_block
  copy_block=$(block_of "4.1 " "Command Prompt")
  clean_block=$(block_of "5.3 " "Command Prompt")
  # DEST as 4.1 set it, in the same window.
  clean_block=$(grep '^set "DEST=' <<<"$copy_block")$'\n'"$clean_block"
  unpack_release
  run_block <<<"$copy_block"
  echo "not Quarvane's" >"$destination/notes.txt"
  run_block <<<"$clean_block"
  [ ! -e "$destination/Quarvane.exe" ] || fail "the copy is still there"
  [ "$(cat "$destination/notes.txt" 2>/dev/null)" = "not Quarvane's" ] ||
    fail "a file that was not Quarvane's was removed"

  unpack_release
  run_block <<<"$copy_block"
  [ -e "$destination/Quarvane.exe" ] || fail "not copied again: $(cat "$work/block.log")"
  run_block <<<"$clean_block"
  [ ! -e "$destination" ] || fail "the empty folder is still there: $(cat "$work/block.log")"
  echo "copy removed; the folder removed only once nothing else was in it"
}

# What cmd hands PowerShell, from a stand-in powershell.exe on PATH.
case_powershell() {
  local heading expected received
  mkdir -p "$work"
  cp "$planted_exe" "$work/powershell.exe"
  for heading in "4.2 " "4.3 "; do
    rm -f "$work/powershell.exe.ran"
    # The PowerShell lines, but those that only set a variable, on one line.
    expected=$(block_of "$heading" PowerShell | grep -v '^[$]env:' | paste -sd ';' | sed 's/;/; /g')
    { echo 'set "PATH=C:\quarvane-guide;%PATH%"'; block_of "$heading" "Command Prompt"; } | run_block
    received=$(tr -d '\r' <"$work/powershell.exe.ran" 2>/dev/null | sed -n 's/.* -Command //p') ||
      true
    [ "$(tr -s ' ' <<<"$received")" = "$(tr -s ' ' <<<"$expected")" ] ||
      fail "under \"$heading\", cmd hands PowerShell:
  $received
and not:
  $expected"
  done
  echo "cmd hands PowerShell the lines of its own form, for the hash and the signature"
}

# 7 gives a renamed folder its name again, with the service stopped and
# started; rmdir leaves a folder that holds something.
case_way_back() {
  local guid='{1A2B3C4D-0000-4000-8000-00000000000A}' catroot=$drive_c/windows/system32/catroot
  rm -rf "$catroot"
  mkdir -p "$catroot/$guid.old"
  block_of "To give one its name back" "Command Prompt" | run_block
  { [ -d "$catroot/$guid" ] && [ ! -e "$catroot/$guid.old" ]; } ||
    fail "not given its name back: $(cat "$work/block.log")"
  wine_run sc-query sc query cryptsvc || true
  grep -q 'STATE.*RUNNING' "$wine_logs/sc-query.out" || fail "the service is not running again"

  local remove
  remove=$(block_of "When to delete" "Command Prompt")
  mkdir "$catroot/$guid.old"
  touch "$catroot/$guid.old/kept.cat"
  run_block <<<"$remove"
  [ -e "$catroot/$guid.old/kept.cat" ] || fail "rmdir removed a folder that held something"
  rm "$catroot/$guid.old/kept.cat"
  run_block <<<"$remove"
  [ ! -e "$catroot/$guid.old" ] || fail "the empty .old folder is still there"
  echo "renamed back with the service stopped and started; only an empty .old folder removed"
}

"case_$case_name"
