#!/usr/bin/env bash
# Installs what building and testing need on Debian, when it is missing: the
# C++ tools, clang with libFuzzer and valgrind for the Linux builds, Ansible
# and ansible-lint for the deployment playbook, and MinGW-w64 and Wine, both
# 32- and 64-bit, and osslsigncode for the Windows builds and the release
# (left out when QUARVANE_SKIP_WINDOWS_TESTS=1). As root it installs them with
# apt-get; otherwise it names the packages and stops.
set -euo pipefail

# Usage: setup-debian.sh [demo]; "demo" needs only what builds the Linux program.
packages=(g++ cmake make)
if [ "${1:-}" != demo ]; then
  packages+=(googletest libgtest-dev file clang libclang-rt-14-dev valgrind ansible ansible-lint)
fi
if [ "${1:-}" != demo ] && [ "${QUARVANE_SKIP_WINDOWS_TESTS:-0}" != 1 ]; then
  # wine32 installs on any amd64 machine, though only some kernels run it.
  packages+=(g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64
    binutils-mingw-w64-x86-64 wine wine32:i386 wine64 osslsigncode openssl)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

needs_i386=0
[[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386 &&
  needs_i386=1

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with:" >&2
  [ "$needs_i386" -eq 0 ] || echo "  sudo dpkg --add-architecture i386" >&2
  echo "  sudo apt-get update && sudo apt-get install ${missing[*]}" >&2
  echo "(or set QUARVANE_SKIP_WINDOWS_TESTS=1 to build and test for Linux only)" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
[ "$needs_i386" -eq 0 ] || dpkg --add-architecture i386
# A mirror caught mid-sync fails some lists; those at hand may still do.
apt-get update -qq || echo "apt-get update failed for some lists; installing from those at hand" >&2
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
