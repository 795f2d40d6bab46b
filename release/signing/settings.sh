# shellcheck shell=bash
# The signing settings, read from the environment once, as the step starts:
#
# QUARVANE_SIGN_CERT       PEM file: the signing certificate and its chain, in any order
# QUARVANE_SIGN_KEY        unencrypted PEM private key, or a PKCS#11 URI (pkcs11:...)
# QUARVANE_SIGN_PKCS11_MODULE  the token's PKCS#11 module, for a PKCS#11 URI
# QUARVANE_SIGN_PIN        the token's PIN, for a PKCS#11 URI; it reaches
#                          osslsigncode on a pipe, never on a command line or
#                          in the environment of a program started here
# QUARVANE_SIGN_TIMESTAMP_URL  RFC 3161 timestamp servers, separated by spaces,
#                          tried in order; the first that answers stamps it

# The PIN is held in this shell alone: out of the environment of every
# program started from here, and out of any core dump.
pin=${QUARVANE_SIGN_PIN:-}
unset QUARVANE_SIGN_PIN
ulimit -c 0
cert=${QUARVANE_SIGN_CERT:-}
key=${QUARVANE_SIGN_KEY:-}
module=${QUARVANE_SIGN_PKCS11_MODULE:-}
timestamp_urls=${QUARVANE_SIGN_TIMESTAMP_URL:-}

signing_asked() { [ -n "$cert" ] || [ -n "$key" ]; }

on_token() { [[ $key == pkcs11:* ]]; }

# What a signed build depends on beside its inputs: the settings and the
# certificates' bytes; never the PIN.
settings_text() {
  printf 'cert %s\nkey %s\nmodule %s\ntimestamp %s\n' "$cert" "$key" "$module" "$timestamp_urls"
  [ ! -r "$cert" ] || sha256sum <"$cert"
}

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
  python3 -c 'import cryptography' 2>/dev/null ||
    refuse "Python's cryptography is not installed (Debian package python3-cryptography)"
}

readable() {
  { [ -f "$2" ] && [ -r "$2" ]; } || refuse "$1 names $2, which is not a file that can be read"
}
