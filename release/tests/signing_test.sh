#!/usr/bin/env bash
# Signing the release, with a throwaway PKI, a local RFC 3161 timestamp
# authority and a SoftHSM2 token.
# Usage: signing_test.sh CASE SOURCE_DIR [BUILT_EXE]; the cases are the
# functions case_*, CMake registers each. Those of the signing step alone sign
# a tiny program where no BUILT_EXE is given; those marked "whole build" build
# the release from a copy of the sources, and need the Windows build.
set -euo pipefail
case_name=$1
source_dir=$2
built_exe=${3:-}
work=$(mktemp -d)
trap 'stop_timestamp_servers; rm -rf "$work"' EXIT
here=$(dirname "$0")
source "$here/release_support.sh"
source "$here/test_pki.sh"
sign_script=$source_dir/release/signing/sign_release.sh
unset "${!QUARVANE_SIGN_@}"

needs osslsigncode openssl softhsm2-util pkcs11-tool
python3 -c 'import cryptography' 2>/dev/null || skip "Python's cryptography is not installed"
if [ -z "$built_exe" ]; then
  mkdir "$work/input"
  built_exe=$work/input/Quarvane.exe
  python3 "$here/tiny_pe.py" "$built_exe"
fi

PKI=$work/pki
mkdir "$PKI"
make_test_pki
pin=qv-pin-5719
after_the_end=$(($(date -u +%s) + 10 * 86400))

# Runs the signing step on the built file, with the environment given, into
# work/shipped; its output is in work/sign.log.
sign_with() {
  "${sign_runner[@]}" env "$@" bash "$sign_script" sign "$work/shipped" "$work/published.txt" \
    "$built_exe" >"$work/sign.log" 2>&1
}
signed=$work/shipped/$(basename "$built_exe")
sign_runner=()

# Whether the log of the last signing, on one line, holds TEXT.
sign_log_has() { tr '\n' ' ' <"$work/sign.log" | tr -s ' ' | grep -cF "$1" >/dev/null; }

verifies() {
  osslsigncode verify -CAfile "$PKI/root.pem" -TSA-CAfile "$PKI/root.pem" "${@:2}" -in "$1" \
    >"$work/verify.log" 2>&1 && grep -q 'Signature verification: ok' "$work/verify.log"
}

