# shellcheck shell=bash
# A throwaway PKI, timestamp authority and PKCS#11 token for the signing
# tests. Sourced; every function works in the folder PKI, which must exist.
#
#   root.pem, intermediate.pem          the CA chain
#   signer.pem                          code signing, valid from a day ago for two days
#   expired.pem, not_yet_valid.pem,     the same key (signer.key) in certificates
#   tls_server.pem                      that must not sign
#   lifetime.pem, no_digital_signature.pem  the same key, with the Lifetime Signing
#                                       usage, or without Digital Signature
#   accented.pem                        the same key, code signing, a non-ASCII name
#   tsa.pem                             the timestamp authority: critical timeStamping
#   tsa.cnf                             its `openssl ts -reply` configuration

# openssl ca stamps certificates with exact dates: YYYYMMDDHHMMSSZ, in UTC.
pki_date() { date -u -d "@$(($(date -u +%s) + $1 * 86400))" +%Y%m%d%H%M%SZ; }

make_test_pki() {
  cat >"$PKI/ca.cnf" <<EOF
[ca]
default_ca = test_ca
[test_ca]
database = $PKI/index.txt
new_certs_dir = $PKI
serial = $PKI/serial
default_md = sha256
policy = any_name
unique_subject = no
[any_name]
countryName = optional
organizationName = optional
commonName = supplied
[intermediate]
basicConstraints = critical, CA:true, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[code_signing]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
[lifetime_signing]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning, 1.3.6.1.4.1.311.10.3.13
[no_digital_signature]
basicConstraints = critical, CA:false
keyUsage = critical, nonRepudiation
extendedKeyUsage = codeSigning
[tls_server]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
[timestamping]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
EOF
  : >"$PKI/index.txt"
  echo 1000 >"$PKI/serial"
  pki_key root
  openssl req -x509 -new -key "$PKI/root.key" -subj "/CN=Quarvane Test Root" -days 3650 \
    -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -out "$PKI/root.pem"
  pki_key intermediate
  pki_issue intermediate root intermediate "/CN=Quarvane Test Intermediate" -1 3650
  pki_key signer
  pki_issue signer intermediate code_signing "/C=US/O=Quarvane Test/CN=Quarvane test signer" -1 2
  pki_issue expired intermediate code_signing "/CN=Quarvane expired signer" 20190101000000Z 20200630000000Z signer
  pki_issue not_yet_valid intermediate code_signing "/CN=Quarvane future signer" 30 400 signer
  pki_issue tls_server intermediate tls_server "/CN=Quarvane web server" -1 2 signer
  pki_issue lifetime intermediate lifetime_signing "/CN=Quarvane lifetime signer" -1 2 signer
  pki_issue no_digital_signature intermediate no_digital_signature "/CN=Quarvane non-repudiation" -1 2 signer
  pki_issue accented intermediate code_signing "/O=Quarvane Test/CN=Quarvane Müller signer" -1 2 signer
  pki_key tsa
  pki_issue tsa intermediate timestamping "/CN=Quarvane Test TSA" -1 3650
  cat >"$PKI/tsa.cnf" <<EOF
[tsa]
default_tsa = test_tsa
[test_tsa]
serial = $PKI/tsa-serial
crypto_device = builtin
signer_cert = $PKI/tsa.pem
certs = $PKI/intermediate.pem
signer_key = $PKI/tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
EOF
  echo 01 >"$PKI/tsa-serial"
}

pki_key() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$PKI/$1.key" 2>/dev/null; }

# pki_issue NAME ISSUER EXTENSIONS SUBJECT START END [KEY]: START and END are
# days from now, or exact dates.
pki_issue() {
  local name=$1 issuer=$2 extensions=$3 subject=$4 start=$5 end=$6 key=${7:-$1}
  [[ $start == *Z ]] || start=$(pki_date "$start")
  [[ $end == *Z ]] || end=$(pki_date "$end")
  openssl req -new -utf8 -key "$PKI/$key.key" -subj "$subject" -out "$PKI/$name.csr"
  openssl ca -batch -config "$PKI/ca.cnf" -notext -in "$PKI/$name.csr" -cert "$PKI/$issuer.pem" \
    -keyfile "$PKI/$issuer.key" -extensions "$extensions" -startdate "$start" -enddate "$end" \
    -out "$PKI/$name.pem" >"$PKI/ca.log" 2>&1 || { cat "$PKI/ca.log" >&2; return 1; }
}

