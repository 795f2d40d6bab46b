#!/usr/bin/env bash
# Writes THIRD-PARTY-NOTICES.txt for Quarvane.exe from the toolchain's own
# Debian copyright files: for each part of the MinGW-w64 toolchain that the
# program links statically, the package it comes from and its licence, then
# each of those packages' copyright files in full, which carry every notice
# and licence text that must travel with the binary.
# Usage: third_party_notices.sh CXX_COMPILER OUTPUT PARTS
# PARTS gets the same parts, a line each, for the SBOM: name, package,
# version and licence, separated by tabs.
set -euo pipefail
compiler=$1
output=$2
parts_file=$3

die() {
  echo "third_party_notices.sh: $*" >&2
  exit 1
}

# The Debian package that installed the toolchain file LIBRARY.
owning_package() {
  local file
  file=$(readlink -f "$("$compiler" -print-file-name="$1")")
  [ -e "$file" ] || die "the compiler has no $1"
  dpkg-query -S "$file" | head -1 | cut -d: -f1
}

package_version() { dpkg-query -W -f='${Version}' "$1"; }

copyright_file() {
  local file
  file=$(readlink -f "/usr/share/doc/$1/copyright")
  [ -r "$file" ] || die "$1 has no copyright file"
  echo "$file"
}

# Licence names of the stanzas of a machine-readable copyright file whose
# Files field names a path under one of PREFIXES (or is "*"), tests left out.
dep5_licences() {
  local file=$1
  shift
  awk -v prefixes="$*" '
    BEGIN { RS = ""; FS = "\n"; n = split(prefixes, wanted, " ") }
    /^Files:/ {
      files = ""; licence = ""
      for (i = 1; i <= NF; ++i) {
        if ($i ~ /^Files:/) { files = substr($i, 7); in_files = 1; continue }
        if (in_files && $i ~ /^[ \t]/) { files = files " " $i; continue }
        in_files = 0
        if ($i ~ /^License:/) { split(substr($i, 9), words, " "); licence = words[1] }
      }
      split(files, patterns, /[ \t]+/)
      for (p in patterns) {
        pattern = patterns[p]
        if (pattern == "" || pattern ~ /tests/) continue
        for (w = 1; w <= n; ++w) {
          if (pattern == "*" || index(pattern, wanted[w]) == 1) { seen[licence] = 1 }
        }
      }
    }
    END { for (l in seen) print l }
  ' "$file" | sort | paste -sd, - | sed 's/,/, /g'
}

# Checks that the GCC copyright file grants the runtime library exception.
gcc_licence() {
  { grep -q 'GCC RUNTIME LIBRARY EXCEPTION' "$1" && grep -q '^Version 3.1' "$1"; } ||
    die "$1 does not state the GCC Runtime Library Exception 3.1"
  echo "GPL-3+ with the GCC Runtime Library Exception 3.1"
}

crt_package=$(owning_package crt2.o)
pthread_package=$(owning_package libwinpthread.a)
stdcxx_package=$(owning_package libstdc++.a)
libgcc_package=$(owning_package libgcc.a)

# name | package | licence
parts=(
  "MinGW-w64 runtime (CRT, libmingwex and the msvcrt import library)|$crt_package|$(dep5_licences "$(copyright_file "$crt_package")" mingw-w64-crt/)"
  "winpthreads (POSIX threads for Windows, from MinGW-w64)|$pthread_package|$(dep5_licences "$(copyright_file "$pthread_package")" mingw-w64-libraries/winpthreads/)"
  "libstdc++ (the GNU C++ library)|$stdcxx_package|$(gcc_licence "$(copyright_file "$stdcxx_package")")"
  "libgcc (GCC's runtime support library)|$libgcc_package|$(gcc_licence "$(copyright_file "$libgcc_package")")"
)

for part in "${parts[@]}"; do
  IFS='|' read -r name package licence <<<"$part"
  [ -n "$licence" ] || die "no licence found for $name"
  printf '%s\t%s\t%s\t%s\n' "$name" "$package" "$(package_version "$package")" "$licence"
done >"$parts_file"

{
  echo "Third-party notices for Quarvane.exe"
  echo "===================================="
  echo
  echo "Quarvane.exe is built with Debian's MinGW-w64 toolchain and contains these"
  echo "parts of it, linked statically. Each is listed with the Debian package it"
  echo "comes from and its licence; the copyright files of those packages follow in"
  echo "full, as Debian ships them, with every copyright notice and licence text."
  echo "The ZPL-2.1, BSD and expat licences among them ask that these notices"
  echo "accompany the binary."
  for part in "${parts[@]}"; do
    IFS='|' read -r name package licence <<<"$part"
    echo
    echo "$name"
    echo "  Debian package: $package $(package_version "$package")"
    echo "  Licence: $licence"
  done

  declare -A shown=()
  for package in "$crt_package" "$pthread_package" "$stdcxx_package" "$libgcc_package"; do
    file=$(copyright_file "$package")
    [ -z "${shown[$file]:-}" ] || continue
    shown[$file]=1
    echo
    echo
    echo "--- $file (from $package $(package_version "$package")) ---"
    echo
    cat "$file"
  done
} | sed 's/\r*$/\r/' >"$output"  # Windows line endings, for Notepad
