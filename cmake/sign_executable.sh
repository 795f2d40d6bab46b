#!/usr/bin/env bash
# Signs an executable right after it is linked: an Authenticode signature with
# SHA-256 digests, made by osslsigncode, when QUARVANE_SIGN_CERT and
# QUARVANE_SIGN_KEY are set. With neither set the file stays unsigned, and
# this says so.
#
#   sign_executable.sh EXECUTABLE PUBLICATION_FILE [SCRIPT...]
#
# Each SCRIPT (a PowerShell script) is placed beside the executable, signed
# with the same certificate and timestamp where osslsigncode can sign scripts
# (2.9 can, 2.5 cannot: then they stay unsigned, this says so, and packaging
# the build is refused).
#
# QUARVANE_SIGN_CERT       PEM file: the signing certificate and its chain, in any order
# QUARVANE_SIGN_KEY        unencrypted PEM private key, or a PKCS#11 URI (pkcs11:...)
# QUARVANE_SIGN_PKCS11_MODULE  the token's PKCS#11 module, for a PKCS#11 URI
# QUARVANE_SIGN_PIN        the token's PIN, for a PKCS#11 URI; it reaches
#                          osslsigncode on a pipe, never on a command line or
#                          in the environment of a program started here
# QUARVANE_SIGN_TIMESTAMP_URL  RFC 3161 timestamp servers, separated by spaces,
#                          tried in order; the first that answers stamps it
#
# A signed build writes, to PUBLICATION_FILE, a file kept out of the package
# for the team to publish apart from it: the signer's thumbprint (the SHA-1 of
# the certificate whose key signs, upper-case hex, as Windows shows it) on its
# first line, then its Subject, Issuer and validity dates. An unsigned build
# removes that file. Any failure stops the build and removes the unsigned
# file, so that the next build links and signs it again rather than taking it
# as done.
set -euo pipefail
shopt -s extglob
# The PIN is held in this shell alone: out of the environment of every
# program started from here, and out of any core dump.
pin=${QUARVANE_SIGN_PIN:-}
unset QUARVANE_SIGN_PIN
ulimit -c 0
executable=$1
publication=$2
shift 2
scripts=("$@")
name=$(basename "$executable")
folder=$(dirname "$executable")
cert=${QUARVANE_SIGN_CERT:-}
key=${QUARVANE_SIGN_KEY:-}
module=${QUARVANE_SIGN_PKCS11_MODULE:-}
timestamp_urls=${QUARVANE_SIGN_TIMESTAMP_URL:-}
timestamp_seconds=30
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

say() { echo "-- $*"; }

refuse() {
  rm -f "$executable" "${placed_scripts[@]}" "$publication" "$signed_record"
  echo "Cannot sign $name: $*" >&2
  exit 1
}

