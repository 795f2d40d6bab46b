#!/usr/bin/env bash
# The release: a reproducible Quarvane.exe, signed when a certificate is given,
# packed with its README and SHA-256 sums.
# Usage: release_test.sh CASE SOURCE_DIR BUILT_EXE
#   reproducible  two builds, in two folders at two times, give the same bytes
#   signed        a build with a fresh self-signed certificate verifies, its
#                 version record and manifest are those of the unsigned build,
#                 and the certificate's thumbprint is written beside the package
#   refusals      a half-given or unreadable certificate stops the signing
#   package       cpack makes Quarvane-<version>-win32.zip with the four files
set -euo pipefail
case_name=$1
source_dir=$2
built_exe=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sign_script=$source_dir/cmake/sign_executable.cmake

fail() {
  echo "FAIL ($case_name): $*" >&2
  exit 1
}

# Builds Quarvane.exe from a copy of the sources in FOLDER; prints its path.
build_copy() {
  local folder=$1
  mkdir -p "$folder"
  tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$folder" -xf -
  (cd "$folder" && cmake --preset windows-i686 -DBUILD_TESTING=OFF >"$work/configure.log" &&
    cmake --build --preset windows-i686 --target quarvane -j "$(nproc)" >"$work/build.log") ||
    fail "build failed: $(cat "$work/configure.log" "$work/build.log")"
  echo "$folder/build/windows-i686/bin/Quarvane.exe"
}

resources() { i686-w64-mingw32-objcopy -O binary --only-section=.rsrc "$1" "$2"; }

reproducible() {
  local first second
  unset QUARVANE_SIGN_CERT QUARVANE_SIGN_KEY
  first=$(build_copy "$work/one")
  sleep 2
  second=$(build_copy "$work/elsewhere/two")
  local a b
  a=$(sha256sum <"$first" | cut -d' ' -f1)
  b=$(sha256sum <"$second" | cut -d' ' -f1)
  echo "first build:  $a"
  echo "second build: $b"
  [ "$a" = "$b" ] || fail "the two builds differ: $(cmp -l "$first" "$second" | head -5)"
}

signed() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quarvane test signer" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
  local exe
  exe=$(
    export QUARVANE_SIGN_CERT=$work/cert.pem QUARVANE_SIGN_KEY=$work/key.pem
    build_copy "$work/signed"
  )
  grep -q 'Quarvane.exe is signed with' "$work/build.log" || fail "the build did not sign"
  local thumbprint
  thumbprint=$(openssl x509 -in "$work/cert.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
  [ "$(cat "$work/signed/build/windows-i686/Quarvane-"*-win32.thumbprint.txt)" = "$thumbprint" ] ||
    fail "no thumbprint $thumbprint beside the package"
  osslsigncode verify -CAfile "$work/cert.pem" -in "$exe" >"$work/verify.log" 2>&1 ||
    fail "the signature does not verify: $(cat "$work/verify.log")"
  grep -q 'Signature verification: ok' "$work/verify.log" || fail "no valid signature"
  grep -q 'Subject: .*CN *= *Quarvane test signer' "$work/verify.log" || fail "signed by another certificate"
  grep -qE 'Message digest algorithm *: *SHA256' "$work/verify.log" || fail "not SHA-256 digests"
  resources "$exe" "$work/signed.rsrc"
  resources "$built_exe" "$work/unsigned.rsrc"
  cmp -s "$work/signed.rsrc" "$work/unsigned.rsrc" || fail "signing changed the version record or manifest"
  osslsigncode remove-signature -in "$exe" -out "$work/stripped.exe" >/dev/null
  cmp -s "$work/stripped.exe" "$built_exe" || fail "without its signature the file is not the unsigned build"
  echo "signed, verified with the test certificate; resources and unsigned bytes unchanged"
}

