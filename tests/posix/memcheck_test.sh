#!/usr/bin/env bash
# One whole pass with stray folders under valgrind's memcheck: no error, no leak.
# Usage: memcheck_test.sh PROGRAM NET_STAND_IN
set -euo pipefail
program=$1
net=$2
if ! command -v valgrind >/dev/null; then
  echo "skipped: valgrind is not installed (scripts/setup-debian.sh installs it)"
  exit 77
fi

sandbox=$(mktemp -d)
trap 'rm -rf "$sandbox"' EXIT
catroot=$sandbox/System32/catroot
mkdir -p "$sandbox/bin" "$catroot/Catalogs" "$catroot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}"
cp "$net" "$sandbox/bin/net"
for i in 1 2 3; do mkdir "$catroot/{0000000$i-0000-0000-0000-000000000000}"; done
mkdir "$catroot/{00000002-0000-0000-0000-000000000000}.old"  # one rename fails
mkdir "$catroot/{00000009-0000-0000-0000-000000000000}"
touch "$catroot/{00000009-0000-0000-0000-000000000000}/catalog.cat"

status=0
PATH="$sandbox/bin:$PATH" QUARVANE_SYSTEM_DIR="$sandbox/System32" \
  valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
  --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
  --log-file="$sandbox/memcheck.log" "$program" >"$sandbox/out" 2>&1 || status=$?

cat "$sandbox/out"
grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|All heap blocks' "$sandbox/memcheck.log" || true
if [ "$status" -ne 0 ]; then
  cat "$sandbox/memcheck.log"
  echo "FAIL: memcheck exit status $status" >&2
  exit 1
fi
grep -q 'ERROR SUMMARY: 0 errors' "$sandbox/memcheck.log" || { echo "FAIL: memcheck reported errors" >&2; exit 1; }
renamed=$(cd "$catroot" && printf '%s\n' ./*.old | sort | tr '\n' ' ')
[ "$renamed" = "./{00000001-0000-0000-0000-000000000000}.old ./{00000002-0000-0000-0000-000000000000}.old ./{00000003-0000-0000-0000-000000000000}.old " ] ||
  { echo "FAIL: renamed: $renamed" >&2; exit 1; }
grep -q '^Command: ren .*{00000002-0000-0000-0000-000000000000}.old failed!$' "$sandbox/out" ||
  { echo "FAIL: the failed rename was not reported" >&2; exit 1; }
echo "PASS: memcheck clean over a whole pass"