# Output of a command that was handed the PIN, with the PIN masked.
masked() {
  local text=$1
  [ -z "$pin" ] || text=${text//"$pin"/"****"}
  printf '%s\n' "$text"
}

on_token() { [[ $key == pkcs11:* ]]; }

check_settings() {
  if [ -z "$cert" ]; then
    refuse "QUARVANE_SIGN_KEY is set but QUARVANE_SIGN_CERT is not; set both, or neither"
  elif [ -z "$key" ]; then
    refuse "QUARVANE_SIGN_CERT is set but QUARVANE_SIGN_KEY is not; set both, or neither"
  fi
  readable QUARVANE_SIGN_CERT "$cert"
  if on_token; then
    [[ ! $key =~ ^pkcs11:(.*[;?&])?pin-(value|source)= ]] ||
      refuse "QUARVANE_SIGN_KEY holds a PIN (pin-value or pin-source); give the PIN in QUARVANE_SIGN_PIN"
    [ -n "$module" ] || refuse "QUARVANE_SIGN_KEY is a PKCS#11 URI but QUARVANE_SIGN_PKCS11_MODULE does not name the token's module"
    readable QUARVANE_SIGN_PKCS11_MODULE "$module"
    [ -n "$pin" ] || refuse "QUARVANE_SIGN_KEY is a PKCS#11 URI but QUARVANE_SIGN_PIN is not set"
  else
    readable QUARVANE_SIGN_KEY "$key"
  fi
  command -v osslsigncode >/dev/null || refuse "osslsigncode is not installed (Debian package osslsigncode)"
  command -v openssl >/dev/null || refuse "openssl is not installed (Debian package openssl)"
}

readable() {
  { [ -f "$2" ] && [ -r "$2" ]; } || refuse "$1 names $2, which is not a file that can be read"
}

# Splits QUARVANE_SIGN_CERT into one file per certificate: work/cert-N.pem.
split_certificates() {
  awk -v out="$work/cert-" '
    /-----BEGIN CERTIFICATE-----/ { file = out (++n) ".pem" }
    file { print > file }
    /-----END CERTIFICATE-----/ { close(file); file = "" }' "$cert"
  compgen -G "$work/cert-*.pem" >/dev/null ||
    refuse "QUARVANE_SIGN_CERT names $cert, which holds no PEM certificate"
}

# The signing key's public part. On a token it is read without logging in,
# with no terminal, so that a lookup that finds nothing fails rather than
# asks for the PIN.
key_public_part() {
  if on_token; then
    PKCS11_MODULE_PATH=$module setsid -w openssl pkey -engine pkcs11 -inform engine -pubin \
      -in "$(public_key_uri)" -pubout </dev/null
  else
    openssl pkey -in "$key" -pubout
  fi
}

names_id() { [[ ";${key#pkcs11:}" == *";id="* ]]; }

refuse_missing_key() {
  [ ! -s "$work/signer.log" ] || ! grep -qE 'PIN incorrect|PIN locked|PIN len range' "$work/signer.log" ||
    refuse_signer_failure
  refuse "no key on the token matches QUARVANE_SIGN_KEY=$key: its public key object" \
    "$(public_key_uri) was not found$(names_id || echo ", nor a private key of that label")." \
    "Name the key pair by its id= (pkcs11-tool -O, or p11tool --list-all, shows each object's label and id)"
}

# The public part of the certificate that signs with the key, read back from
# a signature made with it: for a key named only by the label of its private
# object, which PIV tokens do not give its public object.
signed_public_part() {
  local serial certificate
  cp "$cert" "$work/chain.pem"
  run_signer "$executable" "$work/probe.exe" || return 1
  serial=$(signer_serial "$work/probe.exe") || return 1
  for certificate in "$work"/cert-*.pem; do
    if [ "$(serial_of "$certificate")" = "$serial" ]; then
      openssl x509 -in "$certificate" -noout -pubkey
      return
    fi
  done
  return 1
}

# The serial number of the certificate that made FILE's signature, read from
# the signature itself; its printout is left in work/signature.txt.
signer_serial() {
  rm -f "$work/signature.pem"
  osslsigncode extract-signature -pem -in "$1" -out "$work/signature.pem" >/dev/null || return 1
  openssl pkcs7 -in "$work/signature.pem" -print >"$work/signature.txt" || return 1
  normal_serial "$(awk '/signer_info:/ { found = 1 } found && /^ *serial:/ { print $2; exit }' \
    "$work/signature.txt")"
}

# The signed file as it must be before it is placed: signed by the chosen
# certificate, and stamped where a timestamp was asked for (osslsigncode
# keeps an RFC 3161 stamp in the attribute 1.3.6.1.4.1.311.3.3.1).
check_signed() {
  local signer=$1 serial
  serial=$(signer_serial "$work/signed.exe") || refuse "the signature of the signed file cannot be read"
  [ "$serial" = "$(serial_of "$signer")" ] ||
    refuse "the signature names another signer than the certificate chosen ($(field "$signer" -subject))"
  [ -z "$stamped_by" ] || grep -q '1\.3\.6\.1\.4\.1\.311\.3\.3\.1' "$work/signature.txt" ||
    refuse "the signed file carries no timestamp, though $stamped_by answered"
}

serial_of() { normal_serial "0x$(openssl x509 -in "$1" -noout -serial | sed 's/^serial=//')"; }

# A serial number in upper-case hex without leading zeros; openssl prints
# small ones in decimal, others in hex after "0x".
normal_serial() {
  local hex
  if [[ $1 == 0x* ]]; then hex=${1#0x}; else hex=$(printf '%X' "$1"); fi
  hex=${hex^^}
  echo "${hex##+(0)}"
}

# The URI of the token's public key object beside the private key: the same
# id where the URI names one (PIV tokens label the two objects apart), else
# the same label.
public_key_uri() {
  local path=${key%%\?*} query="" attribute attributes kept=() by_id=0
  [ "$path" = "$key" ] || query="?${key#*\?}"
  IFS=';' read -ra attributes <<<"${path#pkcs11:}"
  ! names_id || by_id=1
  for attribute in "${attributes[@]}"; do
    [[ -z $attribute || $attribute == type=* || ($by_id == 1 && $attribute == object=*) ]] ||
      kept+=("$attribute")
  done
  kept+=(type=public)
  echo "pkcs11:$(IFS=';' && echo "${kept[*]}")$query"
}

# Prints the file of the certificate whose public key is the signing key's:
# of several (a renewal on the same key), the first that is valid now.
find_signer() {
  local public certificate found=()
  if ! public=$(key_public_part 2>"$work/public.log"); then
    on_token ||
      refuse "the public key of $key cannot be read, so its certificate cannot be told:"$'\n'"$(cat "$work/public.log")"
    names_id || public=$(signed_public_part) || refuse_missing_key
  fi
  for certificate in "$work"/cert-*.pem; do
    [ "$(openssl x509 -in "$certificate" -noout -pubkey)" != "$public" ] || found+=("$certificate")
  done
  [ ${#found[@]} -gt 0 ] || refuse "no certificate in $cert is that of the key $key; it holds: $(subjects)"
  for certificate in "${found[@]}"; do
    if valid_now "$certificate"; then
      echo "$certificate"
      return
    fi
  done
  echo "${found[0]}"
}

valid_now() {
  local start
  start=$(openssl x509 -in "$1" -noout -startdate | sed 's/^notBefore=//')
  [ "$(date -u -d "$start" +%s)" -le "$(date -u +%s)" ] && openssl x509 -in "$1" -noout -checkend 0 >/dev/null
}

# The chain that goes into the signature: the signer first, then every other
# certificate but those of the same key, so that osslsigncode, which signs
# with the first certificate of the key, signs with the one chosen. Unless
# the signer is self-signed, its issuer must be there: without it, Windows
# shows "Unknown publisher" where it cannot fetch the issuer itself.
write_chain() {
  local signer=$1 certificate issuer public has_issuer=0
  issuer=$(openssl x509 -in "$signer" -noout -issuer -nameopt RFC2253)
  public=$(openssl x509 -in "$signer" -noout -pubkey)
  [ "$issuer" != "$(openssl x509 -in "$signer" -noout -subject -nameopt RFC2253 | sed 's/^subject/issuer/')" ] ||
    has_issuer=1
  cat "$signer" >"$work/chain.pem"
  for certificate in "$work"/cert-*.pem; do
    [ "$(openssl x509 -in "$certificate" -noout -pubkey)" != "$public" ] || continue
    cat "$certificate" >>"$work/chain.pem"
    [ "$(openssl x509 -in "$certificate" -noout -subject -nameopt RFC2253 | sed 's/^subject/issuer/')" != \
      "$issuer" ] || has_issuer=1
  done
  [ "$has_issuer" -eq 1 ] ||
    refuse "$cert does not hold the certificate of the signer's issuer ($(field "$signer" -issuer)):" \
      "add the intermediate certificate that your certificate authority issued with it"
}

subjects() {
  local certificate
  for certificate in "$work"/cert-*.pem; do
    field "$certificate" -subject
  done | paste -sd ';' | sed 's/;/; /g'
}

# One field of a certificate, as Windows shows it: names most specific first
# and in UTF-8 (not escaped),
# dates in ISO 8601 (UTC).
field() {
  openssl x509 -in "$1" -noout "$2" -nameopt rfc2253,sep_comma_plus_space,-esc_msb -dateopt iso_8601 |
    sed 's/^[A-Za-z]*=//'
}

check_signer() {
  local signer=$1 start usage certificate
  certificate="the signing certificate ($(field "$signer" -subject))"
  start=$(openssl x509 -in "$signer" -noout -startdate | sed 's/^notBefore=//')
  [ "$(date -u -d "$start" +%s)" -le "$(date -u +%s)" ] ||
    refuse "$certificate is not valid before $(field "$signer" -startdate)"
  openssl x509 -in "$signer" -noout -checkend 0 >/dev/null ||
    refuse "$certificate expired on $(field "$signer" -enddate)"
  usage=$(extension "$signer" extendedKeyUsage)
  [ -z "$usage" ] || grep -q 'Code Signing' <<<"$usage" ||
    refuse "$certificate is not meant for code signing: its extended key usage is $usage"
  ! grep -q '1\.3\.6\.1\.4\.1\.311\.10\.3\.13' <<<"$usage" ||
    refuse "$certificate has the Lifetime Signing usage (1.3.6.1.4.1.311.10.3.13): Windows stops" \
      "trusting its signatures the day it expires, timestamp or not; sign with a certificate without it"
  usage=$(extension "$signer" keyUsage)
  [ -z "$usage" ] || grep -q 'Digital Signature' <<<"$usage" ||
    refuse "$certificate is not meant for code signing: its key usage is $usage"
}

# The values of one extension of a certificate on one line; empty without it.
extension() {
  openssl x509 -in "$1" -noout -ext "$2" 2>/dev/null | sed 1d | tr -s ' \n' ' ' | sed 's/^ //; s/ $//'
}

# Runs osslsigncode on IN into OUT; its output is in work/signer.log.
run_signer() {
  local common=(-certs "$work/chain.pem" -h sha256 -n Quarvane -in "$1" -out "$2")
  if on_token; then
    printf '%s' "$pin" |
      osslsigncode sign -pkcs11module "$module" -key "$key" -readpass /dev/stdin "${common[@]}" \
        >"$work/signer.log" 2>&1
  else
    osslsigncode sign -key "$key" "${common[@]}" >"$work/signer.log" 2>&1
  fi
}

# Refuses with what osslsigncode said of its failure.
refuse_signer_failure() {
  local output refusal
  output=$(cat "$work/signer.log")
  if on_token; then
    refusal=$(grep -oE 'PIN incorrect|PIN locked|PIN len range|Login failed' <<<"$output" | sed -n 1p)
    [ -z "$refusal" ] || refuse "the token refused the login with QUARVANE_SIGN_PIN ($refusal)"
  fi
  refuse "osslsigncode failed:"$'\n'"$(masked "$output")"
}

sign() { run_signer "$1" "$2" || refuse_signer_failure; }

# Adds to the signed FILE the first timestamp a server of the list given
# gives, and prints that server's URL. osslsigncode 2.5 waits forever on a
# server that never answers, so each server gets a bounded time.
timestamp() {
  local file=$1 url output status tried="" stamped
  stamped=$work/stamped.${1##*.}
  shift
  for url in "$@"; do
    rm -f "$stamped"
    status=0
    output=$(timeout "$timestamp_seconds" osslsigncode add -ts "$url" -h sha256 \
      -in "$file" -out "$stamped" 2>&1) || status=$?
    if [ "$status" -eq 0 ]; then
      mv "$stamped" "$file"
      echo "$url"
      return
    fi
    [ "$status" -ne 124 ] || output="no answer in $timestamp_seconds seconds"
    tried+=$'\n'"  $url: $(grep -vE '^(PE checksum|Connecting to|Use the|Failed$|$)' <<<"$output" | sed -n 1,3p | paste -sd ';' | sed 's/;/; /g')"
  done
  refuse "the timestamp could not be had from QUARVANE_SIGN_TIMESTAMP_URL:$tried"
}

# Writes the publication file, and then the SHA-256 of the signed file, by
# which packaging knows the executable it packs is the one signed here.
publish() {
  local signer=$1 signed=$2 text
  text="$(thumbprint_of "$signer")
Subject: $(field "$signer" -subject)
Issuer: $(field "$signer" -issuer)
Valid from: $(field "$signer" -startdate)
Valid to: $(field "$signer" -enddate)"
  { printf '%s\n' "$text" >"$publication.new" && mv "$publication.new" "$publication" &&
    [ "$(cat "$publication")" = "$text" ]; } || refuse "$publication could not be written"
  sha256sum <"$signed" | cut -d' ' -f1 >"$signed_record" ||
    refuse "$signed_record could not be written"
}

thumbprint_of() { openssl x509 -in "$1" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g'; }

# Signs each script, with the server that stamped the executable, into
# work/; leaves them unsigned where this osslsigncode cannot sign scripts.
sign_scripts() {
  local script signed
  for script in "${scripts[@]}"; do
    signed=$work/$(basename "$script")
    if ! run_signer "$script" "$signed"; then
      grep -q 'Unrecognized file type' "$work/signer.log" || refuse_signer_failure
      say "the PowerShell scripts are not signed: $(osslsigncode --version 2>&1 | sed -n 1p) cannot" \
        "sign them (2.9 can), so packaging this build will be refused"
      return
    fi
    [ -z "$stamped_by" ] || timestamp "$signed" "$stamped_by" >/dev/null
  done
  for script in "${scripts[@]}"; do
    mv "$work/$(basename "$script")" "$folder/"
  done
  say "the PowerShell scripts are signed like $name"
}

placed_scripts=()
for script in "${scripts[@]}"; do
  placed_scripts+=("$folder/$(basename "$script")")
done
signed_record=$executable.signed-sha256
pending=$executable.signing
rm -f "$publication" "$signed_record"
[ ${#scripts[@]} -eq 0 ] || cp "${scripts[@]}" "$folder/"
if [ -z "$cert" ] && [ -z "$key" ]; then
  rm -f "$pending"
  say "$name is not signed: set QUARVANE_SIGN_CERT and QUARVANE_SIGN_KEY to sign it"
  exit 0
fi
# Until the signed file is in place, the linked one is older than what it is
# made of, so that a build stopped here links and signs it again, and the
# mark refuses it to packaging.
: >"$pending"
touch -d @0 "$executable"
check_settings
split_certificates
signer=$(find_signer)
check_signer "$signer"
write_chain "$signer"
sign "$executable" "$work/signed.exe"
stamped_by=""
# shellcheck disable=SC2086 # the servers are separated by spaces
[ -z "${timestamp_urls// /}" ] || stamped_by=$(timestamp "$work/signed.exe" $timestamp_urls)
[ ${#scripts[@]} -eq 0 ] || sign_scripts
check_signed "$signer"
publish "$signer" "$work/signed.exe"
mv "$work/signed.exe" "$executable"
rm "$pending"
say "$name is signed with $cert, thumbprint $(head -1 "$publication") (in $publication)"
if [ -n "$stamped_by" ]; then
  say "$name is timestamped by $stamped_by: its signature stays valid after the certificate ends"
else
  say "$name has no timestamp: its signature stops verifying when the certificate ends," \
    "on $(field "$signer" -enddate); set QUARVANE_SIGN_TIMESTAMP_URL to timestamp it"
fi
