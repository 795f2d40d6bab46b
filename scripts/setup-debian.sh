#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 or 13, when it is
# missing: the C++ tools, clang with libFuzzer and valgrind for the Linux
# builds, Ansible and ansible-lint for the deployment playbook, shellcheck for
# the shell scripts, and MinGW-w64,
# Wine and osslsigncode for the Windows builds and the release, with what the
# signing tests sign with: a SoftHSM2 token reached through OpenSSL's PKCS#11
# engine (and OpenSC's pkcs11-tool, which shapes its objects), a timestamp server in
# Python, Python's cryptography to read certificates, strace to see the commands run (left
# out when QUARVANE_SKIP_WINDOWS_TESTS=1). As root it installs them with apt-get;
# otherwise it names them and stops.
#
# 32-bit Wine (wine32:i386) is optional: it is wanted only where this kernel
# runs 32-bit programs, and it is installed on its own, after the rest, so
# that an i386 package list caught mid-sync stops nothing else. Without it the
# tests that run the 32-bit program under Wine are skipped, and say why.
#
# Usage: setup-debian.sh [demo | plan]
#   demo  only what builds the Linux program
#   plan  print the packages it would ask for on this machine; install nothing
set -euo pipefail
mode=${1:-all}

required=(g++ cmake make)
optional=()
no_optional_because=""
if [ "$mode" != demo ]; then
  required+=(googletest libgtest-dev clang libclang-rt-dev valgrind ansible ansible-lint shellcheck)
  if [ "${QUARVANE_SKIP_WINDOWS_TESTS:-0}" != 1 ]; then
    required+=(g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64
      binutils-mingw-w64-x86-64 wine wine64 osslsigncode openssl
      softhsm2 opensc libengine-pkcs11-openssl python3 python3-cryptography strace)
    if no_optional_because=$(bash "$(dirname "$0")/runs-32bit-programs.sh"); then
      optional+=(wine32:i386)
    fi
  fi
fi

if [ "$mode" = plan ]; then
  echo "required: ${required[*]}"
  echo "optional: ${optional[*]:-none${no_optional_because:+: $no_optional_because}}"
  exit 0
fi

missing_of() {
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      echo "$package"
  done
}
mapfile -t missing < <(missing_of "${required[@]}")
mapfile -t missing_optional < <(missing_of "${optional[@]}")
[ ${#missing[@]} -gt 0 ] || [ ${#missing_optional[@]} -gt 0 ] || exit 0

needs_i386=0
[ ${#missing_optional[@]} -eq 0 ] || dpkg --print-foreign-architectures | grep -qx i386 ||
  needs_i386=1
wine32_retry="apt-get update && apt-get install wine32:i386"
[ "$needs_i386" -eq 0 ] || wine32_retry="dpkg --add-architecture i386 && $wine32_retry"

if [ "$(id -u)" -ne 0 ]; then
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install ${missing[*]}" >&2
  fi
  if [ ${#missing_optional[@]} -gt 0 ]; then
    echo "Optional: wine32:i386, to run the 32-bit program's Wine tests (skipped without it):" >&2
    echo "  sudo sh -c '$wine32_retry'" >&2
  fi
  if [ ${#missing[@]} -gt 0 ]; then
    echo "(or set QUARVANE_SKIP_WINDOWS_TESTS=1 to build and test for Linux only)" >&2
    exit 1
  fi
  exit 0
fi

apt_get() { DEBIAN_FRONTEND=noninteractive apt-get -o Acquire::Retries=3 "$@"; }
[ "$needs_i386" -eq 0 ] || dpkg --add-architecture i386
# A mirror caught mid-sync fails some lists; those at hand may still do.
apt_get update -qq || echo "apt-get update failed for some lists; installing from those at hand" >&2
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  apt_get install -y -qq "${missing[@]}" >/dev/null
fi
if [ ${#missing_optional[@]} -gt 0 ]; then
  echo "Installing: ${missing_optional[*]}"
  if ! error=$(apt_get install -y -qq "${missing_optional[@]}" 2>&1 >/dev/null); then
    reason=$(grep '^E: ' <<<"$error" | tail -1)
    echo "Could not install wine32:i386 (${reason:-apt-get failed}), so the 32-bit Wine tests will be skipped; once the package lists are whole, retry with: $wine32_retry" >&2
  fi
fi
