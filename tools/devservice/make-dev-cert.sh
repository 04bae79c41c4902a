#!/usr/bin/env bash
# Makes a development CA and a server certificate for 127.0.0.1 and localhost, signed by it,
# for the development service. Trust ca.crt in the client (system CA store or SSL_CERT_FILE);
# never switch the client's certificate checks off.
#
#   tools/devservice/make-dev-cert.sh OUTDIR [DAYS]
#
# Writes OUTDIR/ca.crt, ca.key, server.crt, server.key. DAYS defaults to 825.
set -euo pipefail
out=${1:?usage: $0 OUTDIR [DAYS]}
days=${2:-825}
mkdir -p "$out"
cd "$out"

openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days "$days" \
    -keyout ca.key -out ca.crt -subj "/CN=Vexar development CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -sha256 -keyout server.key -out server.csr \
    -subj "/CN=localhost" 2>/dev/null
cat > server.ext <<EXT
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=IP:127.0.0.1,DNS:localhost
EXT
openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -sha256 \
    -days "$days" -extfile server.ext -out server.crt 2>/dev/null
rm -f server.csr server.ext ca.srl
echo "Wrote $out/ca.crt, ca.key, server.crt, server.key (valid $days days)"
