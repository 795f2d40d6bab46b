# shellcheck shell=bash
# shellcheck disable=SC2154 # settings.sh sets the settings, sign_release.sh work and the files
# The signing key's public part, by which its certificate is told: read from
# the key file, or from the token without logging in.

# On a token it is read with no terminal, so that a lookup that finds nothing
# fails rather than asks for the PIN. A key named only by the label of its
# private object, which PIV tokens do not give its public object, is told by
# a first signature made with it.
key_public_part() {
  if ! on_token; then
    openssl pkey -in "$key" -pubout 2>"$work/public.log" ||
      refuse "the public key of $key cannot be read, so its certificate cannot be told:"$'\n'"$(cat "$work/public.log")"
    return
  fi
  PKCS11_MODULE_PATH=$module setsid -w openssl pkey -engine pkcs11 -inform engine -pubin \
    -in "$(public_key_uri)" -pubout </dev/null 2>"$work/public.log" && return
  ! names_id || refuse_missing_key
  signed_public_part || refuse_missing_key
}

names_id() { [[ ";${key#pkcs11:}" == *";id="* ]]; }

refuse_missing_key() {
  [ ! -s "$work/signer.log" ] || ! grep -qE 'PIN incorrect|PIN locked|PIN len range' "$work/signer.log" ||
    refuse_signer_failure
  refuse "no key on the token matches QUARVANE_SIGN_KEY=$key: its public key object" \
    "$(public_key_uri) was not found$(names_id || echo ", nor a private key of that label")." \
    "Name the key pair by its id= (pkcs11-tool -O, or p11tool --list-all, shows each object's label and id)"
}

# The public part of the certificate that made a probe signature with the key.
signed_public_part() {
  cp "$cert" "$work/chain.pem"
  run_signer "$executable" "$work/probe.exe" || return 1
  osslsigncode extract-signature -pem -in "$work/probe.exe" -out "$work/probe.pem" >/dev/null || return 1
  python3 "$here/certificates.py" signature-key "$cert" "$work/probe.pem" "$work/probe-key.pem" || return 1
  cat "$work/probe-key.pem"
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
