#!/bin/sh
# Throw-away certificates for the local service double: a test CA that the
# test Wine prefix trusts, a server certificate it signs (valid for localhost
# and 127.0.0.1), and a second CA that nothing trusts, with its own server
# certificate, for the refused-certificate tests. Regenerated when missing or
# about to expire.
set -eu
out="$1"
mkdir -p "$out"
cd "$out"
if [ -f server.pem ] && [ -f untrusted.pem ] && openssl x509 -checkend 86400 -noout -in server.pem >/dev/null 2>&1; then
  exit 0
fi
ext=$(mktemp)
trap 'rm -f "$ext"' EXIT
printf 'subjectAltName=DNS:localhost,DNS:127.0.0.1,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' > "$ext"
make_pair() {  # CA-name CA-file-prefix server-file-prefix
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$2.key" -out "$2.pem" -days 30 -subj "/CN=$1" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -keyout "$3.key" -out "$3.csr" -subj "/CN=localhost" 2>/dev/null
  openssl x509 -req -in "$3.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -out "$3.pem" -days 30 \
    -extfile "$ext" 2>/dev/null
  rm -f "$3.csr"
}
make_pair "Velmarquin test CA" ca server
make_pair "Velmarquin untrusted CA" untrusted-ca untrusted
openssl x509 -in ca.pem -outform der -out ca.der
echo "certificates written to $out"
