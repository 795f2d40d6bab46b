#!/usr/bin/env bash
# The release: a reproducible package of Quarvane.exe, the fleet scripts, the
# administrator's guide, the notices, the SBOM and SHA-256 sums. (Signing is
# tested in signing_test.sh.)
# Usage: release_test.sh CASE SOURCE_DIR BUILT_EXE; the cases are the
# functions case_*, CMake registers each.
set -euo pipefail
case_name=$1
source_dir=$2
built_exe=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/release_support.sh"

# Two builds and packages, in two folders at two times and in two time
# zones, give the same Quarvane.exe and the same ZIP.
case_reproducible() {
  local first second one two
  unset "${!QUARVANE_SIGN_@}" SOURCE_DATE_EPOCH
  first=$(build_copy "$work/one")
  one=$(package_copy "$work/one" Pacific/Auckland)
  sleep 2
  second=$(build_copy "$work/elsewhere/two")
  two=$(package_copy "$work/elsewhere/two" America/New_York)
  same "Quarvane.exe" "$first" "$second"
  same "the ZIP" "$one" "$two"
}

# Packs the build in FOLDER in time zone ZONE; prints the ZIP's path.
package_copy() {
  (cd "$1" && TZ=$2 cpack --preset windows-i686 >"$work/cpack.log" 2>&1) ||
    fail "cpack failed: $(cat "$work/cpack.log")"
  echo "$1"/build/windows-i686/Quarvane-*-win32.zip
}

same() {
  local a b
  a=$(sha256sum <"$2" | cut -d' ' -f1)
  b=$(sha256sum <"$3" | cut -d' ' -f1)
  echo "$1: $a, then $b"
  [ "$a" = "$b" ] || fail "the two builds give two versions of $1: $(cmp -l "$2" "$3" | head -5)"
}

# Text that Notepad on every Windows shows as it is: ASCII, CRLF line endings,
# no line over 100 columns, no Markdown, nothing about building from source.
expect_plain_windows_text() {
  local text=$1 found
  found=$(grep -m3 -nv $'\r$' "$text") && fail "$text has lines without CRLF: $found"
  found=$(awk '{ sub(/\r$/, "") } length > 100 { print NR ": " $0; if (++n == 3) exit }' "$text")
  [ -z "$found" ] || fail "$text has lines over 100 columns: $found"
  found=$(LC_ALL=C grep -m3 -n '[^ -~]' <(tr -d '\r' <"$text")) &&
    fail "$text is not plain ASCII: $found"
  found=$(grep -m3 -nE '`|^#|\]\(|\*\*|^ *\|' "$text") && fail "$text has Markdown: $found"
  found=$(grep -m3 -niE 'cmake|apt-get|debian' "$text") && fail "$text tells how to build: $found"
  return 0
}

# cpack makes Quarvane-<version>-win32.zip with the eight files, the guide
# and notices in a form Notepad shows as it is, and an SPDX SBOM of what
# ships and the toolchain parts linked in.
case_package() {
  local version zip found
  version=$(sed -n 's/^project(Quarvane VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
  # Dated as the release manager asks, 2023-11-14 22:13:20 UTC.
  (cd "$source_dir" && SOURCE_DATE_EPOCH=1700000000 cpack --preset windows-i686 >"$work/cpack.log" 2>&1) ||
    fail "cpack failed: $(cat "$work/cpack.log")"
  zip=$(dirname "$(dirname "$built_exe")")/Quarvane-$version-win32.zip
  [ -f "$zip" ] || fail "no $zip"
  mkdir "$work/unpacked"
  (cd "$work/unpacked" && cmake -E tar xf "$zip")
  local files="Find-QuarvaneStray.ps1 Invoke-Quarvane.ps1 Quarvane.exe Quarvane.spdx.json README.txt SHA256SUMS THIRD-PARTY-NOTICES.txt Test-QuarvaneRepair.ps1"
  [ "$(cd "$work/unpacked" && find . -mindepth 1 -printf '%P\n' | LC_ALL=C sort | tr '\n' ' ')" = "$files " ] ||
    fail "the package holds: $(ls "$work/unpacked")"
  (cd "$work/unpacked" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"
  [ "$(cut -d' ' -f3 "$work/unpacked/SHA256SUMS" | tr '\n' ' ')" = \
    "Quarvane.exe Find-QuarvaneStray.ps1 Invoke-Quarvane.ps1 Test-QuarvaneRepair.ps1 README.txt THIRD-PARTY-NOTICES.txt Quarvane.spdx.json " ] ||
    fail "SHA256SUMS does not list all seven"
  expect_plain_windows_text "$work/unpacked/README.txt"
  found=$(grep -m3 -nv $'\r$' "$work/unpacked/THIRD-PARTY-NOTICES.txt") &&
    fail "THIRD-PARTY-NOTICES.txt has lines without CRLF: $found"
  local script
  for script in Find-QuarvaneStray.ps1 Invoke-Quarvane.ps1 Test-QuarvaneRepair.ps1; do
    cmp -s "$work/unpacked/$script" <(sed 's/$/\r/' "$source_dir/deploy/$script") ||
      fail "$script is not the source's, with Windows line endings"
  done
  { grep -q '^winpthreads' "$work/unpacked/THIRD-PARTY-NOTICES.txt" &&
    grep -q '^MinGW-w64 runtime' "$work/unpacked/THIRD-PARTY-NOTICES.txt"; } ||
    fail "THIRD-PARTY-NOTICES.txt does not name winpthreads and the MinGW-w64 runtime"
  cmp -s "$work/unpacked/Quarvane.exe" "$built_exe" || fail "the package holds another Quarvane.exe"
  expect_sbom "$work/unpacked"
  echo "$(basename "$zip"): $files; sums match"
}

# The SBOM names every other file shipped, with its checksums, and the
# MinGW-w64 runtime and winpthreads at the versions of this machine's packages.
expect_sbom() {
  local runtime pthreads
  runtime=$(version_of_package_with crt2.o)
  pthreads=$(version_of_package_with libwinpthread.a)
  python3 "$(dirname "$0")/check_sbom.py" "$1" "$runtime" "$pthreads" 2023-11-14T22:13:20Z ||
    fail "the SBOM is not what ships"
}

version_of_package_with() {
  local file
  file=$(readlink -f "$(i686-w64-mingw32-g++-posix -print-file-name="$1")")
  dpkg-query -W -f='${Version}' "$(dpkg-query -S "$file" | cut -d: -f1)"
}

"case_$case_name"