# A build signs with the token's key and a timestamp, from the first server
# that answers (one refuses, one never answers): the PIN is on no command
# line, in the environment of nothing the signing step starts, in no output
# or file; the file verifies after its certificate's end, unlike one without
# a timestamp, and without its signature it is the unsigned build; its
# package holds the scripts signed and stamped too (with osslsigncode 2.5, it
# is refused).
case_on_token() { # whole build
  local silent url exe
  needs strace
  make_test_token "$pin"
  # Outlives the test's time limit, so that a wait for its answer fails the test.
  silent=$(start_timestamp_server 600 --silent)
  url=$(start_timestamp_server 600)
  cat "$PKI/intermediate.pem" "$PKI/signer.pem" >"$PKI/chain.pem"
  mkdir "$work/tmp"
  # The settings hold for this build and its package alone.
  local settings=(QUARVANE_SIGN_CERT="$PKI/chain.pem" QUARVANE_SIGN_KEY="pkcs11:token=quarvane;object=signer"
    QUARVANE_SIGN_TIMESTAMP_URL="$(closed_url) $silent $url" QUARVANE_SIGN_PKCS11_MODULE="$TOKEN_MODULE"
    QUARVANE_SIGN_PIN="$pin" TMPDIR="$work/tmp")
  exe=$(build_copy "$work/signed" env "${settings[@]}" strace -f -qq -v --seccomp-bpf \
    -e trace=execve,clone,clone3,fork,vfork -s 4096 -o "$work/exec.log")
  grep -q "Quarvane.exe is timestamped by $url" "$work/build.log" || fail "not timestamped: $(cat "$work/build.log")"
  grep -q '"osslsigncode", "sign"' "$work/exec.log" || fail "the trace of commands saw no signing"
  local holders
  holders=$(programs_holding "$pin" "$work/exec.log")
  [ -z "$holders" ] || fail "the PIN is on the command line or in the environment of: $holders"
  ! grep -F "$pin" "$work/build.log" || fail "the PIN is in the build's output"
  local kept
  kept=$(grep -rlF "$pin" "$work/signed/build" "$work/tmp" || true)
  [ -z "$kept" ] || fail "the PIN is in files left behind: $kept"

  verifies "$exe" || fail "the signature does not verify: $(cat "$work/verify.log")"
  verifies "$exe" -time "$after_the_end" ||
    fail "the timestamped file does not verify after its certificate's end: $(cat "$work/verify.log")"
  [ "$(head -1 "$work/signed/build/windows-i686/Quarvane-"*-win32.thumbprint.txt)" = \
    "$(thumbprint_of "$PKI/signer.pem")" ] || fail "the published thumbprint is not the signer's"
  resources "$exe" "$work/signed.rsrc"
  resources "$built_exe" "$work/unsigned.rsrc"
  cmp -s "$work/signed.rsrc" "$work/unsigned.rsrc" || fail "signing changed the version record or manifest"
  osslsigncode remove-signature -in "$exe" -out "$work/stripped.exe" >/dev/null
  cmp -s "$work/stripped.exe" "$built_exe" || fail "without its signature the file is not the unsigned build"
  package_signed_build "$work/signed" "${settings[@]}"

  sign_with QUARVANE_SIGN_CERT="$PKI/chain.pem" QUARVANE_SIGN_KEY="pkcs11:token=quarvane;object=signer" \
    QUARVANE_SIGN_PKCS11_MODULE="$TOKEN_MODULE" QUARVANE_SIGN_PIN="$pin" ||
    fail "unstamped signing failed: $(cat "$work/sign.log")"
  sign_log_has "has no timestamp: its signature stops verifying when the certificate ends, on $(
    openssl x509 -in "$PKI/signer.pem" -noout -enddate -dateopt iso_8601 | sed 's/.*=//')" ||
    fail "an unstamped build does not say when its signature ends: $(cat "$work/sign.log")"
  verifies "$signed" || fail "the unstamped file does not verify now"
  ! verifies "$signed" -time "$after_the_end" ||
    fail "the unstamped file verifies after its certificate's end"
  echo "signed on the token, timestamped by the third server; verifies after the certificate's end"
}

