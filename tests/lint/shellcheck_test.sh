#!/usr/bin/env bash
# Every shell script of the project passes shellcheck, with the settings in
# .shellcheckrc; each exception is a directive where it stands, with its
# reason. Skipped, saying so, where shellcheck is not installed.
# Usage: shellcheck_test.sh SOURCE_DIR
set -euo pipefail
cd "$1"
if ! command -v shellcheck >/dev/null; then
  echo "skipped: shellcheck is not installed (scripts/setup-debian.sh installs it)"
  exit 77
fi
mapfile -t scripts < <(
  find . \( -path ./build -o -path ./.tools -o -path ./.git \) -prune -o -type f -print |
    while IFS= read -r file; do
      if [[ $file == *.sh ]] || head -n1 "$file" | grep -qE '^#!.*[/ ](bash|sh)$'; then echo "$file"; fi
    done | LC_ALL=C sort)
shellcheck "${scripts[@]}"
echo "PASS: shellcheck finds nothing in ${#scripts[@]} scripts"