thumbprint_of() { openssl x509 -in "$1" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g'; }

# Starts a timestamp authority that stops by itself after SECONDS; prints its
# URL. With --silent, a server that takes connections and never answers.
# stop_timestamp_servers stops them all sooner.
start_timestamp_server() {
  local seconds=$1 port_file
  port_file=$(mktemp -u "$PKI/port-XXXX")
  python3 "$(dirname "${BASH_SOURCE[0]}")/timestamp_server.py" "$PKI/tsa.cnf" "$seconds" \
    "$port_file" "${@:2}" >>"$PKI/tsa.log" 2>&1 &
  echo $! >>"$PKI/servers"
  while [ ! -s "$port_file" ]; do
    kill -0 $! 2>/dev/null || { cat "$PKI/tsa.log" >&2; return 1; }
    sleep 0.1
  done
  echo "http://127.0.0.1:$(cat "$port_file")/"
}

stop_timestamp_servers() {
  [ ! -f "$PKI/servers" ] || xargs kill 2>/dev/null <"$PKI/servers" || true
}

# A URL on 127.0.0.1 where nothing listens.
closed_url() {
  echo "http://127.0.0.1:$(python3 -c 'import socket; print(socket.create_server(("127.0.0.1", 0)).getsockname()[1])')/"
}

# A SoftHSM2 token in PKI/tokens, labelled quarvane, holding signer.key as
# the object "signer"; exports SOFTHSM2_CONF, and sets TOKEN_MODULE to the
# module's path.
make_test_token() {
  local pin=$1
  mkdir -p "$PKI/tokens"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
    "$PKI/tokens" >"$PKI/softhsm2.conf"
  export SOFTHSM2_CONF=$PKI/softhsm2.conf
  openssl pkcs8 -topk8 -nocrypt -in "$PKI/signer.key" -out "$PKI/signer.p8"
  softhsm2-util --init-token --free --label quarvane --so-pin 0000 --pin "$pin" >/dev/null
  softhsm2-util --import "$PKI/signer.p8" --token quarvane --label signer --id 01 \
    --pin "$pin" >/dev/null
  rm "$PKI/signer.p8"
  TOKEN_MODULE=/usr/lib/softhsm/libsofthsm2.so
}

# A token shaped as PIV modules shape theirs, labelled piv: signer.key's
# private and public objects share the id 01 but not their labels.
make_piv_token() {
  local pin=$1
  make_test_token "$pin"
  softhsm2-util --init-token --free --label piv --so-pin 0000 --pin "$pin" >/dev/null
  openssl pkey -in "$PKI/signer.key" -outform DER -out "$PKI/signer.der"
  openssl pkey -in "$PKI/signer.key" -pubout -outform DER -out "$PKI/signer-public.der"
  local tool=(pkcs11-tool --module "$TOKEN_MODULE" --token-label piv --login --pin "$pin" --id 01)
  "${tool[@]}" --write-object "$PKI/signer.der" --type privkey \
    --label "Private key for Digital Signature" >/dev/null 2>&1
  "${tool[@]}" --write-object "$PKI/signer-public.der" --type pubkey \
    --label "Public key for Digital Signature" >/dev/null 2>&1
  rm "$PKI/signer.der"
}

# Beside make_test_token's: a token labelled public holding only signer.key's
# public object, id 01.
add_public_only_token() {
  local pin=$1
  softhsm2-util --init-token --free --label public --so-pin 0000 --pin "$pin" >/dev/null
  openssl pkey -in "$PKI/signer.key" -pubout -outform DER -out "$PKI/signer-public.der"
  pkcs11-tool --module "$TOKEN_MODULE" --token-label public --login --pin "$pin" --id 01 \
    --write-object "$PKI/signer-public.der" --type pubkey --label signer >/dev/null 2>&1
}
