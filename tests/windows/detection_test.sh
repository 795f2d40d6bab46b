#!/usr/bin/env bash
# The detection scripts and Quarvane.exe agree, run by PowerShell for Windows
# under Wine in the prefix wine.sh set up, on its own catroot: on each tree,
# the folders Find-QuarvaneStray.ps1 lists are exactly those the program then
# renames, but for one whose ".old" name is taken; and
# Test-QuarvaneRepair.ps1, run as the management tools run it with its
# standard output and error apart, prints one line where the program then
# renames nothing, and nothing at all, on either, where it renames a folder.
# Usage: detection_test.sh QUARVANE_EXE DEPLOY_DIR POWERSHELL_DIR
set -euo pipefail
source "$(dirname "$0")/wine.sh"
exe=$1
deploy=$2
use_powershell "$3"
folder=$drive_c/quarvane-detection
mkdir -p "$folder"
cp "$deploy"/*.ps1 "$folder/"
catroot=$drive_c/windows/system32/catroot
failed=0

# Folders of every kind the name rules and the emptiness test tell apart.
# The trees, each called by its name from check_tree.
# shellcheck disable=SC2317
edge_cases() {
  local fullwidth_one=$'\uff11' arabic_zero=$'\u0660'
  mkdir '{1A2B3C4D-0000-4000-8000-00000000000A}' '{5e6f7a8b-1111-4111-8111-11111111111b}' \
    '{9c8B7a6F-5555-4555-8555-55555555555f}' \
    "{${fullwidth_one}A2B3C4D-0000-4000-8000-00000000000B}" \
    "{${arabic_zero}A2B3C4D-0000-4000-8000-00000000000C}" \
    '{F750E6C3-38EE-11D1-85E5-00C04FC295EE}' '{573e31f8-aaba-11d0-8ccb-00c04fc295ee}' \
    '{5555C2CD-17FB-11D1-85C4-00C04FC295EE}' '{189A3842-3041-11D1-85E1-00C04FC295EE}' \
    '{fc451c16-ac75-11d1-b4b8-00c04fb66ea0}' '{00AAC56B-CD44-11D0-8CC2-00C04FC295EE}' \
    '{573E31F8-DDBA-11D0-8CCB-00C04FC295EE}' '{127d0a1d-4EF2-11d1-8608-00C04FC295EE}' \
    '{1A2B3C4D-0000-4000-8000-00000000000D}.old' '{1A2B3C4D-0000-4000-8000-0000000000E}' \
    '{1A2B3C4D-0000-4000-8000-00000000000FF}' '{1A2B3C4D-0000-4000-8000-00000000000G}' \
    '(1A2B3C4D-0000-4000-8000-000000000010)' '{1A2B3C4D0-000-4000-8000-000000000011}' \
    '{2C3D4E5F-2222-4222-8222-222222222212}' '{2C3D4E5F-2222-4222-8222-222222222213}' \
    '{2C3D4E5F-2222-4222-8222-222222222214}' '{2C3D4E5F-2222-4222-8222-222222222215}' \
    Catalogs
  touch '{2C3D4E5F-2222-4222-8222-222222222212}/oem1.cat' '{2C3D4E5F-2222-4222-8222-222222222213}/.hidden'
  mkdir '{2C3D4E5F-2222-4222-8222-222222222214}/sub'
  touch '{4E5F6071-4444-4444-8444-44444444444E}'
  # Taken ".old" name: listed by both, and the rename fails.
  mkdir '{2C3D4E5F-2222-4222-8222-222222222215}.old'
}

# shellcheck disable=SC2317
only_reserved_and_full() {
  mkdir '{F750E6C3-38EE-11D1-85E5-00C04FC295EE}' '{2C3D4E5F-2222-4222-8222-222222222212}'
  touch '{2C3D4E5F-2222-4222-8222-222222222212}/oem1.cat'
}

# shellcheck disable=SC2317
empty_catroot() { :; }

# Lists what each folder was before the run, one name a line, sorted.
folders() { (cd "$catroot" && find . -mindepth 1 -maxdepth 1 -type d -printf '%P\n' | LC_ALL=C sort); }

fail_tree() {
  echo "FAIL ($tree): $*"
  failed=1
}

check_tree() {
  local tree=$1 listed renamed before after status=0 expected_status=0
  rm -rf "$catroot"
  mkdir -p "$catroot"
  (cd "$catroot" && "$tree")
  wine_run detection "$powershell" 'C:\quarvane-detection\Find-QuarvaneStray.ps1' || status=$?
  wine_run installed "$powershell" 'C:\quarvane-detection\Test-QuarvaneRepair.ps1' ||
    fail_tree "Test-QuarvaneRepair.ps1 exited $?"
  # What Wine itself says on the error output is not the script's.
  grep -v '^wine: ' "$wine_logs/installed.err" >"$wine_logs/installed.script-err" || true
  [ ! -s "$wine_logs/installed.script-err" ] ||
    fail_tree "Test-QuarvaneRepair.ps1 wrote on its error output: $(cat "$wine_logs/installed.script-err")"
  [ "$(grep -c '' "$wine_logs/installed.out")" -le 1 ] ||
    fail_tree "Test-QuarvaneRepair.ps1 printed more than one line: $(cat "$wine_logs/installed.out")"
  listed=$(tr -d '\r' <"$wine_logs/detection.out" | grep -v '^No stray folder' |
    sed 's|.*\\||; s|: no run of Quarvane.*||' | LC_ALL=C sort || true)
  before=$(folders)
  wine_run quarvane "$exe" || true
  after=$(folders)
  # Renamed: gone from the listing, and back under its name with ".old".
  renamed=$(comm -23 <(echo "$before") <(echo "$after"))
  [ -z "$listed" ] || expected_status=1
  if [ "$status" -ne "$expected_status" ]; then
    echo "FAIL ($tree): the script listed ${listed:-nothing} and exited $status"
    failed=1
  fi
  # A folder whose ".old" name was taken is listed but not renamed.
  listed=$(grep -vxF '{2C3D4E5F-2222-4222-8222-222222222215}' <<<"$listed" || true)
  local installed=no nothing_renamed=no
  [ ! -s "$wine_logs/installed.out" ] || installed=yes
  [ -n "$renamed" ] || nothing_renamed=yes
  if [ "$installed" != "$nothing_renamed" ]; then
    echo "FAIL ($tree): Test-QuarvaneRepair.ps1 printed \"$(cat "$wine_logs/installed.out")\", the program renamed ${renamed:-nothing}"
    failed=1
  fi
  if [ "$listed" = "$renamed" ]; then
    echo "$tree: both pick $(grep -c . <<<"$renamed" || true) folders"
  else
    echo "FAIL ($tree): the script and the program differ (< script, > program):"
    diff <(echo "$listed") <(echo "$renamed") || true
    failed=1
  fi
}

[ "$(wine_run sc-query sc query cryptsvc && grep -c RUNNING "$wine_logs/sc-query.out")" = 1 ] ||
  wine_run net-start net start cryptsvc
for tree in edge_cases only_reserved_and_full empty_catroot; do
  check_tree "$tree"
done
exit "$failed"
