#!/usr/bin/env bash
# The whole playbook, run on stand-in Windows hosts: local hosts whose drive
# C: is a folder, reached through test stand-ins for the ansible.windows
# modules (collections/), with the Linux build of the program and a stand-in
# net. Each case is one host, in a play of its own.
# Usage: play_test.sh PROGRAM NET_STAND_IN SOURCE_DIR
set -euo pipefail
program=$1
source_dir=$3
# The run script runs in PowerShell 7; without it, or Ansible, this is skipped.
if ! command -v ansible-playbook >/dev/null; then
  echo "skipped: ansible-playbook is not installed (scripts/setup-debian.sh installs it)"
  exit 77
fi
source "$source_dir/tests/fleet/powershell/find_pwsh.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/release" "$work/not-a-program"
cp "$2" "$work/bin/net"
scripts=("$source_dir/deploy/Invoke-Quarvane.ps1")
cp "$program" "$work/release/Quarvane.exe"
echo 'echo never ran' >"$work/not-a-program/Quarvane.exe"
for release in release not-a-program; do
  cp "${scripts[@]}" "$work/$release/"
  (cd "$work/$release" && sha256sum Quarvane.exe ./*.ps1 | sed 's|  \./|  |' >SHA256SUMS)
done
export PATH="$work/bin:$PATH" ANSIBLE_COLLECTIONS_PATH="$source_dir/tests/fleet/play/collections"
export QUARVANE_TEST_PWSH=$pwsh QUARVANE_TEST_WINDOWS_HOST=$source_dir/tests/fleet/play/windows_host.ps1
export ANSIBLE_NOCOLOR=1 ANSIBLE_LOCALHOST_WARNING=0
stray='{11111111-2222-3333-4444-555555555555}'
cd "$source_dir"

fail() { echo "FAIL ($case): $*" >&2; cat "$work/$case.log" >&2; exit 1; }

# Usage: play CASE RELEASE [VARIABLE=VALUE...]: the play on a host whose
# catalog folder holds one stray folder, with the variables given for the
# program and net, after the case's own set-up where it has one: a function
# named after it, run in the host's catroot.
play() {
  case=$1
  local drive_c=$work/$case release=$work/$2
  local catroot=$drive_c/Windows/System32/catroot
  mkdir -p "$catroot"
  mkdir "$catroot/$stray"
  touch "$drive_c/services.txt"
  if declare -F "set_up_$case" >/dev/null; then (cd "$catroot" && "set_up_$case"); fi
  env QUARVANE_TEST_DRIVE_C="$drive_c" QUARVANE_SYSTEM_DIR="$drive_c/Windows/System32" \
    QUARVANE_TEST_SERVICES="$drive_c/services.txt" "${@:3}" \
    ansible-playbook -i host, -c local -e "ansible_python_interpreter=$(command -v python3)" \
    -e "quarvane_hosts=host quarvane_release_dir=$release" deploy/quarvane.yml >"$work/$case.log" || true
  [ ! -e "$drive_c/Program Files/Quarvane" ] || fail "the program's folder was left on the host"
}

set_up_no_stray() { rmdir "$stray"; }
# The stray's ".old" name is taken; another stray can be renamed.
set_up_rename_fails() { mkdir "$stray.old" '{11111111-2222-3333-4444-555555555556}'; }
set_up_only_stray_blocked() { mkdir "$stray.old"; }
# The tests run as root, whom no mode keeps out: a file stands in its place.
set_up_catroot_unlisted() { cd .. && rm -r catroot && touch catroot; }
set_up_appidsvc_running() { echo "AppIDSvc Running" >../../../services.txt; }
# As on Windows 10 and later: AppIDSvc is protected, and where AppLocker is
# enforced its filter driver runs and depends on it.
set_up_appidsvc_protected() {
  printf '%s\n' 'AppIDSvc Running Win32ShareProcess CryptSvc protected' \
    'applockerfltr Running KernelDriver AppIDSvc' >../../../services.txt
}

# Usage: expect RECAP [TEXT...]: the host's counts, as "changed=N failed=N",
# and texts that the play's output holds.
expect() {
  local counts
  counts=$(grep '^host ' "$work/$case.log" | grep -o '\(changed\|failed\)=[0-9]*' | paste -sd' ')
  [ "$counts" = "$1" ] || fail "$counts, not $1"
  for text in "${@:2}"; do grep -qF -- "$text" "$work/$case.log" || fail "no \"$text\" in the output"; done
}

renamed() { [ -d "$work/$case/Windows/System32/catroot/$stray.old" ]; }

play full_pass release
expect "changed=1 failed=0" "Quarvane successfully!" "The run fully succeeded."
renamed || fail "the stray was not renamed"
play appidsvc_running release
expect "changed=1 failed=0" "Stopped AppIDSvc" "Started AppIDSvc again."
renamed || fail "the stray was not renamed"
[ "$(cat "$work/$case/services.txt")" = "AppIDSvc Running" ] || fail "AppIDSvc is not running again"
play appidsvc_protected release
expect "changed=0 failed=1" "Could not stop AppIDSvc: Cannot stop service" "applockerfltr, a driver" "exit code 2"
! renamed || fail "the stray was renamed"
play no_stray release
expect "changed=0 failed=0" "Outcome: nothing to do."
play catroot_unlisted release
expect "changed=0 failed=0" "cannot be listed" "Outcome: nothing to do."
play rename_fails release
expect "changed=1 failed=1" "A duplicate file name exists" "Command: ren " "exit code 1"
play only_stray_blocked release
expect "changed=0 failed=1" "a person must clear them by hand" "exit code 2"
play failed_stop release NET_STOP_EXIT=2
expect "changed=0 failed=1" "The cryptsvc service could not be stopped." "Quarvane failed!" "exit code 2"
chmod -x "$work/not-a-program/Quarvane.exe"
play not_started not-a-program
expect "changed=0 failed=1" "Quarvane.exe did not start"
play no_powershell release QUARVANE_TEST_PWSH="$work/missing/pwsh"
expect "changed=0 failed=1" "Failed to run: "
sha256sum "$program" | sed 's/ .*/  Quarvane.exe/' >"$work/not-a-program/SHA256SUMS.exe"
sed '/  Quarvane.exe$/d' "$work/not-a-program/SHA256SUMS" >>"$work/not-a-program/SHA256SUMS.exe"
mv "$work/not-a-program/SHA256SUMS.exe" "$work/not-a-program/SHA256SUMS"
play copy_differs not-a-program
expect "changed=0 failed=1" "Quarvane.exe on the host is not the released file"
[ -d "$work/copy_differs/Windows/System32/catroot/$stray" ] || fail "the program ran"
echo "PASS: the play on eleven hosts"
