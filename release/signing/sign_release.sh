#!/usr/bin/env bash
# The release's signing step, run by the build after linking. It reads the
# linked Quarvane.exe and the staged scripts and writes the files to ship into
# a folder of their own: signed with an Authenticode signature (SHA-256
# digests) by osslsigncode when QUARVANE_SIGN_CERT and QUARVANE_SIGN_KEY are
# set, copied as they are when neither is.
#
#   sign_release.sh record FILE
#       writes what the settings name (never the PIN) to FILE when it
#       changed, so that the build signs again when they change
#   sign_release.sh sign FOLDER PUBLICATION_FILE EXECUTABLE [SCRIPT...]
#       writes FOLDER whole, or leaves none: the step first removes FOLDER and
#       PUBLICATION_FILE, signs in a work folder, and moves FOLDER into place
#       last, so that a step stopped or refused leaves nothing the build or
#       packaging takes as done
#
# The settings are in settings.sh. A signed build also writes, to
# PUBLICATION_FILE, kept out of the package for the team to publish apart
# from it: the signer's thumbprint (the SHA-1 of the certificate whose key
# signs, upper-case hex, as Windows shows it) on its first line, then its
# Subject, Issuer and validity dates.
set -euo pipefail
# Nothing is started before settings.sh takes the PIN out of the environment.
here=${BASH_SOURCE[0]%/*}
[[ ${BASH_SOURCE[0]} == */* ]] || here=.
source "$here/settings.sh"
source "$here/token.sh"
source "$here/signer.sh"

say() { echo "-- $*"; }

refuse() {
  echo "Cannot sign $name: $*" >&2
  exit 1
}

# Runs certificates.py, its output to this step's; a refusal there is the
# step's refusal.
certificates() {
  local status=0
  python3 "$here/certificates.py" "$@" 2>"$work/certificates.log" || status=$?
  [ "$status" -eq 0 ] || [ "$status" -eq 3 ] ||
    refuse "reading the certificates failed:"$'\n'"$(cat "$work/certificates.log")"
  [ "$status" -eq 0 ] || refuse "$(cat "$work/certificates.log")"
}

record() {
  local file=$1
  settings_text >"$file.new"
  if cmp -s "$file.new" "$file"; then rm "$file.new"; else mv "$file.new" "$file"; fi
}

sign_all() {
  folder=$1 publication=$2 executable=$3
  shift 3
  scripts=("$@")
  name=$(basename "$executable")
  rm -rf "$folder" "$publication"
  work=$(mktemp -d "$folder.XXXX")
  trap 'rm -rf "$work"' EXIT
  mkdir "$work/out"
  cp "$executable" "${scripts[@]}" "$work/out/"
  if ! signing_asked; then
    say "$name is not signed: set QUARVANE_SIGN_CERT and QUARVANE_SIGN_KEY to sign it"
    mv "$work/out" "$folder"
    return
  fi
  check_settings
  choose_signer
  sign_file "$work/out/$name"
  stamped_by=""
  # shellcheck disable=SC2086 # the servers are separated by spaces
  [ -z "${timestamp_urls// /}" ] || stamped_by=$(timestamp "$work/out/$name" $timestamp_urls)
  check_signed "$work/out/$name"
  sign_scripts
  certificates publication "$work/signer.pem" >"$work/publication"
  mv "$work/publication" "$publication"
  mv "$work/out" "$folder"
  say "$name is signed with $cert, thumbprint $(head -1 "$publication") (in $publication)"
  if [ -n "$stamped_by" ]; then
    say "$name is timestamped by $stamped_by: its signature stays valid after the certificate ends"
  else
    say "$name has no timestamp: its signature stops verifying when the certificate ends," \
      "on $(sed -n 's/^Valid to: //p' "$publication"); set QUARVANE_SIGN_TIMESTAMP_URL to timestamp it"
  fi
}

# The certificate of the key that signs, and the chain that goes with it,
# into work/signer.pem and work/chain.pem.
choose_signer() {
  certificates holds "$cert"
  key_public_part >"$work/key.pem"
  certificates signer "$cert" "$key" "$work/key.pem" "$work/chain.pem" "$work/signer.pem"
}

case ${1:-} in
  record) record "$2" ;;
  sign) sign_all "${@:2}" ;;
  *) sed -n '2,/^set /p' "$0" >&2 && exit 2 ;;
esac
