# shellcheck shell=bash
# shellcheck disable=SC2154 # settings.sh sets the settings, sign_release.sh work and the files
# Signing and stamping with osslsigncode, and reading the result back.

timestamp_seconds=30

# Runs osslsigncode on IN into OUT with the chain in work/chain.pem; its
# output is in work/signer.log. The PIN reaches it on a pipe.
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

# Refuses with what osslsigncode said of its failure, the PIN masked.
refuse_signer_failure() {
  local output refusal
  output=$(cat "$work/signer.log")
  if on_token; then
    refusal=$(grep -oE -m1 'PIN incorrect|PIN locked|PIN len range|Login failed' <<<"$output" || true)
    [ -z "$refusal" ] || refuse "the token refused the login with QUARVANE_SIGN_PIN (${refusal%%$'\n'*})"
  fi
  [ -z "$pin" ] || output=${output//"$pin"/"****"}
  refuse "osslsigncode failed:"$'\n'"$output"
}

# Signs FILE in place, in the work folder.
sign_file() {
  run_signer "$1" "$1.signed" || refuse_signer_failure
  mv "$1.signed" "$1"
}

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

# The signed FILE as it must be before it ships: signed by the chosen
# certificate, and stamped where a server answered.
check_signed() {
  rm -f "$work/signature.pem"
  osslsigncode extract-signature -pem -in "$1" -out "$work/signature.pem" >/dev/null ||
    refuse "the signature of the signed file cannot be read"
  certificates check-signed "$work/signer.pem" "$work/signature.pem" "$stamped_by"
}

# Signs each script in the work folder, stamped by the server that stamped
# the executable; leaves them unsigned where this osslsigncode cannot sign
# scripts, which packaging then refuses.
sign_scripts() {
  local script signed
  [ ${#scripts[@]} -gt 0 ] || return 0
  for script in "${scripts[@]}"; do
    signed=$work/$(basename "$script")
    if ! run_signer "$work/out/$(basename "$script")" "$signed"; then
      grep -q 'Unrecognized file type' "$work/signer.log" || refuse_signer_failure
      say "the PowerShell scripts are not signed: $(osslsigncode --version 2>&1 | sed -n 1p) cannot" \
        "sign them (2.9 can), so packaging this build will be refused"
      return
    fi
    [ -z "$stamped_by" ] || timestamp "$signed" "$stamped_by" >/dev/null
  done
  for script in "${scripts[@]}"; do
    mv "$work/$(basename "$script")" "$work/out/"
  done
  say "the PowerShell scripts are signed like $name"
}
