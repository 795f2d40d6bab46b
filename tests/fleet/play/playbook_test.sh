#!/usr/bin/env bash
# The Ansible deployment: the playbook passes ansible-playbook's syntax check
# and ansible-lint, and its rule for a failed or changed host gives the right
# answer for each kind of result of the run script.
# Usage: playbook_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
for tool in ansible-playbook ansible-lint; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is not installed (scripts/setup-debian.sh installs it)"
    exit 77
  fi
done
export ANSIBLE_NOCOLOR=1 ANSIBLE_LOCALHOST_WARNING=0 ANSIBLE_INVENTORY_UNPARSED_WARNING=0

cd "$source_dir"
ansible-playbook --syntax-check -i 'localhost,' deploy/quarvane.yml
ansible-lint --offline deploy/
ansible-playbook -i 'localhost,' tests/fleet/play/result_rule_test.yml
