#!/usr/bin/env bash
# The Ansible deployment: the playbook passes ansible-playbook's syntax check
# and ansible-lint, and its rule for a failed or changed host gives the right
# answer on the output of four real runs of the program.
# Usage: deploy_test.sh PROGRAM NET_STAND_IN SOURCE_DIR
set -euo pipefail
program=$1
net=$2
source_dir=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ANSIBLE_NOCOLOR=1 ANSIBLE_LOCALHOST_WARNING=0 ANSIBLE_INVENTORY_UNPARSED_WARNING=0

mkdir "$work/bin"
cp "$net" "$work/bin/net"
stray='{11111111-2222-3333-4444-555555555555}'

# Runs the program on a catalog folder holding one stray folder, with the
# environment given, and keeps its output in NAME.out.
run_case() {
  local name=$1
  shift
  rm -rf "$work/System32"
  mkdir -p "$work/System32/catroot/$stray"
  [ "$name" != taken_old_name ] || mkdir "$work/System32/catroot/$stray.old"
  env PATH="$work/bin:$PATH" QUARVANE_SYSTEM_DIR="$work/System32" "$@" "$program" >"$work/$name.out"
}
run_case full_pass
run_case taken_old_name
run_case failed_start NET_START_EXIT=2
run_case failed_stop NET_STOP_EXIT=2

cd "$source_dir"
ansible-playbook --syntax-check -i 'localhost,' deploy/quarvane.yml
ansible-lint --offline deploy/
ansible-playbook -i 'localhost,' tests/deploy/result_rule_test.yml -e "outputs_dir=$work"
