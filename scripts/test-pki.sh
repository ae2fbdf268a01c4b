#!/bin/bash
# A private CA and P-256 certificates for loopback HTTPS servers (the tests' fixtures and the demo), in DIR:
#   ca.pem                          the CA certificate, the clients' CA bundle
#   server.pem, server.key          localhost and 127.0.0.1, signed by the CA
#   other-ca-server.pem, .key       localhost, signed by another (untrusted) CA
#   wrong-host.pem, .key            signed by the CA, for elsewhere.test only
#   expired.pem, .key               signed by the CA, for localhost, expired in 2020
# Usage: scripts/test-pki.sh DIR
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"
cat >openssl.cnf <<CONF
dir = $PWD
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[ca_ext]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[localhost]
basicConstraints = CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
[elsewhere]
basicConstraints = CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:elsewhere.test
[ca]
default_ca = test_ca
[test_ca]
database = \$dir/index.txt
new_certs_dir = \$dir
serial = \$dir/serial
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
CONF
# Keeps openssl quiet unless it fails.
ossl() {
  local out
  out=$(openssl "$@" 2>&1) || { echo "openssl $1 failed: $out" >&2; exit 1; }
}
# request KEY NAME ARGS...: a new key and a request or certificate for NAME.
request() {
  local key=$1 name=$2
  shift 2
  ossl req -config openssl.cnf "$@" -newkey ec -pkeyopt ec_paramgen_curve:P-256 -noenc -keyout "$key" -subj "/CN=$name"
}
request ca.key "Trelk Test CA" -x509 -days 30 -extensions ca_ext -out ca.pem
request other-ca.key "Other Test CA" -x509 -days 30 -extensions ca_ext -out other-ca.pem
request server.key localhost -x509 -CA ca.pem -CAkey ca.key -days 30 -extensions localhost -out server.pem
request other-ca-server.key localhost -x509 -CA other-ca.pem -CAkey other-ca.key -days 30 -extensions localhost \
  -out other-ca-server.pem
request wrong-host.key elsewhere.test -x509 -CA ca.pem -CAkey ca.key -days 30 -extensions elsewhere -out wrong-host.pem
# openssl 3.0's x509 cannot set a past start date; openssl ca can.
request expired.key localhost -new -out expired.csr
: >index.txt
echo 01 >serial
ossl ca -config openssl.cnf -batch -notext -cert ca.pem -keyfile ca.key -in expired.csr -out expired.pem \
  -startdate 20200101000000Z -enddate 20200201000000Z -extensions localhost