# Runs the signing script on a copy of the built file with the environment given.
sign_with() {
  cp "$built_exe" "$work/Quarvane.exe"
  env -u QUARVANE_SIGN_CERT -u QUARVANE_SIGN_KEY "$@" \
    cmake -DEXECUTABLE="$work/Quarvane.exe" -DTHUMBPRINT="$work/thumbprint.txt" \
    -DOSSLSIGNCODE="$(command -v osslsigncode)" -DOPENSSL="$(command -v openssl)" \
    -P "$sign_script" >"$work/sign.log" 2>&1
}

expect_refusal() {
  local expected=$1
  shift
  if sign_with "$@"; then fail "signed with: $*"; fi
  tr '\n' ' ' <"$work/sign.log" | tr -s ' ' | grep -qF "$expected" ||
    fail "no clear message for $*: $(cat "$work/sign.log")"
  [ ! -e "$work/Quarvane.exe" ] || fail "the unsigned file was left behind as if built"
}

refusals() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quarvane test signer" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
  expect_refusal "QUARVANE_SIGN_CERT is set but QUARVANE_SIGN_KEY is not" \
    QUARVANE_SIGN_CERT="$work/cert.pem"
  expect_refusal "QUARVANE_SIGN_KEY is set but QUARVANE_SIGN_CERT is not" \
    QUARVANE_SIGN_KEY="$work/key.pem"
  expect_refusal "QUARVANE_SIGN_KEY names $work/missing.pem, which is not a file that can be read" \
    QUARVANE_SIGN_CERT="$work/cert.pem" QUARVANE_SIGN_KEY="$work/missing.pem"
  expect_refusal "QUARVANE_SIGN_CERT names $work, which is not a file that can be read" \
    QUARVANE_SIGN_CERT="$work" QUARVANE_SIGN_KEY="$work/key.pem"
  expect_refusal "osslsigncode failed" \
    QUARVANE_SIGN_CERT="$work/key.pem" QUARVANE_SIGN_KEY="$work/cert.pem"
  sign_with || fail "unsigned build refused: $(cat "$work/sign.log")"
  grep -q 'Quarvane.exe is not signed: set QUARVANE_SIGN_CERT and QUARVANE_SIGN_KEY' "$work/sign.log" ||
    fail "an unsigned build does not say so"
  cmp -s "$work/Quarvane.exe" "$built_exe" || fail "an unsigned build changed the file"
  echo "half-given, unreadable and mismatched certificates refused; unsigned build said so"
}

package() {
  local version zip
  version=$(sed -n 's/^project(Quarvane VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
  (cd "$source_dir" && cpack --preset windows-i686 >"$work/cpack.log" 2>&1) ||
    fail "cpack failed: $(cat "$work/cpack.log")"
  zip=$(dirname "$(dirname "$built_exe")")/Quarvane-$version-win32.zip
  [ -f "$zip" ] || fail "no $zip"
  mkdir "$work/unpacked"
  (cd "$work/unpacked" && cmake -E tar xf "$zip")
  local files="Quarvane.exe README.md SHA256SUMS THIRD-PARTY-NOTICES.txt"
  [ "$(cd "$work/unpacked" && ls | tr '\n' ' ')" = "$files " ] ||
    fail "the package holds: $(ls "$work/unpacked")"
  (cd "$work/unpacked" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"
  [ "$(cut -d' ' -f3 "$work/unpacked/SHA256SUMS" | tr '\n' ' ')" = \
    "Quarvane.exe README.md THIRD-PARTY-NOTICES.txt " ] || fail "SHA256SUMS does not list all three"
  grep -q '^winpthreads' "$work/unpacked/THIRD-PARTY-NOTICES.txt" &&
    grep -q '^MinGW-w64 runtime' "$work/unpacked/THIRD-PARTY-NOTICES.txt" ||
    fail "THIRD-PARTY-NOTICES.txt does not name winpthreads and the MinGW-w64 runtime"
  cmp -s "$work/unpacked/Quarvane.exe" "$built_exe" || fail "the package holds another Quarvane.exe"
  echo "$(basename "$zip"): $files; sums match"
}

"$case_name"
