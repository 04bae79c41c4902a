#!/usr/bin/env bash
# Makes the certificates of the server-client fault tests in tests/net/data/. They are
# committed; run this only to replace them.
#
#   faultca.crt/.key    a second test CA, trusted by the fault tests beside ca.crt
#   expired.crt/.key    for 127.0.0.1 and localhost, signed by faultca, valid only in 2020
#   wronghost.crt/.key  for wrong.example only, signed by faultca, valid for a century
#
# The CA's key is committed on purpose: the CA is trusted only inside the test processes.
set -euo pipefail
out=$(cd "$(dirname "$0")/data" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 36500 \
    -keyout "$out/faultca.key" -out "$out/faultca.crt" -subj "/CN=Vexar fault-test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    2>/dev/null

# `openssl ca` is the one signer that takes a start date in the past.
mkdir -p db
: > db/index.txt
echo 1000 > db/serial
cat > ca.cnf <<CNF
[ca]
default_ca = fault
[fault]
dir = $work/db
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir
certificate = $out/faultca.crt
private_key = $out/faultca.key
default_md = sha256
policy = anything
copy_extensions = none
unique_subject = no
[anything]
commonName = supplied
[expired]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1,DNS:localhost
[wronghost]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:wrong.example
CNF

sign() { # name subject startdate enddate
    openssl req -newkey rsa:2048 -nodes -sha256 -keyout "$out/$1.key" -out "$1.csr" \
        -subj "$2" 2>/dev/null
    openssl ca -batch -config ca.cnf -extensions "$1" -startdate "$3" -enddate "$4" \
        -in "$1.csr" -out "$1.pem" 2>/dev/null
    openssl x509 -in "$1.pem" -out "$out/$1.crt"
}
sign expired "/CN=localhost" 20200101000000Z 20201231235959Z
sign wronghost "/CN=wrong.example" 20200101000000Z 21191231235959Z
echo "Wrote faultca, expired and wronghost certificates to $out"