# The programs that the signing script started, with their descendants, whose
# command line or environment holds TEXT, from a trace of execve and forks.
programs_holding() {
  awk -v text="$1" '
    / (clone3?|v?fork)\(|<\.\.\. (clone3?|v?fork) resumed>/ && / = [0-9]+$/ { parent[$NF] = $1 }
    / execve\("[^"]*", \["bash", "[^"]*sign_release\.sh", "sign"/ && !signer { signer = $1; next }
    / execve\(/ && signer && index($0, text) { held[$1] = $2 }
    END {
      for (pid in held) {
        for (p = parent[pid]; p != "" && p != signer; p = parent[p]) {}
        if (pid != signer && p == signer) print held[pid]
      }
    }' "$2" | sort -u | paste -sd' '
}

# A signed build's package holds the scripts signed and stamped like the
# executable; where osslsigncode cannot sign scripts, it is refused. cpack
# runs with the build's settings, as RELEASING.md says.
package_signed_build() {
  local unpacked=$work/unpacked script
  if ! (cd "$1" && env "${@:2}" cpack --preset windows-i686 >"$work/cpack.log" 2>&1); then
    ! scripts_signable || fail "packaging the signed build failed: $(cat "$work/cpack.log")"
    { grep -q "Quarvane.exe is signed but Find-QuarvaneStray.ps1 is not" "$work/cpack.log" &&
      grep -q "Install osslsigncode 2.9 or later" "$work/cpack.log"; } ||
      fail "the refusal to package unsigned scripts does not say why: $(cat "$work/cpack.log")"
    echo "$(osslsigncode --version | sed -n 1p) signs no scripts: the signed build's package is refused"
    return
  fi
  scripts_signable || fail "a signed build was packaged with unsigned scripts"
  mkdir "$unpacked"
  (cd "$unpacked" && cmake -E tar xf "$1"/build/windows-i686/Quarvane-*-win32.zip)
  for script in Find-QuarvaneStray.ps1 Invoke-Quarvane.ps1 Test-QuarvaneRepair.ps1; do
    verifies "$unpacked/$script" -time "$after_the_end" ||
      fail "the packaged $script does not verify after the certificate's end: $(cat "$work/verify.log")"
  done
  echo "the package holds the three scripts signed and timestamped"
}

# Whether this osslsigncode signs PowerShell scripts, as 2.9 does and 2.5 does not.
scripts_signable() {
  local version
  version=$(osslsigncode --version | sed -n '1s/^osslsigncode \([0-9]*\.[0-9]*\).*/\1/p')
  [ "$(printf '%s\n' "$version" 2.9 | sort -V | head -1)" = 2.9 ]
}

# A signed build killed while it waits on a timestamp server leaves no file
# to ship, which packaging as it is refuses; built again and packaged, it
# packs the file signed and stamped.
case_interrupted() { # whole build
  local silent url folder=$work/interrupted build waited=0
  silent=$(start_timestamp_server 600 --silent)
  url=$(start_timestamp_server 600)
  cat "$PKI/intermediate.pem" "$PKI/signer.pem" >"$PKI/chain.pem"
  export QUARVANE_SIGN_CERT=$PKI/chain.pem QUARVANE_SIGN_KEY=$PKI/signer.key
  build_copy "$folder" >/dev/null
  QUARVANE_SIGN_TIMESTAMP_URL=$silent setsid cmake --build "$folder/build/windows-i686" \
    >"$work/killed.log" 2>&1 &
  build=$!
  until pgrep -f "osslsigncode add -ts $silent" >/dev/null; do
    [ $((waited += 1)) -lt 600 ] || fail "the build never waited on the timestamp server: $(cat "$work/killed.log")"
    sleep 0.1
  done
  kill -KILL -- "-$build"
  wait "$build" 2>/dev/null || true
  # Packaging as it is (the install step of cpack, without its build).
  if cmake --install "$folder/build/windows-i686" --prefix "$work/packed" >"$work/install.log" 2>&1; then
    fail "the files of a build killed while signing were packaged"
  fi
  grep -q "Quarvane.exe has not been built and signed" "$work/install.log" ||
    fail "packaging the killed build does not say why it stops: $(cat "$work/install.log")"

  # cpack builds first, with the same settings.
  export QUARVANE_SIGN_TIMESTAMP_URL=$url
  cmake --build "$folder/build/windows-i686" >"$work/build.log" 2>&1 ||
    fail "building again failed: $(cat "$work/build.log")"
  local exe=$folder/build/windows-i686/release/shipped/Quarvane.exe
  # Where osslsigncode cannot sign the scripts, packaging is refused for them.
  if scripts_signable; then
    (cd "$folder" && cpack --preset windows-i686 >"$work/cpack.log" 2>&1) ||
      fail "packaging the build made again failed: $(cat "$work/cpack.log")"
    mkdir "$work/unpacked"
    (cd "$work/unpacked" && cmake -E tar xf "$folder"/build/windows-i686/Quarvane-*-win32.zip)
    exe=$work/unpacked/Quarvane.exe
  fi
  verifies "$exe" -time "$after_the_end" ||
    fail "the build made again is not signed and stamped: $(cat "$work/verify.log")"
  echo "killed while signing: nothing to package; built again: packaged signed and stamped"
}

# Each build ships what its inputs and settings say, with nothing else
# changed: without the settings after a signed build, the unsigned program
# and no thumbprint beside its package; with them again, signed again; with
# another certificate in the same file, signed by it; with a script changed,
# that script.
case_follows_settings_and_scripts() { # whole build
  local folder=$work/again exe thumbprint build=$work/again/build/windows-i686
  local signing=(QUARVANE_SIGN_CERT="$PKI/chain.pem" QUARVANE_SIGN_KEY="$PKI/signer.key")
  cat "$PKI/intermediate.pem" "$PKI/signer.pem" >"$PKI/chain.pem"
  exe=$(build_copy "$folder" env "${signing[@]}")
  thumbprint=$(echo "$build"/Quarvane-*-win32.thumbprint.txt)
  [ -f "$thumbprint" ] || fail "the signed build published no thumbprint"
  verifies "$exe" || fail "the first build is not signed: $(cat "$work/verify.log")"
  touch "$work/before-rebuild"
  rebuild "${signing[@]}"
  [ ! "$exe" -nt "$work/before-rebuild" ] || fail "a build with nothing changed signed again"
  rebuild
  [ ! -e "$thumbprint" ] || fail "the thumbprint of the signed build outlived an unsigned build"
  cmp -s "$exe" "$build/bin/Quarvane.exe" || fail "the unsigned build ships the earlier signed file"
  rebuild "${signing[@]}"
  { [ -f "$thumbprint" ] && verifies "$exe"; } || fail "the settings given again did not sign again"
  cat "$PKI/intermediate.pem" "$PKI/accented.pem" >"$PKI/chain.pem"
  rebuild "${signing[@]}"
  [ "$(head -1 "$thumbprint")" = "$(thumbprint_of "$PKI/accented.pem")" ] ||
    fail "a new certificate in the same file did not sign again"
  echo '# changed' >>"$folder/deploy/Find-QuarvaneStray.ps1"
  rebuild "${signing[@]}"
  grep -q '^# changed' "$build/release/shipped/Find-QuarvaneStray.ps1" ||
    fail "a changed script is not the one shipped"
  echo "signed, unsigned, signed again, by a new certificate, a script changed: each build ships what it says"
}

rebuild() {
  env "$@" cmake --build "$folder/build/windows-i686" >"$work/build.log" 2>&1 ||
    fail "the build with ${*:-no settings} failed: $(cat "$work/build.log")"
}

# A PIV-shaped token signs by id=, or by its private key's label, and a URI
# that names no object fails at once, saying which; none of it with a
# terminal to ask for a PIN on, and none of it asks.
case_piv_token() {
  make_piv_token "$pin"
  cat "$PKI/intermediate.pem" "$PKI/signer.pem" >"$PKI/chain.pem"
  local uri token=(QUARVANE_SIGN_CERT="$PKI/chain.pem" QUARVANE_SIGN_PKCS11_MODULE="$TOKEN_MODULE"
    QUARVANE_SIGN_PIN="$pin")
  # p11tool prints a URI with both the private key's label and the id.
  for uri in "pkcs11:token=piv;id=%01" "pkcs11:token=piv;object=Private%20key%20for%20Digital%20Signature" \
    "pkcs11:token=piv;object=Private%20key%20for%20Digital%20Signature;id=%01"; do
    sign_without_terminal "${token[@]}" QUARVANE_SIGN_KEY="$uri" ||
      fail "$uri does not sign: $(cat "$work/sign.log")"
    [ "$(head -1 "$work/published.txt")" = "$(thumbprint_of "$PKI/signer.pem")" ] ||
      fail "$uri: the published thumbprint is not the signer's"
    verifies "$signed" || fail "$uri: the signature does not verify: $(cat "$work/verify.log")"
  done
  for uri in "pkcs11:token=piv;object=Private%20key%20for%20Digital%20Signatur" "pkcs11:token=piv;id=%02"; do
    if sign_without_terminal "${token[@]}" QUARVANE_SIGN_KEY="$uri"; then fail "signed with $uri"; fi
    sign_log_has "key on the token matches QUARVANE_SIGN_KEY=$uri" || sign_log_has "is that of the key $uri" ||
      fail "$uri: no message naming the object: $(cat "$work/sign.log")"
  done
  echo "a PIV-shaped token signs by id= or by its private key's label; a missing object is named"
}

# Signs as sign_with does, in a session of its own with no input, as CI
# does; a signing that waits on a prompt fails after a minute.
sign_without_terminal() {
  local sign_runner=(timeout 60 setsid -w)
  sign_with "$@" </dev/null
}

# The chain goes into the signature, and the thumbprint published is the
# signer's, whatever the chain file's order; of a key's certificates, the one
# valid now signs.
case_chain_any_order() {
  local order name
  for order in "intermediate signer" "root signer intermediate"; do
    for name in $order; do cat "$PKI/$name.pem"; done >"$PKI/chain.pem"
    sign_with QUARVANE_SIGN_CERT="$PKI/chain.pem" QUARVANE_SIGN_KEY="$PKI/signer.key" ||
      fail "signing with the chain $order failed: $(cat "$work/sign.log")"
    [ "$(head -1 "$work/published.txt")" = "$(thumbprint_of "$PKI/signer.pem")" ] ||
      fail "chain $order: the published thumbprint is not the signer's"
    # The intermediate comes from the signature itself.
    osslsigncode verify -CAfile "$PKI/root.pem" -in "$signed" >"$work/verify.log" 2>&1 ||
      fail "chain $order: the signature does not verify: $(cat "$work/verify.log")"
    grep -qE 'Message digest algorithm *: *SHA256' "$work/verify.log" || fail "not SHA-256 digests"
  done
  local dates
  dates=$(openssl x509 -in "$PKI/signer.pem" -noout -startdate -enddate -dateopt iso_8601 | sed 's/.*=//')
  [ "$(sed 1d "$work/published.txt")" = "Subject: CN=Quarvane test signer, O=Quarvane Test, C=US
Issuer: CN=Quarvane Test Intermediate
Valid from: $(head -1 <<<"$dates")
Valid to: $(tail -1 <<<"$dates")" ] || fail "the published signer is: $(cat "$work/published.txt")"
  # Three certificates of the same key, the expired one, a renewal not yet
  # valid and the one valid now, in either order: the valid one signs, alone
  # of the three in the signature.
  for order in "expired not_yet_valid signer" "signer not_yet_valid expired"; do
    for name in intermediate $order; do cat "$PKI/$name.pem"; done >"$PKI/chain.pem"
    sign_with QUARVANE_SIGN_CERT="$PKI/chain.pem" QUARVANE_SIGN_KEY="$PKI/signer.key" ||
      fail "signing with $order failed: $(cat "$work/sign.log")"
    [ "$(head -1 "$work/published.txt")" = "$(thumbprint_of "$PKI/signer.pem")" ] ||
      fail "$order: the thumbprint published is not that of the certificate valid now"
    rm -f "$work/signature.pem"
    osslsigncode extract-signature -pem -in "$signed" -out "$work/signature.pem" >/dev/null
    openssl pkcs7 -in "$work/signature.pem" -print_certs -noout >"$work/signature-certs.txt"
    { grep -q 'CN *= *Quarvane test signer' "$work/signature-certs.txt" &&
      ! grep -qE 'expired signer|future signer' "$work/signature-certs.txt"; } ||
      fail "$order: the signature does not carry the valid certificate alone: $(cat "$work/signature-certs.txt")"
  done
  cat "$PKI/intermediate.pem" "$PKI/accented.pem" >"$PKI/chain.pem"
  sign_with QUARVANE_SIGN_CERT="$PKI/chain.pem" QUARVANE_SIGN_KEY="$PKI/signer.key" ||
    fail "signing with a non-ASCII subject failed: $(cat "$work/sign.log")"
  [ "$(sed -n 2p "$work/published.txt")" = "Subject: CN=Quarvane Müller signer, O=Quarvane Test" ] ||
    fail "a non-ASCII Subject is not published as the text Windows shows: $(sed -n 2p "$work/published.txt")"
  echo "the signer's thumbprint, Subject, Issuer and dates published for either order, in UTF-8"
}

# A refused signing leaves nothing to ship, not even what an earlier one
# shipped, no thumbprint, and the linked file as it was.
expect_refusal() {
  local expected=$1 linked
  shift
  mkdir -p "$work/shipped" && echo earlier >"$signed" && echo earlier >"$work/published.txt"
  linked=$(sha256sum <"$built_exe")
  if sign_with "$@"; then fail "signed with: $*"; fi
  sign_log_has "$expected" || fail "no clear message for $*: $(cat "$work/sign.log")"
  [ ! -e "$work/shipped" ] || fail "files to ship were left behind: $(ls "$work/shipped")"
  [ ! -e "$work/published.txt" ] || fail "a thumbprint was left published"
  [ "$(sha256sum <"$built_exe")" = "$linked" ] || fail "the linked file was changed"
}

expect_read_back_refused() {
  local said
  if said=$(python3 "$source_dir/release/signing/certificates.py" check-signed "$2" "$work/other.pem" "$3" 2>&1); then
    fail "the read-back took a signature it must refuse: $1"
  fi
  [[ $said == *"$1"* ]] || fail "the read-back does not say: $1 (it says: $said)"
}

# CERT and its issuer, in one file, so that each refusal is its own.
with_issuer() {
  cat "$PKI/intermediate.pem" "$PKI/$1.pem" >"$PKI/$1-chain.pem"
  echo "$PKI/$1-chain.pem"
}

# What stops the signing, and what it says; a refused signing leaves no file
# to ship and no thumbprint.
case_refusals() {
  local cert=$PKI/chain.pem key=$PKI/signer.key token
  cat "$PKI/intermediate.pem" "$PKI/signer.pem" >"$cert"
  expect_refusal "$PKI/signer.pem does not hold the certificate of the signer's issuer (CN=Quarvane Test Intermediate)" \
    QUARVANE_SIGN_CERT="$PKI/signer.pem" QUARVANE_SIGN_KEY="$key"
  expect_refusal "QUARVANE_SIGN_CERT is set but QUARVANE_SIGN_KEY is not" QUARVANE_SIGN_CERT="$cert"
  expect_refusal "QUARVANE_SIGN_KEY is set but QUARVANE_SIGN_CERT is not" QUARVANE_SIGN_KEY="$key"
  expect_refusal "QUARVANE_SIGN_KEY names $work/missing.pem, which is not a file that can be read" \
    QUARVANE_SIGN_CERT="$cert" QUARVANE_SIGN_KEY="$work/missing.pem"
  expect_refusal "QUARVANE_SIGN_CERT names $work, which is not a file that can be read" \
    QUARVANE_SIGN_CERT="$work" QUARVANE_SIGN_KEY="$key"
  expect_refusal "QUARVANE_SIGN_CERT names $key, which holds no PEM certificate" \
    QUARVANE_SIGN_CERT="$key" QUARVANE_SIGN_KEY="$cert"
  expect_refusal "no certificate in $PKI/root.pem is that of the key $key" \
    QUARVANE_SIGN_CERT="$PKI/root.pem" QUARVANE_SIGN_KEY="$key"
  expect_refusal "(CN=Quarvane expired signer) expired on 2020-06-30 00:00:00Z" \
    QUARVANE_SIGN_CERT="$(with_issuer expired)" QUARVANE_SIGN_KEY="$key"
  expect_refusal "(CN=Quarvane future signer) is not valid before $(openssl x509 -in "$PKI/not_yet_valid.pem" \
    -noout -startdate -dateopt iso_8601 | sed 's/.*=//')" \
    QUARVANE_SIGN_CERT="$(with_issuer not_yet_valid)" QUARVANE_SIGN_KEY="$key"
  expect_refusal "(CN=Quarvane web server) is not meant for code signing: its extended key usage is TLS Web Server Authentication" \
    QUARVANE_SIGN_CERT="$(with_issuer tls_server)" QUARVANE_SIGN_KEY="$key"
  expect_refusal "(CN=Quarvane lifetime signer) has the Lifetime Signing usage (1.3.6.1.4.1.311.10.3.13)" \
    QUARVANE_SIGN_CERT="$(with_issuer lifetime)" QUARVANE_SIGN_KEY="$key"
  expect_refusal "(CN=Quarvane non-repudiation) is not meant for code signing: its key usage is Non Repudiation" \
    QUARVANE_SIGN_CERT="$(with_issuer no_digital_signature)" QUARVANE_SIGN_KEY="$key"
  expect_refusal "the timestamp could not be had from QUARVANE_SIGN_TIMESTAMP_URL" \
    QUARVANE_SIGN_CERT="$cert" QUARVANE_SIGN_KEY="$key" \
    QUARVANE_SIGN_TIMESTAMP_URL="$(closed_url) $(closed_url)"
  [ "$(grep -c '^  http://127.0.0.1:[0-9]*/: ' "$work/sign.log")" = 2 ] ||
    fail "not every timestamp server tried is named: $(cat "$work/sign.log")"

  make_test_token "$pin"
  token=(QUARVANE_SIGN_CERT="$cert" QUARVANE_SIGN_PKCS11_MODULE="$TOKEN_MODULE")
  expect_refusal "the token refused the login with QUARVANE_SIGN_PIN" "${token[@]}" \
    QUARVANE_SIGN_KEY="pkcs11:token=quarvane;object=signer" QUARVANE_SIGN_PIN=wrong-4711
  ! grep -F wrong-4711 "$work/sign.log" || fail "the wrong PIN was printed"
  local uri
  for uri in "pkcs11:token=quarvane;object=signer;pin-value=$pin" "pkcs11:pin-value=$pin;token=quarvane" \
    "pkcs11:token=quarvane;object=signer?pin-source=$work/pin.txt"; do
    expect_refusal "QUARVANE_SIGN_KEY holds a PIN" "${token[@]}" QUARVANE_SIGN_PIN="$pin" QUARVANE_SIGN_KEY="$uri"
  done
  # A token that cannot sign for another reason than the PIN (its key pair
  # lacks the private object) stops the step with osslsigncode's reason.
  add_public_only_token "$pin"
  expect_refusal "Cannot sign Quarvane.exe: osslsigncode failed:" "${token[@]}" QUARVANE_SIGN_PIN="$pin" \
    QUARVANE_SIGN_KEY="pkcs11:token=public;id=%01"
  ! grep -F "$pin" "$work/sign.log" || fail "the PIN was printed"

  # The read-back of a signed file: one signed by another certificate than the
  # one chosen, or without the timestamp a server gave, is refused.
  osslsigncode sign -key "$key" -certs "$(with_issuer accented)" -h sha256 -in "$built_exe" \
    -out "$work/other.exe" >/dev/null
  osslsigncode extract-signature -pem -in "$work/other.exe" -out "$work/other.pem" >/dev/null
  expect_read_back_refused "the signature names another signer than the certificate chosen" \
    "$PKI/signer.pem" ""
  expect_read_back_refused "the signed file carries no timestamp, though http://ts.example answered" \
    "$PKI/accented.pem" http://ts.example

  sign_with || fail "unsigned build refused: $(cat "$work/sign.log")"
  grep -q 'Quarvane.exe is not signed: set QUARVANE_SIGN_CERT and QUARVANE_SIGN_KEY' "$work/sign.log" ||
    fail "an unsigned build does not say so"
  cmp -s "$signed" "$built_exe" || fail "an unsigned build changed the file"
  echo "half-given, unreadable, mismatched, expired, future, TLS, Lifetime Signing and" \
    "non-Digital-Signature certificates, a wrong PIN, a token that cannot sign," \
    "a PIN in the URI and unreachable timestamp servers refused; unsigned build said so"
}

"case_$case_name"
