#!/usr/bin/env bash
# The facts that one part of Quarvane reads or repeats from another are the
# same everywhere they stand, checked with nothing but bash, so that this runs
# on every machine:
#   - the catalog rules, written into each fleet script, are the same text in
#     all three, and their eight identifiers are the program's
#     (src/repair/catalog_ids.cc) and the guide's;
#   - the program's lines that the run script judges a run by, and the guide
#     quotes, are the program's (src/repair/repair_run.cc);
#   - the line by which the playbook's rule tells a run that had nothing to
#     do is the one the run script prints, and the exit codes are those the
#     rule reads.
# Usage: contract_test.sh SOURCE_DIR
set -euo pipefail
cd "$1"
failed=0
fail() { echo "FAIL: $*"; failed=1; }

scripts=(deploy/Find-QuarvaneStray.ps1 deploy/Test-QuarvaneRepair.ps1 deploy/Invoke-Quarvane.ps1)
rules_of() { sed -n '/^#region Catalog rules$/,/^#endregion$/p' "$1"; }
[ -n "$(rules_of "${scripts[0]}")" ] || fail "${scripts[0]} has no region of catalog rules"
for script in "${scripts[@]:1}"; do
  cmp -s <(rules_of "${scripts[0]}") <(rules_of "$script") ||
    fail "the catalog rules of $script differ from those of ${scripts[0]}:
$(diff <(rules_of "${scripts[0]}") <(rules_of "$script"))"
done

# The program's identifiers, from its table of GUID literals, as text.
program_ids() {
  local line bytes
  while IFS= read -r line; do
    [[ $line =~ \{0x([0-9A-F]{8}),\ 0x([0-9A-F]{4}),\ 0x([0-9A-F]{4}),\ \{(0x[^}]*)\}\}, ]] || continue
    bytes=${BASH_REMATCH[4]//0x/}
    bytes=${bytes//, /}
    echo "{${BASH_REMATCH[1]}-${BASH_REMATCH[2]}-${BASH_REMATCH[3]}-${bytes:0:4}-${bytes:4}}"
  done <src/repair/catalog_ids.cc
}
ids=$(program_ids)
[ "$(grep -c . <<<"$ids")" = 8 ] || fail "src/repair/catalog_ids.cc does not give eight identifiers: $ids"
[ "$(rules_of "${scripts[0]}" | sed -n "s/^    '\({[^']*}\)'$/\1/p")" = "$ids" ] ||
  fail "the scripts' identifiers are not the program's, in its order"
[ "$(sed -n 's/^    \({[0-9A-F-]\{36\}}\)$/\1/p' docs/administrators-guide.txt | head -8)" = "$ids" ] ||
  fail "the guide's eight identifiers are not the program's, in its order"

# A line the program prints, by its constant's name, without its newline.
program_line() { sed -n "s/^constexpr wchar_t $1\[\] = L\"\(.*\)\\\\n\";$/\1/p" src/repair/repair_run.cc; }
script_value() { sed -n "s/^\\\$$1 = '\(.*\)'$/\1/p" deploy/Invoke-Quarvane.ps1; }
for pair in Banner:kBannerLine FailedLine:kFailedLine SucceededLine:kSucceededLine; do
  line=$(program_line "${pair#*:}")
  [ -n "$line" ] || fail "src/repair/repair_run.cc has no ${pair#*:}"
  [ "$(script_value "${pair%:*}")" = "$line" ] ||
    fail "\$${pair%:*} in Invoke-Quarvane.ps1 is not the program's line \"$line\""
  grep -qxF -- "$line" docs/administrators-guide.txt ||
    fail "the guide does not show the program's line \"$line\""
done
grep -qF 'platform.Print(L"Command: " + command_line' src/repair/repair_run.cc ||
  fail "the program's failure line no longer starts with \"Command: \""
[ "$(script_value CommandFailedPrefix)" = 'Command: ' ] ||
  fail "\$CommandFailedPrefix in Invoke-Quarvane.ps1 is not \"Command: \""

nothing_to_do=$(script_value NothingToDoLine)
[ -n "$nothing_to_do" ] || fail "Invoke-Quarvane.ps1 has no \$NothingToDoLine"
[ "$(sed -n "s/^quarvane_nothing_to_do_line: '\(.*\)'$/\1/p" deploy/vars/result_rule.yml)" = "$nothing_to_do" ] ||
  fail "the playbook's rule does not read the run script's line \"$nothing_to_do\""
for pair in ExitSucceeded:0 ExitChangedThenFailed:1 ExitNothingChanged:2; do
  grep -qx "\\\$${pair%:*} = ${pair#*:}" deploy/Invoke-Quarvane.ps1 ||
    fail "\$${pair%:*} in Invoke-Quarvane.ps1 is not ${pair#*:}, as the playbook's rule reads it"
done

[ "$failed" = 0 ] && echo "PASS: the catalog rules, the program's lines, the identifiers and the run script's outcome agree everywhere"
exit "$failed"
